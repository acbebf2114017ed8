// Audition and direct sends: short-message lists, the one audition the engine holds at a time with
// its release timer (a window timer, so its expiry arrives on the main thread), and direct
// system-exclusive sends. Main thread only.
#include <cstring>
#include <new>

#include "host/engine.h"
#include "platform/wire.h"

void SendShortList(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events) {
  if (FindClient(engine.clients, window) < 0) return;
  for (uint32_t i = 0; i < size / 4; ++i) SendShortMessage(engine.ports, platform::LoadLe32(events + 4 * i));
}

void StartAudition(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events) {
  if (FindClient(engine.clients, window) < 0) return;
  ReleaseAudition(engine);
  Audition& a = engine.audition;
  uint32_t n = size / 4;
  try {
    a.list.assign(n, 0);
  } catch (const std::bad_alloc&) {
    a.list = std::vector<uint32_t>();  // no room for the list: this audition is dropped
    return;
  }
  for (uint32_t i = 0; i < n; ++i) a.list[i] = platform::LoadLe32(events + 4 * i);
  for (uint32_t event : a.list) SendShortMessage(engine.ports, event);
  // A hold of 0 or below expires at the next turn of the message loop.
  platform::BusSetTimer(engine.bus, kAuditionTimerId, a.holdTimeMs);
}

void ReleaseAudition(Engine& engine) {
  Audition& a = engine.audition;
  platform::BusKillTimer(engine.bus, kAuditionTimerId);  // nothing happens when none runs
  for (uint32_t event : a.list)
    if ((event & 0xF0) == 0x90 && (event & 0xFF0000) != 0) SendShortMessage(engine.ports, event & 0xFF00FFFF);
  a.list.clear();
}

void SendDirectSysex(Engine& engine, uint32_t size, const uint8_t* bytes, uint32_t port) {
  SendSysexOnPort(engine.ports, size, bytes, port);
}
