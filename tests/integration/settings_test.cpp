// Per-port settings read from real files under the settings root, as the output port list reports
// them: the Dev<n> paths, the text conversion, reads that fail (too long, a directory, a FIFO) and
// the reload of command 8.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "integration/support/raw_bus.h"

namespace {

struct PortSettings {
  int32_t delay;
  uint32_t reset;
  bool operator==(const PortSettings& o) const { return delay == o.delay && reset == o.reset; }
};

std::ostream& operator<<(std::ostream& os, const PortSettings& s) {
  return os << "{delay " << s.delay << ", reset " << s.reset << "}";
}

std::vector<PortSettings> ListSettings(tovu::Client& c) {
  std::vector<tovu::OutputPortInfo> outs;
  EXPECT_EQ(tovu::RequestOutputPorts(c, &outs), 0);
  std::vector<PortSettings> settings;
  for (auto& o : outs) settings.push_back({o.sysexDelayMs, o.shortReset});
  return settings;
}

}  // namespace

TEST(PortSettingsStore, FilesAreReadPerPortAndReloadedByCommand8) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "14";
  env.WriteSetting("Dev0/ExclDly", "  25");
  env.WriteSetting("Dev1/ExclDly", "5");
  env.WriteSetting("Dev12/ExclDly", "7");
  env.WriteSetting("Dev12ExclDly", "99");  // not a path any port reads
  env.WriteSetting("Dev2/ExclDly", "abc");
  env.WriteSetting("Dev2/ShrtRes", "abc");
  // Dev3: nothing.
  env.WriteSetting("Dev4/ExclDly", "+12ms");
  env.WriteSetting("Dev4/ShrtRes", "2");
  env.WriteSetting("Dev5/ExclDly", "5" + std::string(91, ' '));  // 92 bytes: read
  env.WriteSetting("Dev5/ShrtRes", "1" + std::string(92, ' '));  // 93 bytes: refused
  env.WriteSetting("Dev6/ExclDly", "9" + std::string(92, ' '));
  std::filesystem::create_directories(env.settingsDir + "/Dev7/ExclDly");
  env.WriteSetting("Dev7/ShrtRes/x", "1");  // a directory holding a file is still no value
  std::filesystem::create_directories(env.settingsDir + "/Dev8");
  ASSERT_EQ(mkfifo((env.settingsDir + "/Dev8/ExclDly").c_str(), 0600), 0);  // never opened for writing
  env.WriteSetting("Dev9/ExclDly", "\t\n 40");
  env.WriteSetting("Dev9/ShrtRes", "-3");
  env.WriteSetting("Dev10/ExclDly", "");
  env.WriteSetting("Dev11/ShrtRes", "0");
  env.WriteSetting("Dev13/ExclDly", "13");
  env.WriteSetting("Dev13/ShrtRes", "1");

  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));

  std::vector<PortSettings> expected = {
      {25, 0}, {5, 0}, {0, 0}, {0, 0}, {12, 1}, {5, 0}, {0, 0},
      {0, 0},  {0, 0}, {40, 1}, {0, 0}, {0, 0}, {7, 0}, {13, 1},
  };
  EXPECT_EQ(ListSettings(c), expected);

  // Change the store, then reload.
  env.WriteSetting("Dev0/ExclDly", "26");
  std::filesystem::remove(env.settingsDir + "/Dev12/ExclDly");
  env.WriteSetting("Dev3/ExclDly", "3");
  env.WriteSetting("Dev3/ShrtRes", "1");
  env.WriteSetting("Dev5/ShrtRes", "1");
  env.WriteSetting("Dev6/ExclDly", "9");
  std::filesystem::remove(env.settingsDir + "/Dev13/ShrtRes");
  // Before command 8 nothing changes.
  EXPECT_EQ(ListSettings(c), expected);
  EXPECT_EQ(tovu::ReloadSettings(c), 0);
  expected[0] = {26, 0};
  expected[12] = {0, 0};
  expected[3] = {3, 1};
  expected[5] = {5, 1};
  expected[6] = {9, 0};
  expected[13] = {13, 0};
  EXPECT_EQ(ListSettings(c), expected);

  EXPECT_TRUE(tovu::CloseEngine(c));
  EXPECT_EQ(engine.Wait(10000), 0);
}
