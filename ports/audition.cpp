// Audition and direct sends. The records are drawn in audition.h.
#include "ports/audition.h"

#include <new>

#include "platform/wire.h"
#include "protocol/protocol.h"

using namespace tovu::protocol;

namespace {

// Sends packed events as `owner`'s and tells `window` once of each kind of refusal: a queue (or
// the owner's share of it) full, a port whose device has gone away.
// `event(i)` is the i-th of `n` events.
template <typename EventAt>
void SendList(Ports& ports, const Outbox& outbox, uint32_t window, EventAt event, size_t n, Owner owner) {
  bool full = false;
  bool absent = false;
  for (size_t i = 0; i < n; ++i) {
    int result = SendShortMessage(ports, event(i), owner);
    full = full || result == kStageQueueFull;
    absent = absent || result == platform::kMidiNoDevice;
  }
  if (full) PostNotification(outbox.bus, window, kNotifyFailed, kErrorQueueFull);
  if (absent) PostNotification(outbox.bus, window, kNotifyFailed, kErrorPortAbsent);
}

}  // namespace

void SendShortList(Ports& ports, const Outbox& outbox, Owner owner, uint32_t window, uint32_t size,
                   const uint8_t* events) {
  auto event = [events](size_t i) { return platform::LoadLe32(events + kPackedEventSize * i); };
  SendList(ports, outbox, window, event, size / kPackedEventSize, owner);
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
  const uint32_t* list = a.list.data();
  SendList(*a.ports, a.outbox, window, [list](size_t i) { return list[i]; }, a.list.size(), a.owner);
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
  if (result == platform::kMidiNoDevice) PostNotification(outbox.bus, window, kNotifyFailed, kErrorPortAbsent);
}

int32_t LongestMessage(Ports& ports, uint32_t deviceId) {
  int port = FindOutputPortByDevice(ports, deviceId);
  if (port < 0) return 0;
  uint32_t longest = platform::MidiOutLongest(ports.outputs[port].handle.load());
  return static_cast<int32_t>(longest > kLongestUnlimited ? kLongestUnlimited : longest);
}
