// The engine process over the bus: single instance, start-up, port lists, closing, bad frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "integration/support/engine_process.h"

TEST(EngineHost, StartsListsPortsAndClosesOnWmClose) {
  EngineEnv env;
  EngineProcess engine(env.Start());
  ASSERT_TRUE(env.WaitReady());
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));
  EXPECT_NE(c.window, 0u);
  EXPECT_NE(c.window, c.engineWindow);
  std::vector<tovu::OutputPortInfo> outs;
  EXPECT_EQ(tovu::RequestOutputPorts(c, &outs), 0);
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_EQ(outs[0].name, "Virtual Out 1");
  EXPECT_EQ(outs[1].deviceId, 1u);
  EXPECT_TRUE(tovu::CloseEngine(c));
  EXPECT_EQ(engine.Wait(5000), 0);
  EXPECT_NE(access(env.socketPath.c_str(), F_OK), 0);
}

TEST(EngineHost, TerminationSignalClosesTheEngineLikeWmClose) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    EngineEnv env;
    EngineProcess engine(env.Start());
    ASSERT_TRUE(env.WaitReady());
    tovu::Client c;
    ASSERT_TRUE(env.ConnectRegistered(c));
    tovu::OpenPortsRequest request;
    request.outputDevices = {0};
    tovu::OpenPortsReply reply;
    ASSERT_TRUE(tovu::OpenPorts(c, request, &reply));
    ASSERT_EQ(kill(engine.pid, sig), 0);
    uint32_t lParam = 0;
    ASSERT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyPortsClosed, 5000, &lParam)) << "signal " << sig;
    if (lParam == 0) {  // the close that begins the open came first
      ASSERT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyPortsClosed, 5000, &lParam));
    }
    EXPECT_EQ(lParam, 1u) << "signal " << sig;
    EXPECT_EQ(engine.Wait(5000), 0) << "signal " << sig;
    EXPECT_NE(access(env.socketPath.c_str(), F_OK), 0);
  }
}
