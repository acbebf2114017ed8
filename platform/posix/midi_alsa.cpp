// The alsa service: MIDI devices on the ALSA sequencer through RtMidi's ALSA API, the only file that
// includes RtMidi.
//
// Device n is the n-th port RtMidi lists at start-up (outputs: ports we can write to; inputs: ports
// we can read from), named as RtMidi names it. An open finds that port again by its name (ports may
// have come and gone since) and opens it with an RtMidi object of its own; a close destroys it.
// RtMidi throws by default: every object gets an error callback that records the failure instead,
// and any RtMidiError that still escapes is caught here. System-exclusive, timing and active-sensing
// input is asked for explicitly (RtMidi drops them unless told otherwise). The devices' records,
// handles and states are midi_common's; this file keeps only the RtMidi objects.
//
// Threads: Start and Stop on the main thread while nobody else uses the layer; opens and closes on
// the main thread; sends on any thread, under the output's mutex (midi_common). Input arrives on
// RtMidi's own thread for that input, which hands it to the engine's callback (midi_common's
// DeliverNow); destroying the RtMidi object joins that thread.
#include "platform/midi_alsa.h"

#include <rtmidi/RtMidi.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"

namespace platform::alsa_midi {
namespace {

using midi_common::MidiOps;
using midi_common::MidiServiceState;

struct OutPort {
  std::unique_ptr<RtMidiOut> midi;  // set before the handle is published, reset after it is cleared
  bool failed = false;              // set by the error callback during a call made under the mutex
};

struct InPort {
  std::unique_ptr<RtMidiIn> midi;     // main thread only
  std::unique_ptr<RtMidiIn> retired;  // closed from its own callback: destroyed at the next open
  bool failed = false;
};

struct Service {
  std::string clientName = "TovuEngine";
  std::unique_ptr<OutPort[]> outputs;
  std::unique_ptr<InPort[]> inputs;
};

Service& Own(MidiServiceState& s) { return *static_cast<Service*>(s.own); }

void RecordError(RtMidiError::Type type, const std::string&, void* failed) {
  if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING) *static_cast<bool*>(failed) = true;
}

void IgnoreError(RtMidiError::Type, const std::string&, void*) {}

template <typename Midi>
std::vector<std::string> PortNames(Midi& midi) {
  std::vector<std::string> names;
  unsigned int count = midi.getPortCount();
  for (unsigned int i = 0; i < count && names.size() < midi_common::kMaxDevices; ++i)
    names.push_back(midi.getPortName(i));
  return names;
}

// Opens the port named `name` on `midi`. False when it is gone or refuses.
template <typename Midi>
bool OpenByName(Midi& midi, const std::string& name, const std::string& ownName, bool* failed) {
  unsigned int count = midi.getPortCount();
  for (unsigned int i = 0; i < count; ++i) {
    if (midi.getPortName(i) != name) continue;
    *failed = false;
    midi.openPort(i, ownName);
    return !*failed && midi.isPortOpen();
  }
  return false;
}

// RtMidi's input thread.
void OnInput(double, std::vector<unsigned char>* message, void* device) {
  if (!message || message->empty()) return;
  midi_common::DeliverNow(*static_cast<midi_common::InDevice*>(device), message->data(), message->size());
}

// ---- Operations ----

bool Stop(MidiServiceState& state) {
  Service* s = &Own(state);
  midi_common::CloseAll(state, /*inputsFirst=*/true);
  for (uint32_t i = 0; i < state.inCount; ++i) s->inputs[i].retired.reset();
  delete s;
  return true;
}

int OutOpen(MidiServiceState& state, uint32_t id) {
  Service& s = Own(state);
  OutPort& p = s.outputs[id];
  try {
    auto midi = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, s.clientName);
    midi->setErrorCallback(RecordError, &p.failed);
    if (!OpenByName(*midi, state.outputs[id].name, "out" + std::to_string(id), &p.failed)) return kMidiAllocated;
    p.midi = std::move(midi);
  } catch (const RtMidiError&) {
    return kMidiAllocated;
  }
  return kMidiOk;
}

void OutClose(MidiServiceState& state, uint32_t id) { Own(state).outputs[id].midi.reset(); }  // closes the port

int Send(MidiServiceState& state, uint32_t id, const uint8_t* bytes, uint32_t length) {
  OutPort& p = Own(state).outputs[id];
  if (!p.midi) return kMidiInvalidHandle;
  p.failed = false;
  try {
    p.midi->sendMessage(bytes, length);
  } catch (const RtMidiError&) {
    return kMidiError;
  }
  return p.failed ? kMidiError : kMidiOk;
}

int InOpen(MidiServiceState& state, uint32_t id) {
  Service& s = Own(state);
  InPort& p = s.inputs[id];
  p.retired.reset();
  std::unique_ptr<RtMidiIn> midi;
  try {
    midi = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, s.clientName);
    midi->setErrorCallback(RecordError, &p.failed);
    midi->ignoreTypes(false, false, false);
    midi->setCallback(OnInput, &state.inputs[id]);
    if (!OpenByName(*midi, state.inputs[id].name, "in" + std::to_string(id), &p.failed)) return kMidiAllocated;
  } catch (const RtMidiError&) {
    return kMidiAllocated;
  }
  p.midi = std::move(midi);
  return kMidiOk;
}

void InClose(MidiServiceState& state, uint32_t id, bool fromCallback) {
  InPort& p = Own(state).inputs[id];
  // Destroying the RtMidi object joins its input thread, which cannot happen on that thread.
  if (fromCallback) {
    p.retired = std::move(p.midi);
    return;
  }
  try {
    p.midi.reset();
  } catch (const RtMidiError&) {
  }
}

const MidiOps kOps = {
    MidiService::Alsa, Stop, MonotonicNs, OutOpen, OutClose, Send, InOpen, InClose, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

bool Start(MidiServiceState& state, std::string* why) {
  struct stat info;
  if (stat("/dev/snd/seq", &info) != 0) {
    if (why) *why = "no ALSA sequencer (/dev/snd/seq)";
    return false;
  }
  auto s = std::make_unique<Service>();
  std::vector<std::string> outs, ins;
  try {
    RtMidiOut out(RtMidi::LINUX_ALSA, s->clientName);
    out.setErrorCallback(IgnoreError);
    RtMidiIn in(RtMidi::LINUX_ALSA, s->clientName);
    in.setErrorCallback(IgnoreError);
    if (out.getCurrentApi() != RtMidi::LINUX_ALSA || in.getCurrentApi() != RtMidi::LINUX_ALSA) {
      if (why) *why = "RtMidi has no ALSA support";
      return false;
    }
    outs = PortNames(out);
    ins = PortNames(in);
  } catch (const RtMidiError& e) {
    if (why) *why = "the ALSA sequencer cannot be opened: " + e.getMessage();
    return false;
  }
  s->outputs = std::make_unique<OutPort[]>(outs.size());
  s->inputs = std::make_unique<InPort[]>(ins.size());
  midi_common::MakeDevices(state, kOps, outs, ins, s.release());
  return true;
}

}  // namespace platform::alsa_midi
