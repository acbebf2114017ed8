// Song image builder. See song_builder.h.
//
// Threads: whichever thread uses the builder.
#include "client/song_builder.h"

#include <algorithm>

namespace tovu {

namespace {

constexpr size_t kHeaderSize = 40;

void PutU16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}

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
  Raw(tick, Reference(0xFE, quarterNotesPerMinute));
}

void SongBuilder::TimeSignature(int32_t tick, uint32_t numerator, uint32_t denominatorPower) {
  Raw(tick, PackEvent(0xFA, 0, denominatorPower, numerator));
}

void SongBuilder::Sysex(int32_t tick, uint32_t port, const std::vector<uint8_t>& bytes) {
  events.push_back({tick, 0xF0, static_cast<int32_t>(sysexMessages.size())});
  sysexMessages.push_back({static_cast<uint8_t>(port), bytes});
}

void SongBuilder::Rpn(int32_t tick, uint32_t port, uint32_t channel, uint32_t parameter, uint32_t value) {
  Raw(tick, Reference(0xF4, AddParamRecord(rpnRecords, port, channel, parameter, value)));
}

void SongBuilder::Nrpn(int32_t tick, uint32_t port, uint32_t channel, uint32_t parameter, uint32_t value) {
  Raw(tick, Reference(0xF5, AddParamRecord(nrpnRecords, port, channel, parameter, value)));
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

  std::vector<uint8_t> out(kHeaderSize + (ordered.size() + 1) * 8, 0);
  std::vector<uint8_t> sysexBlock;
  size_t at = kHeaderSize;
  for (const Entry& e : ordered) {
    uint32_t word = e.word;
    if (e.sysex >= 0) {
      // Records go into the block in the order their events play.
      const SysexMessage& m = sysexMessages[static_cast<size_t>(e.sysex)];
      word = Reference(0xF0, static_cast<uint32_t>(sysexBlock.size()));
      sysexBlock.push_back(m.port);
      AppendU32(sysexBlock, static_cast<uint32_t>(m.bytes.size()));
      sysexBlock.insert(sysexBlock.end(), m.bytes.begin(), m.bytes.end());
    }
    PutU32(out, at, static_cast<uint32_t>(e.tick));
    PutU32(out, at + 4, word);
    at += 8;
  }
  PutU32(out, at, static_cast<uint32_t>(closingTick));
  PutU32(out, at + 4, 0xFF);

  const uint32_t sysexOffset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), sysexBlock.begin(), sysexBlock.end());
  const uint32_t rpnOffset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), rpnRecords.begin(), rpnRecords.end());
  const uint32_t nrpnOffset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), nrpnRecords.begin(), nrpnRecords.end());
  uint32_t rpnListOffset = 0xFFFFFFFFu;
  if (hasRpnList) {
    rpnListOffset = static_cast<uint32_t>(out.size());
    AppendU16(out, static_cast<uint32_t>(rpnList.size()));
    for (uint16_t p : rpnList) AppendU16(out, p);
  }
  uint32_t nrpnListOffset = 0xFFFFFFFFu;
  if (hasNrpnList) {
    nrpnListOffset = static_cast<uint32_t>(out.size());
    AppendU16(out, static_cast<uint32_t>(nrpnList.size()));
    for (uint16_t p : nrpnList) AppendU16(out, p);
  }

  PutU32(out, 0, ticksPerQuarter);
  PutU16(out, 4, 0);
  out[6] = timeSigDenominatorPower;
  out[7] = timeSigNumerator;
  PutU32(out, 8, static_cast<uint32_t>(songEndTick.value_or(closingTick)));
  PutU32(out, 12, sysexOffset);
  PutU32(out, 16, static_cast<uint32_t>(setupSysexCount));
  PutU32(out, 20, replaySysexFlag);
  PutU32(out, 24, rpnOffset);
  PutU32(out, 28, rpnListOffset);
  PutU32(out, 32, nrpnOffset);
  PutU32(out, 36, nrpnListOffset);
  return out;
}

}  // namespace tovu
