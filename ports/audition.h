// Audition and direct sends: the one audition the engine holds and the direct sends held back while
// their port pauses after a system-exclusive message. Main thread only; both timers are the engine
// window's timers, so their expiry arrives on the main thread too.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

struct Engine;

constexpr uint32_t kAuditionTimerId = 1000;
constexpr uint32_t kHeldSendTimerId = 1001;

// A direct send (main thread) held back because its port is still in its pause after a sysex, or
// behind another held send for the same port: a short message (`word`), or a sysex when `sysex`
// is not empty.
struct HeldSend {
  int32_t port = 0;
  uint32_t word = 0;
  std::vector<uint8_t> sysex;
};

// The one audition the engine holds: its events (empty when none is held; an empty audition
// releases nothing either) and its release timer, the engine window's timer kAuditionTimerId.
// Beside each event, the handle its port had when it was sent: a port closed since then has
// released its notes, and a port opened again since is not sent a release for them.
struct Audition {
  std::vector<uint32_t> list;
  std::vector<uint32_t> handles;
  int32_t holdTimeMs = 300;
};

void SendShortList(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events);
void StartAudition(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events);
void ReleaseAudition(Engine& engine);
void SendDirectSysex(Engine& engine, uint32_t size, const uint8_t* bytes, uint32_t port);
// A short message from the main thread (command 18, lists, the audition): sent now, or held while
// its port pauses after a sysex (0 is returned then). Returns the output path's result.
int32_t SendDirectShort(Engine& engine, uint32_t event);
// Window timer kHeldSendTimerId: sends the held messages whose port is free, in order, and sets the
// timer again for the rest. With `all` (the teardown), sends every one at once.
void SendHeld(Engine& engine, bool all);
