// State images: reset and header values, independent copies across parameter counts, note stacks,
// and the timing arithmetic on values that would overflow or shift out of range.
#include <gtest/gtest.h>

#include <limits>

#include "client/song_builder.h"
#include "playback/clock.h"
#include "playback_test_util.h"

TEST(StateImage, ResetThenHeaderLoad) {
  auto image = NewImage(3);
  EXPECT_EQ(image->snapshotCount, 48);
  EXPECT_EQ(image->ticksPerMinute, 14400);
  EXPECT_EQ(image->ticksPerSixteenth, 30);
  EXPECT_EQ(image->ticksPerBar, 480);
  EXPECT_EQ(image->ticksPerBeat, 120);
  EXPECT_EQ(image->sysexMode, 2);
  for (int i = 0; i < image->snapshotCount; ++i) {
    const ChannelSnapshot& s = image->snapshots[i];
    ASSERT_EQ(s.dirty, 0);
    ASSERT_EQ(s.pitchBend, 0x4000);
    ASSERT_EQ(s.bank, 0xFFFF);
    ASSERT_EQ(s.controllers[127], 255);
  }

  tovu::SongBuilder song;
  song.ticksPerQuarter = 480;
  song.timeSigNumerator = 6;
  song.timeSigDenominatorPower = 3;
  song.setupSysexCount = 3;
  song.replaySysexFlag = 1;
  song.SetRpnList({1, 2, 3});
  song.End(1234);
  auto bytes = song.Build();
  EXPECT_EQ(LoadSongHeader(bytes.data(), *image), 1234);
  EXPECT_EQ(image->ticksPerSixteenth, 120);
  EXPECT_EQ(image->ticksPerMinute, 14400);  // no tempo event yet
  EXPECT_EQ(image->ticksPerBar, 1440);
  EXPECT_EQ(image->ticksPerBeat, 240);
  EXPECT_EQ(image->setupSysexCount, 3);
  EXPECT_EQ(image->replaySysexFlag, 1u);
  EXPECT_EQ(image->eventCursor, bytes.data() + 40);
  ASSERT_EQ(image->rpnCount, 3);
  EXPECT_EQ(image->nrpnCount, 0);
  EXPECT_EQ(image->rpnList[2], 3);
  for (int i = 0; i < image->snapshotCount; ++i)
    for (int k = 0; k < 3; ++k) ASSERT_EQ(image->snapshots[i].rpnValues[k], 0xFFFF);
  EXPECT_EQ(image->snapshots[0].nrpnValues, nullptr);

}

TEST(StateImage, CopiesWithDifferentCountsStayIndependent) {
  tovu::SongBuilder two;
  two.SetRpnList({10, 11});
  two.SetNrpnList({20, 21, 22, 23});
  two.Rpn(0, 1, 4, 11, 77);
  two.Nrpn(0, 1, 4, 23, 88);
  two.End(10);
  tovu::SongBuilder five;
  five.SetRpnList({1, 2, 3, 4, 5});
  five.End(10);
  auto twoBytes = two.Build();
  auto fiveBytes = five.Build();

  auto src = NewImage(2);
  auto dst = NewImage(2);
  LoadSong(twoBytes, *src);
  ChaseTo(5, *src);
  LoadSong(fiveBytes, *dst);
  CopyStateImage(*dst, *src);
  ASSERT_EQ(dst->rpnCount, 2);
  ASSERT_EQ(dst->nrpnCount, 4);
  EXPECT_NE(dst->rpnList, src->rpnList);
  EXPECT_NE(dst->snapshots[20].rpnValues, src->snapshots[20].rpnValues);
  EXPECT_EQ(dst->snapshots[20].rpnValues[1], 77);
  EXPECT_EQ(dst->snapshots[20].nrpnValues[3], 88);
  EXPECT_EQ(dst->nrpnList[3], 23);
  EXPECT_EQ(SnapshotOf(*dst, 1, 4).dirty, 1);

  // Changing or resetting the source leaves the copy alone.
  src->snapshots[20].rpnValues[1] = 1;
  ResetStateImage(*src);
  EXPECT_EQ(dst->snapshots[20].rpnValues[1], 77);
  EXPECT_EQ(dst->rpnList[0], 10);

  // Copying an image without lists onto one with lists drops them.
  CopyStateImage(*dst, *src);
  EXPECT_EQ(dst->rpnCount, 0);
  EXPECT_EQ(dst->rpnList, nullptr);
  EXPECT_EQ(dst->snapshots[20].rpnValues, nullptr);
  EXPECT_EQ(SnapshotOf(*dst, 1, 4).dirty, 0);
}

TEST(StateImage, NoteStackHoldsSixteenMostRecentFirstOut) {
  auto image = NewImage(1);
  ChannelSnapshot& s = image->snapshots[0];
  for (int i = 1; i <= 17; ++i) PushNote(s, 60, static_cast<uint8_t>(i));
  EXPECT_EQ(s.notes[60].count, 16);
  EXPECT_EQ(s.notes[60].velocity[15], 16);  // the 17th was lost
  PopNote(s, 60);
  EXPECT_EQ(s.notes[60].count, 15);
  EXPECT_EQ(s.notes[60].velocity[15], 0);
  EXPECT_EQ(s.notes[60].velocity[14], 15);
  for (int i = 0; i < 20; ++i) PopNote(s, 60);
  EXPECT_EQ(s.notes[60].count, 0);
  PushNote(s, 60 + 128, 9);  // note numbers are 7-bit
  EXPECT_EQ(s.notes[60].count, 1);
}

TEST(Timing, ExtremeHeaderAndTempoValuesClampWithoutUndefinedBehaviour) {
  EXPECT_EQ(TicksPerBar(254, 0x3FFFFFFF, 2), INT32_MAX);
  EXPECT_EQ(TicksPerBar(254, 0x3FFFFFFF, 40), 3);  // formed in 64 bits, then shifted
  EXPECT_EQ(TempoTicksPerMinute(0xFFFFFF, 0x3FFFFFFF), INT32_MAX);
  // A tempo of 0 runs at the reset tempo; a broken factor counts as 1.0.
  EXPECT_DOUBLE_EQ(MsPerTick(0, 1.0), 60000.0 / 14400);
  for (double factor : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
    EXPECT_DOUBLE_EQ(MsPerTick(100, factor), 60000.0 / 100);

  tovu::SongBuilder song;
  song.ticksPerQuarter = 0xFFFFFFFF;
  song.timeSigNumerator = 255;
  song.timeSigDenominatorPower = 255;
  song.End(0);
  auto bytes = song.Build();
  auto image = NewImage(1);
  LoadSong(bytes, *image);
  EXPECT_EQ(image->ticksPerSixteenth, 0x3FFFFFFF);
  EXPECT_EQ(image->ticksPerBar, 0);
  EXPECT_EQ(image->ticksPerBeat, 0);
}
