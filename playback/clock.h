// The playback clock: turns platform milliseconds into song ticks. It is anchored at a tick and a
// moment, and runs at a fixed number of milliseconds per tick until the next anchoring (a start, a
// continue, a tempo event, a tempo-factor change).
//
// Threads: the engine has one clock. The main thread writes it while no playback timer runs; the
// timer thread writes it (tempo events) and reads it while playback runs; the MIDI input thread
// reads it to time-stamp recorded input. It has no lock of its own.
#pragma once

#include <cstdint>

struct PlaybackClock {
  uint32_t anchorTime = 0;  // platform millisecond time of the last anchoring
  int32_t anchorTick = 0;   // song tick at anchorTime
  double msPerTick = 60000.0 / 14400.0;
  int32_t positionStep = 30;  // ticks per reported position step (the main image's ticks per sixteenth)
  double playbackTempoFactor = 1.0;
};

// The reset tempo, used for the clock whenever a tempo gives no usable rate.
constexpr int32_t kDefaultTicksPerMinute = 14400;

// Milliseconds per tick for a tempo scaled by the tempo factor: 60000 / (ticksPerMinute x factor).
// A rate that is not a finite number above 0 (a tempo of 0 or below, a broken factor) falls back to
// the reset tempo of 14400 ticks per minute at factor 1, so the clock never divides by zero or runs
// at an infinite, negative or undefined speed.
double MsPerTick(int32_t ticksPerMinute, double tempoFactor);

// Re-anchors the clock so that `tick` is now, at `ticksPerMinute` scaled by the clock's tempo factor.
void AnchorClock(PlaybackClock& clock, int32_t tick, int32_t ticksPerMinute);
