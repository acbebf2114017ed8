// The device record, the entry points and the input path that every MIDI service shares. See
// midi_common.h for the states and the threads.
#include "platform/midi_common.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/event.h"
#include "platform/timer.h"

namespace platform {
namespace midi_common {
namespace {

constexpr uint32_t kIndexMask = 0xFFF;
constexpr uint32_t kInputBit = 1u << 12;
constexpr uint32_t kSerialShift = 13;
constexpr uint32_t kSerialMask = (1u << (32 - kSerialShift)) - 1;
static_assert(kMaxDevices <= kIndexMask, "device ids must fit the handle");

std::atomic<uint32_t> g_serial{0};

// The arrival of the message whose callback runs on this thread; negative outside a callback.
thread_local double t_arrivalMs = -1.0;
thread_local double t_arrivalServerMs = std::numeric_limits<double>::quiet_NaN();
// PlaceOnServerTime's time on this thread; NaN: none.
thread_local double t_placedServerMs = std::numeric_limits<double>::quiet_NaN();

OutDevice* FindOut(MidiServiceState& s, MidiHandle handle) {
  if (IsInputHandle(handle)) return nullptr;
  uint32_t id = DeviceIdOf(handle);
  return id < s.outCount.load(std::memory_order_acquire) ? &s.outputs[id] : nullptr;
}

InDevice* FindIn(MidiServiceState& s, MidiHandle handle) {
  if (!IsInputHandle(handle)) return nullptr;
  uint32_t id = DeviceIdOf(handle);
  return id < s.inCount.load(std::memory_order_acquire) ? &s.inputs[id] : nullptr;
}

// Changes a device's presence under its mutex; true when it changed.
template <typename Device>
bool SetPresent(Device& d, bool present) {
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.present == present) return false;
  d.present = present;
  d.generation += 1;
  return true;
}

// The records of one direction: their array, the count and the room.
struct Direction {
  std::atomic<uint32_t>* count;
  uint32_t room;
  OutDevice* outputs;
  InDevice* inputs;
  const std::string& Name(uint32_t id) const { return outputs ? outputs[id].name : inputs[id].name; }
  bool Present(uint32_t id) const {
    if (outputs) {
      std::lock_guard<std::mutex> lock(outputs[id].mutex);
      return outputs[id].present;
    }
    std::lock_guard<std::mutex> lock(inputs[id].mutex);
    return inputs[id].present;
  }
  bool Set(uint32_t id, bool present) const {
    return outputs ? SetPresent(outputs[id], present) : SetPresent(inputs[id], present);
  }
  // Appends a present device; kMaxDevices when there is no room.
  uint32_t Append(const std::string& name) const {
    uint32_t id = count->load(std::memory_order_relaxed);
    if (id >= room) return kMaxDevices;
    if (outputs)
      outputs[id].name = name;
    else
      inputs[id].name = name;
    count->store(id + 1, std::memory_order_release);
    return id;
  }
};

Direction DirectionOf(MidiServiceState& s, bool input) {
  if (input) return Direction{&s.inCount, s.inRoom, nullptr, s.inputs.get()};
  return Direction{&s.outCount, s.outRoom, s.outputs.get(), nullptr};
}

// Opens device `id` of the `count` in `devices`: the checks, the service's open, then a new handle
// published under the device's mutex, which is left held in `lock` for the caller to finish with.
template <typename Device>
int OpenDevice(MidiServiceState& s, Device* devices, uint32_t count, uint32_t id, bool input, MidiHandle* handle,
               std::unique_lock<std::mutex>* lock) {
  const MidiOps* ops = s.ops.load(std::memory_order_acquire);
  if (!ops || id >= count) return kMidiBadDeviceId;
  if (!handle) return kMidiError;
  Device& d = devices[id];
  {
    std::lock_guard<std::mutex> check(d.mutex);
    if (!d.present) return kMidiNoDevice;
    if (d.handle != 0) return kMidiAllocated;
  }
  // Opens come from the main thread only, so nothing else opens this device meanwhile; senders find
  // its handle 0 until it is published below.
  int result = input ? ops->inOpen(s, id) : ops->outOpen(s, id);
  if (result != kMidiOk) return result;
  *lock = std::unique_lock<std::mutex>(d.mutex);
  // Gone while the service opened it: the service's port is let go again.
  if (!d.present) {
    lock->unlock();
    if (input ? ops->inClose != nullptr : ops->outClose != nullptr) {
      if (input)
        ops->inClose(s, id, false);
      else
        ops->outClose(s, id);
    }
    return kMidiNoDevice;
  }
  d.handle = NewHandle(id, input);
  *handle = d.handle;
  return kMidiOk;
}

// The device, locked, when it is open under `handle`; else null, with nothing locked.
template <typename Device>
Device* LockOpen(Device* d, MidiHandle handle, std::unique_lock<std::mutex>* lock) {
  if (!d) return nullptr;
  *lock = std::unique_lock<std::mutex>(d->mutex);
  if (d->handle == handle) return d;
  lock->unlock();
  return nullptr;
}

// Stops input on an input whose mutex the caller holds.
void Halt(InDevice& d) {
  d.started = false;
  d.flowing.store(false, std::memory_order_release);
}

void Event(MidiServiceState& s, VirtualMidiEvent::Kind kind, bool input, uint32_t id) {
  const MidiOps* ops = s.ops.load(std::memory_order_acquire);
  if (ops && ops->event) ops->event(s, kind, input, id);
}

}  // namespace

MidiHandle NewHandle(uint32_t deviceId, bool input) {
  uint32_t serial = (g_serial.fetch_add(1, std::memory_order_relaxed) + 1) & kSerialMask;
  return (serial << kSerialShift) | (input ? kInputBit : 0) | (deviceId + 1);
}

bool IsInputHandle(MidiHandle handle) { return (handle & kInputBit) != 0; }

uint32_t DeviceIdOf(MidiHandle handle) {
  uint32_t index = handle & kIndexMask;
  return index == 0 ? kMaxDevices : index - 1;
}

// ---- The service ----

void MakeDevices(MidiServiceState& s, const MidiOps& ops, const std::vector<std::string>& outs,
                 const std::vector<std::string>& ins, void* own) {
  uint32_t outCount = static_cast<uint32_t>(std::min<size_t>(outs.size(), kMaxDevices));
  uint32_t inCount = static_cast<uint32_t>(std::min<size_t>(ins.size(), kMaxDevices));
  s.outRoom = std::max(outCount, kDeviceRoom);
  s.inRoom = std::max(inCount, kDeviceRoom);
  s.outputs = std::make_unique<OutDevice[]>(s.outRoom);
  s.inputs = std::make_unique<InDevice[]>(s.inRoom);
  for (uint32_t i = 0; i < outCount; ++i) s.outputs[i].name = outs[i];
  for (uint32_t i = 0; i < inCount; ++i) s.inputs[i].name = ins[i];
  s.outCount.store(outCount, std::memory_order_release);
  s.inCount.store(inCount, std::memory_order_release);
  s.own = own;
  s.ops.store(&ops, std::memory_order_release);
}

void EndService(MidiServiceState& s) {
  const MidiOps* ops = s.ops.load(std::memory_order_acquire);
  bool ended = !ops || ops->stop(s);
  s.ops.store(nullptr, std::memory_order_release);
  if (!ended) {
    // A thread of the service may still read them: left behind with it, as the process ends.
    (void)s.outputs.release();
    (void)s.inputs.release();
  }
  s.outCount.store(0, std::memory_order_release);
  s.inCount.store(0, std::memory_order_release);
  s.outputs.reset();
  s.inputs.reset();
  s.outRoom = 0;
  s.inRoom = 0;
  s.own = nullptr;
}

// ---- Devices that come and go ----

uint32_t ShowDevice(MidiServiceState& s, bool input, const std::string& name, bool* changed) {
  *changed = false;
  std::lock_guard<std::mutex> lock(s.listMutex);
  Direction d = DirectionOf(s, input);
  uint32_t count = d.count->load(std::memory_order_relaxed);
  uint32_t absent = kMaxDevices;
  for (uint32_t id = 0; id < count; ++id) {
    if (d.Name(id) != name) continue;
    if (d.Present(id)) return id;
    if (absent == kMaxDevices) absent = id;
  }
  if (absent != kMaxDevices) {
    *changed = d.Set(absent, true);
    return absent;
  }
  uint32_t id = d.Append(name);
  *changed = id != kMaxDevices;
  return id;
}

bool HideDevice(MidiServiceState& s, bool input, const std::string& name, uint32_t* hidden) {
  std::lock_guard<std::mutex> lock(s.listMutex);
  Direction d = DirectionOf(s, input);
  uint32_t count = d.count->load(std::memory_order_relaxed);
  for (uint32_t id = 0; id < count; ++id) {
    if (d.Name(id) != name || !d.Present(id)) continue;
    d.Set(id, false);
    if (hidden) *hidden = id;
    return true;
  }
  return false;
}

bool SyncDevices(MidiServiceState& s, bool input, const std::vector<std::string>& names,
                 std::vector<uint32_t>* ids) {
  std::lock_guard<std::mutex> lock(s.listMutex);
  Direction d = DirectionOf(s, input);
  uint32_t count = d.count->load(std::memory_order_relaxed);
  std::vector<bool> listed(count, false);
  bool changed = false;
  if (ids) ids->assign(names.size(), kMaxDevices);
  for (size_t k = 0; k < names.size(); ++k) {
    const std::string& name = names[k];
    uint32_t match = kMaxDevices;
    for (uint32_t id = 0; id < count && match == kMaxDevices; ++id)
      if (!listed[id] && d.Name(id) == name) match = id;
    if (match == kMaxDevices) {
      match = d.Append(name);
      if (match == kMaxDevices) continue;  // no room: not listed
      count = match + 1;
      listed.resize(count, false);
      changed = true;
    }
    listed[match] = true;
    if (ids) (*ids)[k] = match;
  }
  for (uint32_t id = 0; id < count; ++id) changed = d.Set(id, listed[id]) || changed;
  return changed;
}

MidiPresence Presence(MidiServiceState& s, bool input, uint32_t id) {
  MidiPresence p;
  if (input) {
    if (id >= s.inCount.load(std::memory_order_acquire)) return p;
    std::lock_guard<std::mutex> lock(s.inputs[id].mutex);
    p.present = s.inputs[id].present;
    p.generation = s.inputs[id].generation;
  } else {
    if (id >= s.outCount.load(std::memory_order_acquire)) return p;
    std::lock_guard<std::mutex> lock(s.outputs[id].mutex);
    p.present = s.outputs[id].present;
    p.generation = s.outputs[id].generation;
  }
  return p;
}

void Changed(MidiServiceState& s) {
  std::lock_guard<std::mutex> lock(s.changeMutex);
  if (s.changed) s.changed(s.changedContext);
}

void CloseAll(MidiServiceState& s, bool inputsFirst) {
  const uint32_t inCount = s.inCount.load(std::memory_order_acquire);
  const uint32_t outCount = s.outCount.load(std::memory_order_acquire);
  for (int pass = 0; pass < 2; ++pass) {
    if ((pass == 0) == inputsFirst) {
      for (uint32_t i = 0; i < inCount; ++i) {
        MidiHandle handle;
        {
          std::lock_guard<std::mutex> lock(s.inputs[i].mutex);
          handle = s.inputs[i].handle;
        }
        if (handle != 0) InClose(s, handle);
      }
    } else {
      for (uint32_t i = 0; i < outCount; ++i) {
        MidiHandle handle;
        {
          std::lock_guard<std::mutex> lock(s.outputs[i].mutex);
          handle = s.outputs[i].handle;
        }
        if (handle != 0) OutClose(s, handle);
      }
    }
  }
}

int OutName(MidiServiceState& s, uint32_t deviceId, char* name, size_t capacity) {
  if (deviceId >= s.outCount.load(std::memory_order_acquire)) return kMidiBadDeviceId;
  return CopyName(s.outputs[deviceId].name, name, capacity);
}

int InName(MidiServiceState& s, uint32_t deviceId, char* name, size_t capacity) {
  if (deviceId >= s.inCount.load(std::memory_order_acquire)) return kMidiBadDeviceId;
  return CopyName(s.inputs[deviceId].name, name, capacity);
}

// ---- Outputs ----

int OutOpen(MidiServiceState& s, uint32_t deviceId, MidiHandle* handle) {
  std::unique_lock<std::mutex> lock;
  int result = OpenDevice(s, s.outputs.get(), s.outCount.load(std::memory_order_acquire), deviceId, false, handle, &lock);
  if (result == kMidiOk) Event(s, VirtualMidiEvent::Open, false, deviceId);
  return result;
}

int OutClose(MidiServiceState& s, MidiHandle handle) {
  uint32_t id = DeviceIdOf(handle);
  std::unique_lock<std::mutex> lock;
  OutDevice* d = LockOpen(FindOut(s, handle), handle, &lock);
  if (!d) return kMidiInvalidHandle;
  d->handle = 0;  // no sender reaches the port from now on
  Event(s, VirtualMidiEvent::Close, false, id);
  lock.unlock();
  const MidiOps* ops = s.ops.load(std::memory_order_acquire);
  if (ops && ops->outClose) ops->outClose(s, id);
  return kMidiOk;
}

int OutSendAt(MidiServiceState& s, MidiHandle handle, const uint8_t* bytes, uint32_t length, double atMs) {
  std::unique_lock<std::mutex> lock;
  OutDevice* d = LockOpen(FindOut(s, handle), handle, &lock);
  if (!d) return kMidiInvalidHandle;
  if (!d->present) return kMidiNoDevice;
  if (length == 0) return kMidiOk;  // nothing goes out
  if (!bytes) return kMidiError;
  const MidiOps* ops = s.ops.load(std::memory_order_acquire);
  // Refused whole rather than lost on the way: a device carries only whole messages.
  if (ops->longest && length > ops->longest(s, DeviceIdOf(handle))) return kMidiInvalidParam;
  if (atMs > 0 && ops->sendAt) return ops->sendAt(s, DeviceIdOf(handle), bytes, length, atMs);
  return ops->send(s, DeviceIdOf(handle), bytes, length);
}

int OutSend(MidiServiceState& s, MidiHandle handle, const uint8_t* bytes, uint32_t length) {
  return OutSendAt(s, handle, bytes, length, 0);
}

uint32_t OutLongest(MidiServiceState& s, MidiHandle handle) {
  std::unique_lock<std::mutex> lock;
  if (!LockOpen(FindOut(s, handle), handle, &lock)) return 0;
  const MidiOps* ops = s.ops.load(std::memory_order_acquire);
  return ops->longest ? ops->longest(s, DeviceIdOf(handle)) : 0x7FFFFFFFu;
}

int OutShort(MidiServiceState& s, MidiHandle handle, uint32_t word) {
  uint8_t bytes[3] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                      static_cast<uint8_t>(word >> 16)};
  return OutSend(s, handle, bytes, static_cast<uint32_t>(ShortMessageLength(bytes[0])));
}

// ---- Inputs ----

int InOpen(MidiServiceState& s, uint32_t deviceId, MidiInCallback callback, uintptr_t instance,
           MidiHandle* handle) {
  std::unique_lock<std::mutex> lock;
  int result = OpenDevice(s, s.inputs.get(), s.inCount.load(std::memory_order_acquire), deviceId, true, handle, &lock);
  if (result != kMidiOk) return result;
  InDevice& d = s.inputs[deviceId];
  d.started = false;
  d.flowing.store(false, std::memory_order_release);
  d.callback = callback;
  d.instance = instance;
  d.buffers.clear();
  Event(s, VirtualMidiEvent::Open, true, deviceId);
  return kMidiOk;
}

int InStart(MidiServiceState& s, MidiHandle handle) {
  std::unique_lock<std::mutex> lock;
  InDevice* d = LockOpen(FindIn(s, handle), handle, &lock);
  if (!d) return kMidiInvalidHandle;
  if (!d->started) {
    d->started = true;
    d->startNs = s.ops.load(std::memory_order_acquire)->inputClockNs();
    d->epoch.fetch_add(1, std::memory_order_acq_rel);
    d->flowing.store(true, std::memory_order_release);
  }
  return kMidiOk;
}

int InStop(MidiServiceState& s, MidiHandle handle) {
  std::unique_lock<std::mutex> lock;
  InDevice* d = LockOpen(FindIn(s, handle), handle, &lock);
  if (!d) return kMidiInvalidHandle;
  Halt(*d);
  lock.unlock();
  WaitForCallback(*d);
  return kMidiOk;
}

int InClose(MidiServiceState& s, MidiHandle handle) {
  std::unique_lock<std::mutex> lock;
  InDevice* d = LockOpen(FindIn(s, handle), handle, &lock);
  if (!d) return kMidiInvalidHandle;
  uint32_t id = DeviceIdOf(handle);
  d->handle = 0;
  Halt(*d);
  d->callback = nullptr;
  d->buffers.clear();
  Event(s, VirtualMidiEvent::Close, true, id);
  lock.unlock();
  bool fromCallback = d->callbackThread.load(std::memory_order_acquire) == std::this_thread::get_id();
  WaitForCallback(*d);
  const MidiOps* ops = s.ops.load(std::memory_order_acquire);
  if (ops && ops->inClose) ops->inClose(s, id, fromCallback);
  return kMidiOk;
}

int InAddBuffer(MidiServiceState& s, MidiHandle handle, MidiInBuffer* buffer) {
  std::unique_lock<std::mutex> lock;
  InDevice* d = LockOpen(FindIn(s, handle), handle, &lock);
  if (!d) return kMidiInvalidHandle;
  if (!buffer || (!buffer->data && buffer->length > 0)) return kMidiError;
  d->buffers.push_back(buffer);
  return kMidiOk;
}

// ---- Delivery ----

bool Deliver(InDevice& d, const uint8_t* bytes, size_t count, int64_t arrivalNs, uint32_t epoch, double serverMs) {
  if (!bytes || count == 0 || (bytes[0] != 0xF0 && count > 3)) return false;
  std::thread::id self = std::this_thread::get_id();
  if (d.callbackThread.load(std::memory_order_acquire) == self) return false;  // from its own callback
  std::lock_guard<std::mutex> running(d.callbackMutex);
  MidiInCallback callback;
  uintptr_t instance;
  MidiHandle handle;
  int64_t startNs;
  MidiInBuffer* buffer = nullptr;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.handle == 0 || !d.present || !d.started || d.epoch.load(std::memory_order_relaxed) != epoch) return false;
    callback = d.callback;
    instance = d.instance;
    handle = d.handle;
    startNs = d.startNs;
    if (!callback) return true;  // opened without a callback: accepted, and goes nowhere
    if (bytes[0] == 0xF0) {
      if (d.buffers.empty()) return true;  // no buffer queued: dropped
      buffer = d.buffers.front();
      d.buffers.pop_front();
    }
  }
  int64_t sinceStart = arrivalNs > startNs ? arrivalNs - startNs : 0;
  uintptr_t ms = static_cast<uintptr_t>(sinceStart / 1000000);
  d.callbackThread.store(self, std::memory_order_release);
  ArrivalScope arrival(arrivalNs, serverMs);
  if (buffer) {
    uint32_t length = static_cast<uint32_t>(std::min<size_t>(count, buffer->length));
    if (length > 0) std::memcpy(buffer->data, bytes, length);
    buffer->bytesRecorded = length;
    callback(handle, kMimLongData, instance, reinterpret_cast<uintptr_t>(buffer), ms);
  } else {
    uint32_t word = bytes[0];
    if (count > 1) word |= static_cast<uint32_t>(bytes[1]) << 8;
    if (count > 2) word |= static_cast<uint32_t>(bytes[2]) << 16;
    callback(handle, kMimData, instance, word, ms);
  }
  d.callbackThread.store(std::thread::id(), std::memory_order_release);
  return true;
}

bool DeliverNow(InDevice& d, const uint8_t* bytes, size_t count) {
  uint32_t epoch = d.epoch.load(std::memory_order_acquire);
  return Deliver(d, bytes, count, MonotonicNs(), epoch);
}

ArrivalScope::ArrivalScope(int64_t arrivalNs, double serverMs) {
  t_arrivalMs = static_cast<double>(arrivalNs) / 1e6;
  t_arrivalServerMs = serverMs;
}
ArrivalScope::~ArrivalScope() {
  t_arrivalMs = -1.0;
  t_arrivalServerMs = std::numeric_limits<double>::quiet_NaN();
}

double PlacedServerMs() { return t_placedServerMs; }

void WaitForCallback(InDevice& d) {
  if (d.callbackThread.load(std::memory_order_acquire) == std::this_thread::get_id()) return;
  std::lock_guard<std::mutex> wait(d.callbackMutex);
}

int CopyName(const std::string& text, char* name, size_t capacity) {
  if (!name || capacity == 0) return kMidiError;
  size_t length = std::min(text.size(), capacity - 1);
  std::memcpy(name, text.data(), length);
  name[length] = '\0';
  return kMidiOk;
}

}  // namespace midi_common

double MidiInArrivalMs() { return midi_common::t_arrivalMs >= 0 ? midi_common::t_arrivalMs : NowMs(); }
double MidiInArrivalServerMs() { return midi_common::t_arrivalServerMs; }

void PlaceOnServerTime(double serverMs) { midi_common::t_placedServerMs = serverMs; }
ServerTimeScope::~ServerTimeScope() { midi_common::t_placedServerMs = std::numeric_limits<double>::quiet_NaN(); }

int ShortMessageLength(uint8_t status) {
  if (status < 0xC0) return 3;  // running status (data first) and 0x8n-0xBn
  if (status < 0xE0) return 2;  // program change, channel pressure
  if (status < 0xF0) return 3;  // pitch bend
  if (status == 0xF1 || status == 0xF3) return 2;
  if (status == 0xF2) return 3;
  return 1;
}

}  // namespace platform
