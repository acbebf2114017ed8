// The one-pass check of a song image before it is accepted into a song slot, and the walk over its
// tempo map. See song_image.h.
//
// Threads: the check on the main thread, while handling a song load; a walk on its caller's.
#include "playback/song_image.h"

#include <climits>
#include <cmath>

#include "playback/clock.h"

namespace {

// Everything the walk needs to know about the image; sizes and offsets are held in 64 bits so that
// no sum of an offset and a length can wrap.
struct ImageBounds {
  const uint8_t* image;
  uint64_t size;
  uint32_t ports;  // output port count; port indices must be below it
};

bool Inside(const ImageBounds& b, uint64_t offset, uint64_t length) {
  return offset <= b.size && length <= b.size - offset;
}

// The sysex record at `at`: its header and its bytes inside the image, its port a real port.
// Gives the offset just past the record.
bool CheckSysexRecord(const ImageBounds& b, uint64_t at, uint64_t* next) {
  if (!Inside(b, at, kSysexRecordHeaderSize)) return false;
  const uint8_t* record = b.image + at;
  if (record[0] >= b.ports) return false;
  uint64_t length = ReadU32(record + 1);
  if (!Inside(b, at + kSysexRecordHeaderSize, length)) return false;
  *next = at + kSysexRecordHeaderSize + length;
  return true;
}

bool CheckParamRecord(const ImageBounds& b, uint64_t at) {
  if (!Inside(b, at, kParamRecordSize)) return false;
  const uint8_t* record = b.image + at;
  return record[kParamRecordChannel] <= 15 && record[kParamRecordPort] < b.ports;
}

bool CheckParamList(const ImageBounds& b, uint32_t offset) {
  if (offset == kNoParameterList) return true;
  if (!Inside(b, offset, kParamListHeaderSize)) return false;
  uint64_t count = ReadU16(b.image + offset);
  return Inside(b, uint64_t{offset} + kParamListHeaderSize, count * 2);
}

}  // namespace

bool ValidateSongImage(const uint8_t* image, size_t size, int32_t outputCount) {
  if (image == nullptr || size < kSongHeaderSize) return false;
  ImageBounds b{image, size, outputCount < 0 ? 0u : static_cast<uint32_t>(outputCount)};

  if (ReadU32(image + kSongTicksPerQuarter) < 4) return false;
  const uint64_t sysexBlock = ReadU32(image + kSongSysexBlockOffset);
  const uint64_t rpnRecords = ReadU32(image + kSongRpnRecordsOffset);
  const uint64_t nrpnRecords = ReadU32(image + kSongNrpnRecordsOffset);
  // The three areas may be empty and sit at the very end of the image.
  if (!Inside(b, sysexBlock, 0) || !Inside(b, rpnRecords, 0) || !Inside(b, nrpnRecords, 0)) return false;
  if (!CheckParamList(b, ReadU32(image + kSongRpnListOffset))) return false;
  if (!CheckParamList(b, ReadU32(image + kSongNrpnListOffset))) return false;

  // The replay sends the first k records of the block for the first k sysex events, so the block is
  // walked from its start alongside the events: one record for each sysex event met.
  // Events, the end marker among them, come in non-decreasing tick order: the scheduler plays them
  // as its cursor meets them, so an image out of order would play scrambled.
  uint64_t blockWalk = sysexBlock;
  int32_t lastTick = INT32_MIN;
  for (uint64_t at = kSongHeaderSize; at + kEventEntrySize <= b.size; at += kEventEntrySize) {
    const int32_t tick = ReadI32(image + at);
    if (tick < lastTick) return false;
    lastTick = tick;
    const uint32_t w = ReadU32(image + at + kEventWordOffset);
    const uint32_t code = EventCode(w);
    if (code == kCodeEnd) return true;
    if (EventPort(w) == kIgnoredPort) continue;
    if (code < 0xF0) {
      if (EventPort(w) >= b.ports) return false;
      continue;
    }
    switch (code) {
      case kCodeSysexRef: {
        uint64_t next;
        if (!CheckSysexRecord(b, sysexBlock + EventOffset(w), &next)) return false;
        if (!CheckSysexRecord(b, blockWalk, &next)) return false;
        blockWalk = next;
        break;
      }
      case kCodeRpnRef:
        if (!CheckParamRecord(b, rpnRecords + EventOffset(w))) return false;
        break;
      case kCodeNrpnRef:
        if (!CheckParamRecord(b, nrpnRecords + EventOffset(w))) return false;
        break;
      case kCodeTempo:
        if (EventOffset(w) == 0) return false;
        break;
      default:  // time signatures and the ignored codes carry no reference
        break;
    }
  }
  return false;  // the image ended before an end marker
}

// ---- The tempo map, walked ----

TempoWalk StartTempoWalk(const uint8_t* song) {
  TempoWalk w;
  w.msPerTick = 60000.0 / kDefaultTicksPerMinute;
  if (!song) return w;
  w.ticksPerSixteenth = static_cast<int32_t>(ReadU32(song + kSongTicksPerQuarter) >> 2);
  if (w.ticksPerSixteenth <= 0) w.ticksPerSixteenth = 1;
  w.next = song + kSongHeaderSize;
  return w;
}

namespace {

// The tick of the walk's next tempo event (the walk moved to it), or infinity when none is left.
double NextTempoTick(TempoWalk& w) {
  if (!w.next) return INFINITY;
  for (;; w.next += kEventEntrySize) {
    const uint32_t word = ReadU32(w.next + kEventWordOffset);
    if (EventCode(word) == kCodeEnd) return INFINITY;
    if (EventCode(word) == kCodeTempo && EventPort(word) != kIgnoredPort) return ReadI32(w.next);
  }
}

// Takes the tempo event the walk stands at, whose tick is `at`.
void TakeTempo(TempoWalk& w, double at) {
  w.ms += (at - w.tick) * w.msPerTick;
  w.tick = at;
  w.msPerTick = MsPerTick(TempoTicksPerMinute(EventOffset(ReadU32(w.next + kEventWordOffset)), w.ticksPerSixteenth), 1.0);
  w.next += kEventEntrySize;
}

}  // namespace

double WalkToTick(TempoWalk& w, double tick) {
  for (double at = NextTempoTick(w); at <= tick; at = NextTempoTick(w)) TakeTempo(w, std::fmax(at, w.tick));
  if (tick > w.tick) {
    w.ms += (tick - w.tick) * w.msPerTick;
    w.tick = tick;
  }
  return w.ms;
}

double WalkToMs(TempoWalk& w, double ms) {
  for (double at = NextTempoTick(w); std::isfinite(at) && w.ms + (std::fmax(at, w.tick) - w.tick) * w.msPerTick <= ms;
       at = NextTempoTick(w))
    TakeTempo(w, std::fmax(at, w.tick));
  if (ms > w.ms && w.msPerTick > 0) {
    w.tick += (ms - w.ms) / w.msPerTick;
    w.ms = ms;
  }
  return w.tick;
}
