// Audition and direct sends. The records are drawn in audition.h.
#include "ports/audition.h"

#include <new>

#include "host/engine.h"
#include "platform/wire.h"
#include "status/outbox.h"

namespace {

// The owner of `window`'s sends: its own when it is registered, else nobody in particular.
Owner OwnerOf(Engine& engine, uint32_t window) {
  ClientRecord* client = window != 0 ? ClientOf(engine.clients, window) : nullptr;
  return client ? client->owner : kOwnerNone;
}

// Sends a list of packed events as `owner`'s; true when none was refused for want of room.
bool SendList(Engine& engine, const uint32_t* events, size_t n, Owner owner) {
  bool taken = true;
  for (size_t i = 0; i < n; ++i)
    if (SendShortMessage(engine.ports, events[i], owner) == kStageQueueFull) taken = false;
  return taken;
}

}  // namespace

int32_t SendDirectShort(Engine& engine, uint32_t source, uint32_t event) {
  return SendShortMessage(engine.ports, event, OwnerOf(engine, source));
}

void SendShortList(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events) {
  ClientRecord* client = ClientOf(engine.clients, window);
  if (!client) return;
  bool taken = true;
  for (uint32_t i = 0; i < size / kPackedEventSize; ++i) {
    uint32_t event = platform::LoadLe32(events + kPackedEventSize * i);
    if (SendShortMessage(engine.ports, event, client->owner) == kStageQueueFull) taken = false;
  }
  if (!taken) PostNotification(engine.bus, window, kNotifyFailed, kErrorQueueFull);
}

void StartAudition(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events) {
  ClientRecord* client = ClientOf(engine.clients, window);
  if (!client) return;
  ReleaseAudition(engine);
  Audition& a = engine.audition;
  uint32_t n = size / kPackedEventSize;
  try {
    a.list.assign(n, 0);
  } catch (const std::bad_alloc&) {
    a.list = std::vector<uint32_t>();  // no room for the list: this audition is dropped
    return;
  }
  for (uint32_t i = 0; i < n; ++i) a.list[i] = platform::LoadLe32(events + kPackedEventSize * i);
  a.owner = client->owner;
  if (!SendList(engine, a.list.data(), a.list.size(), a.owner))
    PostNotification(engine.bus, window, kNotifyFailed, kErrorQueueFull);
  // A hold of 0 or below expires at the next turn of the message loop.
  platform::BusSetTimer(engine.bus, kAuditionTimerId, a.holdTimeMs);
}

void ReleaseAudition(Engine& engine) {
  Audition& a = engine.audition;
  platform::BusKillTimer(engine.bus, kAuditionTimerId);  // nothing happens when none runs
  for (uint32_t event : a.list) {
    if ((event & 0xF0) != 0x90 || (event & 0xFF0000) == 0) continue;
    // Only what the client still holds: a port closed since, or a panic, has released it already.
    int32_t port = static_cast<int32_t>(event >> 24);
    if (HeldStrikes(engine.ports, port, event & 0x0F, (event >> 8) & 0x7F, a.owner) == 0) continue;
    SendShortMessage(engine.ports, event & 0xFF00FFFF, a.owner);
  }
  a.list.clear();
  a.owner = kOwnerNone;
}

void ForgetAuditionOf(Engine& engine, Owner owner) {
  Audition& a = engine.audition;
  if (a.list.empty() || a.owner != owner) return;
  platform::BusKillTimer(engine.bus, kAuditionTimerId);
  a.list.clear();
  a.owner = kOwnerNone;
}

void SendDirectSysex(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes, uint32_t port) {
  ReclaimSpent(engine.ports);
  int result = SendSysexOnPort(engine.ports, size, bytes, port, OwnerOf(engine, window), SysexCopy::kMayAllocate);
  if (result == kStageQueueFull) PostNotification(engine.bus, window, kNotifyFailed, kErrorQueueFull);
  if (result == kStageTooLong) PostNotification(engine.bus, window, kNotifyFailed, kErrorMessageTooLong);
}

int32_t LongestMessage(Engine& engine, uint32_t deviceId) {
  int port = FindOutputPortByDevice(engine.ports, deviceId);
  if (port < 0) return 0;
  uint32_t longest = platform::MidiOutLongest(engine.ports.outputs[port].handle.load());
  return static_cast<int32_t>(longest > kLongestUnlimited ? kLongestUnlimited : longest);
}
