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
#include <vector>

#include "host/engine.h"
#include "playback/chase.h"
#include "platform/wire.h"

namespace {

int32_t Clamp(int64_t value, int32_t low, int32_t high) {
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(value, low), high));
}

// Under Thru::lock: resets the thru image and advances the generation: a message admitted before
// this is not played after it. Returns thru's port (-1 none).
int32_t ForgetLocked(Engine& engine) {
  if (StateImage* image = engine.images[kThruImage]) ResetStateImage(*image);
  engine.recording.thru.generation.fetch_add(1);
  return engine.recording.thru.port.load();
}

// Releases, by the ledger, what `owner` holds on `port`: its strikes, then its pedals.
void ReleaseOn(Ports& ports, int32_t port, Owner owner) {
  if (port < 0) return;
  ReleaseStrikes(ports, port, owner);
  LiftPedals(ports, port, owner);
}

// Silences what thru and the loop echo hold and closes thru's port; thru is off afterwards.
void Detach(Engine& engine) {
  int32_t old;
  {
    EngineLock lock(engine.recording.thru.lock);
    ForgetLocked(engine);
    engine.recording.thru.owner.store(0);
    old = engine.recording.thru.port.exchange(-1);
  }
  // Nothing reaches the old port through thru any more.
  ReleaseOn(engine.ports, old, kOwnerThru);
  ReleaseOn(engine.ports, old, kOwnerEcho);
  if (old >= 0) engine.ports.outputs[old].Close();
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

void ThruPlay(Engine& engine, uint32_t message) {
  ThruPlayIn(engine, message, engine.recording.thru.generation.load());
}

bool ThruPlayIn(Engine& engine, uint32_t message, uint32_t generation) {
  // Only channel messages are echoed: a system status would read as one of the engine's own codes
  // (0xFE tempo, 0xFF end marker) and must never reach the image or the clock.
  uint32_t kind = message & 0xF0;
  if (kind < 0x80 || kind == 0xF0) return true;
  StateImage* image = engine.images[kThruImage];
  if (!image) return true;
  Thru& thru = engine.recording.thru;
  EngineLock lock(thru.lock);
  if (thru.generation.load() != generation) return false;
  int32_t port = engine.recording.thru.port.load(std::memory_order_relaxed);
  if (port < 0) return true;
  ApplyEvent(engine.ports, engine.clock, 0, ThruWord(thru.settings, port, message), *image, kOwnerThru);
  return true;
}

void ThruPlayBatch(Engine& engine, const uint32_t* messages, int count, uint32_t generation) {
  StateImage* image = engine.images[kThruImage];
  if (!image || count <= 0) return;
  Thru& thru = engine.recording.thru;
  EngineLock lock(thru.lock);
  if (thru.generation.load() != generation) return;
  int32_t port = engine.recording.thru.port.load(std::memory_order_relaxed);
  if (port < 0) return;
  for (int i = 0; i < count; ++i) {
    uint32_t kind = messages[i] & 0xF0;
    if (kind < 0x80 || kind == 0xF0) continue;
    ApplyEvent(engine.ports, engine.clock, 0, ThruWord(thru.settings, port, messages[i]), *image, kOwnerEcho);
  }
}

void ReleaseThruNotes(Engine& engine) {
  EngineLock lock(engine.recording.thru.lock);
  ReleaseOn(engine.ports, ForgetLocked(engine), kOwnerThru);
}

void InputFilterChanged(Engine& engine, uint32_t window) {
  uint32_t listener = engine.playback.recordingClient.load();
  if (listener == 0) listener = engine.recording.thru.owner.load();
  if (window != 0 && window == listener) ReleaseThruNotes(engine);
}

void SetThru(Engine& engine, uint32_t sender, const uint8_t* payload) {
  Detach(engine);
  ThruSettings s;
  s.device = static_cast<int32_t>(platform::LoadLe32(payload + kThruDeviceOffset));
  s.channel = static_cast<int32_t>(platform::LoadLe32(payload + kThruChannelOffset));
  s.transpose = static_cast<int32_t>(platform::LoadLe32(payload + kThruTransposeOffset));
  s.velocityOffset = static_cast<int32_t>(platform::LoadLe32(payload + kThruVelocityOffsetOffset));
  int port = -1;
  if (s.device != static_cast<int32_t>(kNoDevice)) {
    port = FindOutputPortByDevice(engine.ports, static_cast<uint32_t>(s.device));
    if (port >= 0 && engine.ports.outputs[port].Open() != platform::kMidiOk) port = -1;
    if (port < 0) s.device = kNoDevice;  // no such port, or it would not open: thru is off
  }
  EngineLock lock(engine.recording.thru.lock);
  engine.recording.thru.settings = s;
  if (port >= 0) {
    engine.recording.thru.port.store(port);
    engine.recording.thru.owner.store(sender);
  }
}

void ReapplyThru(Engine& engine, uint32_t sender) {
  ThruSettings s;
  {
    EngineLock lock(engine.recording.thru.lock);
    s = engine.recording.thru.settings;
  }
  uint8_t payload[kThruSettingsSize];
  platform::StoreLe32(payload + kThruDeviceOffset, static_cast<uint32_t>(s.device));
  platform::StoreLe32(payload + kThruChannelOffset, static_cast<uint32_t>(s.channel));
  platform::StoreLe32(payload + kThruTransposeOffset, static_cast<uint32_t>(s.transpose));
  platform::StoreLe32(payload + kThruVelocityOffsetOffset, static_cast<uint32_t>(s.velocityOffset));
  SetThru(engine, sender, payload);
}

void ReleaseThruPort(Engine& engine) { Detach(engine); }
