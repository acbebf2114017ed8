// The playback clock. See clock.h.
//
// Threads: writers hold the scheduler lock; readers run anywhere and retry on a torn reading.
#include "playback/clock.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "platform/timer.h"

double ClockTempoFactor(double factor) {
  if (!std::isfinite(factor) || factor <= 0.0) return 1.0;
  return std::clamp(factor, kMinTempoFactor, kMaxTempoFactor);
}

double MsPerTick(int32_t ticksPerMinute, double tempoFactor) {
  double rate = static_cast<double>(ticksPerMinute) * ClockTempoFactor(tempoFactor);
  if (!(rate > 0.0) || !std::isfinite(rate)) rate = kDefaultTicksPerMinute;
  double ms = 60000.0 / rate;
  return std::isfinite(ms) ? ms : 60000.0 / kDefaultTicksPerMinute;
}

// Every access is sequentially consistent, so a reader that sees the same even sequence number
// before and after its loads saw no store of a writer in between (and needs no fences).
ClockAnchor ReadClock(const PlaybackClock& clock) {
  for (;;) {
    uint32_t before = clock.sequence.load();
    ClockAnchor a{clock.anchorTime.load(), clock.anchorTick.load(), clock.msPerTick.load()};
    if ((before & 1) == 0 && clock.sequence.load() == before) return a;
  }
}

void AnchorClockAt(PlaybackClock& clock, double timeMs, int32_t tick, int32_t ticksPerMinute) {
  AnchorClockRate(clock, timeMs, tick, MsPerTick(ticksPerMinute, clock.playbackTempoFactor.load()));
}

void AnchorClockRate(PlaybackClock& clock, double timeMs, int32_t tick, double msPerTick) {
  // A held clock: a tick's due time lies beyond any wake-up (a wake-up is armed at most a second ahead).
  if (!std::isfinite(msPerTick) || !(msPerTick > 0.0)) msPerTick = 1e12;
  uint32_t s = clock.sequence.load();
  clock.sequence.store(s + 1);
  clock.anchorTime.store(timeMs);
  clock.anchorTick.store(tick);
  clock.msPerTick.store(msPerTick);
  clock.sequence.store(s + 2);
}

void AnchorClock(PlaybackClock& clock, int32_t tick, int32_t ticksPerMinute) {
  AnchorClockAt(clock, platform::NowMs(), tick, ticksPerMinute);
}

double TickDueTime(const PlaybackClock& clock, int32_t tick) {
  ClockAnchor a = ReadClock(clock);
  double due = a.anchorTime + static_cast<double>(static_cast<int64_t>(tick) - a.anchorTick) * a.msPerTick;
  return std::isfinite(due) ? due : a.anchorTime;
}

double PositionDueTime(const ClockAnchor& a, double position) {
  double due = a.anchorTime + (position - a.anchorTick) * a.msPerTick;
  return std::isnan(due) ? a.anchorTime : due;
}

void ReanchorAtTick(PlaybackClock& clock, int32_t tick, int32_t ticksPerMinute) {
  if (clock.external.load()) return;  // the song's tempo does not move a followed clock
  AnchorClockAt(clock, TickDueTime(clock, tick), tick, ticksPerMinute);
}

double PositionAt(const ClockAnchor& a, double timeMs) {
  double ticks = (timeMs - a.anchorTime) / a.msPerTick + a.anchorTick;
  if (std::isnan(ticks)) return a.anchorTick;
  return std::clamp(ticks, static_cast<double>(INT32_MIN), static_cast<double>(INT32_MAX));
}

int32_t TickAt(const ClockAnchor& a, double timeMs) {
  double ticks = PositionAt(a, timeMs);
  // At a tick's due time the division may land a hair short of the tick (toward zero); a millionth
  // of a tick away from zero reads the tick itself.
  ticks += ticks >= 0 ? 1e-6 : -1e-6;
  double t = std::clamp(std::trunc(ticks), static_cast<double>(INT32_MIN), static_cast<double>(INT32_MAX));
  return static_cast<int32_t>(t);
}

void ChangeTempoFactorAt(PlaybackClock& clock, double timeMs, double factor, int32_t ticksPerMinute) {
  clock.playbackTempoFactor.store(ClockTempoFactor(factor));
  if (clock.external.load()) return;  // a followed clock runs at its master's speed
  ClockAnchor a = ReadClock(clock);
  double position = PositionAt(a, timeMs);
  int32_t tick = TickAt(a, timeMs);
  // Anchored at the whole tick, placed so that the fraction of a tick already played stays played.
  double msPerTick = MsPerTick(ticksPerMinute, factor);
  AnchorClockAt(clock, timeMs - (position - tick) * msPerTick, tick, ticksPerMinute);
}

int32_t TickNow(const PlaybackClock& clock) { return TickAt(ReadClock(clock), platform::NowMs()); }

int32_t StampTickAt(const PlaybackClock& clock, double timeMs) {
  int32_t tick = TickAt(ReadClock(clock), timeMs + clock.stampDelayMs.load(std::memory_order_acquire));
  int32_t limit = clock.stampLimit.load(std::memory_order_acquire);
  return tick < limit ? tick : limit;
}
