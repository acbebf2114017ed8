// Clients whose process dies without unregistering, and the start-up handle: killed client
// processes are unregistered (their ports close, other clients keep theirs, the engine closes after
// the last), however many clients are watched; an engine started by the client library closes when
// its launcher dies before registering and keeps running once a client has registered.
// Threads: the test thread; the clients it kills are processes of their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"
#include "platform/posix/bus_client.h"
#include "platform/event.h"

namespace {

int32_t OpenOutputsFor(tovu::Client& c, const std::vector<uint32_t>& devices) {
  tovu::OpenPortsReply reply;
  if (!OpenPorts(c, devices, -1, 1, &reply)) return -1;
  for (size_t i = 0; i < devices.size(); ++i)
    if (reply.outputResults[i] != 0) return reply.outputResults[i];
  return 0;
}

size_t PortsClosedNotices(tovu::Client& c) {
  tovu::AuditionHoldTime(c);  // a round trip: what was posted before it has arrived
  size_t n = 0;
  for (auto& m : tovu::TakeInbox(c)) n += m.msg == tovu::kEngineCommand && m.wParam == tovu::kNotifyPortsClosed;
  return n;
}

std::set<std::string> Closes(const EngineEnv& env) {
  std::set<std::string> closes;
  for (auto& l : env.LogLines())
    if (l.rfind("close ", 0) == 0) closes.insert(l.substr(6));
  return closes;
}

// The engine closed itself: a connection to it ends and the bus socket goes away.
bool EngineClosed(tovu::Client& observer, const EngineEnv& env, int timeoutMs) {
  bool closed = WaitUntil([&] { return !tovu::PumpMessages(observer, 10); }, timeoutMs);
  return closed && WaitUntil([&] { return access(env.socketPath.c_str(), F_OK) != 0; }, timeoutMs);
}

// Closes an engine that a failed test left running (it is not the test's child).
struct CloseEngineAtEnd {
  const EngineEnv& env;
  ~CloseEngineAtEnd() {
    tovu::Client c;
    if (env.Connect(c)) tovu::CloseEngine(c);
    WaitUntil([&] { return access(env.socketPath.c_str(), F_OK) != 0; }, 5000);
  }
};

}  // namespace

TEST(ClientLiveness, KilledClientIsUnregisteredAndTheOthersKeepTheirPorts) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "3";
  tovu::Client survivor;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, survivor));
  ASSERT_EQ(OpenOutputsFor(survivor, {0}), 0);

  ClientProcess victim;
  ASSERT_TRUE(StartClientProcess(env, {{0, 1, 2}}, &victim));
  ASSERT_EQ(OutputsOpen(survivor), (std::vector<bool>{true, true, true}));
  PortsClosedNotices(survivor);

  victim.Kill();
  ASSERT_TRUE(WaitForLogLine(env, "close out2", 10000));
  EXPECT_EQ(Closes(env), (std::set<std::string>{"out1", "out2"}));  // out0 is still the survivor's
  EXPECT_EQ(OutputsOpen(survivor), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(tovu::Command(survivor, 1, victim.windows[0]), 1) << "the killed client is still registered";
  EXPECT_EQ(PortsClosedNotices(survivor), 0u);
  EXPECT_EQ(tovu::SendShort(survivor, tovu::PackEvent(0x90, 60, 100, 0)), 0);
  EXPECT_EQ(Grep(env.LogLines(), "data out0 90 3c 64").size(), 1u);

  EXPECT_EQ(engine.EndWith(survivor), 0);
  EXPECT_EQ(Closes(env), (std::set<std::string>{"out0", "out1", "out2"}));
}

TEST(ClientLiveness, TwoWindowsOfAKilledProcessAreBothUnregistered) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "3";
  tovu::Client survivor;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, survivor));
  ASSERT_EQ(OpenOutputsFor(survivor, {2}), 0);

  ClientProcess victim;
  ASSERT_TRUE(StartClientProcess(env, {{0}, {1}}, &victim));
  ASSERT_EQ(victim.windows.size(), 2u);
  ASSERT_EQ(OutputsOpen(survivor), (std::vector<bool>{true, true, true}));

  victim.Kill();
  ASSERT_TRUE(WaitUntil([&] { return Closes(env).size() == 2; }, 10000));
  EXPECT_EQ(Closes(env), (std::set<std::string>{"out0", "out1"}));
  EXPECT_EQ(tovu::Command(survivor, 1, victim.windows[0]), 1);
  EXPECT_EQ(tovu::Command(survivor, 1, victim.windows[1]), 1);
  EXPECT_EQ(OutputsOpen(survivor), (std::vector<bool>{false, false, true}));
  EXPECT_EQ(engine.EndWith(survivor), 0);
}

TEST(ClientLiveness, EngineClosesWhenItsLastClientsAreKilled) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  ClientProcess victim;
  ASSERT_TRUE(StartClientProcess(env, {{0}, {1}}, &victim));
  victim.Kill();
  EXPECT_EQ(engine.Wait(10000), 0);
  EXPECT_EQ(Closes(env), (std::set<std::string>{"out0", "out1"}));
  EXPECT_NE(access(env.socketPath.c_str(), F_OK), 0);
}

// Every client is watched however many there are: a wait limited to 64 handles would miss all of
// these but the first few.
TEST(ClientLiveness, TwoHundredClientsAreAllWatched) {
  constexpr int kClients = 200;
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = std::to_string(kClients);
  tovu::Client observer;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, observer));

  std::vector<ClientProcess> clients(kClients);
  for (int i = 0; i < kClients; ++i)
    ASSERT_TRUE(StartClientProcess(env, {{static_cast<uint32_t>(i)}}, &clients[static_cast<size_t>(i)]))
        << "client " << i;
  std::vector<bool> open = OutputsOpen(observer);
  ASSERT_EQ(std::count(open.begin(), open.end(), true), kClients);

  // Killing any one unregisters exactly that one.
  std::set<std::string> killed;
  for (int i : {137, 0, 199, 64, 63}) {
    ClientProcess& victim = clients[static_cast<size_t>(i)];
    uint32_t window = victim.windows[0];
    victim.Kill();
    killed.insert("out" + std::to_string(i));
    ASSERT_TRUE(WaitForLogLine(env, "close out" + std::to_string(i), 15000)) << "client " << i;
    EXPECT_EQ(Closes(env), killed);
    EXPECT_EQ(tovu::Command(observer, 1, window), 1);
  }
  open = OutputsOpen(observer);
  for (int i = 0; i < kClients; ++i)
    EXPECT_EQ(open[static_cast<size_t>(i)], !killed.count("out" + std::to_string(i))) << "port " << i;
  EXPECT_EQ(Closes(env), killed);

  // And all the rest, killed together, are noticed too.
  clients.clear();
  EXPECT_TRUE(WaitUntil([&] { return Closes(env).size() == kClients; }, 30000));
  EXPECT_EQ(engine.EndWith(observer), 0);
}

TEST(StartupHandle, EngineClosesWhenItsLauncherDiesBeforeRegistering) {
  EngineEnv env;
  CloseEngineAtEnd cleanup{env};
  ClientProcess launcher;
  ASSERT_TRUE(StartLauncherProcess(env, false, &launcher));
  tovu::Client observer;
  ASSERT_TRUE(env.Connect(observer));
  EXPECT_EQ(tovu::AuditionHoldTime(observer), 300);  // it runs and answers
  launcher.Kill();
  EXPECT_TRUE(EngineClosed(observer, env, 10000));
}

TEST(StartupHandle, EngineKeepsRunningOnceItsLauncherHasRegistered) {
  // Registration closes the launcher's end of the pipe at once; the engine must take the
  // registration, not the closed pipe, as the end of its start-up. Several rounds, as the two
  // arrive close together.
  for (int round = 0; round < 5; ++round) {
    EngineEnv env;
    CloseEngineAtEnd cleanup{env};
    ClientProcess launcher;
    ASSERT_TRUE(StartLauncherProcess(env, true, &launcher));
    tovu::Client observer;
    ASSERT_TRUE(env.Connect(observer));
    platform::SleepMs(200);
    EXPECT_EQ(tovu::AuditionHoldTime(observer), 300) << "round " << round;
    ASSERT_TRUE(tovu::Connected(observer)) << "the engine closed in round " << round;
    // Its only client killed, it closes as usual.
    launcher.Kill();
    EXPECT_TRUE(EngineClosed(observer, env, 10000));
  }
}
