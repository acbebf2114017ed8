// Song image builder. See song_builder.h.
//
// The layout written is the one the engine reads: protocol/song_image_format.h, the one definition
// of the song image.
//
// Threads: whichever thread uses the builder.
#include "client/song_builder.h"

#include <algorithm>

#include "protocol/song_image_format.h"

namespace tovu {

namespace {

void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void AppendU16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void AppendU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Adds a 6-byte RPN/NRPN record and returns its offset in its area.
uint32_t AddParamRecord(std::vector<uint8_t>& area, uint32_t port, uint32_t channel, uint32_t parameter,
                        uint32_t value) {
  uint32_t offset = static_cast<uint32_t>(area.size());
  area.push_back(static_cast<uint8_t>(channel));
  area.push_back(static_cast<uint8_t>(port));
  AppendU16(area, parameter);
  AppendU16(area, value);
  return offset;
}

uint32_t Reference(uint32_t code, uint32_t offset) { return code | (offset & 0xFFFFFF) << 8; }

}  // namespace

void SongBuilder::NoteOn(int32_t tick, uint32_t port, uint32_t channel, uint32_t note, uint32_t velocity) {
  Raw(tick, PackEvent(0x90 | (channel & 15), note, velocity, port));
}

void SongBuilder::NoteRelease(int32_t tick, uint32_t port, uint32_t channel, uint32_t note) {
  Raw(tick, PackEvent(0x90 | (channel & 15), note, 0, port));
}

void SongBuilder::NoteOff(int32_t tick, uint32_t port, uint32_t channel, uint32_t note, uint32_t velocity) {
  Raw(tick, PackEvent(0x80 | (channel & 15), note, velocity, port));
}

void SongBuilder::Controller(int32_t tick, uint32_t port, uint32_t channel, uint32_t controller,
                             uint32_t value) {
  Raw(tick, PackEvent(0xB0 | (channel & 15), controller, value, port));
}

void SongBuilder::Program(int32_t tick, uint32_t port, uint32_t channel, uint32_t program) {
  Raw(tick, PackEvent(0xC0 | (channel & 15), program, 0, port));
}

void SongBuilder::PitchBend(int32_t tick, uint32_t port, uint32_t channel, uint32_t value14) {
  Raw(tick, PackEvent(0xE0 | (channel & 15), value14 & 0x7F, (value14 >> 7) & 0x7F, port));
}

void SongBuilder::PolyPressure(int32_t tick, uint32_t port, uint32_t channel, uint32_t note, uint32_t value) {
  Raw(tick, PackEvent(0xA0 | (channel & 15), note, value, port));
}

void SongBuilder::ChannelPressure(int32_t tick, uint32_t port, uint32_t channel, uint32_t value) {
  Raw(tick, PackEvent(0xD0 | (channel & 15), value, 0, port));
}

void SongBuilder::Bank(int32_t tick, uint32_t port, uint32_t channel, BankKind kind, uint32_t value) {
  Raw(tick, PackEvent(static_cast<uint32_t>(kind) | (channel & 15), value, value >> 8, port));
}

void SongBuilder::Tempo(int32_t tick, uint32_t quarterNotesPerMinute) {
  Raw(tick, Reference(kCodeTempo, quarterNotesPerMinute));
}

void SongBuilder::TimeSignature(int32_t tick, uint32_t numerator, uint32_t denominatorPower) {
  Raw(tick, PackEvent(kCodeTimeSig, 0, denominatorPower, numerator));
}

void SongBuilder::Sysex(int32_t tick, uint32_t port, const std::vector<uint8_t>& bytes) {
  events.push_back({tick, kCodeSysexRef, static_cast<int32_t>(sysexMessages.size())});
  sysexMessages.push_back({static_cast<uint8_t>(port), bytes});
}

void SongBuilder::Rpn(int32_t tick, uint32_t port, uint32_t channel, uint32_t parameter, uint32_t value) {
  Raw(tick, Reference(kCodeRpnRef, AddParamRecord(rpnRecords, port, channel, parameter, value)));
}

void SongBuilder::Nrpn(int32_t tick, uint32_t port, uint32_t channel, uint32_t parameter, uint32_t value) {
  Raw(tick, Reference(kCodeNrpnRef, AddParamRecord(nrpnRecords, port, channel, parameter, value)));
}

void SongBuilder::SetRpnList(const std::vector<uint16_t>& parameters) {
  rpnList = parameters;
  hasRpnList = true;
}

void SongBuilder::SetNrpnList(const std::vector<uint16_t>& parameters) {
  nrpnList = parameters;
  hasNrpnList = true;
}

void SongBuilder::Raw(int32_t tick, uint32_t word) { events.push_back({tick, word, -1}); }

void SongBuilder::End(int32_t tick) {
  hasEnd = true;
  endTick = tick;
}

std::vector<uint8_t> SongBuilder::Build() const {
  std::vector<Entry> ordered = events;
  if (sortByTick)
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Entry& a, const Entry& b) { return a.tick < b.tick; });
  const int32_t closingTick = hasEnd ? endTick : (ordered.empty() ? 0 : ordered.back().tick);

  std::vector<uint8_t> out(kSongHeaderSize + (ordered.size() + 1) * kEventEntrySize, 0);
  std::vector<uint8_t> sysexBlock;
  size_t at = kSongHeaderSize;
  for (const Entry& e : ordered) {
    uint32_t word = e.word;
    if (e.sysex >= 0) {
      // Records go into the block in the order their events play.
      const SysexMessage& m = sysexMessages[static_cast<size_t>(e.sysex)];
      word = Reference(kCodeSysexRef, static_cast<uint32_t>(sysexBlock.size()));
      sysexBlock.push_back(m.port);
      AppendU32(sysexBlock, static_cast<uint32_t>(m.bytes.size()));
      sysexBlock.insert(sysexBlock.end(), m.bytes.begin(), m.bytes.end());
    }
    PutU32(out, at, static_cast<uint32_t>(e.tick));
    PutU32(out, at + kEventWordOffset, word);
    at += kEventEntrySize;
  }
  PutU32(out, at, static_cast<uint32_t>(closingTick));
  PutU32(out, at + kEventWordOffset, kCodeEnd);

  const uint32_t sysexOffset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), sysexBlock.begin(), sysexBlock.end());
  const uint32_t rpnOffset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), rpnRecords.begin(), rpnRecords.end());
  const uint32_t nrpnOffset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), nrpnRecords.begin(), nrpnRecords.end());
  uint32_t rpnListOffset = kNoParameterList;
  if (hasRpnList) {
    rpnListOffset = static_cast<uint32_t>(out.size());
    AppendU16(out, static_cast<uint32_t>(rpnList.size()));
    for (uint16_t p : rpnList) AppendU16(out, p);
  }
  uint32_t nrpnListOffset = kNoParameterList;
  if (hasNrpnList) {
    nrpnListOffset = static_cast<uint32_t>(out.size());
    AppendU16(out, static_cast<uint32_t>(nrpnList.size()));
    for (uint16_t p : nrpnList) AppendU16(out, p);
  }

  PutU32(out, kSongTicksPerQuarter, ticksPerQuarter);  // bytes 4-5 stay 0
  out[kSongTimeSigDenominatorPower] = timeSigDenominatorPower;
  out[kSongTimeSigNumerator] = timeSigNumerator;
  PutU32(out, kSongEndTick, static_cast<uint32_t>(songEndTick.value_or(closingTick)));
  PutU32(out, kSongSysexBlockOffset, sysexOffset);
  PutU32(out, kSongSetupSysexCount, static_cast<uint32_t>(setupSysexCount));
  PutU32(out, kSongReplaySysexFlag, replaySysexFlag);
  PutU32(out, kSongRpnRecordsOffset, rpnOffset);
  PutU32(out, kSongRpnListOffset, rpnListOffset);
  PutU32(out, kSongNrpnRecordsOffset, nrpnOffset);
  PutU32(out, kSongNrpnListOffset, nrpnListOffset);
  return out;
}

}  // namespace tovu
