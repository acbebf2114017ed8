// The scheduler in process, with time handed in: an engine set up over in-process virtual devices
// and a bus without clients, whose wake-ups the test runs itself at the moments it chooses. The
// moments lie far beyond the real clock, so the timer service (which still takes the armed timers)
// never fires one on its own; each wake-up the test runs cancels the armed timer first, as the
// service does by taking it off its table.
// Threads: the test thread only (it stands in for the main thread and the timer thread).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/song_builder.h"
#include "platform/midi.h"
#include "platform/timer.h"
#include "platform/wire.h"
#include "support/engine_fixture.h"

namespace {

constexpr uint32_t kWindow = 0x101;

std::vector<uint8_t> Request(int32_t start, bool loop = false, int32_t loopStart = 0, int32_t loopEnd = 0x7FFFFFFF) {
  std::vector<uint8_t> r(32, 0);
  platform::StoreLe32(r.data(), static_cast<uint32_t>(start));
  platform::StoreLe32(r.data() + 4, static_cast<uint32_t>(loopStart));
  platform::StoreLe32(r.data() + 8, static_cast<uint32_t>(loopEnd));
  platform::StoreLe32(r.data() + 12, loop ? 1 : 0);
  platform::StoreLe32(r.data() + 16, 2);
  return r;
}

struct Played {
  double ms;  // the pushed-in moment of the wake-up that sent it, from the start
  std::string text;
};

struct SchedulerEngine : InProcessEngine {
  ClientRecord* client = nullptr;
  double origin = platform::NowMs() + 1e9;  // far beyond anything the timer service will reach
  std::vector<Played> played;

  SchedulerEngine() : InProcessEngine(2, 0), client(&AddClient(kWindow)) {
    EXPECT_TRUE(created);
    for (int i = 0; i < engine.ports.outputCount; ++i) engine.ports.outputs[i].Open();
    platform::VirtualCaptureTake();
  }

  void Load(const std::vector<uint8_t>& song) {
    LoadSong(engine, kWindow, static_cast<uint32_t>(song.size()), song.data());
    ASSERT_NE(client->songs.current, nullptr);
  }
  void Collect(double at) {
    for (std::string& line : TakeCapturedData()) played.push_back({at, std::move(line)});
  }
  void Start(const std::vector<uint8_t>& request, double at) {
    StartPlayback(engine, kWindow, request.data(), origin + at);
    Collect(at);
  }
  // Runs a wake-up at every `stepMs` from `from` to `to` (ms since the origin), as a timer that
  // comes at least that often would.
  void Run(double from, double to, double stepMs = 1.0) {
    for (double t = from; t <= to; t += stepMs) {
      uint64_t id = engine.playback.timer;
      if (id == 0) return;
      platform::TimerCancel(engine.playback.timers, id);
      SchedulerWakeUpAt(engine, id, origin + t);
      Collect(t);
    }
  }
  std::vector<double> NoteOnTimes() const {
    std::vector<double> out;
    for (auto& p : played)
      if (p.text.size() == 13 && p.text.compare(5, 2, "90") == 0 && p.text.substr(11) != "00") out.push_back(p.ms);
    return out;
  }
};

// A note every 10 ticks at 960 ticks per second: one every 10.4 ms.
std::vector<uint8_t> DenseSong() {
  tovu::SongBuilder s;
  s.Tempo(0, 480);
  for (int32_t t = 0; t < 96000; t += 10) {
    s.NoteOn(t, 0, 0, 60, 100);
    s.NoteRelease(t + 5, 0, 0, 60);
  }
  s.End(96000);
  return s.Build();
}

}  // namespace

// Factor 0.01 for a second, then 1.0: the song goes on from the exact position reached, so no
// part of the slow tick is played again at the new speed (which would strike a burst of notes).
TEST(Scheduler, ATempoFactorChangeGoesOnWithoutABurst) {
  SchedulerEngine e;
  e.Load(DenseSong());
  e.Start(Request(0), 0);
  e.Run(1, 200);
  SetPlaybackTempoFactor(e.engine, 0.01, e.origin + 200.5);
  // By 1285.5 ms the slow clock stands nine tenths into tick 202, whose due time lies 94 ms back:
  // counted again at the new speed, those 94 ms would be 90 ticks, nine notes at once.
  e.Run(201, 1285);
  SetPlaybackTempoFactor(e.engine, 1.0, e.origin + 1285.5);
  e.Run(1286, 1500);
  std::vector<double> notes = e.NoteOnTimes();
  ASSERT_GT(notes.size(), 30u);
  // Notes come 10.4 ms apart at factor 1, about a second apart at 0.01; never two within 5 ms.
  for (size_t i = 1; i < notes.size(); ++i) EXPECT_GE(notes[i] - notes[i - 1], 5.0) << "at " << notes[i];
  // At the slow speed the ten ticks play one note (tick 200); back at speed the first note comes
  // when its own tick (210) is reached, 7 ms later, not at once.
  int slow = 0, burst = 0;
  for (double t : notes) {
    slow += t > 201 && t <= 1285;
    burst += t > 1285 && t <= 1290;
  }
  EXPECT_LE(slow, 1);
  EXPECT_LE(burst, 1);
}

// A song of 250 ms whose one note is held to the end, started at 0 and played to 100 ms.
void PlayHeldNoteSongTo100Ms(SchedulerEngine& e) {
  tovu::SongBuilder s;
  s.Tempo(0, 480);
  s.NoteOn(0, 0, 0, 60, 100);
  s.End(240);
  e.Load(s.Build());
  e.Start(Request(0), 0);
  e.Run(1, 100);
}

// A wake-up that comes long after the end marker's due time still ends the song once, with the
// outputs silenced at once and the end posted to the main thread; a continue and a tempo factor
// that come before the main thread has finished the end change nothing.
TEST(Scheduler, ALateWakeUpFindsTheEndAndTheEndWins) {
  SchedulerEngine e;
  PlayHeldNoteSongTo100Ms(e);
  uint64_t id = e.engine.playback.timer;
  ASSERT_NE(id, 0u);
  platform::TimerCancel(e.engine.playback.timers, id);
  SchedulerWakeUpAt(e.engine, id, e.origin + 900);  // 650 ms late
  e.Collect(900);
  EXPECT_EQ(e.engine.playback.timer, 0u);
  ASSERT_FALSE(e.played.empty());
  EXPECT_EQ(e.played.back().text, "out0 90 3c 00");
  EXPECT_EQ(e.played.back().ms, 900);
  std::vector<uint8_t> next = Request(0, true, 0, 240);
  ContinueWithNextSong(e.engine, kWindow, next.data(), e.origin + 901);
  SetPlaybackTempoFactor(e.engine, 2.0, e.origin + 902);
  EXPECT_EQ(e.engine.playback.timer, 0u);  // nothing armed again
  EXPECT_EQ(e.engine.playback.pending, 0);
  // The main thread then handles the posted end: the playback is over.
  while (platform::BusTurn(e.engine.bus, 0) > 0) {
  }
  EXPECT_EQ(e.engine.playback.playingClient.load(), 0u);
  e.Collect(903);
  EXPECT_EQ(e.played.back().text, "out0 90 3c 00");  // released once, at the end
}

// While a continue's start message is still with its client, whose handler may load the song to
// switch to, wake-ups play on and hold at the song's end instead of ending it; the switch comes
// with the continue's own wake-up, to the song loaded meanwhile, at the position reached.
TEST(Scheduler, AContinueSwitchesOnlyOnceItsClientHasAnswered) {
  SchedulerEngine e;
  PlayHeldNoteSongTo100Ms(e);
  PlaybackState& p = e.engine.playback;
  std::vector<uint8_t> request = Request(0);
  memcpy(p.pendingRequest, request.data(), request.size());
  p.pending = kContinueAnnounced;  // as while the start message is being handled
  tovu::SongBuilder b;             // the first song and one more note after it
  b.Tempo(0, 480);
  b.NoteOn(0, 0, 0, 60, 100);
  b.NoteOn(400, 0, 0, 62, 100);
  b.End(960);
  std::vector<uint8_t> next = b.Build();
  LoadNextSong(e.engine, kWindow, static_cast<uint32_t>(next.size()), next.data());
  const uint8_t* first = p.song;
  e.Run(101, 400, 50);  // past the first song's end
  EXPECT_EQ(p.endKind, kRunning);
  EXPECT_EQ(p.song, first);
  EXPECT_NE(p.timer, 0u);
  for (const Played& line : e.played) EXPECT_NE(line.text, "out0 90 3c 00") << "released at " << line.ms;
  p.pending = kContinueDue;  // the client has answered: the continue's wake-up is armed
  e.Run(401, 430);
  EXPECT_NE(p.song, first);
  ASSERT_FALSE(e.played.empty());
  EXPECT_EQ(e.played.back().text, "out0 90 3e 64");
  EXPECT_GE(e.played.back().ms, 416);  // tick 400 at 960 ticks a second
}
