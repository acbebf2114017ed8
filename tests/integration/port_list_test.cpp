// The port lists over the bus: the type-2 and type-24 answers arrive during the client's own send,
// byte for byte; device counts are cut to 255 and names to 63 characters; without devices the lists
// are refused and the ports fail safely.
#include <gtest/gtest.h>

#include <cstring>

#include "integration/support/raw_bus.h"

namespace {

// Sends command `code` (2 or 24) synchronously and returns the copy-data answers that the window
// procedure handled while the send was in progress.
struct ListAnswer {
  int32_t result = -1;
  int answers = 0;
  tovu::Message message;
};

ListAnswer RequestList(tovu::Client& c, uint32_t code) {
  ListAnswer a;
  c.windowProc = [&](const tovu::Message& m) {
    if (m.msg == tovu::kWmCopyData && (m.dwData & 0xFFFF) == code) {
      ++a.answers;
      a.message = m;
    }
    return 0;
  };
  a.result = tovu::Command(c, code, c.window);
  c.windowProc = nullptr;
  c.inbox.clear();
  return a;
}

std::string NameBytes(const std::vector<uint8_t>& p, size_t at) {
  return std::string(reinterpret_cast<const char*>(p.data() + at), 64);
}

std::string ZeroFilled(const std::string& name) {
  std::string field = name;
  field.resize(64, '\0');
  return field;
}

}  // namespace

TEST(PortLists, OutputAndInputRecordsArriveDuringTheSendByteForByte) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "3";
  env.vars["TOVU_VIRTUAL_INPUTS"] = "2";
  env.WriteSetting("Dev1/ExclDly", "15");
  env.WriteSetting("Dev2/ShrtRes", "1");
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));

  // Closed ports: handle 0 everywhere.
  ListAnswer closed = RequestList(c, 2);
  EXPECT_EQ(closed.result, 0);
  ASSERT_EQ(closed.answers, 1);
  EXPECT_TRUE(closed.message.sent);
  EXPECT_EQ(closed.message.wParam, c.engineWindow);
  EXPECT_EQ(closed.message.dwData, 2u);
  const std::vector<uint8_t>& p = closed.message.payload;
  ASSERT_EQ(p.size(), 240u);
  const int32_t delays[3] = {0, 15, 0};
  const uint32_t resets[3] = {0, 0, 1};
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("output record " + std::to_string(i));
    size_t r = 80 * i;
    EXPECT_EQ(NameBytes(p, r), ZeroFilled("Virtual Out " + std::to_string(i + 1)));
    EXPECT_EQ(GetU32(p, r + 64), i);
    EXPECT_EQ(GetU32(p, r + 68), 0u);
    EXPECT_EQ(static_cast<int32_t>(GetU32(p, r + 72)), delays[i]);
    EXPECT_EQ(GetU32(p, r + 76), resets[i]);
  }
  ListAnswer inputs = RequestList(c, 24);
  EXPECT_EQ(inputs.result, 0);
  ASSERT_EQ(inputs.answers, 1);
  EXPECT_EQ(inputs.message.wParam, c.engineWindow);
  EXPECT_EQ(inputs.message.dwData, 24u);
  ASSERT_EQ(inputs.message.payload.size(), 144u);
  for (uint32_t i = 0; i < 2; ++i) {
    size_t r = 72 * i;
    EXPECT_EQ(NameBytes(inputs.message.payload, r), ZeroFilled("Virtual In " + std::to_string(i + 1)));
    EXPECT_EQ(GetU32(inputs.message.payload, r + 64), i);
    EXPECT_EQ(GetU32(inputs.message.payload, r + 68), 0u);
  }

  // Open output device 1 and input device 1: only their records carry a handle.
  tovu::OpenPortsReply reply;
  ASSERT_TRUE(OpenPorts(c, {1}, 1, 1, &reply));
  ASSERT_EQ(reply.outputResults[0], 0);
  ASSERT_EQ(reply.inputResult, 0);
  ListAnswer open = RequestList(c, 2);
  ASSERT_EQ(open.message.payload.size(), 240u);
  EXPECT_EQ(GetU32(open.message.payload, 68), 0u);
  EXPECT_NE(GetU32(open.message.payload, 80 + 68), 0u);
  EXPECT_EQ(GetU32(open.message.payload, 160 + 68), 0u);
  // Everything but the handle is as before.
  std::vector<uint8_t> masked = open.message.payload;
  std::fill(masked.begin() + 80 + 68, masked.begin() + 80 + 72, 0);
  EXPECT_EQ(masked, p);
  ListAnswer openIn = RequestList(c, 24);
  ASSERT_EQ(openIn.message.payload.size(), 144u);
  EXPECT_EQ(GetU32(openIn.message.payload, 68), 0u);
  EXPECT_NE(GetU32(openIn.message.payload, 72 + 68), 0u);

  // Closed again: the handles go back to 0.
  ASSERT_TRUE(tovu::ClosePorts(c));
  EXPECT_EQ(RequestList(c, 2).message.payload, p);
  EXPECT_EQ(RequestList(c, 24).message.payload, inputs.message.payload);

  EXPECT_EQ(engine.EndWith(c), 0);
}

// The order on the wire: HELLO first; after a SEND of command 2 the engine's SEND of the answer
// comes before its REPLY, and while the engine waits for our reply to that answer it still serves a
// command we send it.
TEST(PortLists, AnswerIsSentBeforeTheReplyAndNestedCommandsAreServed) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  RawConnection raw;
  ASSERT_TRUE(raw.Open(env.socketPath));
  EXPECT_EQ(raw.protocolVersion, 1u);
  EXPECT_NE(raw.window, 0u);
  EXPECT_NE(raw.engineWindow, 0u);
  EXPECT_NE(raw.window, raw.engineWindow);

  ASSERT_TRUE(raw.Write(SendFrame(7, raw.engineWindow, tovu::kEngineCommand, 2, raw.window)));
  RawFrame answer;
  ASSERT_EQ(raw.Read(&answer, 10000), RawRead::kFrame);
  EXPECT_EQ(answer.kind, 2u);  // SEND
  EXPECT_EQ(answer.hwnd, raw.window);
  EXPECT_EQ(answer.msg, tovu::kWmCopyData);
  EXPECT_EQ(answer.wParam, raw.engineWindow);
  EXPECT_EQ(answer.dwData, 2u);
  EXPECT_EQ(answer.payload.size(), 160u);

  // Nested: command 3 answered while the engine still waits for our reply.
  ASSERT_TRUE(raw.Write(SendFrame(8, raw.engineWindow, tovu::kEngineCommand, 3, 0)));
  RawFrame nested;
  ASSERT_EQ(raw.Read(&nested, 10000), RawRead::kFrame);
  EXPECT_EQ(nested.kind, 3u);  // REPLY
  EXPECT_EQ(nested.id, 8u);
  EXPECT_EQ(nested.lParam, 300u);

  ASSERT_TRUE(raw.Write(ReplyFrame(answer.id, 0)));
  RawFrame done;
  ASSERT_EQ(raw.Read(&done, 10000), RawRead::kFrame);
  EXPECT_EQ(done.kind, 3u);
  EXPECT_EQ(done.id, 7u);
  EXPECT_EQ(done.lParam, 0u);

  ASSERT_TRUE(raw.Write(PostFrame(raw.engineWindow, tovu::kWmClose, 0, 0)));
  EXPECT_TRUE(raw.WaitClosed(10000));
  EXPECT_EQ(engine.Wait(10000), 0);
}

// The client library lets a window procedure send a command while it handles an engine answer.
TEST(PortLists, ClientSendsFromInsideItsHandlingOfTheAnswer) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));
  ASSERT_EQ(tovu::SetAuditionHoldTime(c, 420), 0);
  int answers = 0;
  int32_t nestedResult = -1;
  c.windowProc = [&](const tovu::Message& m) {
    if (m.msg == tovu::kWmCopyData && m.dwData == 2) {
      ++answers;
      nestedResult = tovu::AuditionHoldTime(c);
    }
    return 0;
  };
  EXPECT_EQ(tovu::Command(c, 2, c.window), 0);
  EXPECT_EQ(answers, 1);
  EXPECT_EQ(nestedResult, 420);
  c.windowProc = nullptr;
  EXPECT_EQ(tovu::AuditionHoldTime(c), 420);
  EXPECT_TRUE(tovu::CloseEngine(c));
  EXPECT_EQ(engine.Wait(10000), 0);
}

TEST(PortLists, WithoutDevicesListsAreRefusedAndPortsFailSafely) {
  EngineEnv env;
  env.vars["TOVU_MIDI"] = "none";
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));

  ListAnswer outs = RequestList(c, 2);
  EXPECT_EQ(outs.result, 1);
  EXPECT_EQ(outs.answers, 0);
  ListAnswer ins = RequestList(c, 24);
  EXPECT_EQ(ins.result, 1);
  EXPECT_EQ(ins.answers, 0);

  // Nothing to open, send to or silence; the engine keeps serving.
  tovu::OpenPortsReply reply;
  ASSERT_TRUE(tovu::OpenPorts(c, {{0}, 0}, &reply));
  EXPECT_EQ(reply.outputResults[0], 2);
  EXPECT_EQ(reply.inputResult, 2);
  EXPECT_EQ(tovu::SendShort(c, tovu::PackEvent(0x90, 60, 100, 0)), 5);
  EXPECT_EQ(tovu::SendShort(c, tovu::PackEvent(0x90, 60, 100, 255)), 0);
  EXPECT_EQ(tovu::Panic(c), 0);
  EXPECT_TRUE(tovu::SendShortList(c, {tovu::PackEvent(0x90, 60, 100, 0)}));
  EXPECT_TRUE(tovu::SendSysex(c, 0, {0xF0, 0x7E, 0xF7}));
  EXPECT_EQ(tovu::ReloadSettings(c), 0);
  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  EXPECT_TRUE(env.LogLines().empty());

  EXPECT_EQ(engine.EndWith(c), 0);
}

TEST(PortLists, DeviceCountsAreCutTo255) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "300";
  env.vars["TOVU_VIRTUAL_INPUTS"] = "300";
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));

  ListAnswer outs = RequestList(c, 2);
  EXPECT_EQ(outs.result, 0);
  ASSERT_EQ(outs.message.payload.size(), 255u * 80);
  for (uint32_t i = 0; i < 255; ++i) {
    ASSERT_EQ(GetU32(outs.message.payload, 80 * i + 64), i);
    ASSERT_EQ(NameBytes(outs.message.payload, 80 * i), ZeroFilled("Virtual Out " + std::to_string(i + 1)));
  }
  ListAnswer ins = RequestList(c, 24);
  EXPECT_EQ(ins.result, 0);
  ASSERT_EQ(ins.message.payload.size(), 255u * 72);
  for (uint32_t i = 0; i < 255; ++i) ASSERT_EQ(GetU32(ins.message.payload, 72 * i + 64), i);

  // Device 255 does not exist for the engine; device 254 does.
  tovu::OpenPortsReply reply;
  ASSERT_EQ(tovu::Register(c), 0);
  ASSERT_TRUE(tovu::OpenPorts(c, {{254, 255}, -1}, &reply));
  EXPECT_EQ(reply.outputResults[0], 0);
  EXPECT_EQ(reply.outputResults[1], 2);

  EXPECT_EQ(engine.EndWith(c), 0);
}

TEST(PortLists, LongDeviceNamesAreCutTo63CharactersAndZeroFilled) {
  std::string longName;
  for (int i = 0; i < 70; ++i) longName += static_cast<char>('A' + i % 26);
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = longName + "|B";
  env.vars["TOVU_VIRTUAL_INPUTS"] = "x|" + longName;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));

  ListAnswer outs = RequestList(c, 2);
  ASSERT_EQ(outs.message.payload.size(), 160u);
  EXPECT_EQ(NameBytes(outs.message.payload, 0), longName.substr(0, 63) + std::string(1, '\0'));
  EXPECT_EQ(NameBytes(outs.message.payload, 80), ZeroFilled("B"));
  ListAnswer ins = RequestList(c, 24);
  ASSERT_EQ(ins.message.payload.size(), 144u);
  EXPECT_EQ(NameBytes(ins.message.payload, 0), ZeroFilled("x"));
  EXPECT_EQ(NameBytes(ins.message.payload, 72), longName.substr(0, 63) + std::string(1, '\0'));

  EXPECT_TRUE(tovu::CloseEngine(c));
  EXPECT_EQ(engine.Wait(10000), 0);
}
