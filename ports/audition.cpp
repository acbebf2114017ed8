// Audition and direct sends: short-message lists, the one audition the engine holds at a time with
// its release timer (a window timer, so its expiry arrives on the main thread), and direct
// system-exclusive sends. Main thread only.
#include <cstring>
#include <new>

#include "host/engine.h"
#include "platform/wire.h"

namespace {

// The handle of the port a packed event names (0 when closed or no such port).
uint32_t PortHandle(const Ports& ports, uint32_t event) {
  uint32_t p = event >> 24;
  return p < static_cast<uint32_t>(ports.outputCount) ? ports.outputs[p].handle.load() : 0;
}

}  // namespace

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
    a.handles.assign(n, 0);
  } catch (const std::bad_alloc&) {
    a.list = std::vector<uint32_t>();  // no room for the list: this audition is dropped
    a.handles = std::vector<uint32_t>();
    return;
  }
  for (uint32_t i = 0; i < n; ++i) a.list[i] = platform::LoadLe32(events + 4 * i);
  for (uint32_t i = 0; i < n; ++i) {
    a.handles[i] = PortHandle(engine.ports, a.list[i]);
    SendShortMessage(engine.ports, a.list[i]);
  }
  // A hold of 0 or below expires at the next turn of the message loop.
  platform::BusSetTimer(engine.bus, kAuditionTimerId, a.holdTimeMs);
}

void ReleaseAudition(Engine& engine) {
  Audition& a = engine.audition;
  platform::BusKillTimer(engine.bus, kAuditionTimerId);  // nothing happens when none runs
  for (size_t i = 0; i < a.list.size(); ++i) {
    uint32_t event = a.list[i];
    if ((event & 0xF0) != 0x90 || (event & 0xFF0000) == 0) continue;
    // A port closed since the note was sent released it at its last close: nothing is sent to it
    // closed, nor to whoever opened it again since.
    if (PortHandle(engine.ports, event) != a.handles[i]) continue;
    SendShortMessage(engine.ports, event & 0xFF00FFFF);
  }
  a.list.clear();
  a.handles.clear();
}

void SendDirectSysex(Engine& engine, uint32_t size, const uint8_t* bytes, uint32_t port) {
  SendSysexOnPort(engine.ports, size, bytes, port);
}
