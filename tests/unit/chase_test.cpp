// Chase (silent) and event application (sent) against the bytes the virtual outputs received.
#include <gtest/gtest.h>

#include "client/song_builder.h"
#include "playback/chase.h"
#include "playback_test_util.h"
#include "support/virtual_ports.h"

using Lines = std::vector<std::string>;

TEST(Chase, TakesOnlyReleasesTempoAndTimeSignatureAtTheTarget) {
  tovu::SongBuilder song;
  song.NoteOn(100, 0, 0, 60, 100);
  song.NoteOn(100, 0, 0, 62, 70);
  song.NoteRelease(200, 0, 0, 60);
  song.Controller(200, 0, 0, 7, 90);
  song.Tempo(200, 90);
  song.TimeSignature(200, 6, 3);
  song.NoteOn(200, 0, 0, 64, 50);
  song.End(300);
  auto bytes = song.Build();
  auto image = NewImage(1);
  LoadSong(bytes, *image);

  EXPECT_FALSE(ChaseTo(200, *image));
  const ChannelSnapshot& s = SnapshotOf(*image, 0, 0);
  EXPECT_EQ(s.notes[60].count, 0);  // released exactly at the target
  EXPECT_EQ(s.notes[62].count, 1);
  EXPECT_EQ(s.notes[64].count, 0);  // a note-on at the target is left to playback
  EXPECT_EQ(s.controllers[7], 255);
  EXPECT_EQ(image->ticksPerMinute, 10800);  // 90 x 4 x 30
  EXPECT_EQ(image->timeSigTick, 200);
  EXPECT_EQ(image->ticksPerBar, 360);
  EXPECT_EQ(image->ticksPerBeat, 60);
  // The cursor stays on the first entry at the target: the release, which playback applies again.
  EXPECT_EQ(CursorTick(*image), 200);
  EXPECT_EQ(CursorWord(*image), tovu::PackEvent(0x90, 60, 0, 0));

  // Chasing on takes the entries at 200 as events before 201.
  EXPECT_FALSE(ChaseTo(201, *image));
  EXPECT_EQ(s.controllers[7], 90);
  EXPECT_EQ(s.notes[64].count, 1);
  EXPECT_EQ(s.notes[60].count, 0);
  EXPECT_EQ(CursorTick(*image), 300);
}

TEST(Chase, StackedVelocitiesKeepTheOlderNoteOn) {
  tovu::SongBuilder song;
  song.NoteOn(100, 0, 2, 60, 80);
  song.NoteOn(150, 0, 2, 60, 90);
  song.NoteRelease(200, 0, 2, 60);
  song.NoteOn(210, 0, 2, 61, 10);
  song.NoteOff(220, 0, 2, 61);  // a real note-off leaves the stack alone
  song.End(300);
  auto bytes = song.Build();
  auto image = NewImage(1);

  LoadSong(bytes, *image);
  ChaseTo(200, *image);
  const ChannelSnapshot& s = SnapshotOf(*image, 0, 2);
  ASSERT_EQ(s.notes[60].count, 1);
  EXPECT_EQ(s.notes[60].velocity[0], 80);
  EXPECT_EQ(s.notes[60].velocity[1], 0);

  LoadSong(bytes, *image);
  ChaseTo(250, *image);
  EXPECT_EQ(s.notes[60].count, 1);
  EXPECT_EQ(s.notes[60].velocity[0], 80);
  EXPECT_EQ(s.notes[61].count, 1);
}

TEST(Chase, EndMarkerIsFoundWhateverItsOtherBytes) {
  tovu::SongBuilder only;
  only.End(500);
  auto bytes = only.Build();
  auto image = NewImage(1);
  for (int32_t target : {499, 500, 900}) {
    LoadSong(bytes, *image);
    EXPECT_EQ(ChaseTo(target, *image), target >= 500) << target;
    EXPECT_EQ(CursorTick(*image), 500);
    EXPECT_EQ(CursorWord(*image), 0xFFu);
  }

  // An end marker with a port byte ends the scan; an ignored word (top byte 0xFF) is not counted.
  tovu::SongBuilder song;
  song.Raw(10, 0xFF0000F0);
  song.Raw(20, 0xFF643C90);
  song.Raw(30, 0x123456FF);
  song.Controller(40, 0, 0, 7, 1);
  song.End(50);
  bytes = song.Build();
  LoadSong(bytes, *image);
  EXPECT_TRUE(ChaseTo(45, *image));
  EXPECT_EQ(image->sysexPassed, 0);
  EXPECT_EQ(SnapshotOf(*image, 0, 0).dirty, 0);
  EXPECT_EQ(SnapshotOf(*image, 0, 0).notes[60].count, 0);
  EXPECT_EQ(CursorTick(*image), 30);
  LoadSong(bytes, *image);
  EXPECT_TRUE(ChaseTo(30, *image));  // found in the walk at the target
  EXPECT_EQ(CursorTick(*image), 30);
}

TEST(ApplyEvent, BankPseudoStatusesBecomeControllersOrProgram) {
  VirtualPorts vp(2);
  PlaybackClock clock;
  auto image = NewImage(2);
  struct Case {
    tovu::BankKind kind;
    uint8_t mode;
    Lines sent;
  };
  const Case cases[] = {
      {tovu::BankKind::Full14, 1, {"out1 b3 00 01", "out1 b3 20 48"}},
      {tovu::BankKind::Msb, 2, {"out1 b3 00 48"}},
      {tovu::BankKind::Lsb, 3, {"out1 b3 20 48"}},
      {tovu::BankKind::ByProgram, 4, {"out1 c3 48"}},
  };
  for (const Case& c : cases) {
    ResetStateImage(*image);
    uint32_t word = tovu::PackEvent(static_cast<uint32_t>(c.kind) | 3, 200 & 0xFF, 200 >> 8, 1);
    ApplyEvent(vp.ports, clock, 0, word, *image);
    EXPECT_EQ(vp.TakeData(), c.sent) << int(c.mode);
    const ChannelSnapshot& s = SnapshotOf(*image, 1, 3);
    EXPECT_EQ(s.bank, 200);
    EXPECT_EQ(s.bankMode, c.mode);
    EXPECT_EQ(s.dirty, 1);
  }
}

TEST(ApplyEvent, ChannelEventsAreSentAndIgnoredWordsAreNot) {
  VirtualPorts vp(2);
  PlaybackClock clock;
  auto image = NewImage(2);
  ApplyEvent(vp.ports, clock, 0, tovu::PackEvent(0x91, 60, 100, 0), *image);
  ApplyEvent(vp.ports, clock, 0, tovu::PackEvent(0x81, 60, 64, 0), *image);  // note-off: stack kept
  ApplyEvent(vp.ports, clock, 0, tovu::PackEvent(0xE1, 0x11, 0x22, 1), *image);
  ApplyEvent(vp.ports, clock, 0, 0xFF643C90, *image);  // no port
  ApplyEvent(vp.ports, clock, 0, 0x000000F9, *image);  // ignored code
  EXPECT_EQ(vp.TakeData(), (Lines{"out0 91 3c 64", "out0 81 3c 40", "out1 e1 11 22"}));
  EXPECT_EQ(SnapshotOf(*image, 0, 1).notes[60].count, 1);
  EXPECT_EQ(SnapshotOf(*image, 1, 1).pitchBend, 0x2211);
  EXPECT_EQ(SnapshotOf(*image, 0, 0).dirty, 0);
  // A port beyond the image's snapshots (thru with a stale port) writes nothing; the send is refused.
  ApplyEvent(vp.ports, clock, 0, tovu::PackEvent(0xB0, 7, 1, 7), *image);
  EXPECT_TRUE(vp.TakeData().empty());

}

// Plays a song of five sysex references and returns what was sent and the count passed.
static Lines PlaySysex(int32_t mode, uint32_t setupFlag, int32_t* passed) {
  VirtualPorts vp(1);
  tovu::SongBuilder song;
  song.setupSysexCount = 2;
  for (uint8_t i = 1; i <= 5; ++i) song.Sysex(i * 10, 0, {0xF0, i, 0xF7});
  song.End(100);
  auto bytes = song.Build();
  auto image = NewImage(1);
  LoadSong(bytes, *image);
  image->sysexMode = mode;
  image->setupSysexFlag = setupFlag;
  PlaybackClock clock;
  EXPECT_TRUE(PlayUntil(vp.ports, clock, *image, 1000));
  *passed = image->sysexPassed;
  return vp.TakeData();
}

TEST(ApplyEvent, SysexRuleByModeAndSetupCount) {
  int32_t passed = 0;
  EXPECT_EQ(PlaySysex(0, 0, &passed), (Lines{"out0 f0 03 f7", "out0 f0 04 f7", "out0 f0 05 f7"}));
  EXPECT_EQ(passed, 5);
  const Lines all{"out0 f0 01 f7", "out0 f0 02 f7", "out0 f0 03 f7", "out0 f0 04 f7", "out0 f0 05 f7"};
  EXPECT_EQ(PlaySysex(0, 1, &passed), all);
  EXPECT_EQ(PlaySysex(1, 0, &passed), all);
  EXPECT_TRUE(PlaySysex(2, 1, &passed).empty());
  EXPECT_EQ(passed, 5);
  EXPECT_TRUE(PlaySysex(7, 0, &passed).empty());
}

TEST(ApplyEvent, RpnIsSentListedOrNotAndChasedOnlyWhenListed) {
  VirtualPorts vp(2);
  tovu::SongBuilder song;
  song.SetRpnList({0, 2});
  song.SetNrpnList({0x1234});
  song.Rpn(0, 1, 5, 0, 256);     // listed
  song.Rpn(0, 1, 5, 1, 64);      // not listed
  song.Nrpn(0, 0, 9, 0x1234, 3);
  song.End(10);
  auto bytes = song.Build();
  auto image = NewImage(2);
  LoadSong(bytes, *image);
  PlaybackClock clock;
  PlayUntil(vp.ports, clock, *image, 10);
  EXPECT_EQ(vp.TakeData(), (Lines{"out1 b5 65 00", "out1 b5 64 00", "out1 b5 06 02", "out1 b5 26 00",
                                  "out1 b5 65 00", "out1 b5 64 01", "out1 b5 06 00", "out1 b5 26 40",
                                  "out0 b9 63 24", "out0 b9 62 34", "out0 b9 06 00", "out0 b9 26 03"}));
  const ChannelSnapshot& s = SnapshotOf(*image, 1, 5);
  EXPECT_EQ(s.dirty, 1);
  EXPECT_EQ(s.rpnValues[0], 256);
  EXPECT_EQ(s.rpnValues[1], 0xFFFF);
  EXPECT_EQ(SnapshotOf(*image, 0, 9).nrpnValues[0], 3);
}

TEST(ApplyEvent, TempoUsesThePositionStepAndReanchorsAtTheEventTick) {
  VirtualPorts vp(1);
  tovu::SongBuilder song;
  song.ticksPerQuarter = 480;  // the image's own step is 120
  song.End(10);
  auto bytes = song.Build();
  auto image = NewImage(1);
  LoadSong(bytes, *image);
  PlaybackClock clock;
  clock.positionStep = 30;
  clock.playbackTempoFactor = 2.0;
  clock.anchorTick = 5;
  ApplyEvent(vp.ports, clock, 960, tovu::PackEvent(0xFE, 90, 0, 0), *image);
  EXPECT_EQ(image->ticksPerMinute, 10800);
  EXPECT_EQ(clock.anchorTick, 960);
  EXPECT_DOUBLE_EQ(clock.msPerTick, 60000.0 / (10800 * 2.0));
  EXPECT_TRUE(vp.TakeData().empty());

  // A tempo whose product overflows clamps instead of wrapping negative.
  clock.positionStep = 0x3FFFFFFF;
  ApplyEvent(vp.ports, clock, 0, 0x00FFFFFE, *image);
  EXPECT_EQ(image->ticksPerMinute, INT32_MAX);
  EXPECT_GT(clock.msPerTick, 0.0);
}
