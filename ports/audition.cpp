// Audition and direct sends. The records are drawn in audition.h.
#include "ports/audition.h"

#include <new>

#include "platform/wire.h"
#include "protocol/protocol.h"

using namespace tovu::protocol;

namespace {

// Sends packed events as `owner`'s; true when none was refused for want of room.
bool SendList(Ports& ports, const uint32_t* events, size_t n, Owner owner) {
  bool taken = true;
  for (size_t i = 0; i < n; ++i)
    if (SendShortMessage(ports, events[i], owner) == kStageQueueFull) taken = false;
  return taken;
}

}  // namespace

void SendShortList(Ports& ports, const Outbox& outbox, Owner owner, uint32_t window, uint32_t size,
                   const uint8_t* events) {
  bool taken = true;
  for (uint32_t i = 0; i < size / kPackedEventSize; ++i)
    if (SendShortMessage(ports, platform::LoadLe32(events + kPackedEventSize * i), owner) == kStageQueueFull) taken = false;
  if (!taken) PostNotification(outbox.bus, window, kNotifyFailed, kErrorQueueFull);
}

void StartAudition(Audition& a, Owner owner, uint32_t window, uint32_t size, const uint8_t* events) {
  ReleaseAudition(a);
  uint32_t n = size / kPackedEventSize;
  try {
    a.list.assign(n, 0);
  } catch (const std::bad_alloc&) {
    a.list = std::vector<uint32_t>();  // no room for the list: this audition is dropped
    return;
  }
  for (uint32_t i = 0; i < n; ++i) a.list[i] = platform::LoadLe32(events + kPackedEventSize * i);
  a.owner = owner;
  if (!SendList(*a.ports, a.list.data(), a.list.size(), a.owner))
    PostNotification(a.outbox.bus, window, kNotifyFailed, kErrorQueueFull);
  // A hold of 0 or below expires at the next turn of the message loop.
  platform::BusSetTimer(a.outbox.bus, kAuditionTimerId, a.holdTimeMs);
}

void ReleaseAudition(Audition& a) {
  platform::BusKillTimer(a.outbox.bus, kAuditionTimerId);  // nothing happens when none runs
  for (uint32_t event : a.list) {
    if ((event & 0xF0) != 0x90 || (event & 0xFF0000) == 0) continue;
    // Only what the client still holds: a port closed since, or a panic, has released it already.
    int32_t port = static_cast<int32_t>(event >> 24);
    if (HeldStrikes(*a.ports, port, event & 0x0F, (event >> 8) & 0x7F, a.owner) == 0) continue;
    SendShortMessage(*a.ports, event & 0xFF00FFFF, a.owner);
  }
  a.list.clear();
  a.owner = kOwnerNone;
}

void ForgetAuditionOf(Audition& a, Owner owner) {
  if (a.list.empty() || a.owner != owner) return;
  platform::BusKillTimer(a.outbox.bus, kAuditionTimerId);
  a.list.clear();
  a.owner = kOwnerNone;
}

void SendDirectSysex(Ports& ports, const Outbox& outbox, Owner owner, uint32_t window, uint32_t size,
                     const uint8_t* bytes, uint32_t port) {
  ReclaimSpent(ports);
  int result = SendSysexOnPort(ports, size, bytes, port, owner, SysexCopy::kMayAllocate);
  if (result == kStageQueueFull) PostNotification(outbox.bus, window, kNotifyFailed, kErrorQueueFull);
  if (result == kStageTooLong) PostNotification(outbox.bus, window, kNotifyFailed, kErrorMessageTooLong);
}

int32_t LongestMessage(Ports& ports, uint32_t deviceId) {
  int port = FindOutputPortByDevice(ports, deviceId);
  if (port < 0) return 0;
  uint32_t longest = platform::MidiOutLongest(ports.outputs[port].handle.load());
  return static_cast<int32_t>(longest > kLongestUnlimited ? kLongestUnlimited : longest);
}
