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

ClockAnchor ReadClock(const PlaybackClock& clock) {
  for (;;) {
    uint32_t before = clock.sequence.load(std::memory_order_acquire);
    ClockAnchor a{clock.anchorTime.load(std::memory_order_relaxed), clock.anchorTick.load(std::memory_order_relaxed),
                  clock.msPerTick.load(std::memory_order_relaxed)};
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((before & 1) == 0 && clock.sequence.load(std::memory_order_relaxed) == before) return a;
  }
}

void AnchorClockAt(PlaybackClock& clock, double timeMs, int32_t tick, int32_t ticksPerMinute) {
  double msPerTick = MsPerTick(ticksPerMinute, clock.playbackTempoFactor.load(std::memory_order_relaxed));
  uint32_t s = clock.sequence.load(std::memory_order_relaxed);
  clock.sequence.store(s + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  clock.anchorTime.store(timeMs, std::memory_order_relaxed);
  clock.anchorTick.store(tick, std::memory_order_relaxed);
  clock.msPerTick.store(msPerTick, std::memory_order_relaxed);
  clock.sequence.store(s + 2, std::memory_order_release);
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
