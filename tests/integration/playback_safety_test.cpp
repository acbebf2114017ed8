// Playback that nothing a client does can break: a client leaving from inside the engine's sends,
// a continue whose next song changes under it, the end of a song while the main thread and the
// notifier are held up by clients, sysex pauses, a close while the notifier waits on a client, and
// the pedals a song leaves down. Bytes and orders are checked exactly against the virtual log; times
// only within bounds that a loaded machine keeps (each fault overshoots them by far).
// Threads: the test thread, and where a case says so one helper thread that owns client B.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"
#include "integration/support/playback_events.h"
#include "support/owned_thread.h"

namespace {

using Lines = std::vector<std::string>;
constexpr double kMsPerNs = 1e-6;

// A note on port 0 every `every` ticks, each released halfway, up to `end`.
std::vector<uint8_t> NotesEvery(int32_t every, int32_t end, uint32_t note = 60) {
  tovu::SongBuilder s = FastSong();
  for (int32_t t = 0; t + every / 2 < end; t += every) {
    s.NoteOn(t, 0, 0, note, 100);
    s.NoteRelease(t + every / 2, 0, 0, note);
  }
  s.End(end);
  return s.Build();
}

bool HasNotification(const tovu::Client& c, uint32_t code) {
  for (auto& m : c.inbox) {
    tovu::NotificationInfo n;
    if (tovu::AsNotification(m, &n) && n.code == code) return true;
  }
  return false;
}

// The log's data lines with their times in ms since `origin` (CLOCK_MONOTONIC ns).
struct Timed {
  double ms;
  std::string text;
};
std::vector<Timed> DataAfter(const EngineEnv& env, int64_t origin) {
  std::vector<Timed> out;
  for (auto& e : DataEntries(env))
    if (e.ns >= origin) out.push_back({(e.ns - origin) * kMsPerNs, e.text});
  return out;
}

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool IsNoteOn(const std::string& line) {
  unsigned port, status, note, velocity;
  return sscanf(line.c_str(), "out%u %x %x %x", &port, &status, &note, &velocity) == 4 && (status & 0xF0) == 0x90 &&
         velocity > 0;
}

// An engine with two outputs and one input; A and B registered, both holding the outputs open.
struct Fixture {
  EngineEnv env;
  EngineProcess engine;
  tovu::Client a, b;

  bool Start(int32_t inputForA = -1) {
    return engine.Start(env) && env.ConnectRegistered(a) && env.ConnectRegistered(b) &&
           OpenPorts(a, {0, 1}, inputForA) && OpenPorts(b, {0, 1});
  }
  void Clear() {
    tovu::PumpMessages(a, 20);
    tovu::PumpMessages(b, 20);
    a.inbox.clear();
    b.inbox.clear();
  }
};

}  // namespace

// A recording client that unregisters, and from its handler of the take tries to start again: the
// start is refused, nothing keeps playing after it has gone, and the next client plays and stops.
TEST(PlaybackSafety, AClientOnItsWayOutCannotStartAndNoPlaybackOutlivesIt) {
  Fixture f;
  ASSERT_TRUE(f.Start(0));
  ASSERT_TRUE(tovu::LoadSong(f.a, NotesEvery(120, 960)));
  tovu::StartRequest r = Request(0, true, 0, 960);
  r.recordOn = 1;
  ASSERT_TRUE(tovu::Start(f.a, r));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStarted, 3000));
  int fifo = open(f.env.fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fifo, 0);
  std::string input = "0 90 40 50\n0 80 40 00\n";
  ASSERT_EQ(write(fifo, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fifo);
  tovu::PumpMessages(f.a, 200);
  bool tookTake = false;
  f.a.windowProc = [&](const tovu::Message& m) -> int32_t {
    if (m.msg == tovu::kWmCopyData && (m.dwData & 0xFFFF) == 28) {
      tookTake = true;
      std::vector<uint8_t> again = tovu::EncodeStartRequest(Request(0, true, 0, 960));
      tovu::SendCopyData(f.a, 21, 0, again.data(), 32);
    }
    return 0;
  };
  f.a.inbox.clear();
  EXPECT_EQ(tovu::Unregister(f.a), 0);
  tovu::PumpMessages(f.a, 100);
  EXPECT_TRUE(tookTake);
  // The start from inside the leave was refused; the only stop is the one of the leave.
  Lines events = Events(f.a.inbox, false);
  EXPECT_EQ(std::count(events.begin(), events.end(), "n21:1"), 0) << ::testing::PrintToString(events);
  EXPECT_TRUE(std::find(events.begin(), events.end(), "n10:11") != events.end()) << ::testing::PrintToString(events);

  // Nothing plays on after A has gone; B can start (no error 11) and stop.
  int64_t gone = NowNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  for (auto& l : DataAfter(f.env, gone)) EXPECT_FALSE(IsNoteOn(l.text)) << l.text;
  f.Clear();
  ASSERT_TRUE(tovu::LoadSong(f.b, NotesEvery(120, 96000)));
  ASSERT_TRUE(tovu::Start(f.b, Request(0)));
  ASSERT_TRUE(PumpUntilNotification(f.b, tovu::kNotifyStarted, 3000));
  EXPECT_FALSE(HasNotification(f.b, tovu::kNotifyFailed));
  EXPECT_EQ(tovu::Stop(f.b), 0);
  int64_t stopped = NowNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (auto& l : DataAfter(f.env, stopped)) EXPECT_FALSE(IsNoteOn(l.text)) << l.text;
}

// A continue accepted for the current song, whose next song (loaded from the handler of the
// continue's start message) ends before the continue's loop start: refused at the switch with error
// 10 and stopped, rather than wrapping for ever.
TEST(PlaybackSafety, AContinuesLoopIsCheckedAgainstTheSongItSwitchesTo) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, NotesEvery(240, 48000)));
  ASSERT_TRUE(tovu::Start(f.a, Request(0)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStarted, 3000));
  std::vector<uint8_t> shortSong = NotesEvery(120, 480, 72);
  f.a.windowProc = [&](const tovu::Message& m) -> int32_t {
    if (m.msg == tovu::kStartMessage) tovu::LoadNextSong(f.a, shortSong);
    return 0;
  };
  f.Clear();
  ASSERT_TRUE(tovu::Continue(f.a, Request(0, true, 2000, 0x7FFFFFFF)));
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 3000));
  EXPECT_EQ(Events(f.a.inbox, false), (Lines{"start:0", "n10:10", "n5:1"}));
  int64_t stopped = NowNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(DataAfter(f.env, stopped).empty());
  // The refused song was never played.
  for (auto& line : f.env.LogLines()) EXPECT_EQ(line.find("90 48 64"), std::string::npos) << line;
}

// The end of a song while client B holds the main thread in a slow answer and A reads nothing (so
// the notifier waits on A): the held note is released when the song ends, not when they answer; a
// continue that comes after the end is ignored; A then finds the final position, 12 and 5, in order.
TEST(PlaybackSafety, TheEndOfASongWaitsForNoClient) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::SongBuilder s = FastSong();
  s.NoteOn(0, 0, 0, 60, 100);  // held until the end silences it
  s.End(240);                   // 250 ms
  ASSERT_TRUE(tovu::LoadSong(f.a, s.Build()));
  f.Clear();
  int64_t started = NowNs();
  ASSERT_TRUE(tovu::Start(f.a, Request(0)));
  OwnedThread stall([&] {
    f.b.windowProc = [](const tovu::Message& m) -> int32_t {
      if (m.msg == tovu::kWmCopyData) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      return 0;
    };
    std::vector<tovu::OutputPortInfo> ports;
    tovu::RequestOutputPorts(f.b, &ports);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the song has ended by now
  ASSERT_TRUE(tovu::Continue(f.a, Request(0, true, 0, 240)));
  stall.Join();
  ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 5000));
  tovu::PumpMessages(f.a, 100);

  std::vector<Timed> data = DataAfter(f.env, started);
  auto on = std::find_if(data.begin(), data.end(), [](const Timed& t) { return t.text == "out0 90 3c 64"; });
  auto off = std::find_if(data.begin(), data.end(), [](const Timed& t) { return t.text == "out0 90 3c 00"; });
  ASSERT_NE(on, data.end());
  ASSERT_NE(off, data.end());
  EXPECT_LT(off->ms - on->ms, 1000.0);  // due at 250 ms; held up, it would come after 1500 ms
  EXPECT_EQ(std::count_if(data.begin(), data.end(), [](const Timed& t) { return IsNoteOn(t.text); }), 1);

  Lines events = Events(f.a.inbox);
  Lines tail(events.end() - std::min<size_t>(events.size(), 3), events.end());
  EXPECT_EQ(tail, (Lines{"pos:240", "n12:0", "n5:1"})) << ::testing::PrintToString(events);
  EXPECT_EQ(std::count(events.begin(), events.end(), "start:0"), 1);  // the continue was ignored
}

// Ten sysex at one tick with a 100 ms pause each: the engine answers at once meanwhile, and a stop
// during the pauses sends nothing more. A pause set absurdly long is held to a second, and a direct
// sysex waits for nobody: the port's next message waits instead.
TEST(PlaybackSafety, SysexPausesHoldTheirPortButNeverTheEngine) {
  Fixture f;
  f.env.WriteSetting("Dev0/ExclDly", "100");
  f.env.WriteSetting("Dev1/ExclDly", "99999999999999999999");
  ASSERT_TRUE(f.Start());
  tovu::SongBuilder s = FastSong();
  for (uint8_t i = 0; i < 10; ++i) s.Sysex(0, 0, {0xF0, 0x7D, i, 0xF7});
  s.NoteOn(0, 0, 0, 60, 100);
  s.End(96000);
  ASSERT_TRUE(tovu::LoadSong(f.a, s.Build()));
  tovu::StartRequest r = Request(0);
  r.sysexMode = 1;
  ASSERT_TRUE(tovu::Start(f.a, r));
  tovu::PumpMessages(f.a, 250);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(tovu::AuditionHoldTime(f.b), 300);
  EXPECT_EQ(tovu::Stop(f.a), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  std::vector<Timed> data = DataAfter(f.env, 0);
  std::vector<double> sysex;
  for (auto& l : data)
    if (l.text.rfind("out0 f0 7d", 0) == 0) sysex.push_back(l.ms);
  ASSERT_GE(sysex.size(), 2u);
  EXPECT_LT(sysex.size(), 10u);  // the stop came during the pauses
  for (size_t i = 1; i < sysex.size(); ++i) EXPECT_GE(sysex[i] - sysex[i - 1], 99.0);
  EXPECT_EQ(std::count_if(data.begin(), data.end(), [](const Timed& t) { return t.text == "out0 90 3c 64"; }), 0);

  // Port 1: a direct sysex, then a short message for the same port, which waits out the pause
  // (held to 1000 ms) while the engine goes on answering.
  t0 = std::chrono::steady_clock::now();
  int64_t sent = NowNs();
  ASSERT_TRUE(tovu::SendSysex(f.b, 1, {0xF0, 0x01, 0xF7}));
  EXPECT_EQ(tovu::SendShort(f.b, 0x01643C90), 0);
  EXPECT_EQ(tovu::AuditionHoldTime(f.a), 300);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
  ASSERT_TRUE(WaitUntil([&] { return !Grep(f.env.LogLines(), "out1 90 3c 64").empty(); }, 5000));
  std::vector<Timed> port1 = DataAfter(f.env, sent);
  ASSERT_EQ(port1.size(), 2u);
  EXPECT_EQ(port1[0].text, "out1 f0 01 f7");
  EXPECT_EQ(port1[1].text, "out1 90 3c 64");
  EXPECT_GE(port1[1].ms - port1[0].ms, 990.0);
  EXPECT_LT(port1[1].ms - port1[0].ms, 2500.0);
}

// WM_CLOSE while the notifier waits for a client that reads nothing: the playback stops and its
// notes are released at once, nothing plays after, and the engine ends without waiting the send out.
TEST(PlaybackSafety, ClosingWhileTheNotifierWaitsOnAClientStopsAtOnce) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(tovu::LoadSong(f.a, NotesEvery(60, 96000)));
  ASSERT_TRUE(tovu::Start(f.a, Request(0)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // A reads nothing from here on
  int64_t closed = NowNs();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(tovu::CloseEngine(f.b));
  EXPECT_EQ(f.engine.Wait(10000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
  std::vector<Timed> after = DataAfter(f.env, closed);
  for (auto& l : after) {
    EXPECT_FALSE(IsNoteOn(l.text) && l.ms > 50.0) << l.ms << " " << l.text;
  }
}

// The pedals a song holds down are released after the notes, at a stop and at the song's own end,
// on every channel that holds them.
TEST(PlaybackSafety, StopsAndEndsReleaseThePedalsTheSongHolds) {
  Fixture f;
  ASSERT_TRUE(f.Start());
  tovu::SongBuilder s = FastSong();
  s.Controller(0, 0, 0, 64, 127);
  s.Controller(0, 1, 3, 66, 100);
  s.Controller(0, 1, 3, 67, 0);  // up already: nothing to release
  s.NoteOn(10, 0, 0, 60, 100);
  s.End(480);
  std::vector<uint8_t> song = s.Build();
  ASSERT_TRUE(tovu::LoadSong(f.a, song));
  for (bool stop : {true, false}) {
    f.Clear();
    int64_t mark = NowNs();
    ASSERT_TRUE(tovu::Start(f.a, Request(0)));
    ASSERT_TRUE(WaitUntil([&] {
      tovu::PumpMessages(f.a, 5);
      std::vector<Timed> data = DataAfter(f.env, mark);
      return std::any_of(data.begin(), data.end(), [](const Timed& t) { return t.text == "out0 90 3c 64"; });
    }, 3000));
    if (stop) {
      EXPECT_EQ(tovu::Stop(f.a), 0);
    }
    ASSERT_TRUE(PumpUntilNotification(f.a, tovu::kNotifyStopped, 3000));
    std::vector<Timed> data = DataAfter(f.env, mark);
    Lines texts;
    for (auto& t : data) texts.push_back(t.text);
    auto off = std::find(texts.begin(), texts.end(), "out0 90 3c 00");
    ASSERT_NE(off, texts.end()) << (stop ? "stop" : "end");
    EXPECT_EQ(Lines(off, texts.end()), (Lines{"out0 90 3c 00", "out0 b0 40 00", "out1 b3 42 00"}))
        << (stop ? "stop" : "end");
  }
}
