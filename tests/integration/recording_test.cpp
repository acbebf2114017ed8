// Recording, thru and the metronome through real engine processes: settings over the bus, input
// written to the virtual input FIFO, clicks and echoes read from the virtual log, and takes read back
// with the client library's take reader. Songs run at 600 quarters a minute (120 ticks a quarter:
// 1.2 ticks a millisecond, a 480-tick bar in 400 ms), so that a few passes take a second or two.
// Ticks depend on when input arrives, so they are checked against ranges and against each other,
// and timing only with generous bounds.
// Threads: the test thread; one case adds a thread that floods the FIFO.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/take_reader.h"
#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"
#include "platform/event.h"
#include "platform/wire.h"
#include "support/owned_thread.h"

namespace {

using Lines = std::vector<std::string>;
constexpr int64_t kMs = 1000000;

std::vector<uint8_t> Song() {
  tovu::SongBuilder song;
  song.Tempo(0, 600);
  song.End(1920);
  return song.Build();
}

std::vector<uint8_t> StartRequest(int32_t startTick, bool record, bool loop = false, int32_t loopStart = 0,
                                  int32_t loopEnd = 0) {
  std::vector<uint8_t> r(32, 0);
  platform::StoreLe32(r.data(), static_cast<uint32_t>(startTick));
  platform::StoreLe32(r.data() + 4, static_cast<uint32_t>(loopStart));
  platform::StoreLe32(r.data() + 8, static_cast<uint32_t>(loopEnd));
  platform::StoreLe32(r.data() + 12, loop ? 1 : 0);
  platform::StoreLe32(r.data() + 16, 2);
  platform::StoreLe32(r.data() + 24, record ? 1 : 0);
  return r;
}

// Pumps until a stop notification has come (the notifications before it are taken with it).
bool WaitStopped(tovu::Client& c) {
  return WaitUntil(
      [&] {
        tovu::PumpMessages(c, 5);
        for (auto& n : tovu::TakeNotifications(c))
          if (n.code == tovu::kNotifyStopped) return true;
        return false;
      },
      5000);
}

struct Fixture {
  EngineEnv env;
  EngineProcess engine;
  tovu::Client client;
  int fifo = -1;

  // Starts an engine with 2 outputs and 2 inputs (and the settings files given) and a client that
  // opens the outputs and input 0 with the given input flags.
  explicit Fixture(uint32_t inputFlags = 1, const std::vector<std::pair<std::string, std::string>>& settings = {}) {
    env.vars["TOVU_VIRTUAL_INPUTS"] = "2";
    for (auto& [key, value] : settings) env.WriteSetting(key, value);
    EXPECT_TRUE(engine.Start(env));
    EXPECT_TRUE(env.ConnectRegistered(client));
    EXPECT_TRUE(OpenPorts(client, 0, inputFlags));
    fifo = open(env.fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fifo, 0);
  }
  ~Fixture() {
    if (fifo >= 0) close(fifo);
  }

  static bool OpenPorts(tovu::Client& c, int32_t input, uint32_t flags) {
    tovu::OpenPortsReply reply;
    return ::OpenPorts(c, {0, 1}, input, flags, &reply) && reply.inputResult == 0;
  }
  // One input line: "<input id> <hex bytes>".
  void Feed(const std::string& line) {
    std::string text = line + "\n";
    ASSERT_EQ(write(fifo, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void Start(tovu::Client& c, const std::vector<uint8_t>& request) {
    ASSERT_TRUE(tovu::LoadSong(c, Song()));
    ASSERT_TRUE(tovu::SendCopyData(c, 21, 0, request.data(), 32));
    ASSERT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyStarted, 5000));
  }
  // Lets `ms` pass while answering what the engine sends.
  static void Pass(tovu::Client& c, int ms) {
    int64_t until = platform::MonotonicNs() + ms * kMs;
    while (platform::MonotonicNs() < until) tovu::PumpMessages(c, 5);
  }
  // Stops and returns the take that arrives (false when none came).
  static bool StopForTake(tovu::Client& c, tovu::Take* take, int timeoutMs = 5000) {
    EXPECT_EQ(tovu::Command(c, 5, c.window), 0);
    tovu::Message m;
    if (!tovu::WaitForMessage(
            c, [](const tovu::Message& x) { return x.msg == tovu::kWmCopyData && (x.dwData & 0xFFFF) == 28; },
            timeoutMs, &m))
      return false;
    std::string error;
    EXPECT_TRUE(tovu::ReadTake(m.payload, take, &error)) << error;
    return true;
  }
  // The data lines of one output, e.g. "out0 99 3c 7e", with their times.
  std::vector<LogEntry> Out(const std::string& port) { return DataEntries(env, port); }
};

size_t Count(const std::vector<LogEntry>& lines, const std::string& text) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogEntry& e) { return e.text == text; }));
}

TEST(Recording, CountInClicksBarsAndBeatsAndTheTakeCarriesIt) {
  Fixture f(1, {{"MtrDev", "0"}, {"MtrChan", "9"}, {"MtrNM", "60"}, {"MtrNB", "61"}});
  f.Start(f.client, StartRequest(0, true));
  f.Feed("0 90 3c 64");  // during the count-in
  f.Pass(f.client, 700);
  f.Feed("0 80 3c 00");  // after tick 0
  f.Pass(f.client, 50);
  tovu::Take take;
  ASSERT_TRUE(Fixture::StopForTake(f.client, &take));

  std::vector<LogEntry> clicks = f.Out("out0");
  Lines expected = {"out0 99 3c 7e", "out0 99 3c 00", "out0 99 3d 64", "out0 99 3d 00", "out0 99 3d 64",
                    "out0 99 3d 00", "out0 99 3d 64", "out0 99 3d 00", "out0 99 3c 7e", "out0 99 3c 00",
                    "out0 99 3d 64", "out0 99 3d 00"};
  ASSERT_GE(clicks.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(clicks[i].text, expected[i]) << i;
  // Bar clicks a bar (400 ms) apart, each click ending by the next step (25 ms on); bounds stay
  // generous, since a late wake-up on a busy machine strikes a click late and so shortens it.
  double bar = static_cast<double>(clicks[8].ns - clicks[0].ns) / kMs;
  double click = static_cast<double>(clicks[1].ns - clicks[0].ns) / kMs;
  EXPECT_GT(bar, 350.0);
  EXPECT_LT(bar, 1000.0);
  EXPECT_LT(click, 400.0);

  EXPECT_EQ(take.recordStartTick, 0);
  EXPECT_EQ(take.countInLength, 480);
  ASSERT_EQ(take.events.size(), 3u);
  EXPECT_EQ(take.events[0].event, 0x643C90u);
  EXPECT_GE(take.events[0].tick, -480);
  EXPECT_LT(take.events[0].tick, 0);
  EXPECT_EQ(take.events[1].event, 0x3C80u);
  EXPECT_GE(take.events[1].tick, 0);
  EXPECT_EQ(take.events[2].event, 0xFFu);
  EXPECT_GE(take.events[2].tick, take.events[1].tick);
}

TEST(Recording, PlainPlaybackAndNoMetronomeNeitherCountInNorClick) {
  Fixture f(1, {{"MtrDev", "0"}});
  f.Start(f.client, StartRequest(0, false));
  f.Pass(f.client, 200);
  EXPECT_EQ(tovu::Command(f.client, 5, f.client.window), 0);
  EXPECT_TRUE(f.Out("out0").empty());
  tovu::MetronomeSettings none;
  ASSERT_TRUE(tovu::SetMetronome(f.client, none));
  f.Start(f.client, StartRequest(0, true));
  f.Feed("0 90 3c 64");
  f.Pass(f.client, 100);
  tovu::Take take;
  ASSERT_TRUE(Fixture::StopForTake(f.client, &take));
  EXPECT_EQ(take.countInLength, 0);
  ASSERT_EQ(take.events.size(), 2u);
  EXPECT_GE(take.events[0].tick, 0);
  EXPECT_TRUE(f.Out("out0").empty());
}

TEST(Recording, LoopPassesEndMarkersSysexAndEchoOfEarlierPassesExactlyOnce) {
  Fixture f(1 | 8);
  tovu::ThruSettings thru;
  thru.device = 1;
  thru.channel = -1;
  ASSERT_TRUE(tovu::SetThru(f.client, thru));
  f.Start(f.client, StartRequest(0, true, true, 0, 480));
  f.Pass(f.client, 50);
  f.Feed("0 90 3c 64");  // pass 1, near tick 60
  f.Feed("0 f0 01 02 03 f7");
  f.Pass(f.client, 50);
  f.Feed("0 80 3c 00");  // near tick 120
  f.Pass(f.client, 500);
  f.Feed("0 90 3e 50");  // pass 2, near tick 240
  f.Pass(f.client, 50);
  f.Feed("0 80 3e 00");
  // Into pass 4, past the echo of the first note's release there (live, then passes 2, 3 and 4),
  // and stopped between the two notes' ticks.
  ASSERT_TRUE(WaitUntil(
      [&] {
        tovu::PumpMessages(f.client, 5);
        return Count(f.Out("out1"), "out1 90 3c 00") >= 4;
      },
      5000));
  f.Pass(f.client, 50);
  tovu::Take take;
  ASSERT_TRUE(Fixture::StopForTake(f.client, &take));

  // The take: pass 1's note and sysex marker, an end marker at 480 per wrap, pass 2's note, the
  // final end marker at the stop tick; one sysex block of 5 bytes.
  auto passes = tovu::TakePasses(take);
  ASSERT_GE(passes.size(), 3u);
  ASSERT_EQ(passes[0].size(), 3u);
  EXPECT_EQ(passes[0][0].event, 0x643C90u);
  EXPECT_EQ(passes[0][1].event, 0xF0u);
  EXPECT_EQ(passes[0][2].event, 0x3C80u);
  ASSERT_EQ(passes[1].size(), 2u);
  EXPECT_EQ(passes[1][0].event, 0x503E90u);
  for (size_t i = 2; i < passes.size(); ++i) EXPECT_TRUE(passes[i].empty()) << i;
  int wraps = 0;
  for (size_t i = 0; i + 1 < take.events.size(); ++i)
    if (tovu::IsEndMarker(take.events[i].event)) {
      EXPECT_EQ(take.events[i].tick, 480);
      ++wraps;
    }
  EXPECT_EQ(static_cast<size_t>(wraps) + 1, passes.size());
  ASSERT_TRUE(tovu::IsEndMarker(take.events.back().event));
  int32_t stopTick = take.events.back().tick;
  EXPECT_EQ(take.sysex, (std::vector<std::vector<uint8_t>>{{0xF0, 1, 2, 3, 0xF7}}));

  // Thru: each note live once, then once in every later pass that reached its tick.
  std::vector<LogEntry> out = f.Out("out1");
  auto later = [&](int32_t tick, int passOfNote) {
    int full = wraps - passOfNote;  // passes after the note's own that ran to their end
    return static_cast<size_t>(1 + full + (stopTick > tick ? 1 : 0));
  };
  int32_t on60 = passes[0][0].tick, off60 = passes[0][2].tick, on62 = passes[1][0].tick, off62 = passes[1][1].tick;
  for (int32_t tick : {on60, off60, on62, off62}) {
    if (std::abs(stopTick - tick) < 10) GTEST_SKIP() << "the stop fell too close to a recorded tick";
  }
  EXPECT_EQ(Count(out, "out1 90 3c 64"), later(on60, 1));
  EXPECT_EQ(Count(out, "out1 90 3c 00"), later(off60, 1));
  EXPECT_EQ(Count(out, "out1 90 3e 50"), later(on62, 2));
  EXPECT_EQ(Count(out, "out1 90 3e 00"), later(off62, 2));
}

TEST(Recording, EveryClickEndsWithinAStepAndNothingOfItOutlivesTheStop) {
  Fixture f(1, {{"MtrDev", "0"}, {"MtrChan", "9"}, {"MtrNM", "60"}, {"MtrNB", "61"}});
  // A loop of 20 ticks, shorter than the 30-tick step: after the count-in the bar click at tick 0 is
  // never followed by another step, yet it ends a step (25 ms) later, not at the stop.
  f.Start(f.client, StartRequest(0, true, true, 0, 20));
  f.Pass(f.client, 1000);
  int64_t stopNs = platform::MonotonicNs();
  tovu::Take take;
  Fixture::StopForTake(f.client, &take);
  std::vector<LogEntry> clicks = f.Out("out0");
  ASSERT_GE(clicks.size(), 10u);
  for (size_t i = 0; i < clicks.size(); ++i) {
    const std::string& on = clicks[i].text;
    if (on != "out0 99 3c 7e" && on != "out0 99 3d 64") continue;
    std::string off = on.substr(0, on.size() - 2) + "00";
    ASSERT_LT(i + 1, clicks.size()) << "the last click never ended";
    EXPECT_EQ(clicks[i + 1].text, off) << i;
    EXPECT_LT(clicks[i + 1].ns, stopNs) << i;
    EXPECT_LT(clicks[i + 1].ns - clicks[i].ns, 250 * kMs) << i;
  }

  // A stop while a click sounds (60 quarters a minute: a step is 250 ms): the stop ends it, and
  // the metronome settings that follow find no click left to end.
  tovu::SongBuilder slow;
  slow.Tempo(0, 60);
  slow.End(1920);
  ASSERT_TRUE(tovu::LoadSong(f.client, slow.Build()));
  std::vector<uint8_t> request = StartRequest(0, true);
  ASSERT_TRUE(tovu::SendCopyData(f.client, 21, 0, request.data(), 32));
  ASSERT_TRUE(tovu::WaitForNotification(f.client, tovu::kNotifyStarted, 5000));
  ASSERT_TRUE(WaitUntil(
      [&] {
        tovu::PumpMessages(f.client, 2);
        return !f.Out("out0").empty() && f.Out("out0").back().text == "out0 99 3c 7e";
      },
      5000));
  EXPECT_EQ(tovu::Command(f.client, 5, f.client.window), 0);
  Fixture::Pass(f.client, 50);
  size_t afterStop = f.Out("out0").size();
  tovu::MetronomeSettings settings;
  settings.device = 0;
  ASSERT_TRUE(tovu::SetMetronome(f.client, settings));
  Fixture::Pass(f.client, 100);
  EXPECT_EQ(f.Out("out0").size(), afterStop);
}

TEST(Recording, ThruTransformsClampsAndFiltersByClassAndPort) {
  Fixture f(1);
  tovu::Client other;
  ASSERT_TRUE(f.env.ConnectRegistered(other));
  ASSERT_TRUE(OpenPorts(other, {0}, 1));
  tovu::ThruSettings thru;
  thru.device = 1;
  thru.channel = 5;
  thru.transpose = 12;
  thru.velocityOffset = -20;
  ASSERT_TRUE(tovu::SetThru(f.client, thru));  // f.client is the thru owner: its input 0 listens
  f.Feed("0 90 3c 0a");
  f.Feed("0 80 3c 40");
  f.Feed("0 90 78 7f");  // 120 + 12 -> 127, 127 - 20 -> 107
  f.Feed("0 c0 05");     // program change: refused
  f.Feed("0 a0 3c 10");  // poly pressure: refused
  f.Feed("0 b0 07 64");  // controllers are not in the flags
  f.Feed("0 fe");
  f.Feed("0 f8");
  f.Feed("1 90 3d 64");  // another client's input port
  f.Feed("0 90 78 00");
  ASSERT_TRUE(WaitForLogLine(f.env, "data out1 95 7f 00", 5000));
  f.Pass(f.client, 100);
  std::vector<LogEntry> out = f.Out("out1");
  Lines texts;
  for (auto& e : out) texts.push_back(e.text);
  EXPECT_EQ(texts, (Lines{"out1 95 48 01", "out1 95 48 00", "out1 95 7f 6b", "out1 95 7f 00"}));
}

TEST(Recording, OpeningPortsHandsThruAndTheMetronomeToTheOpeningClient) {
  // Every port opening closes the engine-wide thru and metronome ports and applies their settings
  // again: the client that opened last is the thru owner (its input is echoed), and the metronome
  // clicks on its port as before.
  Fixture f(1, {{"MtrDev", "0"}});
  tovu::ThruSettings thru;
  thru.device = 1;
  thru.channel = -1;
  ASSERT_TRUE(tovu::SetThru(f.client, thru));
  tovu::Client b;
  ASSERT_TRUE(f.env.ConnectRegistered(b));
  ASSERT_TRUE(Fixture::OpenPorts(b, 1, 1));
  f.Feed("0 90 3d 64");  // f.client's input: no longer listened to
  f.Feed("1 90 3c 64");  // b's input: echoed
  ASSERT_TRUE(WaitForLogLine(f.env, "data out1 90 3c 64", 5000));
  f.Pass(f.client, 50);
  EXPECT_EQ(Count(f.Out("out1"), "out1 90 3d 64"), 0u);
  f.Start(b, StartRequest(0, true));
  f.Feed("1 90 3e 64");
  EXPECT_TRUE(WaitForLogLine(f.env, "data out0 99 3c 7e", 5000));
  EXPECT_TRUE(WaitForLogLine(f.env, "data out1 90 3e 64", 5000));  // recorded once echoed
  tovu::Take take;
  ASSERT_TRUE(Fixture::StopForTake(b, &take));
  EXPECT_EQ(take.countInLength, 480);
}

TEST(Recording, MetronomeSettingsReadBackOverTheBus) {
  Fixture f(1);
  tovu::MetronomeSettings s;
  ASSERT_TRUE(tovu::RequestMetronomeSettings(f.client, &s));
  EXPECT_EQ(s.device, 0x8000);
  EXPECT_EQ(s.channel, 9);
  EXPECT_EQ(s.measureNote, 60);
  EXPECT_EQ(s.beatNote, 61);
  s = {7, 3, 70, 71};  // no such device
  ASSERT_TRUE(tovu::SetMetronome(f.client, s));
  tovu::MetronomeSettings back;
  ASSERT_TRUE(tovu::RequestMetronomeSettings(f.client, &back));
  EXPECT_EQ(back.device, 0x8000);
  EXPECT_EQ(back.channel, 3);
  s = {1, 0x1A, 200, 71};  // stored as given, used masked
  ASSERT_TRUE(tovu::SetMetronome(f.client, s));
  // Any window is answered, registered or not.
  tovu::Client stranger;
  ASSERT_TRUE(f.env.Connect(stranger));
  ASSERT_TRUE(tovu::RequestMetronomeSettings(stranger, &back));
  EXPECT_EQ(back.device, 1);
  EXPECT_EQ(back.channel, 0x1A);
  EXPECT_EQ(back.measureNote, 200);
}

TEST(Recording, ARecordingClientThatDiesLeavesTheNextRecordingWhole) {
  Fixture f(1 | 8);
  {
    tovu::Client doomed;
    ASSERT_TRUE(f.env.ConnectRegistered(doomed));
    ASSERT_TRUE(Fixture::OpenPorts(doomed, 1, 1 | 8));
    f.Start(doomed, StartRequest(0, true, true, 0, 480));
    f.Feed("1 90 3c 64");
    f.Feed("1 f0 7e f7");
    Fixture::Pass(doomed, 600);
    tovu::Disconnect(doomed);  // gone mid-take: unregistered by the watcher, its take goes nowhere
  }
  ASSERT_TRUE(WaitStopped(f.client));
  f.Start(f.client, StartRequest(0, true));
  f.Feed("0 90 40 64");
  f.Feed("0 f0 01 f7");
  f.Pass(f.client, 150);
  tovu::Take take;
  ASSERT_TRUE(Fixture::StopForTake(f.client, &take));
  ASSERT_EQ(take.events.size(), 3u);
  EXPECT_EQ(take.events[0].event, 0x644090u);
  EXPECT_EQ(take.sysex, (std::vector<std::vector<uint8_t>>{{0xF0, 1, 0xF7}}));
  EXPECT_TRUE(f.engine.Running());
}

TEST(Recording, InputFloodDuringLoopRecordingWhileSettingsChange) {
  // Under ThreadSanitizer (engine built with it too, halting on the first report) this is the race
  // check of the input thread, the timer thread's echo and clicks, and the main thread's settings.
  Fixture f(1 | 2 | 8, {{"MtrDev", "0"}});
  tovu::ThruSettings thru;
  thru.device = 1;
  ASSERT_TRUE(tovu::SetThru(f.client, thru));
  f.Start(f.client, StartRequest(0, true, true, 0, 240));
  std::atomic<bool> stop{false};
  std::atomic<int> fed{0};
  int writer = open(f.env.fifoPath.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  OwnedThread flood([&] {
    char line[64];
    for (int i = 0; !stop.load(); ++i) {
      int n = i % 10 == 9 ? snprintf(line, sizeof line, "0 f0 %02x f7\n", i & 0x7F)
              : i % 3 == 0 ? snprintf(line, sizeof line, "0 b0 40 %02x\n", i & 0x7F)
                           : snprintf(line, sizeof line, "0 %s %02x 64\n", i % 2 ? "90" : "80", 48 + i % 24);
      if (write(writer, line, static_cast<size_t>(n)) == n) ++fed;
      if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }, &stop);
  for (int i = 0; i < 60; ++i) {
    thru.device = i % 2;
    thru.channel = i % 3 - 1;
    thru.transpose = i % 5;
    ASSERT_TRUE(tovu::SetThru(f.client, thru));
    tovu::MetronomeSettings m{i % 2, i % 16, 60, 61};
    ASSERT_TRUE(tovu::SetMetronome(f.client, m));
    Fixture::Pass(f.client, 20);
  }
  flood.Join();
  close(writer);
  tovu::Take take;
  ASSERT_TRUE(Fixture::StopForTake(f.client, &take, 10000));
  EXPECT_GT(fed.load(), 1000);
  EXPECT_GT(take.events.size(), 100u);
  EXPECT_TRUE(f.engine.Running());
}

// The note-ons of `lines` (one port's data lines) that no release followed by `beforeNs`, matched
// oldest first per channel and note: a note-on that struck at `ns` and sounds on.
std::vector<LogEntry> Unreleased(const std::vector<LogEntry>& lines, int64_t beforeNs) {
  std::map<std::string, std::deque<LogEntry>> held;
  for (const LogEntry& e : lines) {
    if (e.ns >= beforeNs) break;
    // "out1 9c nn vv": status, note, velocity.
    std::string status = e.text.substr(5, 2), note = e.text.substr(8, 2), velocity = e.text.substr(11, 2);
    bool on = status[0] == '9' && velocity != "00";
    bool off = status[0] == '8' || (status[0] == '9' && velocity == "00");
    std::string key = status.substr(1) + note;
    if (on) held[key].push_back(e);
    if (off && !held[key].empty()) held[key].pop_front();
  }
  std::vector<LogEntry> out;
  for (auto& [key, queue] : held) out.insert(out.end(), queue.begin(), queue.end());
  return out;
}

TEST(Recording, ALongLoopRecordingKeepsEveryPassAndReleasesEveryNote) {
  // A one-beat loop at 6000 quarters a minute (120 ticks, 10 ms a pass) for over 2000 passes, with
  // thru and the metronome on, notes, controllers and sysex on some passes, the filter and the thru
  // settings changed while keys are held, and first a recording client that dies holding notes.
  Fixture f(1 | 2 | 8, {{"MtrDev", "0"}});
  tovu::SongBuilder fast;
  fast.Tempo(0, 6000);
  fast.End(1920);
  const std::vector<uint8_t> song = fast.Build();
  auto start = [&](tovu::Client& c) {
    ASSERT_TRUE(tovu::LoadSong(c, song));
    std::vector<uint8_t> request = StartRequest(0, true, true, 0, 120);
    ASSERT_TRUE(tovu::SendCopyData(c, 21, 0, request.data(), 32));
    ASSERT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyStarted, 5000));
  };
  tovu::ThruSettings thru;
  thru.device = 1;
  thru.channel = -1;
  {
    tovu::Client doomed;
    ASSERT_TRUE(f.env.ConnectRegistered(doomed));
    ASSERT_TRUE(Fixture::OpenPorts(doomed, 1, 1 | 8));
    ASSERT_TRUE(tovu::SetThru(doomed, thru));
    start(doomed);
    f.Feed("1 90 3c 64");
    f.Feed("1 90 3e 64");
    Fixture::Pass(doomed, 300);
    f.Feed("1 80 3c 00");
    Fixture::Pass(doomed, 200);
    tovu::Disconnect(doomed);
  }
  ASSERT_TRUE(WaitStopped(f.client));
  Fixture::Pass(f.client, 100);
  int64_t firstRoundEnd = platform::MonotonicNs();
  EXPECT_TRUE(Unreleased(f.Out("out1"), firstRoundEnd).empty());
  EXPECT_TRUE(Unreleased(f.Out("out0"), firstRoundEnd).empty());

  ASSERT_TRUE(tovu::SetThru(f.client, thru));
  start(f.client);
  int64_t began = platform::MonotonicNs();
  int notes = 0, controllers = 0, sysex = 0;
  char line[64];
  for (int k = 0; platform::MonotonicNs() - began < 21000 * kMs; ++k) {
    int note = 48 + k % 24;
    snprintf(line, sizeof line, "0 90 %02x 64", note);
    f.Feed(line);
    if (k % 4 == 1) {  // thru changes while the key is held
      thru.transpose = k % 8 == 1 ? 12 : 0;
      ASSERT_TRUE(tovu::SetThru(f.client, thru));
    }
    Fixture::Pass(f.client, 3 + 7 * (k % 5));  // some releases fall past a wrap
    snprintf(line, sizeof line, "0 80 %02x 00", note);
    f.Feed(line);
    notes += 2;
    if (k % 3 == 0) {
      snprintf(line, sizeof line, "0 f0 %02x 01 f7", k & 0x7F);
      f.Feed(line);
      ++sysex;
    }
    if (k % 7 == 3) {
      f.Feed("0 b0 40 7f");
      Fixture::Pass(f.client, 25);
      f.Feed("0 b0 40 00");
      controllers += 2;
    }
    if (k % 10 == 5) {  // a key held while the filter narrows to controllers and back
      f.Feed("0 90 24 64");
      Fixture::Pass(f.client, 50);
      ASSERT_TRUE(tovu::SetInputFilter(f.client, 0xFFFF, 2 | 8));
      Fixture::Pass(f.client, 50);
      f.Feed("0 80 24 00");  // refused
      Fixture::Pass(f.client, 50);
      ASSERT_TRUE(tovu::SetInputFilter(f.client, 0xFFFF, 1 | 2 | 8));
      notes += 1;
    }
    Fixture::Pass(f.client, 600);
  }
  int64_t stopNs = platform::MonotonicNs();
  tovu::Take take;
  ASSERT_TRUE(Fixture::StopForTake(f.client, &take, 20000));
  Fixture::Pass(f.client, 100);
  for (auto& n : tovu::TakeNotifications(f.client)) EXPECT_NE(n.code, tovu::kNotifyFailed) << n.lParam;

  // Every pass has its marker, at the loop end, and every pass after the first lies in the loop.
  auto passes = tovu::TakePasses(take);
  EXPECT_GE(passes.size(), 2000u);
  size_t markers = 0;
  for (size_t i = 0; i + 1 < take.events.size(); ++i)
    if (tovu::IsEndMarker(take.events[i].event)) {
      ++markers;
      ASSERT_EQ(take.events[i].tick, 120);
    }
  EXPECT_EQ(markers + 1, passes.size());
  int recordedNotes = 0, recordedControllers = 0;
  for (size_t i = 0; i < passes.size(); ++i)
    for (const auto& e : passes[i]) {
      if (i > 0) {
        ASSERT_GE(e.tick, 0) << "pass " << i;
        ASSERT_LT(e.tick, 120) << "pass " << i;
      }
      uint32_t kind = e.event & 0xF0;
      recordedNotes += kind == 0x80 || kind == 0x90;
      recordedControllers += kind == 0xB0;
    }
  // Nothing was dropped: every note and controller admitted, every sysex message, whole.
  EXPECT_EQ(recordedNotes, notes);
  EXPECT_EQ(recordedControllers, controllers);
  EXPECT_EQ(static_cast<int>(take.sysex.size()), sysex);

  // Every note-on that thru and the echo played, and every click, was released before the stop
  // (allowing a few passes for what was struck just before it).
  for (const char* port : {"out1", "out0"}) {
    std::vector<LogEntry> hung = Unreleased(f.Out(port), stopNs);
    for (const LogEntry& e : hung) EXPECT_GT(e.ns, stopNs - 100 * kMs) << port << " " << e.text;
  }
  EXPECT_TRUE(f.engine.Running());
}

}  // namespace

// A take that cannot be queued for its client (the client stopped reading and its output is at the
// cap) is not dropped without a word: notification 10 error 12 reaches the client in its place.
TEST(Recording, ATakeThatCannotBeQueuedIsReportedWithError12) {
  Fixture f;
  f.Start(f.client, StartRequest(0, true));
  f.Pass(f.client, 500);  // past the count-in
  for (int i = 0; i < 100; ++i) f.Feed("0 90 3c 64");
  f.Pass(f.client, 300);
  // The client reads nothing now, and asks for port lists (196 bytes each) until far more than its
  // 16 MiB of output could hold are on their way.
  tovu::Client other;
  ASSERT_TRUE(f.env.ConnectRegistered(other));
  for (int i = 0; i < 100000; ++i)
    ASSERT_TRUE(tovu::Post(f.client, tovu::kEngineCommand, tovu::kCommandOutputPorts, f.client.window));
  ASSERT_TRUE(tovu::Post(f.client, tovu::kEngineCommand, tovu::kCommandStop, f.client.window));
  // The other client learns of the stop (notification 5) once the engine has come to it.
  ASSERT_TRUE(tovu::WaitForNotification(other, tovu::kNotifyStopped, 60000));
  bool take = false, error12 = false;
  WaitUntil(
      [&] {
        tovu::PumpMessages(f.client, 5);
        for (tovu::Message& m : tovu::TakeInbox(f.client)) {
          tovu::NotificationInfo n;
          if (tovu::IsCopyData(m, tovu::kCopyTake)) take = true;
          if (tovu::AsNotification(m, &n) && n.code == tovu::kNotifyFailed && n.lParam == tovu::kErrorOutOfMemory)
            error12 = true;
        }
        return error12;
      },
      10000);
  EXPECT_FALSE(take) << "the output was not full";
  EXPECT_TRUE(error12) << "the take was dropped without a word";
}
