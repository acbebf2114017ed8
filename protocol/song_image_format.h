// The song image's format: the self-contained binary song a client loads into a song slot and the
// engine reads in place. Its layout (header offsets, event entries, packed-event codes, the
// system-exclusive, RPN and NRPN records, the parameter lists) and the little-endian readers every
// reader of an image uses: written by the client library's song builder (client/song_builder.h),
// checked and played by the engine (playback/song_image.h).
//
// Images come from other processes and are never trusted: they may be any length and their fields
// sit at any byte offset, so every multi-byte read goes through memcpy.
//
// Threads: constants and pure functions, entered from any thread.
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
