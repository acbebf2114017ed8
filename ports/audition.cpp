// Audition and direct sends: short-message lists, the one audition the engine holds at a time with
// its release timer (a window timer, so its expiry arrives on the main thread), and direct
// system-exclusive sends. Main thread only. The records are drawn in audition.h.
//
// A port pauses after each system-exclusive message (its sysex delay). The main thread never sleeps
// for it: a direct send to a pausing port, and every later direct send to that port, is held in
// order and sent by a window timer when the pause is over.
#include "ports/audition.h"

#include <cmath>
#include <cstring>
#include <new>

#include "host/engine.h"
#include "platform/timer.h"
#include "platform/wire.h"

namespace {

bool MustHold(const Engine& engine, int32_t port, double now) {
  if (port < 0 || port >= engine.ports.outputCount) return false;
  if (SysexReadyAt(engine.ports, port) > now) return true;
  for (const HeldSend& h : engine.held)
    if (h.port == port) return true;
  return false;
}

// Queues a held send and makes sure the timer runs for it; false when there is no room.
bool Hold(Engine& engine, HeldSend&& send) {
  try {
    engine.held.push_back(std::move(send));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (engine.held.size() == 1) SendHeld(engine, false);  // sets the timer
  return true;
}

// The handle of the port a packed event names (0 when closed or no such port).
uint32_t PortHandle(const Ports& ports, uint32_t event) {
  uint32_t p = event >> 24;
  return p < static_cast<uint32_t>(ports.outputCount) ? ports.outputs[p].handle.load() : 0;
}

}  // namespace

int32_t SendDirectShort(Engine& engine, uint32_t event) {
  int32_t port = static_cast<int32_t>(event >> 24);
  if (!MustHold(engine, port, platform::NowMs())) return SendShortMessage(engine.ports, event);
  HeldSend h;
  h.port = port;
  h.word = event;
  return Hold(engine, std::move(h)) ? 0 : SendShortMessage(engine.ports, event);
}

void SendHeld(Engine& engine, bool all) {
  double now = platform::NowMs();
  double soonest = 0.0;
  for (auto it = engine.held.begin(); it != engine.held.end();) {
    double ready = SysexReadyAt(engine.ports, it->port);
    bool blocked = false;  // an earlier held send of the same port is still waiting
    for (auto before = engine.held.begin(); before != it; ++before)
      if (before->port == it->port) blocked = true;
    if (!all && (blocked || ready > now)) {
      if (!blocked && (soonest == 0.0 || ready < soonest)) soonest = ready;
      ++it;
      continue;
    }
    if (it->sysex.empty())
      SendShortMessage(engine.ports, it->word);
    else
      SendSysexOnPort(engine.ports, static_cast<uint32_t>(it->sysex.size()), it->sysex.data(),
                      static_cast<uint32_t>(it->port));
    it = engine.held.erase(it);
    if (!all) {  // a sysex just sent pauses its port: look again from the start
      it = engine.held.begin();
      soonest = 0.0;
    }
  }
  if (!engine.bus) return;
  if (engine.held.empty() || soonest == 0.0) {
    platform::BusKillTimer(engine.bus, kHeldSendTimerId);
    return;
  }
  platform::BusSetTimer(engine.bus, kHeldSendTimerId, static_cast<int32_t>(std::ceil(soonest - now)));
}

void SendShortList(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events) {
  if (!ClientOf(engine.clients, window)) return;
  for (uint32_t i = 0; i < size / kPackedEventSize; ++i)
    SendDirectShort(engine, platform::LoadLe32(events + kPackedEventSize * i));
}

void StartAudition(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events) {
  if (!ClientOf(engine.clients, window)) return;
  ReleaseAudition(engine);
  Audition& a = engine.audition;
  uint32_t n = size / kPackedEventSize;
  try {
    a.list.assign(n, 0);
    a.handles.assign(n, 0);
  } catch (const std::bad_alloc&) {
    a.list = std::vector<uint32_t>();  // no room for the list: this audition is dropped
    a.handles = std::vector<uint32_t>();
    return;
  }
  for (uint32_t i = 0; i < n; ++i) a.list[i] = platform::LoadLe32(events + kPackedEventSize * i);
  for (uint32_t i = 0; i < n; ++i) {
    a.handles[i] = PortHandle(engine.ports, a.list[i]);
    SendDirectShort(engine, a.list[i]);
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
    SendDirectShort(engine, event & 0xFF00FFFF);
  }
  a.list.clear();
  a.handles.clear();
}

void SendDirectSysex(Engine& engine, uint32_t size, const uint8_t* bytes, uint32_t port) {
  int32_t p = port > static_cast<uint32_t>(kMaxPorts) ? -1 : static_cast<int32_t>(port);
  if (MustHold(engine, p, platform::NowMs())) {
    HeldSend h;
    h.port = p;
    try {
      h.sysex.assign(bytes, bytes + size);
    } catch (const std::bad_alloc&) {
      return;  // no room to hold it: dropped, like a song event that cannot be stored
    }
    if (Hold(engine, std::move(h))) return;
  }
  SendSysexOnPort(engine.ports, size, bytes, port);
}
