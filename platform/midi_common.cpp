// What the real device services share: handles, input delivery, names. See midi_common.h.
// Threads: as in midi_common.h.
#include "platform/midi_common.h"

#include <algorithm>
#include <cstring>

namespace platform::midi_common {
namespace {

constexpr uint32_t kIndexMask = 0xFFF;
constexpr uint32_t kInputBit = 1u << 12;
constexpr uint32_t kSerialShift = 13;
constexpr uint32_t kSerialMask = (1u << (32 - kSerialShift)) - 1;
static_assert(kMaxDevices <= kIndexMask, "device ids must fit the handle");

std::atomic<uint32_t> g_serial{0};

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

void Deliver(InputState& d, const uint8_t* bytes, size_t count, int64_t arrivalNs, uint32_t epoch) {
  if (!bytes || count == 0 || (bytes[0] != 0xF0 && count > 3)) return;
  std::thread::id self = std::this_thread::get_id();
  if (d.callbackThread.load(std::memory_order_acquire) == self) return;
  std::lock_guard<std::mutex> running(d.callbackMutex);
  MidiInCallback callback;
  uintptr_t instance;
  MidiHandle handle;
  int64_t startNs;
  MidiInBuffer* buffer = nullptr;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.handle == 0 || !d.started || d.epoch != epoch || !d.callback) return;
    callback = d.callback;
    instance = d.instance;
    handle = d.handle;
    startNs = d.startNs;
    if (bytes[0] == 0xF0) {
      if (d.buffers.empty()) return;  // no buffer queued: dropped
      buffer = d.buffers.front();
      d.buffers.pop_front();
    }
  }
  int64_t sinceStart = arrivalNs > startNs ? arrivalNs - startNs : 0;
  uintptr_t ms = static_cast<uintptr_t>(sinceStart / 1000000);
  d.callbackThread.store(self, std::memory_order_release);
  ArrivalScope arrival(arrivalNs);
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
}

void WaitForCallback(InputState& d) {
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

}  // namespace platform::midi_common
