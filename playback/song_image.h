// The song image as playback uses it: the timing arithmetic shared by everything that interprets
// tempo and time-signature values, and the one-pass check that an image is safe to play. The
// format itself (layout, codes, readers) is the protocol's: protocol/song_image_format.h.
//
// Once ValidateSongImage has accepted an image, every walk the playback code does over it (events up
// to the end marker, the records the events reference, the system-exclusive block from its start,
// the parameter lists) stays inside it.
//
// Threads: the helpers are pure functions, entered from any thread. ValidateSongImage runs on the
// main thread when a song is loaded.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "protocol/song_image_format.h"

// ---- Timing arithmetic ----
//
// Tempo and time-signature values come straight from the image, so the products below are formed
// in 64 bits and clamped to the int32 range instead of overflowing. A shift by a denominator power
// of 63 or more counts as a shift by 63 (the result is 0 for a non-negative product), so no power
// from the image makes a shift undefined. A result may still be 0 (a tiny resolution with a large
// power); the users of ticks per bar and per beat must not divide by them unguarded.

inline int32_t ClampToInt32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// (numerator x ticksPerSixteenth x 16) >> denominatorPower.
inline int32_t TicksPerBar(int32_t numerator, int32_t ticksPerSixteenth, int32_t denominatorPower) {
  int64_t product = static_cast<int64_t>(numerator) * ticksPerSixteenth * 16;
  int shift = denominatorPower < 0 ? 0 : (denominatorPower > 63 ? 63 : denominatorPower);
  return ClampToInt32(product >> shift);
}

// (ticksPerSixteenth x 16) >> denominatorPower.
inline int32_t TicksPerBeat(int32_t ticksPerSixteenth, int32_t denominatorPower) {
  return TicksPerBar(1, ticksPerSixteenth, denominatorPower);
}

// Ticks per minute for a tempo value in quarter notes per minute: tempo x 4 x ticks per sixteenth.
inline int32_t TempoTicksPerMinute(uint32_t quarterNotesPerMinute, int32_t ticksPerSixteenth) {
  return ClampToInt32(static_cast<int64_t>(quarterNotesPerMinute) * 4 * ticksPerSixteenth);
}

// The song's tempo map walked forward, at tempo factor 1: the song's time at a tick, and the tick
// at a time. Each call moves on from where the last left off, never back.
struct TempoWalk {
  const uint8_t* next = nullptr;  // the next event to look at; null: no song
  int32_t ticksPerSixteenth = 1;
  double tick = 0;  // where the walk stands ...
  double ms = 0;    // ... and the song's time there
  double msPerTick = 0;
};
TempoWalk StartTempoWalk(const uint8_t* song);
// The song's time at `tick` (at or after the walk's place).
double WalkToTick(TempoWalk& w, double tick);
// The tick at the song's time `ms` (at or after the walk's place).
double WalkToMs(TempoWalk& w, double ms);

// Checks an image once, in one pass over its header and event array, for everything that would
// make playback read or write outside the image or outside state images sized for `outputCount`
// ports. Refused: shorter than the header; ticks per quarter below 4; a record area, block or list
// offset outside the image, or a list running past its end; no end marker (code 0xFF) before the
// image ends; a sysex, RPN or NRPN record that an event references lying partly outside the image;
// fewer sysex records, walking the block from its start, than there are sysex events; a port index
// at or above `outputCount` in a channel event's top byte (0xFF excepted: such a word is ignored),
// a sysex record or an RPN/NRPN record; an RPN/NRPN channel above 15; a tempo of 0. Words after the
// end marker are not events and are not looked at. Everything else (event order, duplicate list
// entries, odd values) is accepted. Returns true when the image is acceptable.
bool ValidateSongImage(const uint8_t* image, size_t size, int32_t outputCount);
