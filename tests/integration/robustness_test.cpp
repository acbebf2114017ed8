// Whatever a client sends, the engine keeps serving: random commands and copy-data payloads from a
// registered client, with a fixed seed so that a failure can be replayed.
#include <gtest/gtest.h>

#include <random>

#include "integration/support/engine_process.h"

TEST(EngineRobustness, RandomMessagesNeverBreakTheEngine) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "3";
  EngineProcess engine(env.Start());
  ASSERT_TRUE(env.WaitReady());
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));
  ASSERT_EQ(tovu::Register(c), 0);

  std::mt19937 rng(20261207);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const uint16_t types[] = {13, 14, 15, 16, 17, 19, 20, 21, 22, 23, 25, 27, 29, 2, 28, 30, 0xFFFF};
  for (int i = 0; i < 3000; ++i) {
    if (pick(2) == 0) {
      uint16_t type = types[pick(sizeof types / sizeof types[0])];
      std::vector<uint8_t> payload(pick(4) == 0 ? 1080 : pick(200));
      for (auto& b : payload) b = static_cast<uint8_t>(rng());
      if (type == 19 || type == 20) payload.resize(pick(2) ? 0 : payload.size());
      int32_t result = -1;
      ASSERT_TRUE(tovu::SendCopyData(c, type, static_cast<uint16_t>(pick(300)), payload.data(),
                                     static_cast<uint32_t>(payload.size()), &result))
          << "message " << i;
    } else {
      // Engine commands with random codes and arguments, never unregistering ourselves.
      uint32_t code = pick(40);
      if (code == 1) continue;
      int32_t result = 0;
      ASSERT_TRUE(tovu::Send(c, tovu::kEngineCommand, code, code == 0 ? c.window : static_cast<uint32_t>(rng()), &result))
          << "message " << i;
    }
    c.inbox.clear();
  }
  // Still serving: port list intact, and a second client is answered too.
  std::vector<tovu::OutputPortInfo> outs;
  EXPECT_EQ(tovu::RequestOutputPorts(c, &outs), 0);
  EXPECT_EQ(outs.size(), 3u);
  tovu::Client other;
  ASSERT_TRUE(env.Connect(other));
  EXPECT_EQ(tovu::AuditionHoldTime(other), tovu::AuditionHoldTime(c));
  EXPECT_EQ(tovu::Unregister(c), 0);
  EXPECT_EQ(engine.Wait(10000), 0);
}
