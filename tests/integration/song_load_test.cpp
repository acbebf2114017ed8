// Song loads over the bus: a malformed image is refused with notification 10 and error 13 and the
// slot stays empty; good images, empty loads and unregistered senders keep their meanings.
#include <gtest/gtest.h>

#include "integration/support/engine_process.h"

namespace {

std::vector<uint8_t> GoodSong() {
  tovu::SongBuilder song;
  song.Tempo(0, 120);
  song.Program(0, 0, 0, 5);
  song.NoteOn(0, 0, 0, 60, 100);
  song.NoteRelease(240, 0, 0, 60);
  song.End(480);
  return song.Build();
}

// Every notification 10 that arrives within a short while, as its error codes.
std::vector<uint32_t> FailuresAfterSync(tovu::Client& c) {
  tovu::AuditionHoldTime(c);  // a synchronous round trip: earlier posts have arrived by now
  std::vector<uint32_t> codes;
  for (auto& m : tovu::TakeInbox(c))
    if (m.msg == tovu::kEngineCommand && m.wParam == tovu::kNotifyFailed) codes.push_back(m.lParam);
  return codes;
}

}  // namespace

TEST(SongLoad, MalformedImagesAreRefusedWithError13) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "2";
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));

  // Accepted: a good image through both slots, and a load of 0 bytes (no notification).
  EXPECT_TRUE(tovu::LoadSong(c, GoodSong()));
  EXPECT_TRUE(tovu::LoadNextSong(c, GoodSong()));
  EXPECT_TRUE(tovu::LoadSong(c, {}));
  EXPECT_TRUE(FailuresAfterSync(c).empty());

  std::vector<std::vector<uint8_t>> bad;
  std::vector<uint8_t> good = GoodSong();
  bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 39));  // shorter than the header
  bad.push_back(std::vector<uint8_t>(good.begin(), good.end() - 8));     // no end marker
  {
    tovu::SongBuilder song;  // a channel event on port 2 of 2
    song.NoteOn(0, 2, 0, 60, 100);
    song.End(10);
    bad.push_back(song.Build());
  }
  {
    tovu::SongBuilder song;  // tempo 0
    song.Tempo(0, 0);
    song.End(10);
    bad.push_back(song.Build());
  }
  {
    tovu::SongBuilder song;  // no position step
    song.ticksPerQuarter = 3;
    song.End(10);
    bad.push_back(song.Build());
  }
  for (auto& image : bad) {
    EXPECT_TRUE(tovu::LoadSong(c, image));
    EXPECT_EQ(FailuresAfterSync(c), std::vector<uint32_t>{13});
    EXPECT_TRUE(tovu::LoadNextSong(c, image));
    EXPECT_EQ(FailuresAfterSync(c), std::vector<uint32_t>{13});
  }

  // An unregistered sender gets error 1, whatever the image.
  tovu::Client stranger;
  ASSERT_TRUE(env.Connect(stranger));
  EXPECT_TRUE(tovu::LoadSong(stranger, GoodSong()));
  EXPECT_EQ(FailuresAfterSync(stranger), std::vector<uint32_t>{1});
  EXPECT_TRUE(tovu::LoadNextSong(stranger, bad[0]));
  EXPECT_EQ(FailuresAfterSync(stranger), std::vector<uint32_t>{1});

  EXPECT_EQ(engine.EndWith(c), 0);
}
