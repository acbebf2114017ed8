// The engine bus seen from clients: WM_CLOSE, malformed frames that end only their own connection,
// peers of another user, messages addressed to no window, the results of the command catalogue and
// of copy-data types, and messages that arrive after WM_CLOSE.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "integration/support/raw_bus.h"
#include "platform/posix/bus_client.h"
#include "platform/wire.h"

namespace {

// Exit statuses of the peer probe.
enum ProbeStatus { kProbeCut = 10, kProbeServed = 11, kProbeNoConnect = 12, kProbeHung = 13 };

// The peer probe: this test program started again under another user id (see
// PeerOfAnotherUserIsCutOff). It connects, asks the engine to close and reports what happened.
int RunPeerProbe(const char* socketPath) {
  RawConnection raw;
  raw.fd = ConnectUnchecked(socketPath);  // a stranger does not care whose directory it is
  if (raw.fd < 0) return kProbeNoConnect;
  raw.Write(PostFrame(0x00010000, tovu::kWmClose, 0, 0));
  RawFrame f;
  switch (raw.Read(&f, 10000)) {
    case RawRead::kClosed: return kProbeCut;
    case RawRead::kFrame: return kProbeServed;
    default: return kProbeHung;
  }
}

// Runs before main when this program is the probe.
[[maybe_unused]] const bool kIsProbe = [] {
  if (const char* path = getenv("TOVU_TEST_PEER_PROBE")) _exit(RunPeerProbe(path));
  return false;
}();

std::vector<uint8_t> Bytes(size_t n, uint8_t fill = 0) { return std::vector<uint8_t>(n, fill); }

std::vector<uint8_t> SizeFieldOnly(uint32_t size) {
  return {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16),
          static_cast<uint8_t>(size >> 24)};
}

}  // namespace

TEST(EngineBus, WmCloseTellsRegisteredClientsEndsTheEngineAndRemovesTheSocket) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client a, b;
  ASSERT_TRUE(env.Connect(a));
  ASSERT_TRUE(env.Connect(b));
  ASSERT_EQ(tovu::Register(a), 0);
  ASSERT_EQ(tovu::Register(b), 0);

  int32_t result = -1;
  ASSERT_TRUE(tovu::Send(a, tovu::kWmClose, 0, 0, &result));
  EXPECT_EQ(result, 0);
  for (tovu::Client* c : {&a, &b}) {
    uint32_t lParam = 99;
    EXPECT_TRUE(tovu::WaitForNotification(*c, tovu::kNotifyPortsClosed, 10000, &lParam));
    EXPECT_EQ(lParam, 1u);
    // Then the connection closes.
    bool open = true;
    for (int i = 0; i < 100 && open; ++i) open = tovu::PumpMessages(*c, 100);
    EXPECT_FALSE(open);
  }
  EXPECT_EQ(engine.Wait(10000), 0);
  EXPECT_NE(access(env.socketPath.c_str(), F_OK), 0);
}

TEST(EngineBus, MalformedFramesEndOnlyTheirOwnConnection) {
  EngineEnv env;
  tovu::Client good;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, good));
  ASSERT_EQ(tovu::SetAuditionHoldTime(good, 350), 0);

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const uint32_t kMax = platform::kFrameMinSize + platform::kFrameMaxPayload;
  std::vector<Case> cases = {
      // A bad size: only the size field is written; the engine must not wait for more.
      {"size 31, size field only", SizeFieldOnly(31)},
      {"size 0, size field only", SizeFieldOnly(0)},
      {"size 31, whole header", RawHeader(31, 0, 0x00010000, tovu::kEngineCommand)},
      {"size max + 1, size field only", SizeFieldOnly(kMax + 1)},
      {"size 0xFFFFFFFF, size field only", SizeFieldOnly(0xFFFFFFFF)},
      // cbData disagreeing with size: only the header is written.
      {"cbData below size", RawHeader(32 + 10, 5, 0x00010000, tovu::kWmCopyData)},
      {"cbData above size", RawHeader(32, 100, 0x00010000, tovu::kWmCopyData)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    RawConnection bad;
    ASSERT_TRUE(bad.Open(env.socketPath));
    ASSERT_TRUE(bad.WriteBytes(k.bytes));
    EXPECT_TRUE(bad.WaitClosed(10000));
    EXPECT_EQ(tovu::AuditionHoldTime(good), 350);
  }

  // A registered client that sends a bad frame loses its window and is unregistered; the engine
  // goes on because another client remains.
  {
    RawConnection bad;
    ASSERT_TRUE(bad.Open(env.socketPath));
    int32_t result = -1;
    ASSERT_TRUE(bad.Call(1, tovu::kEngineCommand, 0, bad.window, &result));
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(bad.WriteBytes(RawHeader(20, 0, bad.engineWindow, tovu::kEngineCommand)));
    EXPECT_TRUE(bad.WaitClosed(10000));
  }
  EXPECT_EQ(tovu::AuditionHoldTime(good), 350);
  EXPECT_TRUE(engine.Running());

  // The largest frame allowed is served: 64 MiB of payload on a type nobody handles.
  {
    RawConnection big;
    ASSERT_TRUE(big.Open(env.socketPath));
    int32_t result = -1;
    ASSERT_TRUE(big.Call(1, tovu::kWmCopyData, big.window, 0, &result, nullptr, 0,
                         Bytes(platform::kFrameMaxPayload, 0xAB), 60000));
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(big.Call(2, tovu::kEngineCommand, 3, 0, &result));
    EXPECT_EQ(result, 350);
  }

  // Frames that are well formed but answer or address nothing are ignored; the connection stays.
  {
    RawConnection odd;
    ASSERT_TRUE(odd.Open(env.socketPath));
    RawFrame unknown = PostFrame(odd.engineWindow, tovu::kWmClose, 0, 0);
    unknown.kind = 9;
    ASSERT_TRUE(odd.Write(unknown));
    ASSERT_TRUE(odd.Write(ReplyFrame(12345, 7)));
    RawFrame hello = PostFrame(odd.engineWindow, tovu::kWmClose, 0, 0);
    hello.kind = 4;
    ASSERT_TRUE(odd.Write(hello));
    // Not the engine window: a POST is dropped, a SEND yields 0.
    ASSERT_TRUE(odd.Write(PostFrame(0x12345, tovu::kWmClose, 0, 0)));
    ASSERT_TRUE(odd.Write(PostFrame(good.window, tovu::kWmClose, 0, 0)));
    int32_t result = -1;
    ASSERT_TRUE(odd.Write(SendFrame(5, 0x12345, tovu::kEngineCommand, 3, 0)));
    ASSERT_TRUE(odd.Write(SendFrame(6, good.window, tovu::kEngineCommand, 3, 0)));
    RawFrame r;
    ASSERT_EQ(odd.Read(&r, 10000), RawRead::kFrame);
    EXPECT_EQ(r.kind, 3u);
    EXPECT_EQ(r.id, 5u);
    EXPECT_EQ(r.lParam, 0u);
    ASSERT_EQ(odd.Read(&r, 10000), RawRead::kFrame);
    EXPECT_EQ(r.kind, 3u);
    EXPECT_EQ(r.id, 6u);
    EXPECT_EQ(r.lParam, 0u);
    ASSERT_TRUE(odd.Call(7, tovu::kEngineCommand, 3, 0, &result));
    EXPECT_EQ(result, 350);
  }
  // A POST wrongly routed to `good` would have reached it before this reply.
  EXPECT_EQ(tovu::AuditionHoldTime(good), 350);
  for (const tovu::Message& m : tovu::TakeInbox(good)) EXPECT_NE(m.msg, tovu::kWmClose) << "routed to a client";
  EXPECT_TRUE(engine.Running());

  EXPECT_EQ(engine.EndWith(good), 0);
}

TEST(EngineBus, PeerOfAnotherUserIsCutOff) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a peer under another user id";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;

  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  // Let the other user reach the socket; the engine itself must refuse it.
  ASSERT_EQ(chmod(env.dir.c_str(), 0711), 0);
  ASSERT_EQ(chmod((env.dir + "/run").c_str(), 0711), 0);
  ASSERT_EQ(chmod(env.socketPath.c_str(), 0666), 0);

  pid_t probe = fork();
  if (probe == 0) {
    setenv("TOVU_TEST_PEER_PROBE", env.socketPath.c_str(), 1);
    execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self,
          static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_EQ(WaitExit(probe, 30000), kProbeCut);

  // The engine did not act on the stranger's WM_CLOSE and serves its own user (whose client library
  // talks to it only through a private directory).
  ASSERT_EQ(chmod((env.dir + "/run").c_str(), 0700), 0);
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));
  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  EXPECT_TRUE(engine.Running());
  EXPECT_TRUE(tovu::CloseEngine(c));
  EXPECT_EQ(engine.Wait(10000), 0);
}

TEST(EngineBus, CatalogueResultsForCommandsAndCopyDataTypes) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "3";
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));

  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  EXPECT_EQ(tovu::SetAuditionHoldTime(c, 500), 0);
  EXPECT_EQ(tovu::AuditionHoldTime(c), 500);

  std::vector<tovu::OutputPortInfo> before, after;
  ASSERT_EQ(tovu::RequestOutputPorts(c, &before), 0);
  for (uint32_t code : {6u, 7u, 9u}) EXPECT_EQ(tovu::Command(c, code, c.window), 0) << "command " << code;
  EXPECT_EQ(tovu::AuditionHoldTime(c), 500);
  ASSERT_EQ(tovu::RequestOutputPorts(c, &after), 0);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(tovu::TakeInbox(c).empty());

  // Unlisted types return 0 and do nothing, even with a payload that is a valid open request.
  std::vector<uint8_t> open0 = OpenRequest({0});
  for (uint16_t type : {0, 2, 12, 18, 24, 26, 28, 30, 31, 0xFFFF}) {
    int32_t result = -1;
    ASSERT_TRUE(tovu::SendCopyData(c, type, 0, open0.data(), static_cast<uint32_t>(open0.size()), &result));
    EXPECT_EQ(result, 0) << "type " << type;
  }
  // Fixed-size types with a payload one byte short (13 also much shorter) return 1 and do nothing.
  const std::pair<uint16_t, uint32_t> shortOnes[] = {{13, 10}, {13, 1079}, {21, 31}, {22, 31},
                                                     {23, 7},  {25, 7},    {27, 15}, {29, 15}};
  for (auto [type, size] : shortOnes) {
    int32_t result = -1;
    ASSERT_TRUE(tovu::SendCopyData(c, type, 0, open0.data(), size, &result));
    EXPECT_EQ(result, 1) << "type " << type << " with " << size << " bytes";
  }
  EXPECT_TRUE(tovu::TakeInbox(c).empty()) << "an ignored message answered or notified";
  EXPECT_TRUE(Grep(env.LogLines(), "open").empty());
  EXPECT_EQ(tovu::AuditionHoldTime(c), 500);

  // Type 13 with an argument in the upper bits of dwData is an ordinary open request.
  int32_t result = -1;
  ASSERT_TRUE(tovu::SendCopyData(c, 13, 1, open0.data(), static_cast<uint32_t>(open0.size()), &result));
  EXPECT_EQ(result, 1);
  tovu::Message reply;
  ASSERT_TRUE(tovu::WaitForMessage(
      c, [](const tovu::Message& m) { return m.msg == tovu::kWmCopyData && m.dwData == 13; }, 10000, &reply));
  ASSERT_EQ(reply.payload.size(), 1080u);
  EXPECT_EQ(GetU32(reply.payload, 0), c.window);
  EXPECT_EQ(GetU32(reply.payload, 4), 1u);
  EXPECT_EQ(GetU32(reply.payload, 8), 0u);
  EXPECT_EQ(Grep(env.LogLines(), "open out0").size(), 1u);

  EXPECT_EQ(engine.EndWith(c), 0);
}

// Messages already on their way when WM_CLOSE is handled find the engine torn down: they are
// answered with 0 (or not at all), send nothing and open nothing.
TEST(EngineBus, MessagesAfterWmCloseDoNothing) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  RawConnection raw;
  ASSERT_TRUE(raw.Open(env.socketPath));
  int32_t result = -1;
  ASSERT_TRUE(raw.Call(1, tovu::kEngineCommand, 0, raw.window, &result));
  ASSERT_EQ(result, 0);

  // One write, so that everything is read before WM_CLOSE is handled.
  std::vector<uint8_t> burst = RawConnection::Encode(PostFrame(raw.engineWindow, tovu::kWmClose, 0, 0));
  const RawFrame after[] = {
      SendFrame(2, raw.engineWindow, tovu::kEngineCommand, 4, 777),
      SendFrame(3, raw.engineWindow, tovu::kEngineCommand, 3, 0),
      SendFrame(4, raw.engineWindow, tovu::kEngineCommand, 2, raw.window),
      SendFrame(5, raw.engineWindow, tovu::kWmCopyData, raw.window, 0, 13, OpenRequest({0})),
      SendFrame(6, raw.engineWindow, tovu::kEngineCommand, 0, raw.window),
      SendFrame(7, raw.engineWindow, tovu::kWmClose, 0, 0),
  };
  for (const RawFrame& f : after) {
    std::vector<uint8_t> bytes = RawConnection::Encode(f);
    burst.insert(burst.end(), bytes.begin(), bytes.end());
  }
  ASSERT_TRUE(raw.WriteBytes(burst));

  std::vector<RawFrame> seen;
  EXPECT_TRUE(raw.WaitClosed(10000, &seen));
  int shutdownNotices = 0;
  for (const RawFrame& f : seen) {
    EXPECT_NE(f.kind, 2u) << "the engine sent message " << f.msg << " after WM_CLOSE";
    if (f.kind == 3) {
      // Engine commands are refused (1: not "done", which 0 would claim for a registration or a
      // port list); the copy-data message and the second WM_CLOSE yield 0.
      bool command = f.id == 2 || f.id == 3 || f.id == 4 || f.id == 6;
      EXPECT_EQ(f.lParam, command ? 1u : 0u) << "reply to " << f.id;
    }
    if (f.kind == 1) {
      EXPECT_EQ(f.msg, tovu::kEngineCommand);
      EXPECT_EQ(f.wParam, 14u);
      EXPECT_EQ(f.lParam, 1u);
      ++shutdownNotices;
    }
  }
  EXPECT_EQ(shutdownNotices, 1);
  EXPECT_EQ(engine.Wait(10000), 0);
  EXPECT_TRUE(Grep(env.LogLines(), "open").empty());
}
