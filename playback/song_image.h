// The song image: the self-contained binary song a client loads into a song slot, read in place by
// playback. This file holds its layout (header offsets, event entries, packed-event codes, the
// system-exclusive, RPN and NRPN records, the parameter lists), the little-endian readers every
// reader of an image uses, the timing arithmetic shared by everything that interprets tempo and
// time-signature values, and the one-pass check that an image is safe to play.
//
// Images come from other processes and are never trusted: they may be any length and their fields
// sit at any byte offset, so every multi-byte read goes through memcpy. Once ValidateSongImage has
// accepted an image, every walk the playback code does over it (events up to the end marker, the
// records the events reference, the system-exclusive block from its start, the parameter lists)
// stays inside it.
//
// Threads: the readers and helpers are pure functions, entered from any thread. ValidateSongImage
// runs on the main thread when a song is loaded.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// ---- Header ----

constexpr size_t kSongHeaderSize = 40;
constexpr size_t kSongTicksPerQuarter = 0;          // u32
constexpr size_t kSongTimeSigDenominatorPower = 6;  // u8
constexpr size_t kSongTimeSigNumerator = 7;         // u8
constexpr size_t kSongEndTick = 8;                  // i32
constexpr size_t kSongSysexBlockOffset = 12;        // u32
constexpr size_t kSongSetupSysexCount = 16;         // i32
constexpr size_t kSongReplaySysexFlag = 20;         // u32
constexpr size_t kSongRpnRecordsOffset = 24;        // u32
constexpr size_t kSongRpnListOffset = 28;           // i32, -1 = no list
constexpr size_t kSongNrpnRecordsOffset = 32;       // u32
constexpr size_t kSongNrpnListOffset = 36;          // i32, -1 = no list
constexpr uint32_t kNoParameterList = 0xFFFFFFFFu;  // a list offset of -1

// ---- Event array: 8-byte entries from the end of the header, ended by an end marker ----

constexpr size_t kEventEntrySize = 8;  // i32 tick, then the u32 packed event
constexpr size_t kEventWordOffset = 4;

// Packed event: code in bits 0-7, data 1 in 8-15, data 2 in 16-23, port index in 24-31.
constexpr uint32_t kCodeBank14 = 0x10;          // kinds (code & 0xF0) of the bank pseudo-statuses
constexpr uint32_t kCodeBankMsb = 0x20;
constexpr uint32_t kCodeBankLsb = 0x30;
constexpr uint32_t kCodeBankProgram = 0x40;
constexpr uint32_t kCodeNoteOff = 0x80;
constexpr uint32_t kCodeNoteOn = 0x90;
constexpr uint32_t kCodePolyPressure = 0xA0;
constexpr uint32_t kCodeController = 0xB0;
constexpr uint32_t kCodeProgram = 0xC0;
constexpr uint32_t kCodeChannelPressure = 0xD0;
constexpr uint32_t kCodePitchBend = 0xE0;
constexpr uint32_t kCodeSysexRef = 0xF0;  // bits 8-31: offset of a record in the sysex block
constexpr uint32_t kCodeRpnRef = 0xF4;    // bits 8-31: offset of a record in the RPN area
constexpr uint32_t kCodeNrpnRef = 0xF5;   // bits 8-31: offset of a record in the NRPN area
constexpr uint32_t kCodeTimeSig = 0xFA;   // bits 16-23 denominator power, 24-31 numerator
constexpr uint32_t kCodeTempo = 0xFE;     // bits 8-31: quarter notes per minute
constexpr uint32_t kCodeEnd = 0xFF;       // any word with this code ends the event array
constexpr uint32_t kIgnoredPort = 0xFF;   // top byte that makes any other word a no-op

inline uint32_t EventCode(uint32_t w) { return w & 0xFF; }
inline uint32_t EventKind(uint32_t w) { return w & 0xF0; }
inline uint32_t EventChannel(uint32_t w) { return w & 0x0F; }
inline uint32_t EventData1(uint32_t w) { return (w >> 8) & 0xFF; }
inline uint32_t EventData2(uint32_t w) { return (w >> 16) & 0xFF; }
inline uint32_t EventPort(uint32_t w) { return w >> 24; }
inline uint32_t EventValue16(uint32_t w) { return (w >> 8) & 0xFFFF; }  // bank value, bend word
inline uint32_t EventOffset(uint32_t w) { return w >> 8; }              // references, tempo

// ---- System-exclusive block: records back to back from the block offset ----

constexpr size_t kSysexRecordHeaderSize = 5;  // u8 port index, u32 length L, then L bytes

// ---- RPN and NRPN record areas: arrays of 6-byte records ----

constexpr size_t kParamRecordSize = 6;  // u8 channel, u8 port, u16 parameter, u16 value
constexpr size_t kParamRecordChannel = 0;
constexpr size_t kParamRecordPort = 1;
constexpr size_t kParamRecordNumber = 2;
constexpr size_t kParamRecordValue = 4;

// Parameter lists: u16 count c, then c u16 parameter numbers.
constexpr size_t kParamListHeaderSize = 2;

// ---- Little-endian readers for unaligned, untrusted bytes ----

inline uint16_t ReadU16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = static_cast<uint16_t>((v >> 8) | (v << 8));
  return v;
}

inline uint32_t ReadU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big)
    v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
  return v;
}

inline int32_t ReadI32(const uint8_t* p) { return static_cast<int32_t>(ReadU32(p)); }

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
