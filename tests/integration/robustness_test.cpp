// Whatever a client sends, the engine keeps serving: random commands and copy-data payloads from a
// registered client, and raw byte streams that are mostly not frames at all; fixed seeds, so that a
// failure can be replayed.
#include <gtest/gtest.h>

#include <random>

#include "integration/support/engine_process.h"
#include "integration/support/raw_bus.h"

TEST(EngineRobustness, RandomMessagesNeverBreakTheEngine) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "3";
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));

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
  EXPECT_EQ(engine.EndWith(c), 0);
}

TEST(EngineRobustness, RandomByteStreamsEndOnlyTheirOwnConnection) {
  EngineEnv env;
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));

  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    RawConnection raw;
    ASSERT_TRUE(raw.Open(env.socketPath)) << "connection " << i;
    std::vector<uint8_t> bytes;
    // Frames whose header is plausible (a small size, a matching cbData) and then random tails.
    int frames = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < frames; ++f) {
      RawFrame frame;
      frame.kind = 1 + rng() % 4;
      frame.id = rng();
      frame.hwnd = rng() % 2 ? raw.engineWindow : static_cast<uint32_t>(rng());
      uint32_t msgs[] = {1624, 0x4A, 0x113, 1625, 1626, static_cast<uint32_t>(rng() & 0xFFFF)};
      frame.msg = msgs[rng() % 6];
      if (frame.msg == 1624 && frame.kind <= 2) frame.wParam = 2 + rng() % 30;  // no registrations
      else frame.wParam = rng();
      frame.lParam = rng();
      frame.dwData = rng() % 2 ? 13 + rng() % 20 : static_cast<uint32_t>(rng());
      frame.payload.resize(rng() % 64);
      for (auto& b : frame.payload) b = static_cast<uint8_t>(rng());
      auto encoded = RawConnection::Encode(frame);
      bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    size_t tail = rng() % 48;
    for (size_t t = 0; t < tail; ++t) bytes.push_back(static_cast<uint8_t>(rng()));
    raw.WriteBytes(bytes);
    raw.Close();
    if (i % 50 == 49) {
      ASSERT_EQ(tovu::AuditionHoldTime(c), tovu::AuditionHoldTime(c)) << "after connection " << i;
      c.inbox.clear();
    }
  }
  std::vector<tovu::OutputPortInfo> outs;
  EXPECT_EQ(tovu::RequestOutputPorts(c, &outs), 0);
  EXPECT_EQ(outs.size(), 2u);
  EXPECT_EQ(engine.EndWith(c), 0);
}
