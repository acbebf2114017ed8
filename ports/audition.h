// Audition and direct sends: short-message lists, the one audition the engine holds at a time with
// its release timer (a window timer, so its expiry arrives on the main thread), single short
// messages and system-exclusive messages. Everything goes through the ports' output stages as the
// sending client's (its owner), so that a port's pause holds it in order with everything else and
// every release is worked out from the ledger. Main thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "ports/output_stage.h"

struct Engine;

constexpr uint32_t kAuditionTimerId = 1000;

// The one audition the engine holds: its events (empty when none is held; an empty audition
// releases nothing either), the client it belongs to, and the hold time of the next one.
struct Audition {
  std::vector<uint32_t> list;
  Owner owner = kOwnerNone;
  int32_t holdTimeMs = 300;
};

// Copy-data 15 and 16: a list of packed events from a registered client, sent in order; an
// audition's notes are released after the hold time. A message its port's queue refused is
// reported to the client (notification 10, kErrorQueueFull), once per list.
void SendShortList(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events);
void StartAudition(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events);
// Releases what the audition struck and its client still holds (by the ledger): one velocity-0
// note-on per listed note-on. The audition timer, a new audition and the teardown.
void ReleaseAudition(Engine& engine);
// A departure: an audition of the leaving client's is forgotten (its notes go with the rest of
// what the client struck).
void ForgetAuditionOf(Engine& engine, Owner owner);
// Copy-data 17, from any window: one system-exclusive message on output port `port`; a refusal
// (the queue full, or a message longer than the device carries) is reported to `window`.
void SendDirectSysex(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes, uint32_t port);
// Command 18: one short message, as the client whose window `source` is (when it is registered).
// Returns the output path's result (kResultQueueFull when its port's queue had no room).
int32_t SendDirectShort(Engine& engine, uint32_t source, uint32_t event);
// Command 32: the longest message the output port of `deviceId` carries (0 when no port of that
// device id is open).
int32_t LongestMessage(Engine& engine, uint32_t deviceId);
