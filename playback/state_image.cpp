// State images: creation, reset, header load, copy and the note stacks. See state_image.h.
//
// Threads: whichever thread owns the image at the time (main, timer or MIDI input thread).
#include "playback/state_image.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "playback/song_image.h"

namespace {

constexpr int32_t kMaxImagePorts = 255;

uint16_t* AllocateU16(size_t count) {
  return static_cast<uint16_t*>(std::malloc(count * sizeof(uint16_t)));
}

// Points every snapshot's value array at its slice of the image's block (null when the count is 0).
void LinkValueArrays(StateImage& image) {
  for (int32_t i = 0; i < image.snapshotCount; ++i) {
    ChannelSnapshot& s = image.snapshots[i];
    s.rpnValues = image.rpnCount ? image.rpnValueBlock + static_cast<size_t>(i) * image.rpnCount : nullptr;
    s.nrpnValues = image.nrpnCount ? image.nrpnValueBlock + static_cast<size_t>(i) * image.nrpnCount : nullptr;
  }
}

// Gives the image a list and a value block of `count` entries each (the caller fills them).
// Returns false, with nothing allocated, when memory runs out.
bool AllocateParameterArrays(int32_t snapshotCount, uint16_t count, uint16_t** list, uint16_t** block) {
  *list = AllocateU16(count);
  *block = AllocateU16(static_cast<size_t>(snapshotCount) * count + 1);
  if (*list && *block) return true;
  std::free(*list);
  std::free(*block);
  *list = nullptr;
  *block = nullptr;
  return false;
}

// Loads one of the song's parameter lists into the image; every value none. A list that cannot be
// allocated leaves the count 0.
void LoadParameterList(const uint8_t* song, uint32_t listOffset, int32_t snapshotCount, uint16_t* count,
                       uint16_t** list, uint16_t** block) {
  *count = 0;
  if (listOffset == kNoParameterList) return;
  const uint8_t* at = song + listOffset;
  uint16_t n = ReadU16(at);
  if (n == 0 || !AllocateParameterArrays(snapshotCount, n, list, block)) return;
  for (uint16_t k = 0; k < n; ++k) (*list)[k] = ReadU16(at + kParamListHeaderSize + 2 * k);
  std::memset(*block, 0xFF, static_cast<size_t>(snapshotCount) * n * sizeof(uint16_t));
  *count = n;
}

void ResetSnapshot(ChannelSnapshot& s) {
  std::memset(&s, 0, sizeof s);
  s.program = kNone7;
  s.channelPressure = kNone7;
  std::memset(s.controllers, kNone7, sizeof s.controllers);
  std::memset(s.polyPressure, kNone7, sizeof s.polyPressure);
  s.pitchBend = kBendCentre;
  s.bank = kNone16;
  s.bankMode = kNone7;
}

// Copies one parameter kind's list and values from src into dst's own arrays, allocating them when
// dst has none. On allocation failure dst's count for that kind becomes 0.
void CopyParameterArrays(StateImage& dst, int32_t snapshots, uint16_t count, const uint16_t* srcList,
                         const uint16_t* srcBlock, uint16_t* dstCount, uint16_t** dstList,
                         uint16_t** dstBlock) {
  if (count == 0) return;
  if (!*dstList && !AllocateParameterArrays(dst.snapshotCount, count, dstList, dstBlock)) {
    *dstCount = 0;
    return;
  }
  std::memcpy(*dstList, srcList, count * sizeof(uint16_t));
  std::memcpy(*dstBlock, srcBlock, static_cast<size_t>(snapshots) * count * sizeof(uint16_t));
  if (snapshots < dst.snapshotCount)
    std::memset(*dstBlock + static_cast<size_t>(snapshots) * count, 0xFF,
                static_cast<size_t>(dst.snapshotCount - snapshots) * count * sizeof(uint16_t));
}

}  // namespace

StateImage* CreateStateImage(int32_t outputCount) {
  if (outputCount < 0 || outputCount > kMaxImagePorts) return nullptr;
  auto* image = static_cast<StateImage*>(std::calloc(1, sizeof(StateImage)));
  if (!image) return nullptr;
  image->portCount = outputCount;
  image->snapshotCount = outputCount * 16;
  if (outputCount > 0) {
    image->snapshots = static_cast<ChannelSnapshot*>(std::calloc(image->snapshotCount, sizeof(ChannelSnapshot)));
    if (!image->snapshots) {
      std::free(image);
      return nullptr;
    }
  }
  return image;
}

bool GrowStateImage(StateImage& image, int32_t portCount) {
  if (portCount <= image.portCount) return true;
  if (portCount > kMaxImagePorts) return false;
  const int32_t oldCount = image.snapshotCount;
  const int32_t count = portCount * 16;
  auto* snapshots = static_cast<ChannelSnapshot*>(std::malloc(static_cast<size_t>(count) * sizeof(ChannelSnapshot)));
  uint16_t* rpnBlock = image.rpnCount ? AllocateU16(static_cast<size_t>(count) * image.rpnCount + 1) : nullptr;
  uint16_t* nrpnBlock = image.nrpnCount ? AllocateU16(static_cast<size_t>(count) * image.nrpnCount + 1) : nullptr;
  if (!snapshots || (image.rpnCount && !rpnBlock) || (image.nrpnCount && !nrpnBlock)) {
    std::free(snapshots);
    std::free(rpnBlock);
    std::free(nrpnBlock);
    return false;
  }
  if (oldCount > 0) std::memcpy(snapshots, image.snapshots, static_cast<size_t>(oldCount) * sizeof(ChannelSnapshot));
  for (int32_t i = oldCount; i < count; ++i) ResetSnapshot(snapshots[i]);
  // Each kind's values: the old snapshots' as they were, the new ones' none.
  auto grow = [&](uint16_t count16, uint16_t* block, uint16_t** old) {
    if (!count16) return;
    const size_t kept = static_cast<size_t>(oldCount) * count16;
    if (kept) std::memcpy(block, *old, kept * sizeof(uint16_t));
    std::memset(block + kept, 0xFF, (static_cast<size_t>(count) * count16 - kept) * sizeof(uint16_t));
    std::free(*old);
    *old = block;
  };
  grow(image.rpnCount, rpnBlock, &image.rpnValueBlock);
  grow(image.nrpnCount, nrpnBlock, &image.nrpnValueBlock);
  std::free(image.snapshots);
  image.snapshots = snapshots;
  image.portCount = portCount;
  image.snapshotCount = count;
  LinkValueArrays(image);
  return true;
}

void DestroyStateImage(StateImage* image) {
  if (!image) return;
  ReleaseStateArrays(*image);
  std::free(image->snapshots);
  std::free(image);
}

void ReleaseStateArrays(StateImage& image) {
  std::free(image.rpnList);
  std::free(image.nrpnList);
  std::free(image.rpnValueBlock);
  std::free(image.nrpnValueBlock);
  image.rpnList = image.nrpnList = nullptr;
  image.rpnValueBlock = image.nrpnValueBlock = nullptr;
  image.rpnCount = image.nrpnCount = 0;
  LinkValueArrays(image);
}

void ResetStateImage(StateImage& image) {
  ReleaseStateArrays(image);
  image.eventCursor = nullptr;
  // 4/4 from tick 0 at 120 quarter notes a minute, 30 ticks a sixteenth (480 a bar, 120 a beat).
  image.ticksPerSixteenth = 30, image.ticksPerMinute = 14400;
  image.timeSigTick = 0, image.numerator = 4, image.denominatorPower = 2;
  image.ticksPerBar = 480, image.ticksPerBeat = 120;
  // No sysex passed or held back; mode 2 sends none.
  image.sysexPassed = image.setupSysexCount = 0;
  image.replaySysexFlag = image.setupSysexFlag = 0;
  image.sysexMode = 2;
  image.sysexBlock = image.rpnRecords = image.nrpnRecords = nullptr;
  if (image.snapshotCount == 0) return;
  // Reset the first snapshot, then copy it over the others: one fill of the whole array.
  ResetSnapshot(image.snapshots[0]);
  for (int32_t i = 1; i < image.snapshotCount; ++i)
    std::memcpy(&image.snapshots[i], &image.snapshots[0], sizeof(ChannelSnapshot));
}

int32_t LoadSongHeader(const uint8_t* song, StateImage& image) {
  image.timeSigTick = 0;
  image.ticksPerSixteenth = static_cast<int32_t>(ReadU32(song + kSongTicksPerQuarter) >> 2);
  image.numerator = song[kSongTimeSigNumerator];
  image.denominatorPower = song[kSongTimeSigDenominatorPower];
  image.ticksPerBar = TicksPerBar(image.numerator, image.ticksPerSixteenth, image.denominatorPower);
  image.ticksPerBeat = TicksPerBeat(image.ticksPerSixteenth, image.denominatorPower);
  image.sysexBlock = song + ReadU32(song + kSongSysexBlockOffset);
  image.setupSysexCount = ReadI32(song + kSongSetupSysexCount);
  image.replaySysexFlag = ReadU32(song + kSongReplaySysexFlag);
  image.rpnRecords = song + ReadU32(song + kSongRpnRecordsOffset);
  image.nrpnRecords = song + ReadU32(song + kSongNrpnRecordsOffset);
  // The image is fresh from a reset; release anyway so that a misuse cannot leak.
  ReleaseStateArrays(image);
  LoadParameterList(song, ReadU32(song + kSongRpnListOffset), image.snapshotCount, &image.rpnCount,
                    &image.rpnList, &image.rpnValueBlock);
  LoadParameterList(song, ReadU32(song + kSongNrpnListOffset), image.snapshotCount, &image.nrpnCount,
                    &image.nrpnList, &image.nrpnValueBlock);
  LinkValueArrays(image);
  image.eventCursor = song + kSongHeaderSize;
  return ReadI32(song + kSongEndTick);
}

void CopyStateImage(StateImage& dst, const StateImage& src) {
  if (&dst == &src) return;
  // Arrays exist exactly when their count is nonzero, so after this dst either has none or has
  // arrays of the source's sizes.
  if ((dst.rpnCount != 0 && src.rpnCount != dst.rpnCount) ||
      (dst.nrpnCount != 0 && src.nrpnCount != dst.nrpnCount))
    ReleaseStateArrays(dst);

  // Header fields one by one, keeping dst's own arrays and its size.
  dst.eventCursor = src.eventCursor;
  dst.ticksPerSixteenth = src.ticksPerSixteenth;
  dst.ticksPerMinute = src.ticksPerMinute;
  dst.timeSigTick = src.timeSigTick;
  dst.numerator = src.numerator;
  dst.denominatorPower = src.denominatorPower;
  dst.ticksPerBar = src.ticksPerBar;
  dst.ticksPerBeat = src.ticksPerBeat;
  dst.sysexPassed = src.sysexPassed;
  dst.setupSysexCount = src.setupSysexCount;
  dst.replaySysexFlag = src.replaySysexFlag;
  dst.setupSysexFlag = src.setupSysexFlag;
  dst.sysexMode = src.sysexMode;
  dst.sysexBlock = src.sysexBlock;
  dst.rpnRecords = src.rpnRecords;
  dst.nrpnRecords = src.nrpnRecords;
  dst.rpnCount = src.rpnCount;
  dst.nrpnCount = src.nrpnCount;

  const int32_t shared = dst.snapshotCount < src.snapshotCount ? dst.snapshotCount : src.snapshotCount;
  if (shared > 0) std::memcpy(dst.snapshots, src.snapshots, static_cast<size_t>(shared) * sizeof(ChannelSnapshot));
  for (int32_t i = shared; i < dst.snapshotCount; ++i) ResetSnapshot(dst.snapshots[i]);

  CopyParameterArrays(dst, shared, src.rpnCount, src.rpnList, src.rpnValueBlock, &dst.rpnCount, &dst.rpnList,
                      &dst.rpnValueBlock);
  CopyParameterArrays(dst, shared, src.nrpnCount, src.nrpnList, src.nrpnValueBlock, &dst.nrpnCount,
                      &dst.nrpnList, &dst.nrpnValueBlock);
  // The block copy brought src's pointers along; point every snapshot back at dst's own arrays.
  LinkValueArrays(dst);
}

void PushNote(ChannelSnapshot& snapshot, uint32_t note, uint8_t velocity) {
  NoteStack& stack = snapshot.notes[note & 127];
  if (stack.count >= kNoteStackDepth) return;
  stack.velocity[stack.count] = velocity;
  stack.count += 1;
}

void PopNote(ChannelSnapshot& snapshot, uint32_t note) {
  NoteStack& stack = snapshot.notes[note & 127];
  if (stack.count == 0) return;
  stack.count -= 1;
  stack.velocity[stack.count] = 0;
}
