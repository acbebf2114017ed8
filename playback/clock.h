// The playback clock: turns the platform's fractional milliseconds into song ticks and back. It is
// anchored at a tick and a moment and runs at a fixed number of milliseconds per tick until the next
// anchoring (a start, a song switch, a loop wrap, a tempo event, a tempo-factor change).
//
// A tick's due time is anchorTime + (tick - anchorTick) x msPerTick. The scheduler arms each wake-up
// for exactly the due time of what comes next, and re-anchors a loop wrap and a tempo event at the
// due time of their tick rather than at the moment the wake-up ran, so that the lateness of one
// wake-up never shifts the rest of the song.
//
// Threads: the main thread (start, tempo factor) and the timer thread (wake-ups, tempo events) write
// the clock, always under the scheduler lock. Any thread reads it without a lock: the anchor is
// published through a sequence counter (odd while a writer changes it), and a reader retries until
// it has read one whole anchor. The MIDI input thread reads it to time-stamp recorded input.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>

struct PlaybackClock {
  std::atomic<uint32_t> sequence{0};
  std::atomic<double> anchorTime{0.0};  // platform milliseconds (NowMs) of the last anchoring
  std::atomic<int32_t> anchorTick{0};   // song tick at anchorTime
  std::atomic<double> msPerTick{60000.0 / 14400.0};
  std::atomic<int32_t> positionStep{30};  // ticks per reported step (the main image's ticks per sixteenth)
  std::atomic<double> playbackTempoFactor{1.0};
  // The clock follows an external clock (playback/follow.h): only the follower anchors it; the
  // song's tempo events and the tempo factor move nothing.
  std::atomic<bool> external{false};
  // While following: the tick of the master's next pulse, which input is never stamped past (the
  // song waits there for that pulse, so a take waits with it). INT32_MAX otherwise.
  std::atomic<int32_t> stampLimit{INT32_MAX};
  // Input that arrived at t is stamped as at t + stampDelayMs: a followed clock's pulses are taken
  // later than they arrive (or its transport's frames sound earlier than it reads them).
  std::atomic<double> stampDelayMs{0};
};

// One consistent reading of the anchor.
struct ClockAnchor {
  double anchorTime;
  int32_t anchorTick;
  double msPerTick;
};

// The reset tempo, used for the clock whenever a tempo gives no usable rate.
constexpr int32_t kDefaultTicksPerMinute = 14400;

// The tempo factors the clock runs at: 1/100 to 100 times the song's tempo. A factor outside is held
// to the nearer bound; 0, a negative factor and one that is not a finite number play at 1.0.
constexpr double kMinTempoFactor = 0.01;
constexpr double kMaxTempoFactor = 100.0;
double ClockTempoFactor(double factor);

// Milliseconds per tick for a tempo scaled by the tempo factor: 60000 / (ticksPerMinute x factor),
// the factor held to its range first (ClockTempoFactor). A tempo of 0 or below falls back to the
// reset tempo of 14400 ticks per minute, so the clock never divides by zero or runs at an infinite,
// negative or undefined speed.
double MsPerTick(int32_t ticksPerMinute, double tempoFactor);

ClockAnchor ReadClock(const PlaybackClock& clock);

// Re-anchors the clock so that `tick` is now, at `ticksPerMinute` scaled by the clock's tempo factor.
void AnchorClock(PlaybackClock& clock, int32_t tick, int32_t ticksPerMinute);
// Re-anchors the clock so that `tick` falls at `timeMs`.
void AnchorClockAt(PlaybackClock& clock, double timeMs, int32_t tick, int32_t ticksPerMinute);
// Re-anchors the clock so that `tick` falls at `timeMs`, at `msPerTick` as given (an external
// clock's rate; a rate that is not a positive finite number holds the clock at `tick`).
void AnchorClockRate(PlaybackClock& clock, double timeMs, int32_t tick, double msPerTick);
// Re-anchors at `tick`'s due time by the clock as it stands: the tempo changes exactly on its tick.
void ReanchorAtTick(PlaybackClock& clock, int32_t tick, int32_t ticksPerMinute);

// The moment (NowMs's scale) at which the clock reaches `tick`, or a position between ticks.
double TickDueTime(const PlaybackClock& clock, int32_t tick);
double PositionDueTime(const ClockAnchor& anchor, double position);
// The song tick at `timeMs`: truncated toward zero, held within the 32-bit tick range. At a tick's
// due time it reads that tick (a millionth of a tick absorbs the rounding of the division).
int32_t TickAt(const ClockAnchor& anchor, double timeMs);
// The exact (fractional) song position at `timeMs`, held within the 32-bit tick range.
double PositionAt(const ClockAnchor& anchor, double timeMs);
// Changes the tempo factor at `timeMs` without a jump: the clock goes on from the exact position
// reached then, at the new rate.
void ChangeTempoFactorAt(PlaybackClock& clock, double timeMs, double factor, int32_t ticksPerMinute);
// The song tick now. Any thread.
int32_t TickNow(const PlaybackClock& clock);
// The tick input that arrived at `timeMs` is stamped at: the clock's, never past `stampLimit`.
// Any thread.
int32_t StampTickAt(const PlaybackClock& clock, double timeMs);
