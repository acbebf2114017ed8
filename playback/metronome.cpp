// The metronome: settings, its port, the count-in and the clicks. See metronome.h for the click
// state and the threads.
#include "playback/metronome.h"

#include "host/engine.h"
#include "status/outbox.h"
#include "platform/timer.h"
#include "platform/wire.h"

namespace {

uint32_t PortByte(int32_t port) {
  return port < 0 || port >= static_cast<int32_t>(kNoPortIndex) ? kNoPortIndex : static_cast<uint32_t>(port);
}

// Ends the sounding click on the port and note it was struck on. Caller holds the metronome lock.
void EndClickLocked(Engine& engine) {
  Metronome& m = engine.metronome;
  if (m.sounding != 0) SendShortMessage(engine.ports, m.sounding & 0xFF00FFFFu, kOwnerClick);
  m.sounding = 0;
  m.clickState = 0;
}

// Strikes a click. Caller holds the metronome lock.
void ClickLocked(Engine& engine, bool bar) {
  Metronome& m = engine.metronome;
  uint32_t word = ClickWord(m.channel, bar ? m.barNote : m.beatNote, bar ? kBarClickVelocity : kBeatClickVelocity,
                            engine.metronome.port.load(std::memory_order_relaxed));
  SendShortMessage(engine.ports, word, kOwnerClick);
  m.sounding = word;
  m.clickState = bar ? 2 : 1;
  m.endsAtMs = platform::NowMs() + ReadClock(engine.clock).msPerTick * engine.clock.positionStep.load();
}

// The four settings as kCopySetMetronome carries them (and kCopyMetronomeSettings answers).
void StoreSettings(const EngineSettings& s, uint8_t* payload) {
  platform::StoreLe32(payload + kMetronomeDeviceOffset, static_cast<uint32_t>(s.mtrDev));
  platform::StoreLe32(payload + kMetronomeChannelOffset, static_cast<uint32_t>(s.mtrChan));
  platform::StoreLe32(payload + kMetronomeMeasureNoteOffset, static_cast<uint32_t>(s.mtrNM));
  platform::StoreLe32(payload + kMetronomeBeatNoteOffset, static_cast<uint32_t>(s.mtrNB));
}

// A whole multiple of a bar or beat length; a length of 0 has no multiples.
bool OnLine(int64_t r, int32_t length) { return length != 0 && r % length == 0; }

}  // namespace

uint32_t ClickWord(uint32_t channel, uint32_t note, uint32_t velocity, int32_t port) {
  return 0x90u | (channel & 0x0F) | (note & 0x7F) << 8 | (velocity & 0x7F) << 16 | PortByte(port) << 24;
}

void SetMetronome(Engine& engine, uint32_t, const uint8_t* payload) {
  Metronome& m = engine.metronome;
  int32_t old;
  {
    EngineLock lock(m.lock);
    EndClickLocked(engine);
    old = engine.metronome.port.exchange(-1);
  }
  if (old >= 0) engine.ports.outputs[old].Close();

  EngineSettings& s = engine.ports.settings;
  s.mtrDev = static_cast<int32_t>(platform::LoadLe32(payload + kMetronomeDeviceOffset));
  s.mtrChan = static_cast<int32_t>(platform::LoadLe32(payload + kMetronomeChannelOffset));
  s.mtrNM = static_cast<int32_t>(platform::LoadLe32(payload + kMetronomeMeasureNoteOffset));
  s.mtrNB = static_cast<int32_t>(platform::LoadLe32(payload + kMetronomeBeatNoteOffset));
  RefreshMetronomeNotes(engine);
  if (s.mtrDev == static_cast<int32_t>(kNoDevice)) return;
  int port = FindOutputPortByDevice(engine.ports, static_cast<uint32_t>(s.mtrDev));
  if (port < 0) {
    s.mtrDev = kNoDevice;
    return;
  }
  if (engine.ports.outputs[port].Open() != platform::kMidiOk) return;  // the device id stays, no port
  EngineLock lock(m.lock);
  engine.metronome.port.store(port);
}

void ReapplyMetronome(Engine& engine) {
  uint8_t payload[16];
  StoreSettings(engine.ports.settings, payload);
  SetMetronome(engine, 0, payload);
}

int32_t ReplyMetronomeSettings(Engine& engine, uint32_t window) {
  uint8_t payload[16];
  StoreSettings(engine.ports.settings, payload);
  SendCopyData(engine.bus, engine.window, window, kCopyMetronomeSettings, payload, sizeof payload);
  return 0;
}

void RefreshMetronomeNotes(Engine& engine) {
  const EngineSettings& s = engine.ports.settings;
  EngineLock lock(engine.metronome.lock);
  engine.metronome.channel = static_cast<uint32_t>(s.mtrChan) & 0x0F;
  engine.metronome.barNote = static_cast<uint32_t>(s.mtrNM) & 0x7F;
  engine.metronome.beatNote = static_cast<uint32_t>(s.mtrNB) & 0x7F;
}

void ReleaseMetronomePort(Engine& engine) {
  int32_t old;
  {
    EngineLock lock(engine.metronome.lock);
    EndClickLocked(engine);
    old = engine.metronome.port.exchange(-1);
  }
  if (old >= 0) engine.ports.outputs[old].Close();
}

void ResetClickState(Engine& engine) {
  EngineLock lock(engine.metronome.lock);
  engine.metronome.sounding = 0;
  engine.metronome.clickState = 0;
}

int32_t BeginCountIn(Engine& engine, bool recording) {
  Metronome& m = engine.metronome;
  const StateImage* main = engine.images[kMainImage];
  if (!recording || !main || engine.ports.settings.mtrDev == static_cast<int32_t>(kNoDevice)) {
    m.on.store(false);
    return 0;
  }
  m.on.store(true);
  int32_t length = main->ticksPerBar;
  if (length <= 0) return 0;
  return length;
}

bool MetronomeOn(const Engine& engine) { return engine.metronome.on.load(std::memory_order_relaxed); }

void MetronomeStep(Engine& engine, int32_t step) {
  EngineLock lock(engine.metronome.lock);
  EndClickLocked(engine);
  const StateImage* main = engine.images[kMainImage];
  if (!main) return;
  int64_t r = static_cast<int64_t>(step) - main->timeSigTick;
  if (OnLine(r, main->ticksPerBar))
    ClickLocked(engine, true);
  else if (OnLine(r, main->ticksPerBeat))
    ClickLocked(engine, false);
}

void EndLongClick(Engine& engine, double nowMs) {
  EngineLock lock(engine.metronome.lock);
  if (engine.metronome.sounding != 0 && nowMs >= engine.metronome.endsAtMs) EndClickLocked(engine);
}
