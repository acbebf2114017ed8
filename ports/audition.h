// Audition and direct sends: short-message lists, the one audition the engine holds at a time with
// its release timer (a window timer, so its expiry arrives on the main thread), single short
// messages and system-exclusive messages. Everything goes through the ports' output stages as the
// sending client's (its owner), so that a port's pause holds it in order with everything else and
// every release is worked out from the ledger. The host resolves who sent what (a registered
// client's owner) before calling in. Main thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "ports/ports.h"
#include "status/outbox.h"

constexpr uint32_t kAuditionTimerId = 1000;

// The one audition the engine holds: its events (empty when none is held; an empty audition
// releases nothing either), the client it belongs to, and the hold time of the next one; and the
// ports and outbox it works with (set at the set-up).
struct Audition {
  std::vector<uint32_t> list;
  Owner owner = kOwnerNone;
  int32_t holdTimeMs = 300;
  Ports* ports = nullptr;
  Outbox outbox;
};

// Copy-data 15: a list of packed events sent in order as `owner`'s; a message its port's queue
// refused is reported to `window` (notification 10, kErrorQueueFull), and one to a port whose
// device has gone away (kErrorPortAbsent), each once per list.
void SendShortList(Ports& ports, const Outbox& outbox, Owner owner, uint32_t window, uint32_t size,
                   const uint8_t* events);
// Copy-data 16: the same as an audition, released after the hold time (a new audition releases the
// one held first, whoever started it).
void StartAudition(Audition& audition, Owner owner, uint32_t window, uint32_t size, const uint8_t* events);
// Releases what the audition struck and its client still holds (by the ledger): one velocity-0
// note-on per listed note-on. The audition timer, a new audition and the teardown.
void ReleaseAudition(Audition& audition);
// A departure: an audition of the leaving client's is forgotten (its notes go with the rest of
// what the client struck).
void ForgetAuditionOf(Audition& audition, Owner owner);
// Copy-data 17: one system-exclusive message on output port `port` as `owner`'s; a refusal (the
// queue full, a message longer than the device carries, a device gone away) is reported to `window`.
void SendDirectSysex(Ports& ports, const Outbox& outbox, Owner owner, uint32_t window, uint32_t size,
                     const uint8_t* bytes, uint32_t port);
// Command 32: the longest message the output port of `deviceId` carries (0 when no port of that
// device id is open).
int32_t LongestMessage(Ports& ports, uint32_t deviceId);
