// Registration and each client's ports over the bus, checked against the virtual devices: the
// open-ports reply byte for byte, refused and failing devices, one device opened twice, the
// ports-closed notification, odd output counts, and which clients stay registered.
// Threads: the test thread only.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"

namespace {

void Put(std::vector<uint8_t>& b, size_t at, uint32_t v) { memcpy(b.data() + at, &v, 4); }

// The reply the engine must send: window, count, results, input result; every other byte 0.
std::vector<uint8_t> ExpectedReply(uint32_t window, uint32_t count, const std::vector<int32_t>& results,
                                   int32_t input) {
  std::vector<uint8_t> b(1080, 0);
  Put(b, 0, window);
  Put(b, 4, count);
  for (size_t i = 0; i < results.size(); ++i) Put(b, 8 + 4 * i, static_cast<uint32_t>(results[i]));
  Put(b, 1032, static_cast<uint32_t>(input));
  return b;
}

tovu::OpenPortsRequest Request(const std::vector<uint32_t>& outputs, int32_t input = -1) {
  tovu::OpenPortsRequest r;
  r.outputDevices = outputs;
  r.inputDevice = input;
  return r;
}

// Sends an encoded open-ports request and returns what came back: the copy-data result, whether a
// type-13 reply arrived during the call (it is sent, with the engine window as wParam), its bytes,
// and the codes of notification 14 that arrived before it.
struct OpenOutcome {
  int32_t result = -1;
  bool replied = false;
  std::vector<uint8_t> reply;
  std::vector<uint32_t> noticesBefore;  // lParam of each notification 14 ahead of the reply
};

OpenOutcome OpenRaw(tovu::Client& c, const std::vector<uint8_t>& request) {
  OpenOutcome o;
  tovu::TakeInbox(c);
  EXPECT_TRUE(tovu::SendCopyData(c, 13, 0, request.data(), static_cast<uint32_t>(request.size()), &o.result));
  for (auto& m : tovu::TakeInbox(c)) {
    if (m.msg == tovu::kWmCopyData && (m.dwData & 0xFFFF) == 13) {
      EXPECT_FALSE(o.replied) << "two replies";
      EXPECT_TRUE(m.sent);
      EXPECT_EQ(m.wParam, c.engineWindow);
      o.replied = true;
      o.reply = m.payload;
    } else if (m.msg == tovu::kEngineCommand && m.wParam == tovu::kNotifyPortsClosed && !o.replied) {
      o.noticesBefore.push_back(m.lParam);
    }
  }
  return o;
}

OpenOutcome Open(tovu::Client& c, const tovu::OpenPortsRequest& r) { return OpenRaw(c, tovu::EncodeOpenPortsRequest(r)); }

// Codes (lParam) of the notifications 14 the client has received, after a round trip.
std::vector<uint32_t> PortsClosedNotices(tovu::Client& c) {
  tovu::AuditionHoldTime(c);
  std::vector<uint32_t> codes;
  for (auto& m : tovu::TakeInbox(c))
    if (m.msg == tovu::kEngineCommand && m.wParam == tovu::kNotifyPortsClosed) codes.push_back(m.lParam);
  return codes;
}

// Open and close lines of the log, in order ("open out0", "close in1", ...).
std::vector<std::string> OpensAndCloses(const EngineEnv& env) {
  std::vector<std::string> out;
  for (auto& l : env.LogLines())
    if (l.rfind("open ", 0) == 0 || l.rfind("close ", 0) == 0) out.push_back(l);
  return out;
}

bool Sends(tovu::Client& c, uint32_t event, const EngineEnv& env) {
  size_t before = env.LogLines().size();
  tovu::SendShortList(c, {event});
  return env.LogLines().size() > before;
}

}  // namespace

TEST(ClientPorts, OpenReplyCarriesOneResultPerRequestedPort) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "4";
  env.vars["TOVU_VIRTUAL_INPUTS"] = "2";
  env.vars["TOVU_VIRTUAL_FAIL_OPEN"] = "out:2,in:1";
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));

  // Device 9 and 0x8000 name no port (2); device 2 refuses to open (4); device 1 twice is fine.
  OpenOutcome o = Open(c, Request({0, 9, 2, 1, 1, 0x8000}, 0));
  EXPECT_EQ(o.result, 1);
  ASSERT_TRUE(o.replied);
  EXPECT_EQ(o.reply, ExpectedReply(c.window, 6, {0, 2, 4, 0, 0, 2}, 0));
  EXPECT_EQ(o.noticesBefore, std::vector<uint32_t>{0});  // the close that comes first
  EXPECT_EQ(OpensAndCloses(env), (std::vector<std::string>{"open out0", "open out1", "open in0"}));
  EXPECT_EQ(OutputsOpen(c), (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(InputsOpen(c), (std::vector<bool>{true, false}));

  // A new request replaces the whole set: everything closes first, then the new ports open.
  o = Open(c, Request({3}, 1));
  ASSERT_TRUE(o.replied);
  EXPECT_EQ(o.reply, ExpectedReply(c.window, 1, {0}, 4));
  EXPECT_EQ(o.noticesBefore, std::vector<uint32_t>{0});
  EXPECT_EQ(OpensAndCloses(env), (std::vector<std::string>{"open out0", "open out1", "open in0", "close out0",
                                                           "close out1", "close in0", "open out3"}));
  o = Open(c, Request({3}, 7));
  EXPECT_EQ(o.reply, ExpectedReply(c.window, 1, {0}, 2));
  o = Open(c, Request({3}, -1));
  EXPECT_EQ(o.reply, ExpectedReply(c.window, 1, {0}, -1));
  EXPECT_EQ(InputsOpen(c), (std::vector<bool>{false, false}));

  EXPECT_EQ(engine.EndWith(c), 0);
}

TEST(ClientPorts, UnregisteredSenderGetsResultOneAndNothingOpens) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_INPUTS"] = "1";
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client stranger;
  ASSERT_TRUE(env.Connect(stranger));
  OpenOutcome o = Open(stranger, Request({0, 1, 0}, 0));
  EXPECT_EQ(o.result, 1);
  ASSERT_TRUE(o.replied);
  EXPECT_EQ(o.reply, ExpectedReply(stranger.window, 3, {1, 0, 0}, -1));
  EXPECT_TRUE(o.noticesBefore.empty());
  EXPECT_TRUE(OpensAndCloses(env).empty());
  EXPECT_TRUE(PortsClosedNotices(stranger).empty());
  EXPECT_TRUE(tovu::CloseEngine(stranger));
  EXPECT_EQ(engine.Wait(10000), 0);
}

TEST(ClientPorts, OneDeviceOpenedTwiceStaysOpenUntilEveryHolderHasClosedIt) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client a, b;
  ASSERT_TRUE(env.Connect(a));
  ASSERT_TRUE(env.Connect(b));
  ASSERT_EQ(tovu::Register(a), 0);
  ASSERT_EQ(tovu::Register(b), 0);

  EXPECT_EQ(Open(a, Request({1, 1})).reply, ExpectedReply(a.window, 2, {0, 0}, -1));
  EXPECT_EQ(Open(b, Request({1})).reply, ExpectedReply(b.window, 1, {0}, -1));
  EXPECT_EQ(OpensAndCloses(env), std::vector<std::string>{"open out1"});

  // A holds the device twice: its close releases both, and B's hold keeps the device open.
  EXPECT_TRUE(tovu::ClosePorts(a));
  EXPECT_EQ(OpensAndCloses(env), std::vector<std::string>{"open out1"});
  EXPECT_TRUE(Sends(b, tovu::PackEvent(0x90, 60, 100, 1), env));
  EXPECT_TRUE(tovu::ClosePorts(b));
  EXPECT_EQ(OpensAndCloses(env), (std::vector<std::string>{"open out1", "close out1"}));

  // Alone, A's two holds are both released by one close.
  Open(a, Request({1, 1}));
  EXPECT_TRUE(tovu::ClosePorts(a));
  EXPECT_EQ(OpensAndCloses(env),
            (std::vector<std::string>{"open out1", "close out1", "open out1", "close out1"}));
  EXPECT_FALSE(Sends(a, tovu::PackEvent(0x90, 60, 100, 1), env));
  EXPECT_TRUE(tovu::CloseEngine(a));
  EXPECT_EQ(engine.Wait(10000), 0);
}

TEST(ClientPorts, PortsClosedNotificationGoesToTheClientConcernedWithLParamZero) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client a, b, stranger;
  ASSERT_TRUE(env.Connect(a));
  ASSERT_TRUE(env.Connect(b));
  ASSERT_TRUE(env.Connect(stranger));
  ASSERT_EQ(tovu::Register(a), 0);
  ASSERT_EQ(tovu::Register(b), 0);
  Open(a, Request({0}));
  Open(b, Request({1}));
  PortsClosedNotices(a);
  PortsClosedNotices(b);

  int32_t result = -1;
  ASSERT_TRUE(tovu::SendCopyData(a, 14, 0, nullptr, 0, &result));
  EXPECT_EQ(result, 1);
  EXPECT_EQ(PortsClosedNotices(a), std::vector<uint32_t>{0});
  EXPECT_TRUE(PortsClosedNotices(b).empty());
  EXPECT_EQ(OutputsOpen(a), (std::vector<bool>{false, true}));

  // An output count of 0 only closes: a notification, and no reply.
  Open(a, Request({0}));
  OpenOutcome o = Open(a, Request({}));
  EXPECT_EQ(o.result, 1);
  EXPECT_FALSE(o.replied);
  EXPECT_EQ(o.noticesBefore, std::vector<uint32_t>{0});
  EXPECT_EQ(OutputsOpen(a), (std::vector<bool>{false, true}));

  // Closing from an unregistered window does nothing and tells nobody.
  ASSERT_TRUE(tovu::SendCopyData(stranger, 14, 0, nullptr, 0, &result));
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(PortsClosedNotices(stranger).empty());
  EXPECT_TRUE(PortsClosedNotices(b).empty());
  EXPECT_EQ(OutputsOpen(a), (std::vector<bool>{false, true}));

  // Unregistering closes the ports and says so.
  EXPECT_EQ(tovu::Unregister(b), 0);
  EXPECT_EQ(PortsClosedNotices(b), std::vector<uint32_t>{0});
  EXPECT_TRUE(PortsClosedNotices(a).empty());
  EXPECT_EQ(OutputsOpen(a), (std::vector<bool>{false, false}));
  EXPECT_EQ(engine.EndWith(a), 0);
}

TEST(ClientPorts, OutputCountsOutsideTheRequestAreClamped) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_INPUTS"] = "1";
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));

  // 1000 asked for, 256 given (all device 0): the count is echoed, 256 entries answered.
  tovu::OpenPortsRequest all0 = Request(std::vector<uint32_t>(256, 0));
  all0.outputCountOverride = 1000;
  OpenOutcome o = Open(c, all0);
  ASSERT_TRUE(o.replied);
  EXPECT_EQ(o.reply, ExpectedReply(c.window, 1000, std::vector<int32_t>(256, 0), -1));
  EXPECT_TRUE(tovu::ClosePorts(c));
  EXPECT_EQ(OpensAndCloses(env), (std::vector<std::string>{"open out0", "close out0"}));

  // 257: the 257th entry would be the input device id (0 here); it is not read as an output.
  tovu::OpenPortsRequest over = Request(std::vector<uint32_t>(256, 1), 0);
  over.outputCountOverride = 257;
  o = Open(c, over);
  ASSERT_TRUE(o.replied);
  EXPECT_EQ(o.reply, ExpectedReply(c.window, 257, std::vector<int32_t>(256, 0), 0));
  EXPECT_EQ(OutputsOpen(c), (std::vector<bool>{false, true}));

  // Negative counts open no output at all; the count is still echoed.
  for (uint32_t count : {0xFFFFFFFFu, 0x80000000u}) {
    std::vector<uint8_t> request = tovu::EncodeOpenPortsRequest(Request({0, 1}));
    Put(request, 4, count);
    o = OpenRaw(c, request);
    EXPECT_EQ(o.result, 1);
    EXPECT_TRUE(o.replied) << count;  // only a count of 0 goes without a reply
    EXPECT_EQ(o.reply, ExpectedReply(c.window, count, {}, -1)) << count;
    EXPECT_EQ(OutputsOpen(c), (std::vector<bool>{false, false})) << count;
  }
  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  EXPECT_EQ(engine.EndWith(c), 0);
}

TEST(ClientRegistration, TwiceIsOnceAndUnknownWindowsAreRefused) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client a, b;
  ASSERT_TRUE(env.Connect(a));
  ASSERT_TRUE(env.Connect(b));
  ASSERT_EQ(tovu::Register(a), 0);
  tovu::TakeInbox(a);
  EXPECT_EQ(tovu::Register(a), 0);
  EXPECT_EQ(tovu::Command(b, 0, a.window), 0);  // anyone may name the window
  EXPECT_TRUE(PortsClosedNotices(a).empty());
  EXPECT_TRUE(tovu::TakeInbox(a).empty());

  // A handle that names no window has no process to own it.
  EXPECT_EQ(tovu::Command(b, 0, 0), 1);
  EXPECT_EQ(tovu::Command(b, 0, 0x7FFFFFF0), 1);
  EXPECT_EQ(tovu::Command(b, 0, a.engineWindow), 1);
  EXPECT_EQ(tovu::Command(b, 1, b.window), 1);  // never registered

  // One record only: the first unregistration removes it, the second finds nothing. B keeps the
  // engine alive meanwhile.
  ASSERT_EQ(tovu::Register(b), 0);
  EXPECT_EQ(tovu::Unregister(a), 0);
  EXPECT_EQ(tovu::Unregister(a), 1);
  EXPECT_EQ(tovu::Register(a), 0);  // and it may come back
  EXPECT_EQ(tovu::Unregister(a), 0);
  EXPECT_EQ(engine.EndWith(b), 0);
}

TEST(ClientRegistration, UnregisteringTheMiddleClientLeavesTheOthersTheirPorts) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "3";
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client c[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(env.ConnectRegistered(c[i]));
    Open(c[i], Request({static_cast<uint32_t>(i)}));
  }
  EXPECT_EQ(tovu::Unregister(c[1]), 0);
  EXPECT_EQ(OpensAndCloses(env),
            (std::vector<std::string>{"open out0", "open out1", "open out2", "close out1"}));
  EXPECT_EQ(OutputsOpen(c[0]), (std::vector<bool>{true, false, true}));
  // Short lists are served for registered clients only.
  EXPECT_TRUE(Sends(c[0], tovu::PackEvent(0x90, 60, 100, 0), env));
  EXPECT_TRUE(Sends(c[2], tovu::PackEvent(0x90, 60, 100, 2), env));
  EXPECT_FALSE(Sends(c[1], tovu::PackEvent(0x90, 60, 100, 0), env));
  EXPECT_EQ(tovu::Unregister(c[0]), 0);
  EXPECT_EQ(tovu::Unregister(c[2]), 0);
  EXPECT_EQ(engine.Wait(10000), 0);
  EXPECT_EQ(OpensAndCloses(env).size(), 6u);
}
