// The outbox: posts and sends to client windows. See outbox.h.
#include "status/outbox.h"

#include "protocol/protocol.h"
#include "locks/locks.h"

void PostNotification(platform::Bus* bus, uint32_t window, uint32_t code, uint32_t lParam) {
  platform::BusPost(bus, window, tovu::protocol::kEngineCommand, code, lParam);
}

void PostTakeLost(platform::Bus* bus, uint32_t window) {
  platform::BusPostPastLimits(bus, window, tovu::protocol::kEngineCommand, tovu::protocol::kNotifyFailed,
                              tovu::protocol::kErrorOutOfMemory);
}

void PostToAll(platform::Bus* bus, const std::vector<uint32_t>& windows, uint32_t code, uint32_t sender) {
  for (uint32_t window : windows)
    if (window != 0)
      PostNotification(bus, window, code, window == sender ? tovu::protocol::kNotifyOwn : tovu::protocol::kNotifyOther);
}

int32_t SendCopyData(platform::Bus* bus, uint32_t engineWindow, uint32_t window, uint32_t type, const void* data,
                     uint32_t size) {
  CheckNoEngineLockHeld();
  return platform::BusSend(bus, window, platform::kWmCopyData, engineWindow, 0, type, data, size);
}

bool DeliverCopyData(platform::Bus* bus, uint32_t engineWindow, uint32_t window, uint32_t type, const void* data,
                     uint32_t size) {
  CheckNoEngineLockHeld();
  bool written = false;
  platform::BusSend(bus, window, platform::kWmCopyData, engineWindow, 0, type, data, size, &written);
  return written;
}

bool QueueCopyData(platform::Bus* bus, uint32_t engineWindow, uint32_t window, uint32_t type, const void* data,
                   uint32_t size) {
  CheckNoEngineLockHeld();
  return platform::BusSendNoWait(bus, window, platform::kWmCopyData, engineWindow, 0, type, data, size);
}

int32_t SendToClient(platform::Bus* bus, uint32_t window, uint32_t msg, uint32_t lParam) {
  CheckNoEngineLockHeld();
  return platform::BusSend(bus, window, msg, 0, lParam, 0, nullptr, 0);
}

bool QueueToClient(platform::Bus* bus, uint32_t window, uint32_t msg, uint32_t lParam) {
  CheckNoEngineLockHeld();
  return platform::BusSendNoWait(bus, window, msg, 0, lParam, 0, nullptr, 0);
}

int32_t SendGatedToClient(platform::Bus* bus, const platform::BusGate& gate, uint32_t window, uint32_t msg,
                          uint32_t lParam) {
  CheckNoEngineLockHeld();
  return platform::BusSendGated(bus, gate, window, msg, 0, lParam, 0, nullptr, 0);
}
