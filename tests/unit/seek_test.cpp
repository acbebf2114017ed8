// Seeking and state replay, checked against direct chases and the bytes the outputs received.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "client/song_builder.h"
#include "playback/seek.h"
#include "playback_test_util.h"
#include "support/virtual_ports.h"

using Lines = std::vector<std::string>;

// Two images hold the same state: header, cursor and every snapshot (value arrays compared by
// content, not address).
static void ExpectSameState(const StateImage& x, const StateImage& y, const char* what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(x.eventCursor, y.eventCursor);
  EXPECT_EQ(x.ticksPerMinute, y.ticksPerMinute);
  EXPECT_EQ(x.timeSigTick, y.timeSigTick);
  EXPECT_EQ(x.ticksPerBar, y.ticksPerBar);
  EXPECT_EQ(x.sysexPassed, y.sysexPassed);
  ASSERT_EQ(x.rpnCount, y.rpnCount);
  ASSERT_EQ(x.snapshotCount, y.snapshotCount);
  for (int i = 0; i < x.snapshotCount; ++i) {
    const ChannelSnapshot& a = x.snapshots[i];
    const ChannelSnapshot& b = y.snapshots[i];
    for (int k = 0; k < x.rpnCount; ++k) ASSERT_EQ(a.rpnValues[k], b.rpnValues[k]) << i;
    // Everything up to the value-array pointers, then the bank mode after them.
    ASSERT_EQ(std::memcmp(&a, &b, offsetof(ChannelSnapshot, rpnValues)), 0) << "snapshot " << i;
    ASSERT_EQ(a.bankMode, b.bankMode) << i;
  }
}

static std::vector<uint8_t> SeekSong() {
  tovu::SongBuilder song;
  song.SetRpnList({0});
  song.Controller(0, 0, 0, 7, 10);
  song.NoteOn(100, 0, 0, 60, 80);
  song.NoteOn(150, 0, 0, 60, 90);
  song.Tempo(480, 100);
  song.NoteRelease(480, 0, 0, 60);
  song.Controller(480, 0, 0, 7, 20);
  song.Rpn(600, 1, 2, 0, 99);
  song.Sysex(700, 1, {0xF0, 0x01, 0xF7});
  song.NoteRelease(960, 0, 0, 61);
  song.Controller(960, 0, 0, 7, 30);
  song.End(1000);
  return song.Build();
}

TEST(SeekImages, EveryOrderMatchesDirectChases) {
  auto bytes = SeekSong();
  auto a = NewImage(2), b = NewImage(2), direct = NewImage(2);
  const int32_t ticks[] = {0, 100, 150, 479, 480, 481, 960, 1000, 1920};
  for (int32_t t : ticks) {
    for (int32_t l : {-1, 0, 150, 480, 960, 1920}) {
      SCOPED_TRACE(testing::Message() << "T " << t << " L " << l);
      int32_t end = 0;
      bool flag = SeekImages(bytes.data(), t, l, *a, *b, &end);
      EXPECT_EQ(end, 1000);
      LoadSong(bytes, *direct);
      bool expected = ChaseTo(t, *direct);
      ExpectSameState(*a, *direct, "start image");
      LoadSong(bytes, *direct);
      if (l >= 0) {
        expected |= ChaseTo(l, *direct);
      }
      ExpectSameState(*b, *direct, "loop image");  // with no loop: the song at its header
      EXPECT_EQ(flag, expected);
      EXPECT_EQ(a->sysexMode, 2);
      EXPECT_EQ(b->setupSysexFlag, 0u);
    }
  }
  // The cases spelled out: loop 480, start 1920 passes the end marker at 1000.
  EXPECT_TRUE(SeekImages(bytes.data(), 1920, 480, *a, *b, nullptr));
  EXPECT_EQ(CursorTick(*b), 480);
  EXPECT_EQ(SnapshotOf(*b, 0, 0).notes[60].count, 1);  // two note-ons, one release at 480
  EXPECT_EQ(CursorWord(*a), 0xFFu);
  // Start 480 with a loop start after it: the loop image must not lose a second velocity at 480.
  EXPECT_FALSE(SeekImages(bytes.data(), 480, 960, *a, *b, nullptr));
  EXPECT_EQ(SnapshotOf(*a, 0, 0).notes[60].count, 1);
  EXPECT_EQ(SnapshotOf(*b, 0, 0).notes[60].count, 1);
  EXPECT_EQ(b->ticksPerMinute, 12000);
  EXPECT_EQ(SnapshotOf(*b, 1, 2).rpnValues[0], 99);
}

TEST(ReplayState, SendsSysexThenEachTouchedChannelInOrder) {
  VirtualPorts vp(2);
  tovu::SongBuilder song;
  song.SetRpnList({0});
  song.SetNrpnList({5});
  song.Sysex(0, 0, {0xF0, 0x01, 0xF7});
  song.Sysex(0, 1, {0xF0, 0x02, 0xF7});
  song.Controller(0, 1, 0, 10, 64);
  song.NoteOn(0, 1, 0, 64, 70);
  song.NoteOn(0, 1, 0, 60, 80);
  song.NoteOn(0, 1, 0, 60, 90);
  song.PolyPressure(0, 1, 0, 64, 11);
  song.Controller(0, 1, 0, 7, 100);
  song.ChannelPressure(0, 1, 0, 30);
  song.PitchBend(0, 1, 0, 0x1234);
  song.Program(0, 1, 0, 5);
  song.Bank(0, 1, 0, tovu::BankKind::Full14, 200);
  song.Nrpn(0, 1, 0, 5, 3);
  song.Rpn(0, 1, 0, 0, 2);
  song.Rpn(0, 1, 0, 9, 2);  // not listed: not replayed
  song.Controller(0, 0, 3, 1, 5);
  song.NoteOn(0, 0, 1, 50, 10);
  song.NoteRelease(0, 0, 1, 50);  // touched by a note and its release only
  song.End(100);
  auto bytes = song.Build();
  auto a = NewImage(2), b = NewImage(2);
  SeekImages(bytes.data(), 10, -1, *a, *b, nullptr);
  a->sysexMode = 1;
  ReplayState(vp.ports, *a);
  EXPECT_EQ(vp.TakeData(), (Lines{"out0 f0 01 f7", "out1 f0 02 f7",
                                  "out0 e1 00 40",
                                  "out0 e3 00 40", "out0 b3 01 05",
                                  "out1 b0 65 00", "out1 b0 64 00", "out1 b0 06 00", "out1 b0 26 02",
                                  "out1 b0 63 00", "out1 b0 62 05", "out1 b0 06 00", "out1 b0 26 03",
                                  "out1 b0 00 01", "out1 b0 20 48",
                                  "out1 c0 05",
                                  "out1 e0 34 24",
                                  "out1 d0 1e",
                                  "out1 b0 07 64", "out1 b0 0a 40",
                                  "out1 90 3c 50", "out1 90 3c 5a", "out1 90 40 46",
                                  "out1 a0 40 0b"}));
  // The replay leaves the image as it was: a second one sends the same again.
  ReplayState(vp.ports, *a);
  EXPECT_EQ(vp.TakeData().size(), 24u);
}

TEST(ReplayState, SysexOnlyWhenTheModeAllows) {
  VirtualPorts vp(1);
  tovu::SongBuilder song;
  song.setupSysexCount = 1;
  song.Sysex(0, 0, {0xF0, 0x01, 0xF7});
  song.Sysex(5, 0, {0xF0, 0x02, 0xF7});
  song.Sysex(50, 0, {0xF0, 0x03, 0xF7});
  song.End(100);
  auto bytes = song.Build();
  auto a = NewImage(1), b = NewImage(1);
  struct Case {
    int32_t mode;
    uint32_t setupFlag, replayFlag;
    size_t sent;
  };
  for (Case c : {Case{0, 0, 0, 0}, Case{0, 1, 0, 2}, Case{0, 0, 1, 2}, Case{1, 0, 0, 2}, Case{2, 1, 1, 0}}) {
    SeekImages(bytes.data(), 10, -1, *a, *b, nullptr);
    a->sysexMode = c.mode;
    a->setupSysexFlag = c.setupFlag;
    a->replaySysexFlag = c.replayFlag;
    ReplayState(vp.ports, *a);
    Lines sent = vp.TakeData();
    EXPECT_EQ(sent.size(), c.sent) << c.mode << c.setupFlag << c.replayFlag;
    if (c.sent) {
      EXPECT_EQ(sent, (Lines{"out0 f0 01 f7", "out0 f0 02 f7"}));  // block order, setup included
    }
  }
}

TEST(ReplayState, NoteReleasedAtTheStartIsNotStruck) {
  VirtualPorts vp(1);
  tovu::SongBuilder song;
  song.NoteOn(0, 0, 0, 60, 100);
  song.NoteRelease(960, 0, 0, 60);
  song.End(2000);
  auto bytes = song.Build();
  auto a = NewImage(1), b = NewImage(1);
  SeekImages(bytes.data(), 960, -1, *a, *b, nullptr);
  ReplayState(vp.ports, *a);
  EXPECT_EQ(vp.TakeData(), (Lines{"out0 e0 00 40"}));
  // Playback then applies the release on the empty stack.
  PlaybackClock clock;
  PlayUntil(vp.ports, clock, *a, 961);
  EXPECT_EQ(vp.TakeData(), (Lines{"out0 90 3c 00"}));
  EXPECT_EQ(SnapshotOf(*a, 0, 0).notes[60].count, 0);
}

TEST(ReplayDifferences, LoopWrapReleasesThenStrikesAndSkipsValuesOnlyTheOldStateSet) {
  VirtualPorts vp(1);
  tovu::SongBuilder song;
  song.Program(0, 0, 0, 5);
  song.Controller(0, 0, 0, 7, 100);
  song.NoteOn(0, 0, 0, 60, 100);  // held across the loop start and still sounding at its end
  song.Sysex(100, 0, {0xF0, 0x01, 0xF7});
  song.Sysex(500, 0, {0xF0, 0x02, 0xF7});
  song.Sysex(600, 0, {0xF0, 0x03, 0xF7});
  song.Controller(600, 0, 0, 10, 64);
  song.Controller(600, 0, 0, 7, 50);
  song.NoteOn(700, 0, 0, 62, 70);
  song.Program(800, 0, 0, 5);  // same value again: nothing to send at the wrap
  song.End(2000);
  auto bytes = song.Build();
  auto main = NewImage(1), loop = NewImage(1);
  SeekImages(bytes.data(), 480, 480, *main, *loop, nullptr);
  main->sysexMode = loop->sysexMode = 1;
  PlaybackClock clock;
  PlayUntil(vp.ports, clock, *main, 1920);
  vp.TakeData();

  ReplayDifferences(vp.ports, *loop, *main);
  EXPECT_EQ(vp.TakeData(), (Lines{"out0 f0 01 f7",                   // the sysex before the loop start
                                  "out0 b0 07 64",                   // changed back; controller 10 not
                                  "out0 90 3c 00", "out0 90 3c 64",  // release then strike
                                  "out0 90 3e 00"}));
  const ChannelSnapshot& old = SnapshotOf(*main, 0, 0);
  EXPECT_EQ(old.notes[60].count, 0);
  EXPECT_EQ(old.notes[62].count, 0);
  EXPECT_EQ(old.controllers[10], 64);  // the old image keeps everything but its notes
  EXPECT_EQ(SnapshotOf(*loop, 0, 0).notes[60].count, 1);

  CopyStateImage(*main, *loop);
  ExpectSameState(*main, *loop, "after the wrap");
}

TEST(ReplayDifferences, SysexAgainOnlyWhenJumpingBackAndTheModeAllows) {
  VirtualPorts vp(1);
  tovu::SongBuilder song;
  for (uint8_t i = 1; i <= 3; ++i) song.Sysex(i * 100, 0, {0xF0, i, 0xF7});
  song.End(1000);
  auto bytes = song.Build();
  auto next = NewImage(1), old = NewImage(1), scratch = NewImage(1);
  struct Case {
    int32_t mode, setupCount;
    uint32_t setupFlag;
    int32_t nextTick, oldTick;
    size_t sent;
  };
  const Case cases[] = {
      {1, 0, 0, 150, 350, 1},  // one record again, the first
      {1, 0, 0, 350, 150, 0},  // jumping forward: nothing
      {0, 3, 0, 150, 350, 1},  // old position passed the setup
      {0, 4, 0, 150, 350, 0},  // still inside the setup
      {0, 4, 1, 250, 350, 2},  // setup flag
      {2, 0, 1, 150, 350, 0},
  };
  for (const Case& c : cases) {
    SeekImages(bytes.data(), c.nextTick, -1, *next, *scratch, nullptr);
    SeekImages(bytes.data(), c.oldTick, -1, *old, *scratch, nullptr);
    next->sysexMode = c.mode;
    next->setupSysexCount = c.setupCount;
    next->setupSysexFlag = c.setupFlag;
    ReplayDifferences(vp.ports, *next, *old);
    Lines sent = vp.TakeData();
    ASSERT_EQ(sent.size(), c.sent) << "mode " << c.mode << " setup " << c.setupCount;
    if (c.sent) {
      EXPECT_EQ(sent[0], "out0 f0 01 f7");
    }
  }
}

TEST(ReplayDifferences, ParametersOnlyWhereTheOldListHoldsAnotherValue) {
  VirtualPorts vp(1);
  tovu::SongBuilder oldSong;
  oldSong.SetRpnList({0, 1});
  oldSong.Rpn(0, 0, 0, 0, 5);
  oldSong.Rpn(0, 0, 0, 1, 6);
  oldSong.End(100);
  tovu::SongBuilder newSong;
  newSong.SetRpnList({0, 1, 7});
  newSong.Rpn(0, 0, 0, 0, 9);  // differs: sent
  newSong.Rpn(0, 0, 0, 1, 6);  // same: not sent
  newSong.Rpn(0, 0, 0, 7, 1);  // not in the old list: not sent
  newSong.End(100);
  auto oldBytes = oldSong.Build(), newBytes = newSong.Build();
  auto next = NewImage(1), old = NewImage(1), scratch = NewImage(1);
  SeekImages(newBytes.data(), 10, -1, *next, *scratch, nullptr);
  SeekImages(oldBytes.data(), 10, -1, *old, *scratch, nullptr);
  ReplayDifferences(vp.ports, *next, *old);
  EXPECT_EQ(vp.TakeData(), (Lines{"out0 b0 65 00", "out0 b0 64 00", "out0 b0 06 00", "out0 b0 26 09"}));
}

TEST(SilenceNotes, ReleasesEveryStackedVelocity) {
  VirtualPorts vp(2);
  PlaybackClock clock;
  auto image = NewImage(2);
  ApplyEvent(vp.ports, clock, 0, tovu::PackEvent(0x95, 60, 100, 1), *image);
  ApplyEvent(vp.ports, clock, 0, tovu::PackEvent(0x95, 60, 50, 1), *image);
  ApplyEvent(vp.ports, clock, 0, tovu::PackEvent(0xB0, 7, 1, 0), *image);
  vp.TakeData();
  SilenceNotes(vp.ports, *image);
  EXPECT_EQ(vp.TakeData(), (Lines{"out1 95 3c 00", "out1 95 3c 00"}));
  EXPECT_EQ(SnapshotOf(*image, 1, 5).notes[60].count, 0);
  EXPECT_EQ(SnapshotOf(*image, 1, 5).dirty, 1);
  SilenceNotes(vp.ports, *image);
  EXPECT_TRUE(vp.TakeData().empty());
}
