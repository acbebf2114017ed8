// One engine per bus path: a second engine reports the running one and ends with status 2, engines
// started together leave exactly one running, a killed engine's stale socket does not block the
// next one, and a socket removed under a running engine is bound again by it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "integration/support/raw_bus.h"

namespace {

const char kInstanceLine[] = "Error: Another instance of Wendle is active\n";

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    CloseWriter();
    if (fds[0] >= 0) close(fds[0]);
  }
  void CloseWriter() {
    if (fds[1] >= 0) close(fds[1]);
    fds[1] = -1;
  }
};

}  // namespace

TEST(EngineInstance, SecondEngineReportsTheFirstAndLeavesItUntouched) {
  EngineEnv env;
  tovu::Client c;
  EngineProcess first;
  ASSERT_TRUE(first.StartRegistered(env, c));
  ASSERT_EQ(tovu::SetAuditionHoldTime(c, 450), 0);

  Pipe err;
  EngineProcess second(env.Start(err.fds[1]));
  err.CloseWriter();
  EXPECT_EQ(second.Wait(10000), 2);
  EXPECT_EQ(ReadAllFrom(err.fds[0], 5000), kInstanceLine);

  // The first engine still runs, keeps its socket, its clients and its state.
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(access(env.socketPath.c_str(), F_OK), 0);
  EXPECT_EQ(tovu::AuditionHoldTime(c), 450);
  tovu::Client other;
  ASSERT_TRUE(env.Connect(other));
  EXPECT_NE(other.window, c.window);
  EXPECT_EQ(tovu::AuditionHoldTime(other), 450);
  EXPECT_TRUE(env.StderrText().empty()) << env.StderrText();

  EXPECT_EQ(tovu::Unregister(c), 0);  // the last client: the engine closes
  EXPECT_EQ(first.Wait(10000), 0);
}

TEST(EngineInstance, EnginesStartedTogetherLeaveExactlyOneRunning) {
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    EngineEnv env;
    Pipe errA, errB;
    std::vector<pid_t> pids = StartEnginesTogether(env, {errA.fds[1], errB.fds[1]});
    ASSERT_EQ(pids.size(), 2u);
    EngineProcess a(pids[0]), b(pids[1]);
    errA.CloseWriter();
    errB.CloseWriter();

    // Wait for the loser to end.
    int statusA = -1, statusB = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (statusA == -1 && statusB == -1 && std::chrono::steady_clock::now() < deadline) {
      statusA = a.Wait(0);
      statusB = b.Wait(0);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(statusA != -1 || statusB != -1) << "neither engine ended";
    ASSERT_TRUE(statusA == -1 || statusB == -1) << "both engines ended: " << statusA << " " << statusB;
    EngineProcess& winner = statusA == -1 ? a : b;
    int loserErr = statusA == -1 ? errB.fds[0] : errA.fds[0];
    EXPECT_EQ(statusA == -1 ? statusB : statusA, 2);
    EXPECT_EQ(ReadAllFrom(loserErr, 5000), kInstanceLine);

    // The winner serves, and it is the process behind the socket: closing it ends it.
    ASSERT_TRUE(env.WaitReady());
    tovu::Client c;
    ASSERT_TRUE(env.Connect(c));
    EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
    EXPECT_TRUE(winner.Running());
    EXPECT_TRUE(tovu::CloseEngine(c));
    EXPECT_EQ(winner.Wait(10000), 0);
  }
}

TEST(EngineInstance, KilledEngineDoesNotBlockTheNext) {
  EngineEnv env;
  EngineProcess first;
  ASSERT_TRUE(first.Start(env));
  kill(first.pid, SIGKILL);
  EXPECT_EQ(first.Wait(10000), 128 + SIGKILL);
  ASSERT_EQ(access(env.socketPath.c_str(), F_OK), 0) << "the killed engine's socket file stays behind";

  EngineProcess next;
  ASSERT_TRUE(next.Start(env));
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));
  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  EXPECT_TRUE(next.Running());
  EXPECT_TRUE(env.StderrText().empty()) << env.StderrText();
  EXPECT_TRUE(tovu::CloseEngine(c));
  EXPECT_EQ(next.Wait(10000), 0);
  EXPECT_NE(access(env.socketPath.c_str(), F_OK), 0);
}

// The socket file removed under a running engine (as a cleaner of temporary files does), and then
// its whole directory with the lock file: each time the same engine binds the path again, and an
// engine started meanwhile finds it and ends, rather than opening the devices beside it.
TEST(EngineInstance, ARemovedSocketIsBoundAgainAndNoSecondEngineStarts) {
  EngineEnv env;
  tovu::Client c;
  EngineProcess first;
  ASSERT_TRUE(first.StartRegistered(env, c));
  ASSERT_EQ(tovu::SetAuditionHoldTime(c, 450), 0);
  std::string runDir = env.socketPath.substr(0, env.socketPath.rfind('/'));

  for (bool wholeDirectory : {false, true}) {
    SCOPED_TRACE(wholeDirectory ? "directory removed" : "socket removed");
    if (wholeDirectory) {  // moved away first: the engine may bind again while it is being emptied
      ASSERT_EQ(rename(runDir.c_str(), (runDir + ".old").c_str()), 0);
      std::filesystem::remove_all(runDir + ".old");
    } else
      ASSERT_EQ(unlink(env.socketPath.c_str()), 0);
    // A second engine started at once waits while the path is gone, then finds the first.
    Pipe err;
    EngineProcess second(env.Start(err.fds[1]));
    err.CloseWriter();
    EXPECT_EQ(second.Wait(10000), 2);
    EXPECT_EQ(ReadAllFrom(err.fds[0], 5000), kInstanceLine);
    tovu::Client other;
    ASSERT_TRUE(env.Connect(other));
    EXPECT_EQ(tovu::AuditionHoldTime(other), 450) << "another engine answers at the path";
  }
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(tovu::AuditionHoldTime(c), 450);  // the first connection was never touched
  EXPECT_EQ(first.EndWith(c), 0);
  EXPECT_NE(access(env.socketPath.c_str(), F_OK), 0);
}
