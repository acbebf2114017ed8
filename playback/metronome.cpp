// The metronome: settings, its port, the count-in and the clicks. See metronome.h for the click
// state and the threads.
#include "playback/metronome.h"

#include "platform/timer.h"
#include "protocol/protocol.h"
#include "locks/locks.h"

namespace {

uint32_t PortByte(int32_t port) {
  return port < 0 || port >= static_cast<int32_t>(tovu::protocol::kNoPortIndex) ? tovu::protocol::kNoPortIndex
                                                                               : static_cast<uint32_t>(port);
}

// Ends the sounding click on the port and note it was struck on.
void EndClickLocked(Metronome& m, Ports& ports) REQUIRES(m.lock) {
  if (m.sounding != 0) SendShortMessage(ports, m.sounding & 0xFF00FFFFu, kOwnerClick);
  m.sounding = 0;
  m.clickState = 0;
}

// Strikes a click.
void ClickLocked(Metronome& m, Ports& ports, const PlaybackClock& clock, bool bar) REQUIRES(m.lock) {
  uint32_t word = ClickWord(m.channel, bar ? m.barNote : m.beatNote, bar ? kBarClickVelocity : kBeatClickVelocity,
                            m.port.load(std::memory_order_relaxed));
  SendShortMessage(ports, word, kOwnerClick);
  m.sounding = word;
  m.clickState = bar ? 2 : 1;
  m.endsAtMs = platform::NowMs() + ReadClock(clock).msPerTick * clock.positionStep.load();
}

// A whole multiple of a bar or beat length; a length of 0 has no multiples.
bool OnLine(int64_t r, int32_t length) { return length != 0 && r % length == 0; }

}  // namespace

uint32_t ClickWord(uint32_t channel, uint32_t note, uint32_t velocity, int32_t port) {
  return 0x90u | (channel & 0x0F) | (note & 0x7F) << 8 | (velocity & 0x7F) << 16 | PortByte(port) << 24;
}

void SetMetronome(Metronome& m, Ports& ports, const EngineSettings& settings) {
  int32_t old;
  {
    EngineLock lock(m.lock);
    EndClickLocked(m, ports);
    old = m.port.exchange(-1);
  }
  if (old >= 0) ports.outputs[old].Close();

  EngineSettings& s = ports.settings;
  s = settings;
  RefreshMetronomeNotes(m, s);
  if (s.device == static_cast<int32_t>(tovu::protocol::kNoDevice)) return;
  int port = FindOutputPortByDevice(ports, static_cast<uint32_t>(s.device));
  if (port < 0) {
    s.device = tovu::protocol::kNoDevice;
    return;
  }
  if (ports.outputs[port].Open() != platform::kMidiOk) return;  // the device id stays, no port
  EngineLock lock(m.lock);
  m.port.store(port);
}

void RefreshMetronomeNotes(Metronome& m, const EngineSettings& s) {
  EngineLock lock(m.lock);
  m.channel = static_cast<uint32_t>(s.channel) & 0x0F;
  m.barNote = static_cast<uint32_t>(s.measureNote) & 0x7F;
  m.beatNote = static_cast<uint32_t>(s.beatNote) & 0x7F;
}

void ReleaseMetronomePort(Metronome& m, Ports& ports) {
  int32_t old;
  {
    EngineLock lock(m.lock);
    EndClickLocked(m, ports);
    old = m.port.exchange(-1);
  }
  if (old >= 0) ports.outputs[old].Close();
}

void ResetClickState(Metronome& m) {
  EngineLock lock(m.lock);
  m.sounding = 0;
  m.clickState = 0;
}

int32_t BeginCountIn(Metronome& m, const EngineSettings& settings, const StateImage* main, bool recording) {
  if (!recording || !main || settings.device == static_cast<int32_t>(tovu::protocol::kNoDevice)) {
    m.on.store(false);
    return 0;
  }
  m.on.store(true);
  int32_t length = main->ticksPerBar;
  if (length <= 0) return 0;
  return length;
}

bool MetronomeOn(const Metronome& m) { return m.on.load(std::memory_order_relaxed); }

void MetronomeStep(Metronome& m, Ports& ports, const StateImage& main, const PlaybackClock& clock, int32_t step) {
  EngineLock lock(m.lock);
  EndClickLocked(m, ports);
  int64_t r = static_cast<int64_t>(step) - main.timeSigTick;
  if (OnLine(r, main.ticksPerBar))
    ClickLocked(m, ports, clock, true);
  else if (OnLine(r, main.ticksPerBeat))
    ClickLocked(m, ports, clock, false);
}

void EndLongClick(Metronome& m, Ports& ports, double nowMs) {
  EngineLock lock(m.lock);
  if (m.sounding != 0 && nowMs >= m.endsAtMs) EndClickLocked(m, ports);
}
