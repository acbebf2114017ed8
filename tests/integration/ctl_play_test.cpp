// tovu-ctl play against a real engine with virtual outputs: files written by mido (an independent
// writer) arrive at the devices as mido lists them, at their times; a start in the middle restores
// bank, program, parameters and sysex first; Ctrl-C stops with status 130 and leaves no note
// sounding; usage, unreadable and malformed files give statuses 2 and 1 with their messages. The
// 2,000-event file with tempo changes prints its timing distribution (asserted only loosely).
//
// Threads: the test thread only; tovu-ctl and the engine run as child processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"

namespace {

// Starts tovu-ctl with `args` in the environment of `env`, its output and errors to files there.
pid_t StartCtl(const EngineEnv& env, const std::vector<std::string>& args, const std::string& name = "ctl") {
  std::string out = env.dir + "/" + name + ".out", err = env.dir + "/" + name + ".err";
  pid_t pid = fork();
  if (pid == 0) {
    env.Export();
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv{const_cast<char*>(TOVU_CTL_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TOVU_CTL_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int RunCtl(const EngineEnv& env, const std::vector<std::string>& args, int timeoutMs = 60000) {
  return WaitExit(StartCtl(env, args), timeoutMs);
}

bool WriteMidi(const EngineEnv& env, const std::string& args) {
  std::string command = "/usr/bin/python3 " TOVU_SOURCE_DIR "/tests/smf/make_midi.py " + args;
  (void)env;
  return std::system(command.c_str()) == 0;
}

struct Expected {
  double seconds;
  std::string text;  // "out<port> <hex>"
};

std::vector<Expected> ReadExpected(const std::string& path) {
  std::vector<Expected> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    double seconds;
    int port;
    fields >> seconds >> port;
    std::string rest;
    std::getline(fields, rest);
    out.push_back({seconds, "out" + std::to_string(port) + rest});
  }
  return out;
}

std::vector<LogEntry> DataEntries(const EngineEnv& env) {
  std::vector<LogEntry> out;
  for (LogEntry& e : ReadTimedLog(env))
    if (e.text.rfind("data ", 0) == 0) out.push_back({e.ns, e.text.substr(5)});
  return out;
}

// Signed timing errors in milliseconds, each event against the first, after checking the bytes.
// `speed` is the tempo factor the file was played at.
std::vector<double> CompareTimed(const std::vector<Expected>& expected, const std::vector<LogEntry>& got,
                                 double speed = 1.0) {
  std::vector<double> errors;
  EXPECT_EQ(got.size(), expected.size());
  if (got.size() != expected.size() || got.empty()) return errors;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].text, expected[i].text) << "event " << i;
    double actual = (got[i].ns - got[0].ns) / 1e6, ideal = (expected[i].seconds - expected[0].seconds) * 1e3 / speed;
    errors.push_back(actual - ideal);
  }
  return errors;
}

// Per port, channel and note: note-ons minus releases over the whole log.
std::map<std::string, int> Balance(const std::vector<LogEntry>& entries) {
  std::map<std::string, int> balance;
  for (const LogEntry& e : entries) {
    std::istringstream fields(e.text);
    std::string port;
    unsigned status = 0, note = 0, velocity = 0;
    fields >> port >> std::hex >> status >> note >> velocity;
    std::string key = port + " " + std::to_string(status & 0x0F) + " " + std::to_string(note);
    if ((status & 0xF0) == 0x90 && velocity > 0) ++balance[key];
    if ((status & 0xF0) == 0x80 || ((status & 0xF0) == 0x90 && velocity == 0)) --balance[key];
  }
  return balance;
}

struct PlayEnv {
  EngineEnv env;
  std::unique_ptr<EngineProcess> engine;
  PlayEnv() {
    env.vars["TOVU_VIRTUAL_OUTPUTS"] = "2";
    engine = std::make_unique<EngineProcess>(env.Start());
    EXPECT_TRUE(env.WaitReady());
  }
};

TEST(CtlPlay, AMidoSongArrivesAsWrittenAndOnTime) {
  PlayEnv p;
  std::string file = p.env.dir + "/song.mid", expected = p.env.dir + "/song.txt";
  ASSERT_TRUE(WriteMidi(p.env, "song " + file + " " + expected));
  EXPECT_EQ(RunCtl(p.env, {"play", file, "--out", "0,1", "--tempo", "4"}), 0) << ReadText(p.env.dir + "/ctl.err");
  std::vector<double> errors = CompareTimed(ReadExpected(expected), DataEntries(p.env), 4.0);
  // Generous: single events on a busy shared machine can be tens of milliseconds late; a fault in
  // tempo or ticks would shift many by far more.
  std::vector<double> sorted = errors;
  for (double& e : sorted) e = std::fabs(e);
  std::sort(sorted.begin(), sorted.end());
  if (!sorted.empty()) {
    EXPECT_LT(sorted[sorted.size() / 2], 2.0);
    EXPECT_LT(sorted.back(), 500.0);
  }
  // Plain position lines, since the output is a file, each "bar.beat.sixteenth  m:ss.mmm" and the
  // sounding notes; the last is the end (10.4.2, song time whatever the factor). The positions and
  // notes between come from the engine's idle-priority notifier, so a busy machine may skip some.
  std::string out = ReadText(p.env.dir + "/ctl.out");
  std::istringstream lines(out);
  std::string line, last;
  std::regex format(R"(\d+\.\d\.\d  \d+:\d\d\.\d{3}(  ch\d+: [A-G]#?-?\d( [A-G]#?-?\d)*)*)");
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, format)) << line;
    last = line;
  }
  EXPECT_EQ(last, "10.4.2  0:20.750");
  EXPECT_EQ(p.engine->Wait(10000), 0);  // the last client left: the engine closed
}

TEST(CtlPlay, TwoThousandEventsWithTempoChangesKeepTheirTimes) {
  PlayEnv p;
  std::string file = p.env.dir + "/dense.mid", expected = p.env.dir + "/dense.txt";
  ASSERT_TRUE(WriteMidi(p.env, "dense " + file + " " + expected + " 2000"));
  EXPECT_EQ(RunCtl(p.env, {"play", file}), 0) << ReadText(p.env.dir + "/ctl.err");
  std::vector<double> errors = CompareTimed(ReadExpected(expected), DataEntries(p.env));
  ASSERT_EQ(errors.size(), 2000u);
  std::vector<double> sorted = errors;
  for (double& e : sorted) e = std::fabs(e);
  std::sort(sorted.begin(), sorted.end());
  double mean = 0;
  for (double e : errors) mean += e / errors.size();
  printf("2000 events, |device time - file time| (ms): p50 %.3f  p90 %.3f  p99 %.3f  max %.3f  (signed mean %.3f)\n",
         sorted[1000], sorted[1800], sorted[1980], sorted.back(), mean);
  // Generous bounds (the figures above are what to read): a busy shared machine delays single
  // events by tens of milliseconds, while a tempo or re-timing fault would shift most of them.
  EXPECT_LT(sorted[1000], 2.0);
  EXPECT_LT(sorted.back(), 500.0);
}

TEST(CtlPlay, AStartInTheMiddleSendsTheStateFirst) {
  PlayEnv p;
  std::string file = p.env.dir + "/song.mid", expected = p.env.dir + "/song.txt";
  ASSERT_TRUE(WriteMidi(p.env, "song " + file + " " + expected));
  EXPECT_EQ(RunCtl(p.env, {"play", file, "--out", "0,1", "--from", "9.2", "--tempo", "4"}), 0)
      << ReadText(p.env.dir + "/ctl.err");
  std::vector<std::string> got;
  for (const LogEntry& e : DataEntries(p.env)) got.push_back(e.text);
  auto has = [&](const std::string& line) { return std::find(got.begin(), got.end(), line) != got.end(); };
  EXPECT_TRUE(has("out0 f0 7e 7f 09 01 f7"));
  EXPECT_TRUE(has("out0 b0 00 01") && has("out0 b0 20 03") && has("out0 c0 05"));
  EXPECT_TRUE(has("out0 b0 65 00") && has("out0 b0 06 0c"));
  // Bar 9 beat 2 is tick 2*288 + 6*384 + 96: the drum hits before it are not played again.
  size_t hits = std::count(got.begin(), got.end(), "out1 99 2a 64") + std::count(got.begin(), got.end(), "out1 99 24 64");
  EXPECT_EQ(hits, 7u);  // beats 2-4 of bar 9 and the four of bar 10
}

TEST(CtlPlay, CtrlCStopsWithStatus130AndNothingSounding) {
  PlayEnv p;
  std::string file = p.env.dir + "/dense.mid", expected = p.env.dir + "/dense.txt";
  ASSERT_TRUE(WriteMidi(p.env, "dense " + file + " " + expected + " 2000"));
  pid_t ctl = StartCtl(p.env, {"play", file, "--loop", "1-2"});
  ASSERT_TRUE(WaitUntil([&] { return DataEntries(p.env).size() > 200; }, 20000));
  kill(ctl, SIGINT);
  EXPECT_EQ(WaitExit(ctl, 20000), 130) << ReadText(p.env.dir + "/ctl.err");
  std::vector<LogEntry> entries = DataEntries(p.env);
  for (auto& [key, count] : Balance(entries)) EXPECT_LE(count, 0) << key << " still sounding";
  EXPECT_EQ(p.engine->Wait(10000), 0);
}

TEST(CtlPlay, HelpUsageAndBadFiles) {
  EngineEnv env;
  EXPECT_EQ(RunCtl(env, {"--help"}), 0);
  EXPECT_NE(ReadText(env.dir + "/ctl.out").find("play FILE.mid"), std::string::npos);
  for (const char* verb : {"play", "record", "info"}) {
    EXPECT_EQ(RunCtl(env, {verb, "--help"}), 0) << verb;
    std::string help = ReadText(env.dir + "/ctl.out");
    EXPECT_NE(help.find(std::string("usage: tovu-ctl ") + verb), std::string::npos) << help;
    EXPECT_NE(help.find("example"), std::string::npos) << help;
  }
  EXPECT_EQ(RunCtl(env, {"play"}), 2);
  EXPECT_EQ(RunCtl(env, {"play", "a.mid", "--loop", "4-2"}), 2);
  EXPECT_NE(ReadText(env.dir + "/ctl.err").find("--loop needs BAR-BAR"), std::string::npos);
  EXPECT_EQ(RunCtl(env, {"record", "out.mid", "--count-in"}), 2);
  EXPECT_EQ(RunCtl(env, {"play", "a.mid", "--frobnicate"}), 2);
  EXPECT_EQ(RunCtl(env, {"play", env.dir + "/missing.mid"}), 1);
  EXPECT_NE(ReadText(env.dir + "/ctl.err").find("cannot read"), std::string::npos);
  std::string bad = env.dir + "/bad.mid";
  std::ofstream(bad) << std::string("MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\2\x00\x3c", 24);
  EXPECT_EQ(RunCtl(env, {"play", bad}), 1);
  EXPECT_NE(ReadText(env.dir + "/ctl.err").find("track 1 at byte 23: data byte 0x3C without a status"), std::string::npos)
      << ReadText(env.dir + "/ctl.err");
  EXPECT_EQ(RunCtl(env, {"info", bad}), 1);
  // info needs no engine: nothing runs in this environment.
  std::string song = env.dir + "/song.mid";
  ASSERT_TRUE(WriteMidi(env, "song " + song + " " + env.dir + "/song.txt"));
  EXPECT_EQ(RunCtl(env, {"info", song}), 0);
  std::string info = ReadText(env.dir + "/ctl.out");
  EXPECT_NE(info.find("format 1, 3 tracks, 96 ticks per quarter note"), std::string::npos) << info;
  EXPECT_NE(info.find("43 note-on, 43 note-off"), std::string::npos) << info;
  EXPECT_NE(info.find("3.3.1  0:03.200  100.000 bpm"), std::string::npos) << info;
  EXPECT_NE(info.find("length: 10 bars (ends at 10.4.2), 20.750 s"), std::string::npos) << info;
}

TEST(CtlPlay, AnUnknownOutputIsRefused) {
  PlayEnv p;
  std::string file = p.env.dir + "/song.mid";
  ASSERT_TRUE(WriteMidi(p.env, "song " + file + " " + p.env.dir + "/song.txt"));
  EXPECT_EQ(RunCtl(p.env, {"play", file, "--out", "7"}), 1);
  EXPECT_NE(ReadText(p.env.dir + "/ctl.err").find("no output device 7"), std::string::npos);
  EXPECT_EQ(p.engine->Wait(10000), 0);
}

}  // namespace
