// What the bus cannot show of a client record: the tempo factor and input filter a client stores,
// and which song slot each load fills. An engine is set up in process over virtual devices,
// clients are entered into its table directly, and copy-data messages go through the window
// procedure as the message loop would hand them over. Only messages that neither post nor send to
// a client are used here: the rest is covered over the bus.
// Threads: the test thread only, standing in for the main thread.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "client/song_builder.h"
#include "platform/midi.h"
#include "playback/state_image.h"
#include "support/engine_fixture.h"

namespace {

std::vector<uint8_t> Factor(double value) {
  std::vector<uint8_t> b(8);
  memcpy(b.data(), &value, 8);
  return b;
}

std::vector<uint8_t> Filter(uint32_t mask, uint32_t flags) {
  std::vector<uint8_t> b(8);
  memcpy(b.data(), &mask, 4);
  memcpy(b.data() + 4, &flags, 4);
  return b;
}

std::vector<uint8_t> Song(uint32_t note) {
  tovu::SongBuilder song;
  song.Tempo(0, 120);
  song.NoteOn(0, 1, 0, note, 100);
  song.NoteRelease(120, 1, 0, note);
  song.End(480);
  return song.Build();
}

std::vector<uint8_t> Slot(const uint8_t* bytes, uint32_t size) {
  return bytes ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>{};
}

TEST(ClientRecords, TempoFactorIsStoredPerClientAndABrokenOneCountsAsOne) {
  InProcessEngine e(2, 1);
  ASSERT_TRUE(e.created);
  ClientRecord& a = e.AddClient(101);
  ClientRecord& b = e.AddClient(102);
  EXPECT_EQ(a.tempoFactor, 1.0);

  EXPECT_EQ(e.CopyData(101, 23, Factor(2.0)), 1);
  EXPECT_EQ(e.CopyData(102, 23, Factor(0.25)), 1);
  EXPECT_EQ(a.tempoFactor, 2.0);
  EXPECT_EQ(b.tempoFactor, 0.25);

  const double broken[] = {0.0, -0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  for (double f : broken) {
    a.tempoFactor = 2.0;
    EXPECT_EQ(e.CopyData(101, 23, Factor(f)), 1);
    EXPECT_EQ(a.tempoFactor, 1.0) << "factor " << f;
  }
  // The smallest positive factor is still a factor.
  EXPECT_EQ(e.CopyData(101, 23, Factor(std::numeric_limits<double>::denorm_min())), 1);
  EXPECT_EQ(a.tempoFactor, std::numeric_limits<double>::denorm_min());

  // From an unregistered window, or one byte short: nothing changes anywhere.
  EXPECT_EQ(e.CopyData(103, 23, Factor(3.0)), 1);
  std::vector<uint8_t> shortPayload = Factor(3.0);
  shortPayload.pop_back();
  EXPECT_EQ(e.CopyData(102, 23, shortPayload), 1);
  EXPECT_EQ(b.tempoFactor, 0.25);
  EXPECT_EQ(e.engine.clients.records.size(), 2u);
}

TEST(ClientRecords, InputFilterIsStoredWholeForTheSenderOnly) {
  InProcessEngine e(2, 1);
  ASSERT_TRUE(e.created);
  ClientRecord& a = e.AddClient(201);
  ClientRecord& b = e.AddClient(202);
  EXPECT_EQ(a.channelMask.load(), 0xFFFFu);
  EXPECT_EQ(a.inputFlags.load(), 1u);

  // Stored as given, with bits beyond the 16 channels and the four flags kept.
  EXPECT_EQ(e.CopyData(201, 25, Filter(0xFFFF0005, 0x8000000E)), 1);
  EXPECT_EQ(a.channelMask.load(), 0xFFFF0005u);
  EXPECT_EQ(a.inputFlags.load(), 0x8000000Eu);
  EXPECT_EQ(b.channelMask.load(), 0xFFFFu);
  EXPECT_EQ(b.inputFlags.load(), 1u);

  EXPECT_EQ(e.CopyData(203, 25, Filter(0, 0)), 1);  // not registered
  std::vector<uint8_t> shortPayload = Filter(0, 0);
  shortPayload.resize(7);
  EXPECT_EQ(e.CopyData(201, 25, shortPayload), 1);
  EXPECT_EQ(a.channelMask.load(), 0xFFFF0005u);
  EXPECT_EQ(a.inputFlags.load(), 0x8000000Eu);
  EXPECT_EQ(b.channelMask.load(), 0xFFFFu);
}

TEST(ClientRecords, SongSlotsFollowTheLoadRules) {
  InProcessEngine e(2, 1);
  ASSERT_TRUE(e.created);
  ClientRecord& a = e.AddClient(301);
  ClientRecord& b = e.AddClient(302);
  const auto s1 = Song(60), s2 = Song(61), s3 = Song(62), s4 = Song(63);

  // A load fills the current slot with a copy of the bytes.
  EXPECT_EQ(e.CopyData(301, 19, s1), 1);
  EXPECT_EQ(Slot(a.songs.current, a.songs.currentSize), s1);
  EXPECT_EQ(a.songs.next, nullptr);
  EXPECT_EQ(b.songs.current, nullptr);

  // A next-slot load from a client that is not playing is a current-slot load.
  EXPECT_EQ(e.CopyData(301, 20, s2), 1);
  EXPECT_EQ(Slot(a.songs.current, a.songs.currentSize), s2);
  EXPECT_EQ(a.songs.next, nullptr);
  EXPECT_EQ(a.songs.nextSize, 0u);

  // From the playing client it replaces the next slot only; an empty one empties just that slot.
  e.engine.playback.playingClient = 301;
  EXPECT_EQ(e.CopyData(301, 20, s3), 1);
  EXPECT_EQ(Slot(a.songs.current, a.songs.currentSize), s2);
  EXPECT_EQ(Slot(a.songs.next, a.songs.nextSize), s3);
  EXPECT_EQ(e.CopyData(301, 20, s4), 1);
  EXPECT_EQ(Slot(a.songs.next, a.songs.nextSize), s4);
  EXPECT_EQ(e.CopyData(301, 20, {}), 1);
  EXPECT_EQ(Slot(a.songs.current, a.songs.currentSize), s2);
  EXPECT_EQ(a.songs.next, nullptr);
  EXPECT_EQ(a.songs.nextSize, 0u);

  // Another client's next-slot load while 301 plays is its own current-slot load.
  EXPECT_EQ(e.CopyData(302, 20, s1), 1);
  EXPECT_EQ(Slot(b.songs.current, b.songs.currentSize), s1);
  EXPECT_EQ(b.songs.next, nullptr);

  // A current-slot load of 0 bytes empties both slots.
  EXPECT_EQ(e.CopyData(301, 20, s3), 1);
  ASSERT_EQ(Slot(a.songs.next, a.songs.nextSize), s3);
  e.engine.playback.playingClient = 0;
  EXPECT_EQ(e.CopyData(301, 19, {}), 1);
  EXPECT_EQ(a.songs.current, nullptr);
  EXPECT_EQ(a.songs.currentSize, 0u);
  EXPECT_EQ(a.songs.next, nullptr);
  EXPECT_EQ(Slot(b.songs.current, b.songs.currentSize), s1);
}

}  // namespace
