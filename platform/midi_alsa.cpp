// The alsa service: MIDI devices on the ALSA sequencer through RtMidi's ALSA API.
//
// Device n is the n-th port RtMidi lists at start-up (outputs: ports we can write to; inputs: ports
// we can read from), named as RtMidi names it. An open finds that port again by its name (ports may
// have come and gone since) and opens it with an RtMidi object of its own; a close destroys it.
// RtMidi throws by default: every object gets an error callback that records the failure instead,
// and any RtMidiError that still escapes is caught here. System-exclusive, timing and active-sensing
// input is asked for explicitly (RtMidi drops them unless told otherwise).
//
// A device: closed --open--> open (inputs: stopped --start--> started --stop--> stopped) --close-->
// closed.
//
// Threads: Start and Stop on the main thread while nobody else uses the layer; opens and closes on
// the main thread; sends on any thread, serialised by the device's mutex. Input arrives on RtMidi's
// own thread for that input, which hands it to the engine's callback (midi_common's Deliver).
#include "platform/midi_alsa.h"

#include <rtmidi/RtMidi.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/midi_common.h"

namespace platform::alsa_midi {
namespace {

using midi_common::InputState;

struct OutDevice {
  std::string name;
  std::mutex mutex;  // serialises sends, open and close
  MidiHandle handle = 0;
  std::unique_ptr<RtMidiOut> midi;
  bool failed = false;  // set by the error callback during a call made under `mutex`
};

struct InDevice {
  std::string name;
  InputState state;
  std::unique_ptr<RtMidiIn> midi;    // main thread only
  std::unique_ptr<RtMidiIn> retired;  // closed from its own callback: destroyed at the next open
  std::atomic<uint32_t> epoch{0};
  bool failed = false;
};

struct Service {
  std::string clientName;
  uint32_t outCount = 0;
  uint32_t inCount = 0;
  std::unique_ptr<OutDevice[]> outputs;
  std::unique_ptr<InDevice[]> inputs;
};

Service* g_service = nullptr;  // set and cleared by Start and Stop only

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

OutDevice* FindOut(MidiHandle handle) {
  Service* s = g_service;
  if (!s || midi_common::IsInputHandle(handle)) return nullptr;
  uint32_t id = midi_common::DeviceIdOf(handle);
  return id < s->outCount ? &s->outputs[id] : nullptr;
}

InDevice* FindIn(MidiHandle handle) {
  Service* s = g_service;
  if (!s || !midi_common::IsInputHandle(handle)) return nullptr;
  uint32_t id = midi_common::DeviceIdOf(handle);
  return id < s->inCount ? &s->inputs[id] : nullptr;
}

// RtMidi's input thread.
void OnInput(double, std::vector<unsigned char>* message, void* device) {
  auto* d = static_cast<InDevice*>(device);
  if (!message || message->empty()) return;
  midi_common::Deliver(d->state, message->data(), message->size(), MonotonicNs(),
                       d->epoch.load(std::memory_order_acquire));
}

int Send(MidiHandle handle, const uint8_t* bytes, size_t length) {
  OutDevice* d = FindOut(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle || !d->midi) return kMidiInvalidHandle;
  if (length == 0) return kMidiOk;
  if (!bytes) return kMidiError;
  d->failed = false;
  try {
    d->midi->sendMessage(bytes, length);
  } catch (const RtMidiError&) {
    return kMidiError;
  }
  return d->failed ? kMidiError : kMidiOk;
}

}  // namespace

// ---- Service ----

bool Start(std::string* why) {
  Stop();
  struct stat info;
  if (stat("/dev/snd/seq", &info) != 0) {
    if (why) *why = "no ALSA sequencer (/dev/snd/seq)";
    return false;
  }
  auto s = std::make_unique<Service>();
  s->clientName = "TovuEngine";
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
  s->outCount = static_cast<uint32_t>(outs.size());
  s->inCount = static_cast<uint32_t>(ins.size());
  s->outputs = std::make_unique<OutDevice[]>(s->outCount);
  s->inputs = std::make_unique<InDevice[]>(s->inCount);
  for (uint32_t i = 0; i < s->outCount; ++i) s->outputs[i].name = outs[i];
  for (uint32_t i = 0; i < s->inCount; ++i) s->inputs[i].name = ins[i];
  g_service = s.release();
  return true;
}

void Stop() {
  Service* s = g_service;
  if (!s) return;
  for (uint32_t i = 0; i < s->inCount; ++i) {
    InDevice& d = s->inputs[i];
    MidiHandle handle;
    {
      std::lock_guard<std::mutex> lock(d.state.mutex);
      handle = d.state.handle;
    }
    if (handle != 0) InClose(handle);
    d.retired.reset();
  }
  for (uint32_t i = 0; i < s->outCount; ++i) {
    OutDevice& d = s->outputs[i];
    std::lock_guard<std::mutex> lock(d.mutex);
    d.handle = 0;
    d.midi.reset();
  }
  g_service = nullptr;
  delete s;
}

uint32_t OutCount() { return g_service ? g_service->outCount : 0; }
uint32_t InCount() { return g_service ? g_service->inCount : 0; }

int OutName(uint32_t deviceId, char* name, size_t capacity) {
  if (!g_service || deviceId >= g_service->outCount) return kMidiBadDeviceId;
  return midi_common::CopyName(g_service->outputs[deviceId].name, name, capacity);
}

int InName(uint32_t deviceId, char* name, size_t capacity) {
  if (!g_service || deviceId >= g_service->inCount) return kMidiBadDeviceId;
  return midi_common::CopyName(g_service->inputs[deviceId].name, name, capacity);
}

// ---- Outputs ----

int OutOpen(uint32_t deviceId, MidiHandle* handle) {
  Service* s = g_service;
  if (!s || deviceId >= s->outCount) return kMidiBadDeviceId;
  if (!handle) return kMidiError;
  OutDevice& d = s->outputs[deviceId];
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.handle != 0) return kMidiAllocated;
  try {
    auto midi = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, s->clientName);
    midi->setErrorCallback(RecordError, &d.failed);
    if (!OpenByName(*midi, d.name, "out" + std::to_string(deviceId), &d.failed)) return kMidiAllocated;
    d.midi = std::move(midi);
  } catch (const RtMidiError&) {
    return kMidiAllocated;
  }
  d.handle = midi_common::NewHandle(deviceId, false);
  *handle = d.handle;
  return kMidiOk;
}

int OutClose(MidiHandle handle) {
  OutDevice* d = FindOut(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle) return kMidiInvalidHandle;
  d->handle = 0;
  d->midi.reset();  // closes the port
  return kMidiOk;
}

int OutShort(MidiHandle handle, uint32_t word) {
  uint8_t bytes[3] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                      static_cast<uint8_t>(word >> 16)};
  return Send(handle, bytes, static_cast<size_t>(ShortMessageLength(bytes[0])));
}

int OutLong(MidiHandle handle, const uint8_t* bytes, uint32_t length) { return Send(handle, bytes, length); }

// ---- Inputs ----

int InOpen(uint32_t deviceId, MidiInCallback callback, uintptr_t instance, MidiHandle* handle) {
  Service* s = g_service;
  if (!s || deviceId >= s->inCount) return kMidiBadDeviceId;
  if (!handle) return kMidiError;
  InDevice& d = s->inputs[deviceId];
  {
    std::lock_guard<std::mutex> lock(d.state.mutex);
    if (d.state.handle != 0) return kMidiAllocated;
  }
  d.retired.reset();
  std::unique_ptr<RtMidiIn> midi;
  try {
    midi = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, s->clientName);
    midi->setErrorCallback(RecordError, &d.failed);
    midi->ignoreTypes(false, false, false);
    midi->setCallback(OnInput, &d);
    if (!OpenByName(*midi, d.name, "in" + std::to_string(deviceId), &d.failed)) return kMidiAllocated;
  } catch (const RtMidiError&) {
    return kMidiAllocated;
  }
  std::lock_guard<std::mutex> lock(d.state.mutex);
  d.midi = std::move(midi);
  d.state.handle = midi_common::NewHandle(deviceId, true);
  d.state.started = false;
  d.state.callback = callback;
  d.state.instance = instance;
  d.state.buffers.clear();
  *handle = d.state.handle;
  return kMidiOk;
}

int InStart(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->state.mutex);
  if (d->state.handle != handle) return kMidiInvalidHandle;
  if (!d->state.started) {
    d->state.started = true;
    d->state.startNs = MonotonicNs();
    d->state.epoch += 1;
    d->epoch.store(d->state.epoch, std::memory_order_release);
  }
  return kMidiOk;
}

int InStop(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  {
    std::lock_guard<std::mutex> lock(d->state.mutex);
    if (d->state.handle != handle) return kMidiInvalidHandle;
    d->state.started = false;
  }
  midi_common::WaitForCallback(d->state);
  return kMidiOk;
}

int InClose(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  std::unique_ptr<RtMidiIn> midi;
  {
    std::lock_guard<std::mutex> lock(d->state.mutex);
    if (d->state.handle != handle) return kMidiInvalidHandle;
    d->state.handle = 0;
    d->state.started = false;
    d->state.callback = nullptr;
    d->state.buffers.clear();
    midi = std::move(d->midi);
  }
  bool fromCallback = d->state.callbackThread.load(std::memory_order_acquire) == std::this_thread::get_id();
  midi_common::WaitForCallback(d->state);
  // Destroying the RtMidi object joins its input thread, which cannot happen on that thread.
  if (fromCallback) {
    d->retired = std::move(midi);
  } else {
    try {
      midi.reset();
    } catch (const RtMidiError&) {
    }
  }
  return kMidiOk;
}

int InAddBuffer(MidiHandle handle, MidiInBuffer* buffer) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->state.mutex);
  if (d->state.handle != handle) return kMidiInvalidHandle;
  if (!buffer || (!buffer->data && buffer->length > 0)) return kMidiError;
  d->state.buffers.push_back(buffer);
  return kMidiOk;
}

}  // namespace platform::alsa_midi
