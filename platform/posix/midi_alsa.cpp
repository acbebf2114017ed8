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
// Ports that come and go: RtMidi tells nothing of them, so a sequencer client of this file's own
// (alsa-lib's interface) subscribes to the system announce port, and the follower thread, woken by
// its events (a client or port that starts, ends or changes), lists the ports again through RtMidi
// and hands the lists to midi_common's SyncDevices: a new port is appended, one that went is absent,
// one listed again under its name is back. RtMidi's names carry the sequencer's client and port
// numbers, which a restarted program may not get again: such a port comes back as a new one.
// Untested where there is no /dev/snd/seq (this machine's tests have none); without the announce
// client the tables stay as listed at start-up.
//
// Threads: Start and Stop on the main thread while nobody else uses the layer; opens and closes on
// the main thread; sends on any thread, under the output's mutex (midi_common). Input arrives on
// RtMidi's own thread for that input, which hands it to the engine's callback (midi_common's
// DeliverNow); destroying the RtMidi object joins that thread.
#include "platform/midi_alsa.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <rtmidi/RtMidi.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
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
  std::unique_ptr<OutPort[]> outputs;  // as many as midi_common's records have room for
  std::unique_ptr<InPort[]> inputs;
  // Following the sequencer: the announce client, and the follower thread that reads it.
  MidiServiceState* state = nullptr;
  snd_seq_t* announce = nullptr;
  Event stop;
  std::thread follower;
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

// ---- Following the sequencer (the follower thread) ----

// Lists the ports again and tells the engine when anything changed.
void ListAgain(Service& s) {
  std::vector<std::string> outs, ins;
  try {
    RtMidiOut out(RtMidi::LINUX_ALSA, s.clientName);
    out.setErrorCallback(IgnoreError);
    RtMidiIn in(RtMidi::LINUX_ALSA, s.clientName);
    in.setErrorCallback(IgnoreError);
    outs = PortNames(out);
    ins = PortNames(in);
  } catch (const RtMidiError&) {
    return;  // the next announcement tries again
  }
  // Our own ports (named after our client) are not devices.
  auto ours = [&](const std::string& name) { return name.rfind(s.clientName + ":", 0) == 0; };
  outs.erase(std::remove_if(outs.begin(), outs.end(), ours), outs.end());
  ins.erase(std::remove_if(ins.begin(), ins.end(), ours), ins.end());
  bool changed = midi_common::SyncDevices(*s.state, false, outs);
  changed = midi_common::SyncDevices(*s.state, true, ins) || changed;
  if (changed) midi_common::Changed(*s.state);
}

bool Announces(const snd_seq_event_t& e) {
  switch (e.type) {
    case SND_SEQ_EVENT_CLIENT_START: case SND_SEQ_EVENT_CLIENT_EXIT: case SND_SEQ_EVENT_CLIENT_CHANGE:
    case SND_SEQ_EVENT_PORT_START: case SND_SEQ_EVENT_PORT_EXIT: case SND_SEQ_EVENT_PORT_CHANGE: return true;
    default: return false;
  }
}

void FollowerMain(Service* s) {
  const int count = snd_seq_poll_descriptors_count(s->announce, POLLIN);
  std::vector<pollfd> fds(static_cast<size_t>(std::max(count, 0)) + 1);
  fds[0] = {s->stop.handle, POLLIN, 0};
  snd_seq_poll_descriptors(s->announce, fds.data() + 1, static_cast<unsigned int>(count), POLLIN);
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0) continue;  // a signal
    if (EventConsume(&s->stop)) return;
    bool announced = false;
    snd_seq_event_t* e = nullptr;
    while (snd_seq_event_input_pending(s->announce, 1) > 0 && snd_seq_event_input(s->announce, &e) >= 0 && e)
      announced = Announces(*e) || announced;
    if (announced) ListAgain(*s);
  }
}

// The announce client, subscribed to the system announce port, and its follower. Without them (no
// client, no subscription) the tables stay as listed.
void StartFollowing(Service& s) {
  if (!EventCreate(&s.stop)) return;
  if (snd_seq_open(&s.announce, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
    s.announce = nullptr;
    return;
  }
  snd_seq_set_client_name(s.announce, (s.clientName + " follower").c_str());
  int port = snd_seq_create_simple_port(s.announce, "announce", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                        SND_SEQ_PORT_TYPE_APPLICATION);
  if (port < 0 || snd_seq_connect_from(s.announce, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
    snd_seq_close(s.announce);
    s.announce = nullptr;
    return;
  }
  s.follower = std::thread(FollowerMain, &s);
}

void StopFollowing(Service& s) {
  if (s.follower.joinable()) {
    EventSet(&s.stop);
    s.follower.join();
  }
  if (s.announce) snd_seq_close(s.announce);
  s.announce = nullptr;
  if (s.stop.handle != kNoHandle) EventDestroy(&s.stop);
}

// ---- Operations ----

bool Stop(MidiServiceState& state) {
  Service* s = &Own(state);
  StopFollowing(*s);
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
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
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
  // As much room as midi_common's records get (MakeDevices), for the ports that come later.
  s->outputs = std::make_unique<OutPort[]>(std::max<size_t>(outs.size(), midi_common::kDeviceRoom));
  s->inputs = std::make_unique<InPort[]>(std::max<size_t>(ins.size(), midi_common::kDeviceRoom));
  s->state = &state;
  Service* own = s.release();
  midi_common::MakeDevices(state, kOps, outs, ins, own);
  StartFollowing(*own);
  return true;
}

}  // namespace platform::alsa_midi
