// MIDI time code arithmetic. See timecode.h.
#include "sync/timecode.h"

namespace midisync {
namespace {

// Nominal frames per second: the labels count 24, 25 or 30 frames to a second.
int32_t LabelRate(MtcRate rate) { return rate == kMtc24 ? 24 : rate == kMtc25 ? 25 : 30; }

// Drop-frame labels leave out frames 0 and 1 of every minute but each tenth: 17982 real frames to
// ten labelled minutes, 1798 to each minute after the first of the ten.
constexpr int64_t kFramesPerTenMinutes = 17982;
constexpr int64_t kFramesPerDropMinute = 1798;

}  // namespace

MtcRate MtcRateOf(int32_t code) {
  return code >= kMtc24 && code <= kMtc30 ? static_cast<MtcRate>(code) : kMtc25;
}

double MtcFrameMs(MtcRate rate) { return rate == kMtc2997Drop ? 1001.0 / 30.0 : 1000.0 / LabelRate(rate); }

Timecode TimecodeOfFrame(int64_t frame, MtcRate rate) {
  if (frame < 0) frame = 0;
  int64_t label = frame;
  if (rate == kMtc2997Drop) {
    int64_t tens = frame / kFramesPerTenMinutes, rest = frame % kFramesPerTenMinutes;
    label += 18 * tens + (rest < 2 ? 0 : 2 * ((rest - 2) / kFramesPerDropMinute));
  }
  const int64_t fps = LabelRate(rate);
  Timecode t;
  t.frames = static_cast<int32_t>(label % fps);
  t.seconds = static_cast<int32_t>(label / fps % 60);
  t.minutes = static_cast<int32_t>(label / (fps * 60) % 60);
  t.hours = static_cast<int32_t>(label / (fps * 3600) % 24);
  return t;
}

int64_t FrameOfTimecode(const Timecode& t, MtcRate rate) {
  const int64_t fps = LabelRate(rate);
  int64_t label = ((static_cast<int64_t>(t.hours) * 60 + t.minutes) * 60 + t.seconds) * fps + t.frames;
  if (rate != kMtc2997Drop) return label;
  int64_t minutes = static_cast<int64_t>(t.hours) * 60 + t.minutes;
  return label - 2 * (minutes - minutes / 10);
}

uint8_t QuarterFrameData(int64_t quarter, MtcRate rate) {
  if (quarter < 0) quarter = 0;
  const int32_t piece = static_cast<int32_t>(quarter & 7);
  Timecode t = TimecodeOfFrame((quarter >> 3) * 2, rate);
  int32_t value = 0;
  switch (piece >> 1) {
    case 0: value = t.frames; break;
    case 1: value = t.seconds; break;
    case 2: value = t.minutes; break;
    default: value = t.hours | rate << 5; break;
  }
  int32_t nibble = piece & 1 ? (value >> 4) & 0x0F : value & 0x0F;
  return static_cast<uint8_t>(piece << 4 | nibble);
}

void FullFrameMessage(int64_t frame, MtcRate rate, uint8_t out[kFullFrameSize]) {
  Timecode t = TimecodeOfFrame(frame, rate);
  const uint8_t bytes[kFullFrameSize] = {0xF0, 0x7F, 0x7F, 0x01, 0x01,
                                         static_cast<uint8_t>(rate << 5 | t.hours),
                                         static_cast<uint8_t>(t.minutes),
                                         static_cast<uint8_t>(t.seconds),
                                         static_cast<uint8_t>(t.frames), 0xF7};
  for (uint32_t i = 0; i < kFullFrameSize; ++i) out[i] = bytes[i];
}

}  // namespace midisync
