// Building song images for the engine: the binary songs a client loads into a song slot. Programs,
// tools and tests describe a song with typed events and let the builder pack the bytes.
//
// Image layout (all fields little-endian; offsets from the first byte):
//   0  u32 ticks per quarter        16 i32 setup sysex count       28 i32 RPN list offset (-1 none)
//   4  u16 unused (written 0)       20 u32 replay-sysex flag       32 u32 NRPN records offset
//   6  u8  time-sig denominator power                              36 i32 NRPN list offset (-1 none)
//   7  u8  time-sig numerator       24 u32 RPN records offset
//   8  i32 song end tick
//   12 u32 sysex block offset
//   40 event array: 8-byte entries (i32 tick, u32 packed event), ended by an end marker (code 0xFF)
//   then the sysex block (u8 port, u32 length, bytes; one record per sysex event, in event order),
//   the RPN and NRPN record areas (6 bytes each: u8 channel, u8 port, u16 parameter, u16 value) and
//   the two parameter lists (u16 count, then the u16 parameter numbers).
// A packed event holds the code in bits 0-7 (status byte or engine code), data 1 in 8-15, data 2
// in 16-23 and the output port index in 24-31.
//
// Use:
//   tovu::SongBuilder song;              // 120 ticks per quarter, 4/4
//   song.Tempo(0, 120);
//   song.Program(0, 0, 0, 5);
//   song.NoteOn(0, 0, 0, 60, 100);
//   song.NoteRelease(240, 0, 0, 60);
//   song.End(480);
//   std::vector<uint8_t> image = song.Build();
//
// Events keep the order they are added in unless sortByTick is set, which sorts them by tick and
// keeps the order of events with equal ticks. Either way the sysex block is laid out in the final
// event order, so the n-th sysex event refers to the n-th record as the engine expects. The end
// marker always comes last: at the tick given to End, or else at the last event's tick. Ports,
// channels, notes and values are packed as given (masked to their fields): the builder makes any
// image the format can express, including ones the engine will refuse; keeping within the engine's
// limits (ports below the output count, RPN/NRPN channels 0-15, tempo above 0) is the caller's part.
// References carry 24-bit offsets, so the sysex block and each record area must stay below 16 MB
// (0xFF0000 bytes, above which a reference's word would read as an ignored one).
//
// Threads: a builder is a plain value; use each from one thread at a time. It depends on nothing but
// the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tovu {

// The four bank pseudo-statuses: how the engine turns a stored bank value into MIDI.
enum class BankKind : uint8_t {
  Full14 = 0x10,     // controller 0 = value >> 7, then controller 32 = value & 0x7F
  Msb = 0x20,        // controller 0 = value & 0x7F
  Lsb = 0x30,        // controller 32 = value & 0x7F
  ByProgram = 0x40,  // program change = value & 0x7F
};

// Packs an event word from its fields.
inline uint32_t PackEvent(uint32_t code, uint32_t data1, uint32_t data2, uint32_t port) {
  return (code & 0xFF) | (data1 & 0xFF) << 8 | (data2 & 0xFF) << 16 | (port & 0xFF) << 24;
}

struct SongBuilder {
  // Header fields. Without a songEndTick the header carries the closing end marker's tick.
  uint32_t ticksPerQuarter = 120;
  uint8_t timeSigNumerator = 4;
  uint8_t timeSigDenominatorPower = 2;
  std::optional<int32_t> songEndTick;
  int32_t setupSysexCount = 0;
  uint32_t replaySysexFlag = 0;
  bool sortByTick = false;

  // Channel events. A note-on with velocity 0 is a release, which is how songs end notes; NoteOff
  // sends a real note-off (0x8n) that playback passes on without ending the note in its state.
  void NoteOn(int32_t tick, uint32_t port, uint32_t channel, uint32_t note, uint32_t velocity);
  void NoteRelease(int32_t tick, uint32_t port, uint32_t channel, uint32_t note);
  void NoteOff(int32_t tick, uint32_t port, uint32_t channel, uint32_t note, uint32_t velocity = 0);
  void Controller(int32_t tick, uint32_t port, uint32_t channel, uint32_t controller, uint32_t value);
  void Program(int32_t tick, uint32_t port, uint32_t channel, uint32_t program);
  // A 14-bit bend (8192 = centre), packed as LSB then MSB.
  void PitchBend(int32_t tick, uint32_t port, uint32_t channel, uint32_t value14);
  void PolyPressure(int32_t tick, uint32_t port, uint32_t channel, uint32_t note, uint32_t value);
  void ChannelPressure(int32_t tick, uint32_t port, uint32_t channel, uint32_t value);
  // A bank pseudo-status carrying a 16-bit value (bank numbers are 14-bit: 0-16383).
  void Bank(int32_t tick, uint32_t port, uint32_t channel, BankKind kind, uint32_t value);

  // Engine events.
  void Tempo(int32_t tick, uint32_t quarterNotesPerMinute);  // 24 bits
  void TimeSignature(int32_t tick, uint32_t numerator, uint32_t denominatorPower);
  // A system-exclusive message sent unchanged (framing included) to `port`.
  void Sysex(int32_t tick, uint32_t port, const std::vector<uint8_t>& bytes);
  // An RPN or NRPN write; adds its record and an event that refers to it.
  void Rpn(int32_t tick, uint32_t port, uint32_t channel, uint32_t parameter, uint32_t value);
  void Nrpn(int32_t tick, uint32_t port, uint32_t channel, uint32_t parameter, uint32_t value);
  // The parameters whose values the engine chases. Without a call, the image has no list (-1).
  void SetRpnList(const std::vector<uint16_t>& parameters);
  void SetNrpnList(const std::vector<uint16_t>& parameters);
  // Any word, as given (an end marker among the events, an ignored code, a malformed reference).
  void Raw(int32_t tick, uint32_t word);
  // The tick of the closing end marker.
  void End(int32_t tick);

  // The image bytes.
  std::vector<uint8_t> Build() const;

  // Number of events added so far (the closing end marker not counted).
  size_t EventCount() const { return events.size(); }

  struct Entry {
    int32_t tick;
    uint32_t word;     // for sysex events, the offset is filled in when the image is built
    int32_t sysex;     // index into sysexMessages, or -1
  };
  struct SysexMessage {
    uint8_t port;
    std::vector<uint8_t> bytes;
  };
  std::vector<Entry> events;
  std::vector<SysexMessage> sysexMessages;
  std::vector<uint8_t> rpnRecords;
  std::vector<uint8_t> nrpnRecords;
  std::vector<uint16_t> rpnList;
  std::vector<uint16_t> nrpnList;
  bool hasRpnList = false;
  bool hasNrpnList = false;
  bool hasEnd = false;
  int32_t endTick = 0;
};

}  // namespace tovu
