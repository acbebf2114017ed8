// The output stages as a client meets them, over the bus and checked against the virtual log and
// the messages the client receives: what a stop and an end leave in the last activity report, the
// refusals a sender is told of (a port's queue full, a message longer than the device carries), and
// an engine whose launcher closed its standard error.
// Threads: the test thread only; the engine runs as a child process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"

namespace {

// The last activity report (copy-data 30) in the inbox: the counter of port 0, channel 0, key 60.
int LastCountOf60(tovu::Client& c) {
  std::vector<tovu::Message> reports = tovu::TakeCopyData(c, tovu::kCopyActivity);
  if (reports.empty() || reports.back().payload.size() < 2048) return -1;
  return reports.back().payload[60];
}

// After a stop, and after an end with a note held to the end marker, the last report shows the
// note released.
TEST(OutputStageClient, TheLastActivityReportFollowsTheReleases) {
  EngineEnv env;
  EngineProcess engine;
  tovu::Client a;
  ASSERT_TRUE(engine.Start(env) && env.ConnectRegistered(a) && OpenPorts(a, {0}));
  for (bool stop : {true, false}) {
    tovu::SongBuilder s;
    s.Tempo(0, 480);
    s.NoteOn(0, 0, 0, 60, 100);
    s.End(stop ? 96000 : 240);
    ASSERT_TRUE(tovu::LoadSong(a, s.Build()));
    tovu::TakeInbox(a);
    ASSERT_TRUE(tovu::Start(a, tovu::StartRequest{}));
    ASSERT_TRUE(WaitForLogLine(env, "data out0 90 3c 64", 5000));
    if (stop) {
      EXPECT_EQ(tovu::Stop(a), 0);
    }
    ASSERT_TRUE(tovu::WaitForNotification(a, tovu::kNotifyStopped, 5000));
    EXPECT_EQ(LastCountOf60(a), 0) << (stop ? "stop" : "end");
    std::vector<std::string> log = env.LogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "data out0 90 3c 00");
  }
}

// A sender is told of what its port refused: a message longer than the device carries (notification
// 10, error 16, and command 32 names the limit), and system-exclusive messages past its share of a
// pausing port's queue (error 15); another client's requests are answered meanwhile.
TEST(OutputStageClient, RefusalsAreToldToTheSender) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_LONGEST"] = "300000";
  env.WriteSetting("Dev0/ExclDly", "1000");
  EngineProcess engine;
  tovu::Client a, b;
  ASSERT_TRUE(engine.Start(env) && env.ConnectRegistered(a) && env.ConnectRegistered(b) && OpenPorts(a, {0}));
  EXPECT_EQ(tovu::Command(a, tovu::kCommandLongestMessage, 0), 300000);
  EXPECT_EQ(tovu::Command(a, tovu::kCommandLongestMessage, 7), 0);  // no such device
  std::vector<uint8_t> tooLong(300001, 0x11);
  tooLong.front() = 0xF0;
  tooLong.back() = 0xF7;
  tovu::TakeInbox(a);
  ASSERT_TRUE(tovu::SendSysex(a, 0, tooLong));
  uint32_t error = 0;
  EXPECT_TRUE(tovu::WaitForNotification(a, tovu::kNotifyFailed, 2000, &error));
  EXPECT_EQ(error, tovu::kErrorMessageTooLong);

  std::vector<uint8_t> dump(256 * 1024, 0x22);
  dump.front() = 0xF0;
  dump.back() = 0xF7;
  bool refused = false;
  for (int i = 0; i < 80 && !refused; ++i) {
    ASSERT_TRUE(tovu::SendSysex(a, 0, dump));
    refused = tovu::WaitForNotification(a, tovu::kNotifyFailed, 0, &error);
    EXPECT_EQ(tovu::AuditionHoldTime(b), 300);
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(error, tovu::kErrorQueueFull);
  // A panic empties the queue: nothing A sent before it is heard after it.
  EXPECT_EQ(tovu::Panic(b), 0);
  size_t afterPanic = env.LogLines().size();
  tovu::PumpMessages(b, 1200);  // past the pause the last sysex before the panic began
  std::vector<std::string> log = env.LogLines();
  for (size_t i = afterPanic; i < log.size(); ++i) EXPECT_NE(log[i].rfind("data out0 f0 22", 0), 0u) << i;
}

// Launched with its standard error closed, the engine still serves: descriptor 2 is not one of its
// own, so letting go of the start-up handle at the first registration closes nothing it uses.
TEST(OutputStageClient, AnEngineWithoutStandardErrorServesItsClients) {
  EngineEnv env;
  EngineProcess engine(env.Start(EngineEnv::kStderrClosed));
  ASSERT_TRUE(env.WaitReady());
  tovu::Client a, b;
  ASSERT_TRUE(env.ConnectRegistered(a));
  tovu::PumpMessages(a, 500);  // the watcher lets go of the start-up handle meanwhile
  ASSERT_TRUE(env.ConnectRegistered(b));
  EXPECT_EQ(tovu::AuditionHoldTime(a), 300);
  EXPECT_EQ(tovu::Unregister(b), 0);
  EXPECT_EQ(tovu::AuditionHoldTime(a), 300);
  EXPECT_EQ(tovu::Unregister(a), 0);
  EXPECT_EQ(engine.Wait(5000), 0);
}

}  // namespace
