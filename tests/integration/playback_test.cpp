// Playback over the bus: starts and their refusals, the order of what clients receive, song ends,
// loops, continues into the next song, stops, the tempo factor, handlers that act from inside the
// engine's own sends, and clients that leave mid-play. Bytes and orders are checked exactly against
// the virtual log; times only within generous bounds (read from the log's timestamps).
// Threads: the test thread only.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"
#include "integration/support/playback_events.h"

namespace {

using Lines = std::vector<std::string>;
constexpr int64_t kMs = 1000000;
constexpr uint32_t kPosition = tovu::kPositionMessage;

// Program 5 and a note on port 0, a note on port 1 channel 1, both released; ends at 470.
std::vector<uint8_t> ShortSong() {
  tovu::SongBuilder s = FastSong();
  s.Program(0, 0, 0, 5);
  s.NoteOn(0, 0, 0, 60, 100);
  s.NoteOn(120, 1, 1, 64, 90);
  s.NoteRelease(240, 0, 0, 60);
  s.NoteRelease(360, 1, 1, 64);
  s.End(470);
  return s.Build();
}

// One note held for `endTick` ticks on port 0.
std::vector<uint8_t> HeldNoteSong(uint32_t note, int32_t endTick) {
  tovu::SongBuilder s = FastSong();
  s.NoteOn(0, 0, 0, note, 100);
  s.NoteRelease(endTick - 10, 0, 0, note);
  s.End(endTick);
  return s.Build();
}

bool IsNotification(const tovu::Message& m, uint32_t code, uint32_t lParam) {
  tovu::NotificationInfo n;
  return tovu::AsNotification(m, &n) && n.code == code && n.lParam == lParam;
}

Lines WithoutPositions(const Lines& events) {
  Lines out;
  for (auto& e : events)
    if (e.rfind("pos:", 0) != 0) out.push_back(e);
  return out;
}

std::vector<int32_t> Positions(const std::deque<tovu::Message>& inbox) {
  std::vector<int32_t> out;
  for (auto& m : inbox)
    if (m.msg == kPosition) out.push_back(static_cast<int32_t>(m.lParam));
  return out;
}

// The data lines of the log with their times (ms, relative to the first data line).
struct TimedLine {
  double ms;
  std::string text;
};
std::vector<TimedLine> TimedData(const EngineEnv& env) {
  std::vector<TimedLine> out;
  int64_t first = -1;
  for (auto& e : DataEntries(env)) {
    if (first < 0) first = e.ns;
    out.push_back({static_cast<double>(e.ns - first) / kMs, e.text});
  }
  return out;
}

Lines Texts(const std::vector<TimedLine>& lines) {
  Lines out;
  for (auto& l : lines) out.push_back(l.text);
  return out;
}

// A running engine with two virtual outputs and one input; clients A and B registered, A holding
// both outputs and the input open.
struct Fixture {
  EngineEnv env;
  EngineProcess engine;
  tovu::Client a, b;

  bool Start() {
    return engine.Start(env) && env.ConnectRegistered(a) && env.ConnectRegistered(b) && OpenPorts(a, {0, 1}, 0);
  }
  // Drops what the inboxes and the log hold so far (the port opening).
  void ClearInboxes() {
    tovu::PumpMessages(a, 20);
    tovu::PumpMessages(b, 20);
    a.inbox.clear();
    b.inbox.clear();
  }
  size_t LogMark() { return TimedData(env).size(); }
  std::vector<TimedLine> DataSince(size_t mark) {
    auto all = TimedData(env);
    return std::vector<TimedLine>(all.begin() + static_cast<long>(std::min(mark, all.size())), all.end());
  }
};

tovu::StartRequest From(int32_t tick, int32_t startParam = 0) {
  tovu::StartRequest r;
  r.startTick = tick;
  r.startParam = startParam;
  return r;
}

}  // namespace

TEST(Playback, SongPlaysInOrderAndEndsByItself) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, ShortSong()));
  f.ClearInboxes();
  size_t mark = f.LogMark();
  ASSERT_TRUE(tovu::Start(f.a, From(0, 77)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 5000));
  ASSERT_TRUE(PumpUntilNotification(f.b, tovu::kNotifyStopped, 2000));

  // The starter: the start message with its parameter, notification 21, positions, the final
  // position at the end marker's own tick (not a step), notification 12, then 5.
  Lines events = Events(f.a.inbox);
  EXPECT_EQ(WithoutPositions(events), (Lines{"start:77", "n21:1", "n12:0", "n5:1"}));
  std::vector<int32_t> positions = Positions(f.a.inbox);
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.back(), 470);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  for (size_t i = 0; i + 1 < positions.size(); ++i) EXPECT_EQ(positions[i] % 30, 0) << positions[i];
  auto final = std::find(events.begin(), events.end(), "pos:470");
  EXPECT_LT(final - events.begin(), std::find(events.begin(), events.end(), "n12:0") - events.begin());
  // Everyone else: 21 and 5 with lParam 0, no positions.
  EXPECT_EQ(Events(f.b.inbox), (Lines{"n21:0", "n5:0"}));

  std::vector<TimedLine> played = f.DataSince(mark);
  EXPECT_EQ(Texts(played), (Lines{"out0 c0 05", "out0 90 3c 64", "out1 91 40 5a", "out0 90 3c 00", "out1 91 40 00"}));
  // 120 ticks at 960 ticks per second: 125 ms between the first notes, 375 ms to the last.
  ASSERT_EQ(played.size(), 5u);
  // At the song's tempo, within what a loaded machine may delay one wake-up (a sanitizer build with
  // both cores busy was seen 200 ms late): twice as slow (750 ms) falls outside. bench_timing
  // measures precision.
  EXPECT_NEAR(played[4].ms - played[1].ms, 375.0, 300.0);
}

TEST(Playback, StartsAreRefusedWithTheirErrorCodes) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::Client stranger;
  ASSERT_TRUE(f.env.Connect(stranger));
  auto errorOf = [](tovu::Client& c) {
    uint32_t error = 0;
    return tovu::WaitForNotification(c, tovu::kNotifyFailed, 3000, &error) ? static_cast<int>(error) : -1;
  };
  ASSERT_TRUE(tovu::Start(stranger, From(0)));
  EXPECT_EQ(errorOf(stranger), 1);
  ASSERT_TRUE(tovu::Start(f.b, From(0)));
  EXPECT_EQ(errorOf(f.b), 2);  // empty slot

  ASSERT_TRUE(tovu::LoadSong(f.b, ShortSong()));
  tovu::StartRequest record = From(0);
  record.recordOn = 1;
  ASSERT_TRUE(tovu::Start(f.b, record));
  EXPECT_EQ(errorOf(f.b), 3);  // B has no input open
  ASSERT_TRUE(tovu::Start(f.b, Request(0, true, 480, 480)));
  EXPECT_EQ(errorOf(f.b), 10);
  // A loop whose end is left open ends at the song's end (470): a loop start past it is refused
  // rather than wrapping at every wake-up.
  ASSERT_TRUE(tovu::Start(f.b, Request(0, true, 5000, 0x7FFFFFFF)));
  EXPECT_EQ(errorOf(f.b), 10);

  // The same loop fields with loopOn 0 are ignored: B plays. A second start from anyone is refused
  // with 11 and the running playback goes on to its end.
  f.ClearInboxes();
  tovu::StartRequest ignoredLoop = Request(0, true, 480, 480);
  ignoredLoop.loopOn = 0;
  ASSERT_TRUE(tovu::Start(f.b, ignoredLoop));
  ASSERT_TRUE(tovu::WaitForNotification(f.b, tovu::kNotifyStarted, 3000));
  ASSERT_TRUE(tovu::LoadSong(f.a, ShortSong()));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  EXPECT_EQ(errorOf(f.a), 11);
  ASSERT_TRUE(tovu::Start(f.b, From(0)));
  EXPECT_EQ(errorOf(f.b), 11);
  EXPECT_EQ(tovu::Stop(f.a), 1);  // A does not play
  ASSERT_TRUE(PumpUntilNotification(f.b, tovu::kNotifyEnded, 5000));
  ASSERT_TRUE(PumpUntilNotification(f.b, tovu::kNotifyStopped, 3000));
  EXPECT_EQ(tovu::Stop(f.b), 1);  // idle
}

TEST(Playback, StartPastTheEndEndsAtOnceUnlessRecordingOrLooping) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, ShortSong()));
  f.ClearInboxes();
  ASSERT_TRUE(tovu::Start(f.a, From(1000, 5)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 3000));
  EXPECT_EQ(Events(f.a.inbox), (Lines{"start:5", "n21:1", "n12:0", "n5:1"}));

  // Recording past the end goes on until the client stops it.
  f.a.inbox.clear();
  tovu::StartRequest record = From(1000);
  record.recordOn = 1;
  ASSERT_TRUE(tovu::Start(f.a, record));
  ASSERT_TRUE(tovu::WaitForNotification(f.a, tovu::kNotifyStarted, 3000));
  tovu::PumpMessages(f.a, 300);
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"start:0"}));
  EXPECT_EQ(tovu::Stop(f.a), 0);
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 3000));
}

TEST(Playback, LoopWrapsWithoutPlayingTheEventAtTheLoopEndAndKeepsTheBeat) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::SongBuilder s = FastSong();
  s.NoteOn(0, 0, 0, 60, 100);
  s.NoteRelease(120, 0, 0, 60);
  s.NoteOn(180, 0, 0, 62, 100);  // still held at the wrap
  s.NoteOn(240, 0, 0, 70, 100);  // at the loop end: never inside the loop
  s.NoteRelease(300, 0, 0, 70);
  s.NoteRelease(300, 0, 0, 62);
  s.End(480);
  ASSERT_TRUE(tovu::LoadSong(f.a, s.Build()));
  f.ClearInboxes();
  size_t mark = f.LogMark();
  // A start beyond the loop end begins at the loop start; each pass lasts 250 ms.
  ASSERT_TRUE(tovu::Start(f.a, Request(2000, true, 0, 240)));
  tovu::PumpMessages(f.a, 1130);
  EXPECT_EQ(tovu::Stop(f.a), 0);
  std::vector<TimedLine> played = f.DataSince(mark);
  const Lines pass = {"out0 90 3c 64", "out0 90 3c 00", "out0 90 3e 64", "out0 90 3e 00"};
  ASSERT_GE(played.size(), 16u);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(played[i].text, pass[i % 4]) << i;
  for (auto& l : played) EXPECT_EQ(l.text.find("46"), std::string::npos) << l.text;
  // Passes start 250 ms apart, within what a loaded machine may delay one wake-up (bench_timing
  // measures the drift): twice as fast or slow falls outside.
  EXPECT_NEAR(played[12].ms - played[0].ms, 750.0, 300.0);
  std::vector<int32_t> positions = Positions(f.a.inbox);
  for (int32_t p : positions) EXPECT_LT(p, 240);
}

TEST(Playback, LoopEndLeftOpenWrapsAtTheSongsEnd) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::SongBuilder s = FastSong();
  s.NoteOn(30, 0, 0, 60, 100);
  s.NoteRelease(60, 0, 0, 60);
  s.End(200);
  ASSERT_TRUE(tovu::LoadSong(f.a, s.Build()));
  f.ClearInboxes();
  size_t mark = f.LogMark();
  ASSERT_TRUE(tovu::Start(f.a, Request(0, true, 0, 0x7FFFFFFF)));
  tovu::PumpMessages(f.a, 700);
  EXPECT_EQ(tovu::Stop(f.a), 0);
  std::vector<TimedLine> played = f.DataSince(mark);
  ASSERT_GE(played.size(), 6u);
  EXPECT_NEAR(played[2].ms - played[0].ms, 200000.0 / 960, 300.0);  // one pass; a loaded machine's late wake-up allowed
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"start:0", "n21:1", "n5:1"}));
}

TEST(Playback, ContinueSwitchesToTheNextSongWithoutHangingNotes) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, HeldNoteSong(60, 4800)));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(WaitForLogLine(f.env, "data out0 90 3c 64", 3000));
  ASSERT_TRUE(tovu::LoadNextSong(f.a, HeldNoteSong(72, 480)));
  f.ClearInboxes();
  size_t mark = f.LogMark();
  ASSERT_TRUE(tovu::Continue(f.a, From(0, 9)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 5000));
  // The held note of the old song is released before the new song's state is struck; the new song
  // then plays from the tick reached and ends by itself.
  EXPECT_EQ(Texts(f.DataSince(mark)), (Lines{"out0 90 3c 00", "out0 90 48 64", "out0 90 48 00"}));
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"start:9", "n12:0", "n5:1"}));

  // The next song moved into the current slot: a new start plays it.
  f.a.inbox.clear();
  mark = f.LogMark();
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyEnded, 5000));
  EXPECT_EQ(Texts(f.DataSince(mark)), (Lines{"out0 90 48 64", "out0 90 48 00"}));
}

TEST(Playback, ContinueIntoAShorterSongEndsAndKeepsItInTheNextSlot) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, HeldNoteSong(60, 4800)));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(WaitForLogLine(f.env, "data out0 90 3c 64", 3000));
  tovu::PumpMessages(f.a, 150);  // past tick 100
  ASSERT_TRUE(tovu::LoadNextSong(f.a, HeldNoteSong(72, 60)));
  f.ClearInboxes();
  ASSERT_TRUE(tovu::Continue(f.a, From(0)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 5000));
  Lines events = Events(f.a.inbox);
  EXPECT_EQ(WithoutPositions(events), (Lines{"start:0", "n12:0", "n5:1"}));
  // The final position is the end of the song switched to, which the playback had already passed.
  ASSERT_FALSE(Positions(f.a.inbox).empty());
  EXPECT_EQ(Positions(f.a.inbox).back(), 60);
  // The stop released the old song's note; the current slot still holds the old song.
  size_t mark = f.LogMark();
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(WaitUntil([&] { return !f.DataSince(mark).empty(); }, 3000));
  EXPECT_EQ(tovu::Stop(f.a), 0);
  Lines after = Texts(f.DataSince(mark));
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.front(), "out0 90 3c 64");
  EXPECT_EQ(std::count(after.begin(), after.end(), "out0 90 48 64"), 0);
}

// Note-ons per second in the log over `ms` from now (the notifier, which runs at idle priority,
// plays no part: the log shows the scheduler's own pace).
double NoteRate(Fixture& f, tovu::Client& pump, int ms) {
  size_t mark = f.LogMark();
  tovu::PumpMessages(pump, ms);
  int notes = 0;
  for (auto& l : f.DataSince(mark)) notes += l.text.rfind("out0 90", 0) == 0 && l.text.substr(l.text.size() - 2) != "00";
  return notes * 1000.0 / ms;
}

// Notes every `every` ticks from 0 to `end`.
tovu::SongBuilder Metronomic(tovu::SongBuilder s, int32_t every, int32_t end) {
  for (int32_t t = 0; t < end; t += every) {
    s.NoteOn(t, 0, 0, 60, 100);
    s.NoteRelease(t + every / 2, 0, 0, 60);
  }
  s.End(end);
  return s;
}

TEST(Playback, ASwitchToAnotherResolutionKeepsTheTempoAndSteps) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, HeldNoteSong(60, 48000)));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(WaitForLogLine(f.env, "data out0 90 3c 64", 3000));
  // 480 ticks per quarter at 120 per minute: 960 ticks per second in steps of 120, a note every
  // quarter (8 per second). Taking the old song's step of 30 for the tempo would make it 2 per second.
  tovu::SongBuilder next;
  next.ticksPerQuarter = 480;
  next.Tempo(0, 120);
  ASSERT_TRUE(tovu::LoadNextSong(f.a, Metronomic(next, 120, 96000).Build()));
  ASSERT_TRUE(tovu::Continue(f.a, From(0)));
  ASSERT_TRUE(tovu::WaitForMessage(f.a, [](const tovu::Message& m) { return m.msg == tovu::kStartMessage; }, 3000));
  tovu::PumpMessages(f.a, 100);
  f.a.inbox.clear();
  double rate = NoteRate(f, f.a, 1000);
  std::vector<int32_t> positions = Positions(f.a.inbox);
  EXPECT_EQ(tovu::Stop(f.a), 0);
  EXPECT_NEAR(rate, 8.0, 3.0);
  for (int32_t p : positions) EXPECT_EQ(p % 120, 0) << p;
}

TEST(Playback, TempoFactorChangesTheSpeedFromTheTickReached) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  // A note every 60 ticks: 16 per second at factor 1.
  ASSERT_TRUE(tovu::LoadSong(f.a, Metronomic(FastSong(), 60, 48000).Build()));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(tovu::WaitForNotification(f.a, tovu::kNotifyStarted, 3000));
  double normal = NoteRate(f, f.a, 1000);
  ASSERT_TRUE(tovu::SetTempoFactor(f.a, 2.0));
  double twice = NoteRate(f, f.a, 1000);
  ASSERT_TRUE(tovu::SetTempoFactor(f.b, 0.25));  // B does not play: only stored
  double still = NoteRate(f, f.a, 1000);
  EXPECT_EQ(tovu::Stop(f.a), 0);
  EXPECT_NEAR(normal, 16.0, 5.0);
  EXPECT_NEAR(twice, 32.0, 8.0);
  EXPECT_NEAR(still, 32.0, 8.0);
}

TEST(Playback, StopSilencesHeldNotesAndNothingPlaysAfterIt) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::SongBuilder s = FastSong();
  for (int i = 0; i < 400; ++i) s.NoteOn(i * 12, i % 2, 0, 40 + i % 40, 100);  // notes keep coming
  s.End(4800);
  ASSERT_TRUE(tovu::LoadSong(f.a, s.Build()));
  ASSERT_TRUE(tovu::LoadNextSong(f.a, HeldNoteSong(72, 4800)));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  tovu::PumpMessages(f.a, 200);
  // A continue and at once a stop: the stop acts at once, whatever is pending.
  ASSERT_TRUE(tovu::PostCopyData(f.a, 22, 0, tovu::EncodeStartRequest(From(0)).data(), 32));
  EXPECT_EQ(tovu::Stop(f.a), 0);
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 3000));
  size_t mark = f.LogMark();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(f.DataSince(mark).empty());
  // Every note-on in the log has been answered by a release.
  int sounding[2][128] = {};
  for (auto& l : TimedData(f.env)) {
    unsigned port, status, note, velocity;
    if (sscanf(l.text.c_str(), "out%u %x %x %x", &port, &status, &note, &velocity) != 4) continue;
    if ((status & 0xF0) == 0x90 && velocity > 0) ++sounding[port][note];
    if ((status & 0xF0) == 0x80 || ((status & 0xF0) == 0x90 && velocity == 0))
      sounding[port][note] = std::max(0, sounding[port][note] - 1);
  }
  for (auto& port : sounding)
    for (int n : port) EXPECT_EQ(n, 0);
}

TEST(Playback, HandlersInsideTheEnginesSendsCannotBreakThePlayback) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, ShortSong()));
  std::vector<uint8_t> other = HeldNoteSong(80, 480);
  // From its start-message handler A loads a next song (which must not replace the song about to
  // play) and starts again (refused: a start is under way).
  f.a.windowProc = [&](const tovu::Message& m) -> int32_t {
    if (m.msg == tovu::kStartMessage) {
      tovu::LoadNextSong(f.a, other);
      tovu::Start(f.a, From(0));
    }
    return 0;
  };
  f.ClearInboxes();
  size_t mark = f.LogMark();
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 5000));
  EXPECT_EQ(Texts(f.DataSince(mark)), (Lines{"out0 c0 05", "out0 90 3c 64", "out1 91 40 5a", "out0 90 3c 00", "out1 91 40 00"}));
  // (The library files the start message once its handler has returned, after the refusal.)
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"n10:11", "start:0", "n21:1", "n12:0", "n5:1"}));

  // From its handler of the final position A stops and starts again: the end of the ended playback
  // must not stop the new one.
  f.a.inbox.clear();
  ASSERT_TRUE(tovu::LoadSong(f.a, ShortSong()));
  bool restarted = false;
  f.a.windowProc = [&](const tovu::Message& m) -> int32_t {
    if (m.msg == kPosition && m.lParam == 470 && !restarted) {
      restarted = true;
      tovu::Stop(f.a);
      tovu::LoadSong(f.a, HeldNoteSong(60, 48000));
      tovu::Start(f.a, From(0));
    }
    return 0;
  };
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(WaitUntil([&] { tovu::PumpMessages(f.a, 10); return restarted; }, 5000));
  tovu::PumpMessages(f.a, 400);
  // The end waits for no answer: 12 and 5 follow the final position at once, so A's stop finds
  // nothing playing, and its new start plays on.
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"start:0", "n21:1", "n12:0", "n5:1", "start:0", "n21:1"}));
  // From its activity-report handler A stops: one stop, one notification 5.
  f.a.inbox.clear();
  f.a.windowProc = [&](const tovu::Message& m) -> int32_t {
    if (m.msg == tovu::kWmCopyData && m.dwData == 30) tovu::Stop(f.a);
    return 0;
  };
  EXPECT_EQ(tovu::Stop(f.a), 0);
  tovu::PumpMessages(f.a, 300);
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"n5:1"}));
}

TEST(Playback, AClientThatLeavesMidPlayIsStoppedAndOthersPlayOn) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::Client c;
  ASSERT_TRUE(f.env.ConnectRegistered(c));
  ASSERT_TRUE(OpenPorts(c, {0}));
  ASSERT_TRUE(tovu::LoadSong(c, HeldNoteSong(60, 48000)));
  ASSERT_TRUE(tovu::Start(c, From(0)));
  ASSERT_TRUE(WaitForLogLine(f.env, "data out0 90 3c 64", 3000));
  tovu::Disconnect(c);  // the window closes: the client is unregistered and its playback stopped
  ASSERT_TRUE(PumpUntilNotification(f.b, tovu::kNotifyStopped, 5000));
  ASSERT_TRUE(WaitForLogLine(f.env, "data out0 90 3c 00", 3000));
  ASSERT_TRUE(tovu::LoadSong(f.b, ShortSong()));
  ASSERT_TRUE(OpenPorts(f.b, {0, 1}));
  f.ClearInboxes();
  ASSERT_TRUE(tovu::Start(f.b, From(0)));
  ASSERT_TRUE(PumpUntilNotification(f.b, tovu::kNotifyStopped, 5000));
  EXPECT_EQ(WithoutPositions(Events(f.b.inbox)), (Lines{"start:0", "n21:1", "n12:0", "n5:1"}));
}

TEST(Playback, ClosingTheEngineMidPlayStopsThenSaysGoodbye) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, HeldNoteSong(60, 48000)));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(WaitForLogLine(f.env, "data out0 90 3c 64", 3000));
  f.ClearInboxes();
  ASSERT_TRUE(tovu::CloseEngine(f.b));
  auto goodbye = [](tovu::Client& c) {
    return std::any_of(c.inbox.begin(), c.inbox.end(),
                       [](const tovu::Message& m) { return IsNotification(m, tovu::kNotifyPortsClosed, 1); });
  };
  ASSERT_TRUE(WaitUntil([&] {
    tovu::PumpMessages(f.a, 5);
    tovu::PumpMessages(f.b, 5);
    return goodbye(f.a) && goodbye(f.b);
  }, 10000));
  EXPECT_EQ(f.engine.Wait(10000), 0);
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"n5:1", "n14:1"}));
  EXPECT_EQ(Events(f.b.inbox), (Lines{"n5:0", "n14:1"}));
  EXPECT_FALSE(Grep(f.env.LogLines(), "data out0 90 3c 00").empty());
}

TEST(Playback, LoadsIntoThePlayingSlotsNeverPullTheSongAway) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::SongBuilder s = FastSong();
  for (int i = 0; i < 200; ++i) {
    s.NoteOn(i * 24, 0, 0, 60 + i % 12, 100);
    s.NoteRelease(i * 24 + 12, 0, 0, 60 + i % 12);
  }
  s.End(4800);
  std::vector<uint8_t> song = s.Build();
  ASSERT_TRUE(tovu::LoadSong(f.a, song));
  ASSERT_TRUE(tovu::Start(f.a, Request(0, true, 0, 600)));
  // The playing client replaces its current song (freed at once when nothing played from it), its
  // next song, and continues: the playback keeps reading the song it started with, or the switch's.
  for (int round = 0; round < 6; ++round) {
    tovu::PumpMessages(f.a, 60);
    ASSERT_TRUE(tovu::LoadSong(f.a, round % 2 ? song : HeldNoteSong(50 + round, 4800)));
    ASSERT_TRUE(tovu::LoadNextSong(f.a, HeldNoteSong(70 + round, 4800)));
    if (round % 3 == 2) {
      ASSERT_TRUE(tovu::Continue(f.a, Request(0, true, 0, 600)));
    }
  }
  // Both slots emptied while playing: the playback goes on with what it has, and a continue
  // (looping, even) finds nothing to continue with and ends it.
  tovu::PumpMessages(f.a, 100);  // the last continue has switched
  ASSERT_TRUE(tovu::LoadSong(f.a, {}));
  tovu::PumpMessages(f.a, 100);
  f.a.inbox.clear();
  ASSERT_TRUE(tovu::Continue(f.a, Request(0, true, 0, 600)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 3000)) << testing::PrintToString(Events(f.a.inbox));
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"start:0", "n12:0", "n5:1"}));
  EXPECT_EQ(tovu::Stop(f.a), 1);
  // The engine is whole: a new song loads and plays.
  f.ClearInboxes();
  ASSERT_TRUE(tovu::LoadSong(f.a, ShortSong()));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 5000));
  EXPECT_EQ(WithoutPositions(Events(f.a.inbox)), (Lines{"start:0", "n21:1", "n12:0", "n5:1"}));
}

TEST(Playback, AClientThatLeavesFromInsideItsOwnStopIsGoneCleanly) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, HeldNoteSong(60, 48000)));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(WaitForLogLine(f.env, "data out0 90 3c 64", 3000));
  // Closing its ports stops A's playback; A unregisters from its handler of the stop's activity
  // report, so its record is gone when the close goes on.
  f.a.windowProc = [&](const tovu::Message& m) -> int32_t {
    if (m.msg == tovu::kWmCopyData && m.dwData == 30) tovu::Unregister(f.a);
    return 0;
  };
  ASSERT_TRUE(tovu::ClosePorts(f.a));
  ASSERT_TRUE(PumpUntilNotification(f.b, tovu::kNotifyStopped, 3000));
  EXPECT_TRUE(WaitForLogLine(f.env, "data out0 90 3c 00", 3000));
  EXPECT_EQ(tovu::Command(f.a, 1, f.a.window), 1);  // no longer registered
  ASSERT_TRUE(tovu::LoadSong(f.b, ShortSong()));
  f.ClearInboxes();
  ASSERT_TRUE(tovu::Start(f.b, From(0)));
  ASSERT_TRUE(PumpUntilNotification(f.b, tovu::kNotifyStopped, 5000));
  EXPECT_EQ(WithoutPositions(Events(f.b.inbox)), (Lines{"start:0", "n21:1", "n12:0", "n5:1"}));
}

TEST(Playback, ExtremeTempoFactorsNeitherStallNorFloodTheEngine) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, HeldNoteSong(60, 48000)));
  ASSERT_TRUE(tovu::Start(f.a, Request(0, true, 0, 4800)));
  for (double factor : {1e-300, 4.9e-324, 1e300, 1e-6, 1e6, 1.0}) {
    ASSERT_TRUE(tovu::SetTempoFactor(f.a, factor));
    tovu::PumpMessages(f.a, 100);
    EXPECT_EQ(tovu::AuditionHoldTime(f.a), 300);  // still answering at once
  }
  f.a.inbox.clear();
  tovu::PumpMessages(f.a, 300);
  EXPECT_FALSE(Positions(f.a.inbox).empty());  // back at factor 1 it plays on
  EXPECT_EQ(tovu::Stop(f.a), 0);
}

TEST(Playback, ContinueWithoutANextSongReseeksTheCurrentOneWithItsNewLoop) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::SongBuilder s = FastSong();
  for (int i = 0; i < 8; ++i) {
    s.NoteOn(i * 240, 0, 0, 60 + 2 * i, 100);
    s.NoteRelease(i * 240 + 100, 0, 0, 60 + 2 * i);
  }
  s.End(4800);
  ASSERT_TRUE(tovu::LoadSong(f.a, s.Build()));
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  ASSERT_TRUE(WaitForLogLine(f.env, "data out0 90 3e 64", 3000));  // tick 240 reached
  size_t mark = f.LogMark();
  // The new loop ends before the tick reached: the switch resumes at the loop start, 0.
  ASSERT_TRUE(tovu::Continue(f.a, Request(0, true, 0, 200)));
  tovu::PumpMessages(f.a, 700);
  EXPECT_EQ(tovu::Stop(f.a), 0);
  Lines after = Texts(f.DataSince(mark));
  EXPECT_GE(std::count(after.begin(), after.end(), "out0 90 3c 64"), 3);
  EXPECT_EQ(std::count(after.begin(), after.end(), "out0 90 40 64"), 0);  // tick 480 is outside the loop
}

TEST(Playback, NegativeStartsWaitForTickZeroAndRepeatedStepsAreNotReportedTwice) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, ShortSong()));
  f.ClearInboxes();
  int64_t sent = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch()).count();  // CLOCK_MONOTONIC
  ASSERT_TRUE(tovu::Start(f.a, From(-480)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 5000));
  // 480 ticks before the song at 960 ticks per second: nothing for half a second.
  int64_t first = -1;
  for (auto& e : ReadTimedLog(f.env))
    if (e.text == "data out0 90 3c 64") first = e.ns;
  ASSERT_GT(first, 0);
  EXPECT_GE((first - sent) / kMs, 490);
  // The count-down steps are reported as 0, never below.
  std::vector<int32_t> positions = Positions(f.a.inbox);
  ASSERT_FALSE(positions.empty());
  for (int32_t p : positions) EXPECT_GE(p, 0);
  EXPECT_EQ(positions.back(), 470);

  // A slow song (60 ticks per second, a step every half second) stopped within its first step;
  // started again from the same tick, its first step is the one reported last: not repeated.
  tovu::SongBuilder slow;
  slow.Tempo(0, 30);
  slow.NoteOn(0, 0, 0, 60, 100);
  slow.End(4800);
  ASSERT_TRUE(tovu::LoadSong(f.a, slow.Build()));
  f.a.inbox.clear();
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  tovu::PumpMessages(f.a, 150);
  EXPECT_EQ(tovu::Stop(f.a), 0);
  tovu::PumpMessages(f.a, 50);
  f.a.inbox.clear();
  ASSERT_TRUE(tovu::Start(f.a, From(0)));
  tovu::PumpMessages(f.a, 1200);
  EXPECT_EQ(tovu::Stop(f.a), 0);
  positions = Positions(f.a.inbox);
  EXPECT_EQ(std::count(positions.begin(), positions.end(), 0), 0);
  for (int32_t p : positions) EXPECT_GE(p, 30);
}
