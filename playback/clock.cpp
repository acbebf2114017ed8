// The playback clock. See clock.h.
//
// Threads: writers hold the scheduler lock; readers run anywhere and retry on a torn reading.
#include "playback/clock.h"

#include <cmath>

#include "platform/timer.h"

double MsPerTick(int32_t ticksPerMinute, double tempoFactor) {
  double rate = static_cast<double>(ticksPerMinute) * tempoFactor;
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
  double msPerTick = MsPerTick(ticksPerMinute, clock.playbackTempoFactor.load());
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

void ReanchorAtTick(PlaybackClock& clock, int32_t tick, int32_t ticksPerMinute) {
  AnchorClockAt(clock, TickDueTime(clock, tick), tick, ticksPerMinute);
}

int32_t TickAt(const ClockAnchor& a, double timeMs) {
  double ticks = (timeMs - a.anchorTime) / a.msPerTick + a.anchorTick;
  // At a tick's due time the division may land a hair short of the tick (toward zero); a millionth
  // of a tick away from zero reads the tick itself.
  ticks += ticks >= 0 ? 1e-6 : -1e-6;
  if (!std::isfinite(ticks)) return a.anchorTick;
  double t = std::trunc(ticks);
  if (t > 9.0e18) t = 9.0e18;
  if (t < -9.0e18) t = -9.0e18;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(t))));
}

int32_t TickNow(const PlaybackClock& clock) { return TickAt(ReadClock(clock), platform::NowMs()); }
