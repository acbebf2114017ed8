// Thru: incoming MIDI echoed at once to one output port, with the channel, transpose and velocity
// offset of the thru settings, through the thru image. What thru's echo holds on its port is in that
// port's ledger (owner thru; the loop echo of a recording, owner echo), and every release of it is
// worked out from there.
//
// Threads: ThruPlay on the MIDI input thread (live input) and on the timer thread (the loop-record
// echo) at once; SetThru and the releases on the main thread. Thru::lock keeps them apart: a play
// holds it for its image update and its one send; a release holds it while it advances thru's
// generation (so that nothing admitted before it plays after it) and sends what the ledger holds of
// thru's on its port (a handful of notes and pedals).
#include <algorithm>

#include "locks/locks.h"
#include "playback/chase.h"
#include "recording/recording.h"

namespace {

int32_t Clamp(int64_t value, int32_t low, int32_t high) {
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(value, low), high));
}

// Resets the thru image and advances the generation: a message admitted before this is not played
// after it. Returns thru's port (-1 none).
int32_t ForgetLocked(Thru& thru) REQUIRES(thru.lock) {
  if (thru.image) ResetStateImage(*thru.image);
  thru.generation.fetch_add(1);
  return thru.port.load();
}

// Releases, by the ledger, what `owner` holds on `port`: its strikes, then its pedals.
void ReleaseOn(Ports& ports, int32_t port, Owner owner) {
  if (port < 0) return;
  ReleaseStrikes(ports, port, owner);
  LiftPedals(ports, port, owner);
}

// Silences what thru and the loop echo hold and closes thru's port; thru is off afterwards.
void Detach(Thru& thru) {
  int32_t old;
  {
    EngineLock lock(thru.lock);
    ForgetLocked(thru);
    thru.owner.store(0);
    old = thru.port.exchange(-1);
  }
  // Nothing reaches the old port through thru any more.
  ReleaseOn(*thru.ports, old, kOwnerThru);
  ReleaseOn(*thru.ports, old, kOwnerEcho);
  if (old >= 0) thru.ports->outputs[old].Close();
}

}  // namespace

uint32_t ThruWord(const ThruSettings& settings, int32_t port, uint32_t message) {
  uint32_t portByte = port < 0 || port >= static_cast<int32_t>(kNoPortIndex) ? kNoPortIndex : static_cast<uint32_t>(port);
  uint32_t status = message & 0xFF;
  if (settings.channel >= 0) status = (status & 0xF0) | (static_cast<uint32_t>(settings.channel) & 0x0F);
  uint32_t data1 = (message >> 8) & 0x7F;
  uint32_t data2 = (message >> 16) & 0x7F;
  uint32_t kind = status & 0xF0;
  if (kind == 0x90 || kind == 0x80) {
    data1 = static_cast<uint32_t>(Clamp(static_cast<int64_t>(data1) + settings.transpose, 0, 127));
    if (data2 != 0) data2 = static_cast<uint32_t>(Clamp(static_cast<int64_t>(data2) + settings.velocityOffset, 1, 127));
    if (kind == 0x80) {
      status = 0x90 | (status & 0x0F);
      data2 = 0;
    }
  }
  return status | data1 << 8 | data2 << 16 | portByte << 24;
}

void ThruPlay(Thru& thru, uint32_t message) { ThruPlayIn(thru, message, thru.generation.load()); }

bool ThruPlayIn(Thru& thru, uint32_t message, uint32_t generation) {
  // Only channel messages are echoed: a system status would read as one of the engine's own codes
  // (0xFE tempo, 0xFF end marker) and must never reach the image or the clock.
  uint32_t kind = message & 0xF0;
  if (kind < 0x80 || kind == 0xF0) return true;
  if (!thru.image) return true;
  EngineLock lock(thru.lock);
  if (thru.generation.load() != generation) return false;
  int32_t port = thru.port.load(std::memory_order_relaxed);
  if (port < 0) return true;
  ApplyEvent(*thru.ports, *thru.clock, 0, ThruWord(thru.settings, port, message), *thru.image, kOwnerThru);
  return true;
}

void ThruPlayBatch(Thru& thru, const uint32_t* messages, int count, uint32_t generation) {
  if (!thru.image || count <= 0) return;
  EngineLock lock(thru.lock);
  if (thru.generation.load() != generation) return;
  int32_t port = thru.port.load(std::memory_order_relaxed);
  if (port < 0) return;
  for (int i = 0; i < count; ++i) {
    uint32_t kind = messages[i] & 0xF0;
    if (kind < 0x80 || kind == 0xF0) continue;
    ApplyEvent(*thru.ports, *thru.clock, 0, ThruWord(thru.settings, port, messages[i]), *thru.image, kOwnerEcho);
  }
}

void ReleaseThruNotes(Thru& thru) {
  EngineLock lock(thru.lock);
  ReleaseOn(*thru.ports, ForgetLocked(thru), kOwnerThru);
}

void SetThru(Thru& thru, uint32_t sender, const ThruSettings& settings) {
  Detach(thru);
  ThruSettings s = settings;
  int port = -1;
  if (s.device != static_cast<int32_t>(kNoDevice)) {
    port = FindOutputPortByDevice(*thru.ports, static_cast<uint32_t>(s.device));
    if (port >= 0 && thru.ports->outputs[port].Open() != platform::kMidiOk) port = -1;
    if (port < 0) s.device = kNoDevice;  // no such port, or it would not open: thru is off
  }
  EngineLock lock(thru.lock);
  thru.settings = s;
  if (port >= 0) {
    thru.port.store(port);
    thru.owner.store(sender);
  }
}

void ReleaseThruPort(Thru& thru) { Detach(thru); }
