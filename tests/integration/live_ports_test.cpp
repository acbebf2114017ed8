// Devices that come, go and come back while the engine runs, driven through the virtual service's
// control FIFO: a randomised run of adds and removes checked against a model of the port tables
// (indices, names, presence, the handles of the ports a client holds, the notifications), and what
// a port whose device has gone does with sends and with what its device held.
// Threads: the test thread only; the engine runs as a child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "client/tovu_client.h"
#include "integration/support/engine_process.h"

namespace {

// What a client should see of one port.
struct ModelPort {
  std::string name;
  bool present = true;
  bool held = false;  // opened by the client before its device ever went
};

// The change a control line makes to the model's table, as the notification's word; 0 for none.
uint32_t Apply(std::vector<ModelPort>& table, bool input, bool add, const std::string& name) {
  auto it = std::find_if(table.begin(), table.end(), [&](const ModelPort& p) { return p.name == name; });
  if (!add) {
    if (it == table.end() || !it->present) return 0;
    it->present = false;
    return tovu::PortChangeWord(tovu::kPortGone, input, static_cast<uint32_t>(it - table.begin()));
  }
  if (it != table.end()) {
    if (it->present) return 0;
    it->present = true;
    return tovu::PortChangeWord(tovu::kPortBack, input, static_cast<uint32_t>(it - table.begin()));
  }
  table.push_back({name, true, false});
  return tovu::PortChangeWord(tovu::kPortAdded, input, static_cast<uint32_t>(table.size() - 1));
}

bool Told(tovu::Client& c, uint32_t word) {
  return tovu::WaitForMessage(c, [word](const tovu::Message& m) {
    tovu::NotificationInfo n;
    return tovu::AsNotification(m, &n) && n.code == tovu::kNotifyPortsChanged && n.lParam == word;
  }, 10000);
}

template <typename Info>
void ExpectTable(const std::vector<Info>& listed, const std::vector<uint8_t>& states,
                 const std::vector<ModelPort>& model, const char* what, int step) {
  ASSERT_EQ(listed.size(), model.size()) << what << " at step " << step;
  ASSERT_EQ(states.size(), model.size()) << what << " at step " << step;
  for (size_t i = 0; i < model.size(); ++i) {
    EXPECT_EQ(listed[i].name, model[i].name) << what << " " << i << " at step " << step;
    EXPECT_EQ(listed[i].deviceId, i) << what << " " << i << " at step " << step;
    // An absent port shows as a closed one; a held one is open again once its device is back.
    EXPECT_EQ(listed[i].handle != 0, model[i].present && model[i].held) << what << " " << i << " at step " << step;
    EXPECT_EQ(states[i], model[i].present ? tovu::kPortPresent : tovu::kPortAbsent) << what << " " << i << " at step " << step;
  }
}

}  // namespace

TEST(LivePorts, AddsAndRemovesKeepEveryIndexAndReopenHeldPortsAsAModelSays) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "A|B";
  env.vars["TOVU_VIRTUAL_INPUTS"] = "I";
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));
  ASSERT_TRUE(OpenPorts(c, {0, 1}, 0));
  std::vector<ModelPort> outs = {{"A", true, true}, {"B", true, true}};
  std::vector<ModelPort> ins = {{"I", true, true}};

  const std::vector<std::string> outNames = {"A", "B", "C", "D"};
  const std::vector<std::string> inNames = {"I", "J", "K"};
  std::mt19937 random(27);
  int changes[4] = {};  // by kind: added, gone, back
  for (int step = 0; step < 40; ++step) {
    const bool input = random() % 3 == 0;
    const bool add = random() % 2 == 0;
    const std::vector<std::string>& names = input ? inNames : outNames;
    const std::string name = names[random() % names.size()];
    const uint32_t word = Apply(input ? ins : outs, input, add, name);
    ASSERT_TRUE(env.Control(std::string(add ? "add " : "remove ") + (input ? "in " : "out ") + name));
    if (word == 0) continue;  // no change, nothing told; the next change's notification orders it
    ++changes[tovu::PortChangeOf(word)];
    ASSERT_TRUE(Told(c, word)) << "step " << step << " word " << std::hex << word;
    std::vector<tovu::OutputPortInfo> listedOuts;
    std::vector<tovu::InputPortInfo> listedIns;
    tovu::PortStates states;
    ASSERT_EQ(tovu::RequestOutputPorts(c, &listedOuts), 0);
    ASSERT_EQ(tovu::RequestInputPorts(c, &listedIns), 0);
    ASSERT_TRUE(tovu::RequestPortStates(c, &states));
    ExpectTable(listedOuts, states.outputs, outs, "output", step);
    ExpectTable(listedIns, states.inputs, ins, "input", step);
  }
  // The run went through every kind of change, on both tables (the seed is fixed).
  EXPECT_GT(changes[tovu::kPortAdded], 1);
  EXPECT_GT(changes[tovu::kPortGone], 3);
  EXPECT_GT(changes[tovu::kPortBack], 3);
  EXPECT_GT(ins.size(), 1u);
  // Lines that change nothing are taken as such; others are refused without harm.
  EXPECT_TRUE(env.Control("open out A"));
  EXPECT_TRUE(env.Control("add out"));
  EXPECT_EQ(engine.EndWith(c), 0);
}

TEST(LivePorts, AGonePortRefusesSendsAndWhatItsDeviceHeldIsNeverReleasedToItsSuccessor) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "Synth";
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));
  ASSERT_TRUE(OpenPorts(c, {0}));
  ASSERT_EQ(tovu::SendShort(c, tovu::PackEvent(0x90, 60, 100, 0)), 0);

  ASSERT_TRUE(env.Control("remove out Synth"));
  ASSERT_TRUE(Told(c, tovu::PortChangeWord(tovu::kPortGone, false, 0)));
  EXPECT_EQ(tovu::SendShort(c, tovu::PackEvent(0x90, 62, 100, 0)), tovu::kResultNoDevice);
  ASSERT_TRUE(tovu::SendSysex(c, 0, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
  uint32_t error = 0;
  EXPECT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyFailed, 10000, &error));
  EXPECT_EQ(error, tovu::kErrorPortAbsent);
  // A client that opens the gone port is told so in the reply; the port it held stays held.
  tovu::Client late;
  ASSERT_TRUE(env.ConnectRegistered(late));
  tovu::OpenPortsReply reply;
  ASSERT_TRUE(OpenPorts(late, {0}, -1, 1, &reply));
  EXPECT_EQ(reply.outputResults[0], tovu::kResultNoDevice);
  // tovu-ctl lists it as absent, and says why a send to it failed.
  EXPECT_EQ(env.RunCtl({"ports"}), 0) << ReadText(env.dir + "/ctl.err");
  const std::string listed = ReadText(env.dir + "/ctl.out");
  const size_t synth = listed.find("\"Synth\"");
  ASSERT_NE(synth, std::string::npos) << listed;
  const std::string line = listed.substr(synth, listed.find('\n', synth) - synth);
  const std::string absent = "absent (its device has gone)";
  EXPECT_TRUE(line.size() > absent.size() && line.compare(line.size() - absent.size(), absent.size(), absent) == 0)
      << listed;
  EXPECT_NE(env.RunCtl({"send", "90", "3c", "64"}), 0);
  EXPECT_NE(ReadText(env.dir + "/ctl.err").find("has gone away"), std::string::npos) << ReadText(env.dir + "/ctl.err");

  ASSERT_TRUE(env.Control("add out Synth"));
  ASSERT_TRUE(Told(c, tovu::PortChangeWord(tovu::kPortBack, false, 0)));
  EXPECT_EQ(OutputsOpen(c), std::vector<bool>{true});
  ASSERT_EQ(tovu::SendShort(c, tovu::PackEvent(0x90, 64, 100, 0)), 0);
  EXPECT_EQ(tovu::Unregister(late), 0);
  EXPECT_EQ(engine.EndWith(c), 0);

  // The note struck before the device went is not released to the device that came back (it never
  // heard it); the one struck after is; nothing reached the device while it was away.
  std::vector<std::string> lines = env.LogLines();
  auto from = std::find(lines.begin(), lines.end(), "remove out0");
  ASSERT_NE(from, lines.end());
  EXPECT_EQ(std::vector<std::string>(from, lines.end()),
            (std::vector<std::string>{"remove out0", "close out0", "add out0", "open out0", "data out0 90 40 64",
                                      "data out0 90 40 00", "close out0"}));
}
