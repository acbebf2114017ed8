// Every direct way a client sounds MIDI, over the bus and checked against the virtual log: single
// short messages and their results, short lists, system-exclusive sends with the port's delay,
// panic, and the audition with its release timing (read from the log's timestamps; only lower
// bounds are asserted, so a slow machine cannot fail them).
// Threads: the test thread only.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"

namespace {

using Lines = std::vector<std::string>;
constexpr int64_t kMs = 1000000;

uint32_t Note(uint8_t status, uint8_t note, uint8_t velocity, uint8_t port = 0) {
  return tovu::PackEvent(status, note, velocity, port);
}

Lines Data(const EngineEnv& env) { return DataLines(ReadTimedLog(env)); }

// Time of the first log line equal to "data <text>", or -1.
int64_t TimeOf(const EngineEnv& env, const std::string& text) {
  for (auto& e : ReadTimedLog(env))
    if (e.text == "data " + text) return e.ns;
  return -1;
}

// Waits for "data <text>" and returns how long after "data <since>" it was written, in ms.
double WaitAndMeasure(const EngineEnv& env, const std::string& since, const std::string& text, int timeoutMs) {
  if (!WaitForLogLine(env, "data " + text, timeoutMs)) return -1;
  return static_cast<double>(TimeOf(env, text) - TimeOf(env, since)) / kMs;
}

int32_t CopyData(tovu::Client& c, uint16_t type, uint16_t argument, const std::vector<uint8_t>& bytes) {
  int32_t result = -1;
  tovu::SendCopyData(c, type, argument, bytes.data(), static_cast<uint32_t>(bytes.size()), &result);
  return result;
}

// A running engine with two registered clients, A holding the given outputs open, and a third
// connection that never registers.
struct Fixture {
  EngineEnv env;
  EngineProcess engine;
  tovu::Client a, b, stranger;

  bool Start(const std::vector<uint32_t>& aOutputs) {
    return engine.Start(env) && env.Connect(a) && env.Connect(b) && env.Connect(stranger) &&
           tovu::Register(a) == 0 && tovu::Register(b) == 0 && OpenPorts(a, aOutputs);
  }
  // WM_CLOSE; the teardown runs with the ports still open.
  int Close() {
    tovu::CloseEngine(stranger);
    return engine.Wait(10000);
  }
};

}  // namespace

TEST(DirectSends, SingleShortMessageResults) {
  Fixture f;
  ASSERT_TRUE(f.Start({0}));
  EXPECT_EQ(tovu::SendShort(f.a, Note(0x90, 60, 100, 0)), 0);
  EXPECT_EQ(tovu::SendShort(f.a, Note(0x90, 60, 100, 1)), 5);    // closed: the device's refusal
  EXPECT_EQ(tovu::SendShort(f.a, Note(0x90, 60, 100, 2)), 5);    // no such port
  EXPECT_EQ(tovu::SendShort(f.a, Note(0x90, 60, 100, 255)), 0);  // no port: dropped
  EXPECT_EQ(tovu::SendShort(f.stranger, Note(0xC3, 5, 0, 0)), 0);  // no sender check
  EXPECT_EQ(tovu::SendShort(f.a, 0x00F8), 0);                    // one-byte system message
  EXPECT_EQ(Data(f.env), (Lines{"out0 90 3c 64", "out0 c3 05", "out0 f8"}));
  EXPECT_EQ(f.Close(), 0);
}

TEST(DirectSends, ShortListsSendWholeEventsInOrderForRegisteredClientsOnly) {
  Fixture f;
  ASSERT_TRUE(f.Start({0, 1}));
  // Ten bytes: two events, the last two bytes ignored.
  std::vector<uint8_t> ten = {0x90, 0x3C, 0x64, 0x01, 0xB0, 0x07, 0x64, 0x00, 0x91, 0x3E};
  EXPECT_EQ(CopyData(f.b, 15, 0, ten), 1);
  EXPECT_EQ(Data(f.env), (Lines{"out1 90 3c 64", "out0 b0 07 64"}));
  // Events for no port and for a port beyond the table are dropped; the rest still go.
  EXPECT_TRUE(tovu::SendShortList(f.a, {Note(0x80, 60, 0, 255), Note(0x80, 60, 0, 9), Note(0x80, 60, 0, 1)}));
  EXPECT_EQ(Data(f.env), (Lines{"out1 90 3c 64", "out0 b0 07 64", "out1 80 3c 00"}));
  EXPECT_EQ(CopyData(f.stranger, 15, 0, ten), 1);
  EXPECT_EQ(CopyData(f.a, 15, 0, {0x90, 0x3C, 0x64}), 1);  // less than one event
  EXPECT_EQ(Data(f.env).size(), 3u);
  EXPECT_EQ(f.Close(), 0);
}

TEST(DirectSends, SysexGoesToThePortInTheArgumentAfterThePortsDelay) {
  Fixture f;
  f.env.WriteSetting("Dev0/ExclDly", "60");
  f.env.WriteSetting("Dev1/ExclDly", "40");
  ASSERT_TRUE(f.Start({0}));
  // Any window may send it, registered or not; the bytes go out exactly as given.
  EXPECT_EQ(CopyData(f.stranger, 17, 0, {0xF0, 0x43, 0x10, 0xF7}), 1);
  EXPECT_EQ(tovu::SendShort(f.a, Note(0x90, 60, 100)), 0);
  EXPECT_EQ(CopyData(f.a, 17, 0, {0x01, 0x02}), 1);
  // Nobody waits for the port's pause: the messages after the sysex are held until it is over, in
  // their order.
  ASSERT_TRUE(WaitUntil([&] { return Data(f.env).size() == 3; }, 3000));
  Lines data = Data(f.env);
  EXPECT_EQ(data, (Lines{"out0 f0 43 10 f7", "out0 90 3c 64", "out0 01 02"}));
  EXPECT_GE(TimeOf(f.env, "out0 90 3c 64") - TimeOf(f.env, "out0 f0 43 10 f7"), 60 * kMs);

  // A closed port pauses too; ports 2 and 256 do not exist.
  EXPECT_EQ(CopyData(f.a, 17, 1, {0xF0, 0xF7}), 1);
  EXPECT_EQ(CopyData(f.a, 17, 2, {0xF0, 0xF7}), 1);
  EXPECT_EQ(CopyData(f.a, 17, 256, {0xF0, 0xF7}), 1);
  EXPECT_EQ(Data(f.env).size(), 3u);
  EXPECT_EQ(f.Close(), 0);
}

TEST(DirectSends, PanicSilencesAndResetsEveryOpenPortOnly) {
  Fixture f;
  f.env.vars["TOVU_VIRTUAL_OUTPUTS"] = "3";
  ASSERT_TRUE(f.Start({0, 2}));
  EXPECT_EQ(tovu::Panic(f.stranger), 0);
  Lines data = Data(f.env);
  ASSERT_EQ(data.size(), 2u * (2048 + 128));
  Lines expected;
  char b[32];
  const int resets[8][3] = {{0xE0, 0x00, 0x40}, {0xB0, 1, 0},  {0xB0, 7, 127}, {0xB0, 10, 64},
                            {0xB0, 64, 0},      {0xB0, 66, 0}, {0xB0, 67, 0},  {0xB0, 121, 0}};
  for (int port : {0, 2}) {
    for (int ch = 0; ch < 16; ++ch)
      for (int note = 0; note < 128; ++note) {
        snprintf(b, sizeof b, "out%d %02x %02x 00", port, 0x90 + ch, note);
        expected.push_back(b);
      }
    for (int ch = 0; ch < 16; ++ch)
      for (auto& r : resets) {
        snprintf(b, sizeof b, "out%d %02x %02x %02x", port, r[0] + ch, r[1], r[2]);
        expected.push_back(b);
      }
  }
  EXPECT_EQ(data, expected);
  EXPECT_EQ(f.Close(), 0);
}

TEST(Audition, ReleasesOnlyItsSoundingNoteOnsAfterTheHoldTime) {
  Fixture f;
  ASSERT_TRUE(f.Start({0}));
  EXPECT_EQ(tovu::AuditionHoldTime(f.a), 300);
  EXPECT_TRUE(tovu::Audition(f.a, {Note(0x90, 60, 100), Note(0x90, 64, 0), Note(0xB0, 7, 100)}));
  Lines sent = Data(f.env);  // at once (the release may follow on a very slow machine)
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(Lines(sent.begin(), sent.begin() + 3), (Lines{"out0 90 3c 64", "out0 90 40 00", "out0 b0 07 64"}));
  EXPECT_GE(WaitAndMeasure(f.env, "out0 90 3c 64", "out0 90 3c 00", 10000), 300.0);
  EXPECT_EQ(tovu::AuditionHoldTime(f.a), 300);
  EXPECT_EQ(Data(f.env).size(), 4u);

  EXPECT_EQ(tovu::SetAuditionHoldTime(f.b, 1000), 0);
  EXPECT_EQ(tovu::AuditionHoldTime(f.stranger), 1000);
  EXPECT_TRUE(tovu::Audition(f.a, {Note(0x91, 62, 80)}));
  EXPECT_GE(WaitAndMeasure(f.env, "out0 91 3e 50", "out0 91 3e 00", 10000), 1000.0);
  EXPECT_EQ(Data(f.env).size(), 6u);
  EXPECT_EQ(f.Close(), 0);
  EXPECT_EQ(Data(f.env).size(), 6u);  // nothing was left to release
}

TEST(Audition, NewAuditionReleasesTheHeldOneFirstWhoeverStartedIt) {
  Fixture f;
  ASSERT_TRUE(f.Start({0}));
  ASSERT_EQ(tovu::SetAuditionHoldTime(f.a, 600000), 0);  // only a new audition can release these
  EXPECT_TRUE(tovu::Audition(f.a, {Note(0x90, 60, 100)}));
  EXPECT_TRUE(tovu::Audition(f.b, {Note(0x90, 62, 100)}));
  EXPECT_EQ(Data(f.env), (Lines{"out0 90 3c 64", "out0 90 3c 00", "out0 90 3e 64"}));

  // An unregistered window's audition and list change nothing, and release nothing.
  EXPECT_TRUE(tovu::Audition(f.stranger, {Note(0x90, 64, 100)}));
  EXPECT_TRUE(tovu::SendShortList(f.stranger, {Note(0x90, 64, 100)}));
  EXPECT_EQ(Data(f.env).size(), 3u);

  // The next audition gets a timer of its own with the hold time of its start.
  ASSERT_EQ(tovu::SetAuditionHoldTime(f.a, 1500), 0);
  EXPECT_TRUE(tovu::Audition(f.a, {Note(0x90, 65, 100)}));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(tovu::Audition(f.b, {Note(0x90, 67, 100)}));
  EXPECT_EQ(Data(f.env), (Lines{"out0 90 3c 64", "out0 90 3c 00", "out0 90 3e 64", "out0 90 3e 00",
                                "out0 90 41 64", "out0 90 41 00", "out0 90 43 64"}));
  EXPECT_GE(WaitAndMeasure(f.env, "out0 90 43 64", "out0 90 43 00", 15000), 1500.0);

  // An empty audition releases the held one, and its own release sends nothing.
  ASSERT_EQ(tovu::SetAuditionHoldTime(f.a, 0), 0);
  EXPECT_TRUE(tovu::Audition(f.a, {Note(0x90, 69, 100)}));
  ASSERT_EQ(tovu::SetAuditionHoldTime(f.a, 600000), 0);
  EXPECT_TRUE(tovu::Audition(f.a, {Note(0x90, 71, 100)}));
  EXPECT_TRUE(tovu::Audition(f.a, {}));
  Lines data = Data(f.env);
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(Lines(data.end() - 2, data.end()), (Lines{"out0 90 47 64", "out0 90 47 00"}));
  EXPECT_EQ(f.Close(), 0);
  EXPECT_EQ(Data(f.env), data);
}

TEST(Audition, HoldOfZeroOrBelowReleasesAtTheNextTurnOfTheLoop) {
  Fixture f;
  ASSERT_TRUE(f.Start({0}));
  uint8_t note = 60;
  for (int32_t hold : {0, -5, INT_MIN}) {
    ASSERT_EQ(tovu::SetAuditionHoldTime(f.a, hold), 0);
    EXPECT_EQ(tovu::AuditionHoldTime(f.b), hold);  // stored as given
    EXPECT_TRUE(tovu::Audition(f.a, {Note(0x90, note, 100)}));
    char release[32];
    snprintf(release, sizeof release, "data out0 90 %02x 00", note);
    EXPECT_TRUE(WaitForLogLine(f.env, release, 10000)) << "hold " << hold;
    ++note;
  }
  EXPECT_EQ(tovu::AuditionHoldTime(f.a), INT_MIN);
  EXPECT_EQ(Data(f.env).size(), 6u);  // each released once
  EXPECT_EQ(f.Close(), 0);
  EXPECT_EQ(Data(f.env).size(), 6u);
}

TEST(Audition, TeardownReleasesTheHeldAudition) {
  Fixture f;
  ASSERT_TRUE(f.Start({0}));
  ASSERT_EQ(tovu::SetAuditionHoldTime(f.a, 600000), 0);
  EXPECT_TRUE(tovu::Audition(f.a, {Note(0x92, 48, 90), Note(0x92, 52, 90)}));
  EXPECT_EQ(f.Close(), 0);
  EXPECT_EQ(Data(f.env), (Lines{"out0 92 30 5a", "out0 92 34 5a", "out0 92 30 00", "out0 92 34 00"}));
}
