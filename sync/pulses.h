// The arithmetic of MIDI clock, for a song whose quarter note is four position steps (sixteenths)
// of `ticksPerSixteenth` ticks: 24 pulses (0xF8) per quarter note, so 6 per sixteenth, and the song
// position pointer (0xF2) counted in sixteenths. Pulse n lies at tick n x ticksPerSixteenth / 6,
// a fraction of a tick when ticksPerSixteenth is no multiple of 6; pulse 0 is tick 0, and pulse 6s
// is sixteenth s. Pure functions on integers, for whatever sends or follows a clock.
//
// A receiver that counts pulses (the MIDI rule): 0xFA puts it at pulse 0, 0xF2 (while stopped) at
// pulse 6 x its sixteenths, and 0xFB resumes from there; the first 0xF8 after 0xFA or 0xFB finds
// it at that pulse, every later one moves it on by one; 0xFC stops it, and pulses while stopped
// move nothing.
//
// Threads: none of their own; any thread.
#pragma once

#include <cstdint>

namespace midisync {

constexpr int32_t kPulsesPerQuarter = 24;
constexpr int32_t kPulsesPerSixteenth = 6;
// The song position pointer's range: 14 bits of sixteenths.
constexpr int64_t kLastSongPosition = 16383;

// MIDI clock's system messages.
constexpr uint8_t kClockPulse = 0xF8;
constexpr uint8_t kClockStart = 0xFA;
constexpr uint8_t kClockContinue = 0xFB;
constexpr uint8_t kClockStop = 0xFC;
constexpr uint8_t kSongPosition = 0xF2;

inline int64_t FloorDivide(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

inline int64_t CeilDivide(int64_t a, int64_t b) { return -FloorDivide(-a, b); }

// Where pulse n lies, in ticks (exact for any pulse of a 32-bit song).
inline double PulseTick(int64_t pulse, int32_t ticksPerSixteenth) {
  return static_cast<double>(pulse) * ticksPerSixteenth / kPulsesPerSixteenth;
}

// The first pulse at or after `tick`, and the last at or before it.
inline int64_t FirstPulseFrom(int64_t tick, int32_t ticksPerSixteenth) {
  return CeilDivide(tick * kPulsesPerSixteenth, ticksPerSixteenth);
}
inline int64_t LastPulseAt(int64_t tick, int32_t ticksPerSixteenth) {
  return FloorDivide(tick * kPulsesPerSixteenth, ticksPerSixteenth);
}

// A tick no pulse reaches: the end of a pass that has none (a recording that neither loops nor ends,
// the clock while stopped). Far beyond any 32-bit song position, yet small enough that the products
// below stay within 64 bits (2^40 ticks are 87 years of pulses at 1,000 quarters a minute).
constexpr int64_t kNoTickLimit = int64_t{1} << 40;

// Whether pulse n lies before `tick` (at most kNoTickLimit).
inline bool PulseBefore(int64_t pulse, int64_t tick, int32_t ticksPerSixteenth) {
  return pulse * ticksPerSixteenth < tick * kPulsesPerSixteenth;
}

// The first sixteenth at or after `tick`: where a receiver started from the middle of a song is
// put, so that it is at the song's position from its first pulse on.
inline int64_t FirstSixteenthFrom(int64_t tick, int32_t ticksPerSixteenth) {
  return CeilDivide(tick, ticksPerSixteenth);
}

// The song position pointer for `sixteenths` (held to 0..16383) as a packed short message:
// 0xF2, the low seven bits, the high seven bits.
inline uint32_t SongPositionWord(int64_t sixteenths) {
  int64_t s = sixteenths < 0 ? 0 : (sixteenths > kLastSongPosition ? kLastSongPosition : sixteenths);
  return kSongPosition | static_cast<uint32_t>(s & 0x7F) << 8 | static_cast<uint32_t>(s >> 7) << 16;
}

}  // namespace midisync
