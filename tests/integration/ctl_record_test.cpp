// tovu-ctl record against a real engine with a virtual input: what is fed into the input FIFO comes
// back, read by mido (an independent reader), as the events of the written file (the count-in's
// left out, the metronome heard), with a marker at each loop pass; a recording with nothing in it
// writes no file; an engine without inputs is refused. The tool's course is also checked against a
// stand-in engine that delivers a made-up take.
//
// Threads: the test thread only; tovu-ctl and the engine run as child processes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"
#include "integration/support/raw_bus.h"
#include "support/mido_writer.h"
#include "support/take_bytes.h"

namespace {

// mido's reading of the file: "<track> <tick> <type> <field>=<value>..." per message.
std::vector<std::string> Dump(const EngineEnv& env, const std::string& file) {
  return MidoDump(file, env.dir + "/dump.txt");
}

// One line of mido's reading, taken apart.
struct DumpLine {
  int track = 0;
  long tick = 0;
  std::string message;  // "note_on channel=0 note=60 velocity=100"
};
DumpLine ParseDumpLine(const std::string& line) {
  DumpLine d;
  std::istringstream fields(line);
  fields >> d.track >> d.tick;
  std::getline(fields, d.message);
  if (!d.message.empty()) d.message = d.message.substr(1);
  return d;
}

// The messages of track 1 without their ticks, and their ticks.
void Track1(const std::vector<std::string>& dump, std::vector<std::string>* messages, std::vector<long>* ticks) {
  for (const std::string& line : dump) {
    DumpLine d = ParseDumpLine(line);
    if (d.track != 1 || d.message == "end_of_track ") continue;
    messages->push_back(d.message);
    ticks->push_back(d.tick);
  }
}

struct RecordEnv {
  EngineEnv own;  // unused when the test prepared an environment
  EngineEnv& env;
  EngineProcess engine;
  explicit RecordEnv(const char* inputs = "1") : env(own) {
    env.vars["TOVU_VIRTUAL_OUTPUTS"] = "2";
    env.vars["TOVU_VIRTUAL_INPUTS"] = inputs;
    EXPECT_TRUE(engine.Start(env));
  }
  // An engine in an environment prepared by the test (its settings written).
  explicit RecordEnv(EngineEnv& prepared) : env(prepared) { EXPECT_TRUE(engine.Start(env)); }
  // Writes lines "<input id> <hex bytes>" into the input FIFO.
  void Feed(const std::string& line) const {
    int fd = open(env.fifoPath.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string text = line + "\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }
};

TEST(CtlRecord, NothingRecordedWritesNoFileAndNoInputIsRefused) {
  {
    RecordEnv r;
    std::string file = r.env.dir + "/take.mid";
    EXPECT_EQ(r.env.RunCtl({"record", file, "--bars", "1", "--tempo-less-option"}, 20000), 2);
    EXPECT_EQ(r.env.RunCtl({"record", file, "--bars", "1"}, 20000), 1);
    EXPECT_NE(ReadText(r.env.dir + "/ctl.err").find("nothing was recorded"), std::string::npos)
        << ReadText(r.env.dir + "/ctl.err");
    EXPECT_FALSE(std::ifstream(file).good());
    std::string out = ReadText(r.env.dir + "/ctl.out");  // stopped once bar 2 was reached
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1, 2), "2.") << out;
    EXPECT_EQ(r.engine.Wait(10000), 0);
  }
  {
    RecordEnv r("0");
    EXPECT_EQ(r.env.RunCtl({"record", r.env.dir + "/take.mid"}, 20000), 1);
    EXPECT_NE(ReadText(r.env.dir + "/ctl.err").find("no input ports"), std::string::npos);
    EXPECT_EQ(r.engine.Wait(10000), 0);
  }
}

// A stand-in for the engine on the bus, enough for one recording client: it answers registration,
// port lists, the port opening, the load and the start, reports positions up to `stopAt`, and at
// the client's stop posts notification 5 and sends `take` as copy-data type 28. It notes the
// copy-data types it was sent and their payloads.
struct FakeRecorder {
  std::string path;
  std::vector<uint8_t> take;
  int32_t stopAt = 1920;
  std::map<uint32_t, std::vector<uint8_t>> received;
  int listener = -1;

  bool Listen() {
    mkdir(path.substr(0, path.rfind('/')).c_str(), 0700);
    listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listener, 1) == 0;
  }

  void Serve() {
    RawConnection c;
    c.fd = accept(listener, nullptr, nullptr);
    if (c.fd < 0) return;  // the listener was shut down: the client never came
    const uint32_t engine = 1, window = 2;
    RawFrame hello;
    hello.kind = 4;
    hello.msg = 1;
    hello.wParam = engine;
    hello.lParam = window;
    c.Write(hello);
    uint32_t id = 100;
    auto send = [&](uint32_t msg, uint32_t lParam, uint32_t type, std::vector<uint8_t> payload) {
      c.Write(SendFrame(++id, window, msg, engine, lParam, type, std::move(payload)));
    };
    auto post = [&](uint32_t code, uint32_t lParam) { c.Write(PostFrame(window, 1624, code, lParam)); };
    for (;;) {
      RawFrame f;
      if (c.Read(&f, 20000) != RawRead::kFrame) return;
      if (f.kind != 2) continue;  // replies to our own sends, posts
      int32_t result = 0;
      if (f.msg == 1624) {
        if (f.wParam == 2 || f.wParam == 24) {
          std::vector<uint8_t> record(f.wParam == 2 ? 80 : 72, 0);
          memcpy(record.data(), "Fake Port", 9);
          send(0x4A, 0, f.wParam, record);
        } else if (f.wParam == 3) {
          result = 300;
        } else if (f.wParam == 5) {
          post(5, 1);
          send(0x4A, 0, 28, take);
        }
        c.Write(ReplyFrame(f.id, result));
        if (f.wParam == 1) return;
        continue;
      }
      uint32_t type = f.dwData & 0xFFFF;
      received[type] = f.payload;
      if (type == 13) send(0x4A, 0, 13, std::vector<uint8_t>(1080, 0));
      c.Write(ReplyFrame(f.id, 1));
      if (type == 21) {
        send(1626, 0, 0, {});
        post(21, 1);
        for (int32_t tick = 0; tick <= stopAt; tick += 120) send(1625, static_cast<uint32_t>(tick), 0, {});
      }
    }
  }
};

TEST(CtlRecord, TheTakeIsWrittenAsAFileThatMidoReads) {
  EngineEnv env;
  FakeRecorder fake;
  fake.path = env.socketPath;
  tovu::Take take;  // one bar of 4/4 at 480 per quarter, counted in, then a note, a controller, sysex
  take.recordStartTick = 0;
  take.countInLength = 1920;
  take.events = {{-30, 0x00403090}, {100, 0x00643C90}, {340, 0x004001B0}, {400, 0x00003C90}, {500, 0xF0}, {1930, 0xFF}};
  take.sysex = {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}};
  fake.take = TakeBytes(take);
  ASSERT_TRUE(fake.Listen());
  std::thread server([&] { fake.Serve(); });
  std::string file = env.dir + "/take.mid";
  int status = env.RunCtl({"record", file, "--bars", "1", "--in", "0", "--click", "0", "--count-in",
                                       "--thru", "0"}, 30000);
  shutdown(fake.listener, SHUT_RDWR);  // ends a wait for a client that never came
  server.join();
  close(fake.listener);
  EXPECT_EQ(status, 0) << ReadText(env.dir + "/ctl.err");
  EXPECT_NE(ReadText(env.dir + "/ctl.out").find("wrote " + file + ": 5 events recorded, 1 left out"), std::string::npos)
      << ReadText(env.dir + "/ctl.out");
  // The start asked for recording, every sysex, no loop; the metronome and thru went to device 0 and
  // were switched off again at the end.
  ASSERT_EQ(fake.received[21].size(), 32u);
  EXPECT_EQ(fake.received[21][24], 1);
  EXPECT_EQ(fake.received[21][12], 0);
  ASSERT_EQ(fake.received[27].size(), 16u);
  EXPECT_EQ(fake.received[27][0] | fake.received[27][1] << 8, 0x8000);
  EXPECT_EQ(fake.received[29][0] | fake.received[29][1] << 8, 0x8000);
  std::vector<std::string> messages;
  std::vector<long> ticks;
  Track1(Dump(env, file), &messages, &ticks);
  EXPECT_EQ(messages, (std::vector<std::string>{"note_on channel=0 note=60 velocity=100",
                                                "control_change channel=0 control=1 value=64",
                                                "note_on channel=0 note=60 velocity=0",
                                                "sysex data=[126, 127, 6, 1]"}));
  EXPECT_EQ(ticks, (std::vector<long>{100, 340, 400, 500}));
}

// What arrives at the input is written as played, with whole notes: the release of a note struck in
// the count-in is left out, and a note and the sustain pedal still held at the end are released
// there. The click plays the engine's own metronome channel and notes (from its settings store),
// and the downbeat after the last bar is not clicked.
TEST(CtlRecord, WhatArrivesAtTheInputIsWrittenAsPlayedWithWholeNotes) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "2";
  env.WriteSetting("MtrChan", "15");
  env.WriteSetting("MtrNM", "40");
  env.WriteSetting("MtrNB", "41");
  RecordEnv r(env);
  tovu::Client keeper;  // keeps the engine up after tovu-ctl has gone, to read its metronome back
  ASSERT_TRUE(r.env.ConnectRegistered(keeper));
  std::string file = r.env.dir + "/take.mid";
  pid_t ctl = r.env.StartCtl({"record", file, "--bars", "2", "--in", "0", "--click", "1", "--count-in"});
  auto barClicks = [&] {
    std::vector<std::string> log = r.env.LogLines();
    return std::count(log.begin(), log.end(), "data out1 9f 28 7e");
  };
  ASSERT_TRUE(WaitUntil([&] { return barClicks() >= 1; }, 10000));  // the count-in bar (2 s at 120 bpm)
  r.Feed("0 90 30 64");  // during the count-in: left out of the file
  ASSERT_TRUE(WaitUntil([&] { return barClicks() >= 2; }, 10000));  // bar 1: recording
  r.Feed("0 80 30 40");  // its release, after the start: left out too
  r.Feed("0 90 3c 64");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // 240 ticks at 120 bpm, 480 per quarter
  r.Feed("0 b0 01 40");
  r.Feed("0 90 3c 00");
  r.Feed("0 f0 7e 7f 06 01 f7");
  r.Feed("0 90 3e 50");  // held to the end, under the sustain pedal
  r.Feed("0 b0 40 7f");
  EXPECT_EQ(WaitExit(ctl, 20000), 0) << ReadText(r.env.dir + "/ctl.err");
  EXPECT_NE(ReadText(r.env.dir + "/ctl.out").find(": 8 events recorded, 2 left out"), std::string::npos)
      << ReadText(r.env.dir + "/ctl.out");
  // The metronome clicked on output 1 with the engine's settings, channel 16: a bar click (note 40)
  // for the count-in bar and each of the two bars, none on the downbeat after them; beat clicks (41)
  // on the other beats.
  std::vector<std::string> log = r.env.LogLines();
  EXPECT_EQ(barClicks(), 3);
  EXPECT_EQ(std::count(log.begin(), log.end(), "data out1 9f 29 64"), 9);
  EXPECT_TRUE(Grep(log, "data out1 99 ").empty());
  std::vector<std::string> messages;
  std::vector<long> ticks;
  Track1(Dump(r.env, file), &messages, &ticks);
  EXPECT_EQ(messages, (std::vector<std::string>{"note_on channel=0 note=60 velocity=100",
                                                "control_change channel=0 control=1 value=64",
                                                "note_on channel=0 note=60 velocity=0",
                                                "sysex data=[126, 127, 6, 1]",
                                                "note_on channel=0 note=62 velocity=80",
                                                "control_change channel=0 control=64 value=127",
                                                "note_on channel=0 note=62 velocity=0",
                                                "control_change channel=0 control=64 value=0"}));
  if (ticks.size() == 8) {
    // 250 ms apart as fed; a busy machine may only delay the second (bounded loosely).
    EXPECT_GE(ticks[1] - ticks[0], 180);
    EXPECT_LE(ticks[1] - ticks[0], 1200);
    EXPECT_LE(ticks[5], 3840);
    EXPECT_GE(ticks[6], 3840);  // released where the take ends, at the stop after the second bar
    EXPECT_EQ(ticks[7], ticks[6]);
  }
  // The engine's metronome is as it was: its settings, not tovu-ctl's.
  tovu::MetronomeSettings after;
  ASSERT_TRUE(tovu::RequestMetronomeSettings(keeper, &after));
  EXPECT_EQ(after.channel, 15);
  EXPECT_EQ(after.measureNote, 40);
  EXPECT_EQ(after.beatNote, 41);
  EXPECT_EQ(r.engine.EndWith(keeper), 0);
}

TEST(CtlRecord, ALoopRecordingMarksEachPass) {
  RecordEnv r;
  std::string file = r.env.dir + "/loop.mid";
  pid_t ctl = r.env.StartCtl({"record", file, "--bars", "1", "--loop"});
  ASSERT_TRUE(WaitForLogLine(r.env, "open in0", 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  r.Feed("0 90 40 64");
  r.Feed("0 90 40 00");
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // one 4/4 bar at 120 bpm: the next pass
  r.Feed("0 90 43 64");
  r.Feed("0 90 43 00");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(ctl, SIGINT);
  EXPECT_EQ(WaitExit(ctl, 20000), 0) << ReadText(r.env.dir + "/ctl.err");
  std::vector<std::string> messages;
  std::vector<long> ticks;
  Track1(Dump(r.env, file), &messages, &ticks);
  ASSERT_EQ(messages.size(), 6u) << testing::PrintToString(messages);
  EXPECT_EQ(messages[0], "marker text='pass 1'");
  EXPECT_EQ(messages[1], "note_on channel=0 note=64 velocity=100");
  EXPECT_EQ(messages[3], "marker text='pass 2'");
  EXPECT_EQ(ticks[3], 1920);
  EXPECT_EQ(messages[4], "note_on channel=0 note=67 velocity=100");
  EXPECT_GT(ticks[4], 1920);
}

// Without a backing file: the song's tempo, time signature and resolution from the command line,
// and a count-in of two bars, the first clicked by tovu-ctl and the second by the engine, shown as
// counting in. The file mido reads back has them all.
TEST(CtlRecord, SettingsWithoutABackingFileAndATwoBarCountIn) {
  RecordEnv r;
  std::string file = r.env.dir + "/waltz.mid";
  EXPECT_EQ(r.env.RunCtl({"record", file, "--time-signature", "3/5"}, 20000), 2);
  EXPECT_EQ(r.env.RunCtl({"record", file, "--ppq", "90"}, 20000), 2);
  EXPECT_EQ(r.env.RunCtl({"record", file, "--count-in", "2"}, 20000), 2);  // needs --click
  EXPECT_EQ(r.env.RunCtl({"record", file, "--click", "out 2", "--click-notes", "76"}, 20000), 2);
  EXPECT_EQ(r.env.RunCtl({"record", file, "--click-notes", "76,77"}, 20000), 2);  // needs --click
  pid_t ctl = r.env.StartCtl({"record", file, "--bpm", "120", "--time-signature", "3/4", "--ppq", "96", "--click",
                               "out 2", "--click-notes", "76,77", "--count-in", "2", "--bars", "2"});
  // The bar clicks of both count-in bars (1.5 s each) have sounded: recording begins.
  auto barClicks = [&] {
    std::vector<std::string> log = r.env.LogLines();
    return std::count(log.begin(), log.end(), "data out1 99 4c 7e");
  };
  ASSERT_TRUE(WaitUntil([&] { return barClicks() >= 2; }, 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500 + 400));  // into the first recorded bar
  r.Feed("0 90 3c 64");
  r.Feed("0 90 3c 00");
  EXPECT_EQ(WaitExit(ctl, 20000), 0) << ReadText(r.env.dir + "/ctl.err");
  // Bar clicks: two counted in (the first by tovu-ctl, on the notes given) and two recorded, and
  // none on the downbeat after them; each bar's two beat clicks as well.
  // The device's log may be written a little after tovu-ctl has ended on a busy machine.
  auto beatClicks = [&] {
    std::vector<std::string> log = r.env.LogLines();
    return std::count(log.begin(), log.end(), "data out1 99 4d 64");
  };
  WaitUntil([&] { return barClicks() >= 4 && beatClicks() >= 8; }, 5000);
  EXPECT_EQ(barClicks(), 4);
  EXPECT_EQ(beatClicks(), 8);
  std::string out = ReadText(r.env.dir + "/ctl.out");
  EXPECT_NE(out.find("count-in 1/2  beat 1\ncount-in 1/2  beat 2\ncount-in 1/2  beat 3\ncount-in 2/2  beat "),
            std::string::npos) << out;
  EXPECT_NE(out.find("/ 0:03.000"), std::string::npos) << out;  // two bars of 3/4 at 120
  std::vector<std::string> dump = Dump(r.env, file);
  EXPECT_NE(std::find(dump.begin(), dump.end(),
                      "0 0 time_signature clocks_per_click=24 denominator=4 notated_32nd_notes_per_beat=8 numerator=3"),
            dump.end()) << testing::PrintToString(dump);
  EXPECT_NE(std::find(dump.begin(), dump.end(), "0 0 set_tempo tempo=500000"), dump.end());
  std::string command = "/usr/bin/python3 " TOVU_SOURCE_DIR "/tests/smf/make_midi.py header " + file + " > " +
                        r.env.dir + "/header.txt";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadText(r.env.dir + "/header.txt"), "type=1 ticks_per_beat=96\n");
  std::vector<std::string> messages;
  std::vector<long> ticks;
  Track1(dump, &messages, &ticks);
  ASSERT_EQ(messages.size(), 2u) << testing::PrintToString(dump);
  EXPECT_EQ(messages[0], "note_on channel=0 note=60 velocity=100");
  EXPECT_GE(ticks[0], 0);
  EXPECT_LT(ticks[0], 3 * 96 * 2);
}


// The position display's labels agree with its times whatever the metre and tempo: at 90 bpm in 3/4
// and in 6/8, each line's bar.beat.sixteenth lies where its time does, and the end is the next
// bar's downbeat.
TEST(CtlRecord, PositionsAreLabelledWhereTheyLie) {
  RecordEnv r;
  for (auto [signature, beats, beatMs] : std::vector<std::tuple<std::string, int, double>>{
           {"3/4", 3, 60000.0 / 90}, {"6/8", 6, 30000.0 / 90}}) {
    EXPECT_EQ(r.env.RunCtl({"record", r.env.dir + "/x.mid", "--bars", "1", "--bpm", "90", "--time-signature", signature},
                           20000), 1);  // nothing recorded
    std::istringstream lines(ReadText(r.env.dir + "/ctl.out"));
    std::string line, last;
    while (std::getline(lines, line)) {
      long bar, beat, sixteenth, minutes;
      double seconds;
      ASSERT_EQ(sscanf(line.c_str(), "%ld.%ld.%ld  %ld:%lf", &bar, &beat, &sixteenth, &minutes, &seconds), 5) << line;
      double labelMs = ((bar - 1) * beats + (beat - 1)) * beatMs + (sixteenth - 1) * 15000.0 / 90;
      EXPECT_NEAR(labelMs, (minutes * 60 + seconds) * 1000, 1.0) << signature << ": " << line;
      last = line;
    }
    EXPECT_EQ(last.rfind("2.1.", 0), 0u) << signature << ": " << last;  // stopped at the next bar
  }
}

// --split-channels writes a track per channel; --merge writes the --with file with the take added
// as new tracks, each loop pass on its own at the song's own ticks, the song's tracks as they were.
TEST(CtlRecord, ATakeSplitByChannelAndMergedOntoItsSong) {
  RecordEnv r;
  std::string song = r.env.dir + "/song.mid", file = r.env.dir + "/merged.mid";
  ASSERT_TRUE(RunMidoWriter("song " + song + " " + song + ".txt"));
  EXPECT_EQ(r.env.RunCtl({"record", file, "--merge"}, 20000), 2);  // needs --with
  // Bar 1 of the song is 3/4 at 150 bpm: a pass of 1.2 s, each begun by the click's bar note (60 on
  // channel 10, out 2), after a bar counted in.
  pid_t ctl = r.env.StartCtl({"record", file, "--with", song, "--out", "0,1", "--merge", "--split-channels", "--bars", "1",
                               "--loop", "--click", "1"});
  auto barClicks = [&] {
    std::vector<std::string> log = r.env.LogLines();
    return std::count(log.begin(), log.end(), "data out1 99 3c 7e");
  };
  ASSERT_TRUE(WaitUntil([&] { return barClicks() >= 2; }, 10000));  // the first pass
  r.Feed("0 90 3c 64");
  r.Feed("0 91 40 64");
  r.Feed("0 90 3c 00");
  r.Feed("0 91 40 00");
  ASSERT_TRUE(WaitUntil([&] { return barClicks() >= 3; }, 10000));  // the second
  r.Feed("0 90 43 64");  // held to the end
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(ctl, SIGINT);
  EXPECT_EQ(WaitExit(ctl, 20000), 0) << ReadText(r.env.dir + "/ctl.err");
  EXPECT_NE(ReadText(r.env.dir + "/ctl.out").find("5 events recorded, 0 left out"), std::string::npos)
      << ReadText(r.env.dir + "/ctl.out");
  std::vector<std::string> original = MidoDump(song, r.env.dir + "/original.txt"), merged = Dump(r.env, file);
  std::vector<std::string> kept(merged.begin(), merged.begin() + std::min(merged.size(), original.size()));
  EXPECT_EQ(kept, original);
  std::string command = "/usr/bin/python3 " TOVU_SOURCE_DIR "/tests/smf/make_midi.py header " + file + " > " +
                        r.env.dir + "/header.txt";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadText(r.env.dir + "/header.txt"), "type=1 ticks_per_beat=96\n");
  // The added tracks (3 on): their messages without ticks, and every tick inside the pass's bar. The
  // last note went into the pass after the first (on a busy machine maybe a later one): its track is
  // the third added, whatever its pass.
  std::map<int, std::vector<std::string>> tracks;
  for (const std::string& line : merged) {
    DumpLine d = ParseDumpLine(line);
    if (d.track < 3) continue;
    tracks[d.track].push_back(d.message);
    EXPECT_GE(d.tick, 0) << line;
    EXPECT_LE(d.tick, 288) << line;  // a 3/4 bar at 96 ticks per quarter
  }
  EXPECT_EQ(tracks, (std::map<int, std::vector<std::string>>{
                        {3, {"track_name name='take, pass 1, channel 1'", "note_on channel=0 note=60 velocity=100",
                             "note_on channel=0 note=60 velocity=0", "end_of_track "}},
                        {4, {"track_name name='take, pass 1, channel 2'", "note_on channel=1 note=64 velocity=100",
                             "note_on channel=1 note=64 velocity=0", "end_of_track "}},
                        {5, {tracks[5].empty() ? "" : tracks[5][0], "note_on channel=0 note=67 velocity=100",
                             "note_on channel=0 note=67 velocity=0", "end_of_track "}}}));
  ASSERT_FALSE(tracks[5].empty());
  EXPECT_EQ(tracks[5][0].rfind("track_name name='take, pass ", 0), 0u) << tracks[5][0];
  EXPECT_NE(tracks[5][0], "track_name name='take, pass 1, channel 1'");
}

}  // namespace

// record --clock-in: the take is stamped on the master's pulses, not the song's tempo. The master
// runs a quarter in 24 pulses 4 ms apart (about 625 bpm where the song says 10): a note struck at
// pulse 24 and released at pulse 48 lands near beats 2 and 3 (ticks 480 and 960 at 480 a quarter;
// a stalled test thread lets the engine's estimate run on up to a quarter's pulses before the
// next arrives),
// where the song's own tempo would have put them before tick 240 for seconds yet; and the take ends
// at bar 2 as the master's pulses reach it.
TEST(CtlRecord, ATakeAgainstAMastersClockLandsOnItsBeats) {
  RecordEnv r;
  std::string file = r.env.dir + "/take.mid";
  pid_t ctl = r.env.StartCtl({"record", file, "--bars", "1", "--in", "0", "--clock-in", "0", "--click", "1",
                               "--bpm", "10"});
  int fifo = -1;  // made by the engine as it starts its service
  ASSERT_TRUE(WaitUntil([&] { return (fifo = open(r.env.fifoPath.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, 10000));
  fcntl(fifo, F_SETFL, 0);
  struct IgnorePipe {  // the engine leaves with the command, its last client
    void (*before)(int) = signal(SIGPIPE, SIG_IGN);
    ~IgnorePipe() { signal(SIGPIPE, before); }
  } ignorePipe;
  auto send = [&](const std::string& message) {
    std::string line = "0 " + message + "\n";
    return write(fifo, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  };
  // A master's start before the recording began goes unheard: it starts until the click's first
  // note (at tick 0, played by the first pulse) is heard, then once more from the top.
  ASSERT_TRUE(WaitUntil([&] {
    send("fa");
    send("f8");
    return !Grep(r.env.LogLines(), "data out1 9").empty();
  }, 10000)) << ReadText(r.env.dir + "/ctl.err");
  send("fa");
  for (int pulse = 0; pulse < 120 && send("f8"); ++pulse) {
    if (pulse == 24) send("90 3c 64");
    if (pulse == 48) send("90 3c 00");
    usleep(4000);
  }
  close(fifo);
  EXPECT_EQ(WaitExit(ctl, 20000), 0) << ReadText(r.env.dir + "/ctl.err");
  std::vector<std::string> messages;
  std::vector<long> ticks;
  Track1(Dump(r.env, file), &messages, &ticks);
  ASSERT_EQ(messages, (std::vector<std::string>{"note_on channel=0 note=60 velocity=100",
                                                "note_on channel=0 note=60 velocity=0"}));
  EXPECT_GE(ticks[0], 420);
  EXPECT_LE(ticks[0], 720);
  EXPECT_GE(ticks[1], 900);
  EXPECT_LE(ticks[1], 1200);
}

// An input that goes while recording and comes back: tovu-ctl names both on lines of their own and
// carries on, and the take keeps what arrived before the input went as well as what came after.
TEST(CtlRecord, AnInputThatGoesAndComesBackIsNamedAndTheTakeKeepsBoth) {
  RecordEnv r("Keys");
  std::string file = r.env.dir + "/gone.mid";
  pid_t ctl = r.env.StartCtl({"record", file, "--in", "keys"});
  ASSERT_TRUE(WaitForLogLine(r.env, "open in0", 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  r.Feed("0 90 3c 64");
  r.Feed("0 90 3c 00");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(r.env.Control("remove in Keys"));
  ASSERT_TRUE(WaitUntil([&] { return ReadText(r.env.dir + "/ctl.out").find("has gone") != std::string::npos; }, 20000))
      << ReadText(r.env.dir + "/ctl.out");
  ASSERT_TRUE(r.env.Control("add in Keys"));
  ASSERT_TRUE(WaitUntil([&] { return ReadText(r.env.dir + "/ctl.out").find("is back") != std::string::npos; }, 20000))
      << ReadText(r.env.dir + "/ctl.out");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  r.Feed("0 90 3e 64");
  r.Feed("0 90 3e 00");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(ctl, SIGINT);
  EXPECT_EQ(WaitExit(ctl, 20000), 0) << ReadText(r.env.dir + "/ctl.err");
  const std::string out = ReadText(r.env.dir + "/ctl.out");
  const size_t gone = out.find("input 0 \"Keys\" has gone"), back = out.find("input 0 \"Keys\" is back");
  EXPECT_NE(gone, std::string::npos) << out;
  EXPECT_NE(back, std::string::npos) << out;
  EXPECT_LT(gone, back) << out;
  std::vector<std::string> messages;
  std::vector<long> ticks;
  Track1(Dump(r.env, file), &messages, &ticks);
  std::vector<std::string> struck;
  for (const std::string& m : messages)
    if (m.rfind("note_on", 0) == 0 && m.find("velocity=0") == std::string::npos) struck.push_back(m);
  EXPECT_EQ(struck, (std::vector<std::string>{"note_on channel=0 note=60 velocity=100", "note_on channel=0 note=62 velocity=100"}));
}
