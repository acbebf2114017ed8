// Sync out: the settings, the scheduler's steps, the pulses while stopped and the JACK timebase.
// See sync_out.h for the receivers' states and the threads.
#include "playback/sync_out.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/midi.h"
#include "playback/scheduler.h"
#include "playback/song_image.h"
#include "sync/pulses.h"

using namespace midisync;

namespace {

enum ReceiverState : uint8_t { kReceiverStopped = 0, kReceiverCued = 1, kReceiverRunning = 2, kReceiverJoining = 3 };

// What a wake-up sends at most in one go (a machine that stalled owes many pulses): the rest
// follows in the next wake-up, a moment later.
constexpr int kMostPulsesAtOnce = 256;
// The tempo the settings may ask for the pulses while stopped, quarter notes a minute x 1000.
constexpr double kSlowestIdleMilli = 1000;
constexpr double kFastestIdleMilli = 1000 * 1000;
// Pulses while stopped that fell this far behind (a stalled machine) go on from now.
constexpr double kIdleCatchUpMs = 50.0;

void SendByte(SyncOut& s, int32_t port, uint8_t byte, double atMs) { SendTiming(*s.ports, port, &byte, 1, atMs); }

void SendWord(SyncOut& s, int32_t port, uint32_t word, uint32_t length, double atMs) {
  const uint8_t bytes[3] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word >> 16)};
  SendTiming(*s.ports, port, bytes, length, atMs);
}

// The song's sixteenth in ticks, as the clock holds it (the scheduler's position step).
int32_t TicksPerSixteenth(const PlaybackState& p) {
  const int32_t step = p.clock->positionStep.load();
  return step > 0 ? step : 1;
}

int32_t PortCount(const SyncOut& s) { return std::min(s.ports->outputCount.load(std::memory_order_acquire), kMaxPorts); }

// ---- The song's timeline: time, bars and meter up to a tick ----

struct SongPlace {
  double ms = 0;  // the song's time at the tick, at tempo factor 1
  int32_t barOriginTick = 0;
  int32_t barsBefore = 0;
};

// The song's time at `tick` (its tempo map walked), and its time signatures up to it (at it too).
SongPlace PlaceOf(const uint8_t* song, int32_t tick) {
  SongPlace place;
  if (!song) return place;
  TempoWalk walk = StartTempoWalk(song);
  place.ms = WalkToTick(walk, tick);
  const int32_t tps = walk.ticksPerSixteenth;
  int32_t ticksPerBar = TicksPerBar(song[kSongTimeSigNumerator], tps, song[kSongTimeSigDenominatorPower]);
  for (const uint8_t* e = song + kSongHeaderSize;; e += kEventEntrySize) {
    const int32_t at = ReadI32(e);
    const uint32_t w = ReadU32(e + kEventWordOffset);
    if (EventCode(w) == kCodeEnd || at > tick) break;
    if (EventPort(w) == kIgnoredPort || EventCode(w) != kCodeTimeSig) continue;
    if (ticksPerBar > 0) place.barsBefore += static_cast<int32_t>(CeilDivide(at - place.barOriginTick, ticksPerBar));
    place.barOriginTick = at;
    ticksPerBar = TicksPerBar(static_cast<int32_t>(EventPort(w)), tps, static_cast<int32_t>(EventData2(w)));
  }
  return place;
}

// Where no pulse may go: the loop's end, the song's end marker (a playback that neither loops nor
// records ends there), or nowhere.
int64_t PassEndOf(PlaybackState& p) REQUIRES(p.lock) {
  if (p.loopOn.load()) return p.loopEnd.load();
  if (p.recordingClient.load() != 0) return kNoTickLimit;
  for (const uint8_t* e = p.main->eventCursor;; e += kEventEntrySize)
    if (EventCode(ReadU32(e + kEventWordOffset)) == kCodeEnd) return ReadI32(e);
}

// The place of the loop's start, for every wrap to come (the song is walked once, at the start and
// at a switch, not at each wrap).
void TakeLoopPlaceLocked(PlaybackState& p, SyncOut& s) REQUIRES(p.lock, s.lock) {
  s.loopPlaceValid = p.loopOn.load() != 0;
  if (!s.loopPlaceValid) return;
  SongPlace place = PlaceOf(p.song, p.loopStart.load());
  s.loopStartMs = place.ms;
  s.loopBarOriginTick = place.barOriginTick;
  s.loopBarsBefore = place.barsBefore;
}

// ---- The timeline the JACK timebase reads ----

void WriteSpan(SyncOut& s, double fromMs, const ClockAnchor& a, double anchorTick, bool rolling,
               const StateImage& main) REQUIRES(s.lock) {
  Timeline& t = s.timeline;
  uint32_t seq = t.sequence.load();
  t.sequence.store(seq + 1);
  uint32_t n = t.written.load();
  TimelineSpan& span = t.spans[n % kTimelineSpans];
  span.fromMs.store(fromMs);
  span.anchorMs.store(a.anchorTime);
  span.anchorTick.store(anchorTick);
  span.msPerTick.store(rolling ? a.msPerTick : 0.0);
  span.ticksPerBeat.store(main.ticksPerBeat);
  span.numerator.store(main.numerator);
  span.denominatorPower.store(main.denominatorPower);
  span.barOriginTick.store(s.barOriginTick);
  span.barsBefore.store(s.barsBefore);
  // Beats of the time signature's note value per minute.
  double quarterMs = a.msPerTick * 4.0 * std::max(main.ticksPerSixteenth, 1);
  span.beatsPerMinute.store(quarterMs > 0 ? 60000.0 / quarterMs * std::ldexp(1.0, main.denominatorPower) / 4.0 : 120.0);
  t.written.store(n + 1);
  t.sequence.store(seq + 2);
}

// ---- Clock ----

void SendPulseLocked(SyncOut& s, int64_t pulse, double atMs) REQUIRES(s.lock) {
  for (int32_t i = 0; i < PortCount(s); ++i) {
    if (!(s.what[i] & kSyncClock)) continue;
    uint8_t& r = s.receiver[i];
    if (r == kReceiverCued && pulse == s.cueAt[i]) {
      SendByte(s, i, s.cueAt[i] == 0 ? kClockStart : kClockContinue, atMs);
      r = kReceiverRunning;
    } else if (r != kReceiverRunning && !s.runWhileStopped) {
      continue;
    }
    SendByte(s, i, kClockPulse, atMs);
  }
  s.lastPulseMs = atMs;
}

// Cues one receiver to start at the first sixteenth at or after pulse `from` (at 0 for a position
// before the song's start): the pointer goes out now, the start with that sixteenth's pulse.
void CueLocked(SyncOut& s, int32_t port, int64_t from, double atMs) REQUIRES(s.lock) {
  int64_t sixteenth = from > 0 ? CeilDivide(from, kPulsesPerSixteenth) : 0;
  if (sixteenth > 0) SendWord(s, port, SongPositionWord(sixteenth), 3, atMs);
  s.cueAt[port] = sixteenth * kPulsesPerSixteenth;
  s.receiver[port] = kReceiverCued;
}

void StartIdleLocked(SyncOut& s, double nowMs) REQUIRES(s.lock);

void IdlePulse(void* context, uint64_t id) {
  SyncOut& s = *static_cast<SyncOut*>(context);
  EngineLock guard(s.lock);
  if (id != s.idleTimer) return;
  s.idleTimer = 0;
  SendPulseLocked(s, -1, s.idleDueMs);
  StartIdleLocked(s, platform::NowMs());
}

void StartIdleLocked(SyncOut& s, double nowMs) {
  bool any = false;
  for (int32_t i = 0; i < PortCount(s) && !any; ++i) any = (s.what[i] & kSyncClock) != 0;
  if (s.playing || !s.runWhileStopped || !any || s.idleTimer != 0 || !s.timers) return;
  double interval = s.idleMsPerPulse > 0 ? s.idleMsPerPulse : s.msPerPulse;
  double due = s.lastPulseMs + interval;
  if (due < nowMs - kIdleCatchUpMs) due = nowMs;
  s.idleDueMs = due;
  s.idleTimer = platform::TimerArm(s.timers, due, IdlePulse, &s);
}

// ---- Time code ----

void TimecodeJumpLocked(SyncOut& s, double songMs, double atMs) REQUIRES(s.lock) {
  const double frameMs = MtcFrameMs(s.rate);
  s.timecodeOriginMs = atMs - songMs;
  int64_t frame = songMs > 0 ? static_cast<int64_t>(std::ceil(songMs / frameMs - 1e-9)) : 0;
  s.fullFrame = frame;
  s.nextQuarter = 4 * (frame + (frame & 1));
  s.timecodeOn = true;
}

void SendFullFrame(SyncOut& s, int32_t port, int64_t frame, double atMs) REQUIRES(s.lock) {
  uint8_t bytes[kFullFrameSize];
  FullFrameMessage(frame, s.rate, bytes);
  SendTiming(*s.ports, port, bytes, kFullFrameSize, atMs);
}

void TimecodeUntilLocked(SyncOut& s, double untilMs) REQUIRES(s.lock) {
  if (!s.timecodeOn) return;
  const double frameMs = MtcFrameMs(s.rate);
  if (s.fullFrame >= 0) {
    double due = s.timecodeOriginMs + static_cast<double>(s.fullFrame) * frameMs;
    if (due > untilMs) return;
    for (int32_t i = 0; i < PortCount(s); ++i)
      if (s.what[i] & kSyncTimecode) {
        SendFullFrame(s, i, s.fullFrame, due);
        s.timecodeFresh[i] = 0;
      }
    s.fullFrame = -1;
  }
  for (int sent = 0; sent < kMostPulsesAtOnce; ++sent) {
    double due = s.timecodeOriginMs + static_cast<double>(s.nextQuarter) * frameMs / 4.0;
    if (due > untilMs) return;
    const uint8_t data = QuarterFrameData(s.nextQuarter, s.rate);
    for (int32_t i = 0; i < PortCount(s); ++i) {
      if (!(s.what[i] & kSyncTimecode)) continue;
      // A port chosen while the code runs hears a full frame at the next group's first piece.
      if (s.timecodeFresh[i]) {
        if ((s.nextQuarter & 7) != 0) continue;
        SendFullFrame(s, i, s.nextQuarter / 4, due);
        s.timecodeFresh[i] = 0;
      }
      SendWord(s, i, kQuarterFrame | uint32_t{data} << 8, 2, due);
    }
    s.nextQuarter += 1;
  }
}

double NextTimecodeMs(const SyncOut& s) REQUIRES(s.lock) {
  if (!s.timecodeOn) return 0;
  bool any = false;
  for (int32_t i = 0; i < PortCount(s) && !any; ++i) any = (s.what[i] & kSyncTimecode) != 0;
  if (!any) return 0;
  const double frameMs = MtcFrameMs(s.rate);
  if (s.fullFrame >= 0) return s.timecodeOriginMs + static_cast<double>(s.fullFrame) * frameMs;
  return s.timecodeOriginMs + static_cast<double>(s.nextQuarter) * frameMs / 4.0;
}

// ---- The transport ----

void TransportJumpLocked(SyncOut& s, double songMs, int32_t tick, double atMs) REQUIRES(s.lock) {
  if (!s.timebaseHeld || s.transportFollowed) return;
  if (tick < 0) {
    // Nothing rolls before the song's start: the transport waits at 0 and starts with tick 0.
    if (s.rolling) platform::MidiTransportRoll(false);
    platform::MidiTransportLocate(0, atMs);
    s.rolling = false;
    s.rollAtZero = true;
    return;
  }
  platform::MidiTransportLocate(songMs, atMs);
  if (!s.rolling) platform::MidiTransportRoll(true);
  s.rolling = true;
  s.rollAtZero = false;
}

// ---- Settings ----

uint32_t DeviceOf(const Ports& ports, int32_t index) { return ports.outputs[index].deviceId; }

}  // namespace

// ---- The scheduler's steps ----

void PublishTimeline(PlaybackState& p, double fromMs) {
  SyncOut* s = p.sync;
  if (!s || !p.main) return;
  EngineLock guard(s->lock);
  const StateImage& main = *p.main;
  // A time signature the playback passed moves the bar count on; a jump set both anew.
  if (main.timeSigTick != s->barOriginTick) {
    if (s->ticksPerBar > 0 && main.timeSigTick > s->barOriginTick)
      s->barsBefore += static_cast<int32_t>(CeilDivide(main.timeSigTick - s->barOriginTick, s->ticksPerBar));
    s->barOriginTick = main.timeSigTick;
    fromMs = std::max(fromMs, TickDueTime(*p.clock, main.timeSigTick));
  }
  s->ticksPerBar = main.ticksPerBar;
  s->publishedClock = p.clock->sequence.load();
  ClockAnchor a = ReadClock(*p.clock);
  if (s->playing) {
    WriteSpan(*s, fromMs, a, a.anchorTick, true, main);
  } else {
    // Stopped: the position stands where the playback stopped.
    a.anchorTime = fromMs;
    WriteSpan(*s, fromMs, a, PositionAt(ReadClock(*p.clock), fromMs), false, main);
  }
}

void JumpSync(PlaybackState& p, int32_t tick, double atMs, bool pulsesFollow, bool newSong) {
  SyncOut* s = p.sync;
  if (!s) return;
  {
    EngineLock guard(s->lock);
    if (newSong) TakeLoopPlaceLocked(p, *s);
    s->ticksPerSixteenth = TicksPerSixteenth(p);
    s->passEnd = PassEndOf(p);
    if (!pulsesFollow) {
      for (int32_t i = 0; i < PortCount(*s); ++i) {
        if (!(s->what[i] & kSyncClock)) continue;
        if (s->receiver[i] == kReceiverRunning) SendByte(*s, i, kClockStop, atMs);
        CueLocked(*s, i, tick >= 0 ? FirstPulseFrom(tick, s->ticksPerSixteenth) : 0, atMs);
      }
      s->nextPulse = FirstPulseFrom(tick, s->ticksPerSixteenth);
    }
    const bool wrap = s->loopPlaceValid && tick == p.loopStart.load();
    SongPlace place;
    if (wrap) {
      place.ms = s->loopStartMs;
      place.barOriginTick = s->loopBarOriginTick;
      place.barsBefore = s->loopBarsBefore;
    } else {
      place = PlaceOf(p.song, tick);
    }
    const double factor = p.clock->playbackTempoFactor.load();
    // Before the song's start the code waits at 0 until tick 0 comes.
    const double beforeMs = tick < 0 ? PositionDueTime(ReadClock(*p.clock), 0) - atMs : 0;
    TimecodeJumpLocked(*s, place.ms / factor, atMs + beforeMs);
    TransportJumpLocked(*s, place.ms / factor, tick, atMs);
    s->barOriginTick = place.barOriginTick;
    s->barsBefore = place.barsBefore;
    s->ticksPerBar = p.main->ticksPerBar;
  }
  PublishTimeline(p, atMs);
}

bool PulsesFollow(PlaybackState& p, int32_t tick) {
  SyncOut* s = p.sync;
  if (!s) return true;
  EngineLock guard(s->lock);
  if (TicksPerSixteenth(p) != s->ticksPerSixteenth) return false;
  const int64_t last = s->nextPulse - 1, at = LastPulseAt(tick, s->ticksPerSixteenth);
  return last == at || (last == at + 1 && PulseBefore(last, int64_t{tick} + 1, s->ticksPerSixteenth));
}

void RefreshTimeline(PlaybackState& p) {
  SyncOut* s = p.sync;
  if (!s || !p.main) return;
  {
    EngineLock guard(s->lock);
    if (!s->timebaseHeld) return;  // nobody reads it
    if (p.clock->sequence.load() == s->publishedClock && p.main->timeSigTick == s->barOriginTick) return;
  }
  PublishTimeline(p, ReadClock(*p.clock).anchorTime);
}

void BeginSync(PlaybackState& p, double nowMs) {
  SyncOut* s = p.sync;
  if (!s) return;
  {
    EngineLock guard(s->lock);
    s->idleTimer = 0;  // a pulse while stopped still due finds the playback and does nothing
    s->playing = true;
    TakeLoopPlaceLocked(p, *s);
    for (int32_t i = 0; i < PortCount(*s); ++i) s->timecodeFresh[i] = 0;
  }
  JumpSync(p, p.currentTick.load(), nowMs, false, false);
}

void SyncUntil(PlaybackState& p, double untilMs) {
  SyncOut* s = p.sync;
  if (!s) return;
  EngineLock guard(s->lock);
  if (!s->playing) return;
  const ClockAnchor a = ReadClock(*p.clock);
  const int32_t tps = s->ticksPerSixteenth;
  // Ports chosen while the song plays start at the next sixteenth.
  for (int32_t i = 0; i < PortCount(*s); ++i)
    if (s->receiver[i] == kReceiverJoining) CueLocked(*s, i, s->nextPulse, untilMs);
  for (int sent = 0; sent < kMostPulsesAtOnce && PulseBefore(s->nextPulse, s->passEnd, tps); ++sent) {
    double due = PositionDueTime(a, PulseTick(s->nextPulse, tps));
    if (due > untilMs + platform::kClockResolutionMs) break;
    SendPulseLocked(*s, s->nextPulse, due);
    s->nextPulse += 1;
    s->msPerPulse = a.msPerTick * tps / kPulsesPerSixteenth;
  }
  if (s->rollAtZero) {
    double due = PositionDueTime(a, 0);
    if (due <= untilMs + platform::kClockResolutionMs) {
      platform::MidiTransportLocate(0, due);
      platform::MidiTransportRoll(true);
      s->rollAtZero = false;
      s->rolling = true;
    }
  }
  TimecodeUntilLocked(*s, untilMs);
}

bool NextSyncDue(PlaybackState& p, double* position, double* byMs) {
  SyncOut* s = p.sync;
  *byMs = 0;
  if (!s) return false;
  EngineLock guard(s->lock);
  if (!s->playing) return false;
  *byMs = NextTimecodeMs(*s);
  bool clock = false;
  for (int32_t i = 0; i < PortCount(*s) && !clock; ++i) clock = (s->what[i] & kSyncClock) != 0;
  double next = INFINITY;
  if (clock && PulseBefore(s->nextPulse, s->passEnd, s->ticksPerSixteenth))
    next = PulseTick(s->nextPulse, s->ticksPerSixteenth);
  if (s->rollAtZero) next = std::min(next, 0.0);
  *position = next;
  return std::isfinite(next);
}

void EndSync(PlaybackState& p, double atMs) {
  SyncOut* s = p.sync;
  if (!s) return;
  {
    EngineLock guard(s->lock);
    if (!s->playing) return;
    for (int32_t i = 0; i < PortCount(*s); ++i) {
      if (s->receiver[i] == kReceiverRunning) SendByte(*s, i, kClockStop, atMs);
      s->receiver[i] = kReceiverStopped;
    }
    s->playing = false;
    s->timecodeOn = false;
    if (s->rolling || s->rollAtZero) platform::MidiTransportRoll(false);
    s->rolling = s->rollAtZero = false;
    StartIdleLocked(*s, atMs);
  }
  PublishTimeline(p, atMs);
}

void SetTransportFollowed(SyncOut& s, bool followed) {
  EngineLock guard(s.lock);
  s.transportFollowed = followed;
}

// ---- Main thread ----

void SetSyncOut(SyncOut& s, const tovu::SyncOutSettings& settings) {
  Ports& ports = *s.ports;
  uint8_t want[kMaxPorts] = {};
  for (const tovu::SyncOutSettings::Port& entry : settings.ports) {
    int index = FindOutputPortByDevice(ports, entry.device);
    if (index >= 0 && index < kMaxPorts) want[index] |= static_cast<uint8_t>(entry.what & (kSyncClock | kSyncTimecode));
  }
  // The ports newly chosen are opened first (a port that does not open is not chosen).
  for (int32_t i = 0; i < PortCount(s); ++i)
    if (want[i] && !s.held[i]) {
      if (ports.outputs[i].Open() == platform::kMidiOk)
        s.held[i] = 1;
      else
        want[i] = 0;
    }
  const bool transport = (settings.flags & tovu::protocol::kSyncJackTransport) != 0;
  bool takeTimebase = false, giveUpTimebase = false;
  uint64_t cancel = 0;
  {
    EngineLock guard(s.lock);
    const double now = platform::NowMs();
    const MtcRate rate = MtcRateOf(settings.timecodeRate);
    for (int32_t i = 0; i < PortCount(s); ++i) {
      const uint8_t before = s.what[i];
      if ((before & kSyncClock) && !(want[i] & kSyncClock)) {
        if (s.receiver[i] == kReceiverRunning) SendByte(s, i, kClockStop, now);
        s.receiver[i] = kReceiverStopped;
      }
      if (!(before & kSyncClock) && (want[i] & kSyncClock)) s.receiver[i] = s.playing ? kReceiverJoining : kReceiverStopped;
      if ((want[i] & kSyncTimecode) && (!(before & kSyncTimecode) || rate != s.rate)) s.timecodeFresh[i] = 1;
      s.what[i] = want[i];
    }
    if (rate != s.rate && s.timecodeOn) {
      // The code goes on from the same time, counted in the new rate's frames.
      int64_t frame = static_cast<int64_t>(std::ceil((now - s.timecodeOriginMs) / MtcFrameMs(rate)));
      frame = std::max<int64_t>(frame, 0);
      s.nextQuarter = 4 * (frame + (frame & 1));
      s.fullFrame = -1;
    }
    s.rate = rate;
    s.runWhileStopped = (settings.flags & tovu::protocol::kSyncRunWhileStopped) != 0;
    // The tempo while stopped is held to 1-1000 quarter notes a minute: a client cannot make the
    // timer thread spin.
    const double milli = std::clamp<double>(settings.idleTempoMilli, kSlowestIdleMilli, kFastestIdleMilli);
    s.idleMsPerPulse = settings.idleTempoMilli > 0 ? 60000.0 * 1000.0 / (milli * kPulsesPerQuarter) : 0;
    cancel = s.idleTimer;
    s.idleTimer = 0;
    StartIdleLocked(s, now);  // again at the settings' tempo, when it still runs
    takeTimebase = transport && !s.timebaseHeld;
    giveUpTimebase = !transport && s.timebaseHeld;
    if (giveUpTimebase) {
      if (s.rolling || s.rollAtZero) platform::MidiTransportRoll(false);
      s.rolling = s.rollAtZero = false;
      s.timebaseHeld = false;
    }
  }
  if (cancel && s.timers) platform::TimerCancel(s.timers, cancel);
  for (int32_t i = 0; i < PortCount(s); ++i)
    if (s.held[i] && !want[i]) {
      ports.outputs[i].Close();
      s.held[i] = 0;
    }
  // The server is asked outside the lock: it may take a while to answer.
  if (giveUpTimebase) platform::MidiTransportTimebase(nullptr, nullptr);
  if (takeTimebase && platform::MidiTransportTimebase(SyncTimebase, &s)) {
    EngineLock guard(s.lock);
    s.timebaseHeld = true;
  }
}

tovu::SyncOutSettings SyncOutSettingsOf(SyncOut& s) {
  tovu::SyncOutSettings out;
  EngineLock guard(s.lock);
  for (int32_t i = 0; i < PortCount(s); ++i)
    if (s.what[i]) out.ports.push_back({DeviceOf(*s.ports, i), s.what[i]});
  out.flags = (s.runWhileStopped ? tovu::protocol::kSyncRunWhileStopped : 0u) |
              (s.timebaseHeld ? tovu::protocol::kSyncJackTransport : 0u);
  out.timecodeRate = s.rate;
  out.idleTempoMilli =
      s.idleMsPerPulse > 0 ? static_cast<uint32_t>(std::llround(60000.0 * 1000.0 / (s.idleMsPerPulse * kPulsesPerQuarter))) : 0;
  return out;
}

tovu::SyncOutSettings SyncOutSettingsFromStore(const Ports& ports) {
  tovu::SyncOutSettings out;
  char key[32];
  for (int32_t n = 0; n < std::min(ports.outputCount.load(std::memory_order_acquire), kMaxPorts); ++n) {
    uint32_t what = 0;
    snprintf(key, sizeof key, "Dev%d\\ClkOut", n);
    if (ReadSetting(key, 0) != 0) what |= kSyncClock;
    snprintf(key, sizeof key, "Dev%d\\MtcOut", n);
    if (ReadSetting(key, 0) != 0) what |= kSyncTimecode;
    if (what) out.ports.push_back({ports.outputs[n].deviceId, what});
  }
  if (ReadSetting("ClkRun", 0) != 0) out.flags |= tovu::protocol::kSyncRunWhileStopped;
  if (ReadSetting("JackTrn", 0) != 0) out.flags |= tovu::protocol::kSyncJackTransport;
  const int32_t bpm = ReadSetting("ClkBpm", 0);
  if (bpm > 0 && bpm <= 1000) out.idleTempoMilli = static_cast<uint32_t>(bpm) * 1000;
  switch (ReadSetting("MtcRate", 25)) {
    case 24: out.timecodeRate = kMtc24; break;
    case 29: case 2997: out.timecodeRate = kMtc2997Drop; break;
    case 30: out.timecodeRate = kMtc30; break;
    default: out.timecodeRate = kMtc25; break;
  }
  return out;
}

void StopIdlePulses(SyncOut& s) {
  uint64_t cancel;
  {
    EngineLock guard(s.lock);
    cancel = s.idleTimer;
    s.idleTimer = 0;
  }
  if (cancel && s.timers) platform::TimerCancel(s.timers, cancel);
}

void EndSyncOut(SyncOut& s) {
  StopIdlePulses(s);
  bool held;
  {
    EngineLock guard(s.lock);
    s.timers = nullptr;  // nothing arms a pulse any more
    held = s.timebaseHeld;
    if (held && (s.rolling || s.rollAtZero)) platform::MidiTransportRoll(false);
    s.timebaseHeld = s.rolling = s.rollAtZero = false;
  }
  if (held) platform::MidiTransportTimebase(nullptr, nullptr);
}

// ---- JACK's real-time thread ----

bool SyncTimebase(void* context, double dueMs, platform::TransportPosition* out) {
  const Timeline& t = static_cast<SyncOut*>(context)->timeline;
  double anchorMs, anchorTick, msPerTick, bpm;
  int32_t ticksPerBeat, numerator, power, origin, barsBefore;
  for (;;) {
    uint32_t before = t.sequence.load();
    uint32_t written = t.written.load();
    if (written == 0) return false;
    // The newest span in force at `dueMs`, else the oldest kept.
    uint32_t k = written - 1;
    while (k + kTimelineSpans > written && k > 0 && t.spans[k % kTimelineSpans].fromMs.load() > dueMs) --k;
    const TimelineSpan& span = t.spans[k % kTimelineSpans];
    anchorMs = span.anchorMs.load();
    anchorTick = span.anchorTick.load();
    msPerTick = span.msPerTick.load();
    bpm = span.beatsPerMinute.load();
    ticksPerBeat = span.ticksPerBeat.load();
    numerator = span.numerator.load();
    power = span.denominatorPower.load();
    origin = span.barOriginTick.load();
    barsBefore = span.barsBefore.load();
    if ((before & 1) == 0 && t.sequence.load() == before) break;
  }
  double tick = msPerTick > 0 ? anchorTick + (dueMs - anchorMs) / msPerTick : anchorTick;
  if (!std::isfinite(tick) || tick < 0) tick = 0;
  if (ticksPerBeat <= 0) ticksPerBeat = 1;
  if (numerator <= 0) numerator = 1;
  const double ticksPerBar = static_cast<double>(ticksPerBeat) * numerator;
  double bars = std::floor((tick - origin) / ticksPerBar);
  double barStart = origin + bars * ticksPerBar;
  double inBar = tick - barStart;
  int32_t beat = std::min(static_cast<int32_t>(inBar / ticksPerBeat), numerator - 1);
  out->bar = std::max(1, static_cast<int32_t>(barsBefore + bars) + 1);
  out->beat = beat + 1;
  out->tick = std::clamp(static_cast<int32_t>(inBar - static_cast<double>(beat) * ticksPerBeat), 0, ticksPerBeat - 1);
  out->barStartTick = barStart;
  out->beatsPerBar = numerator;
  out->beatType = std::ldexp(1.0, std::clamp(power, 0, 30));
  out->ticksPerBeat = ticksPerBeat;
  out->beatsPerMinute = bpm;
  return true;
}
