// ReadSetting and LoadSettings in process against a settings root of real files: the atoi-like
// conversion, the reads that fall back to the default, and the four metronome settings with the
// validation of MtrDev against the output table.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "ports/ports.h"
#include "support/virtual_ports.h"

namespace {

// A fresh settings root for one test, pointed at by TOVU_SETTINGS_DIR.
struct SettingsRoot {
  std::string dir;
  std::string saved;
  bool hadSaved = false;

  SettingsRoot() {
    char tmpl[] = "/tmp/tovu-settings-XXXXXX";
    dir = mkdtemp(tmpl);
    if (const char* old = getenv("TOVU_SETTINGS_DIR")) {
      saved = old;
      hadSaved = true;
    }
    setenv("TOVU_SETTINGS_DIR", dir.c_str(), 1);
  }
  ~SettingsRoot() {
    if (hadSaved)
      setenv("TOVU_SETTINGS_DIR", saved.c_str(), 1);
    else
      unsetenv("TOVU_SETTINGS_DIR");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  void Write(const std::string& subPath, const std::string& text) const {
    std::filesystem::path p = std::filesystem::path(dir) / subPath;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
  }
  void Remove(const std::string& subPath) const { std::filesystem::remove(std::filesystem::path(dir) / subPath); }
};

}  // namespace

TEST(SettingsStore, ReadSettingConvertsLikeAtoiAndFallsBackOnlyWhenTheReadFails) {
  SettingsRoot root;
  EXPECT_EQ(ReadSetting("Missing", 77), 77);
  root.Write("Text", "abc");
  EXPECT_EQ(ReadSetting("Text", 77), 0);
  root.Write("Empty", "");
  EXPECT_EQ(ReadSetting("Empty", 77), 0);
  root.Write("Spaced", "  25");
  EXPECT_EQ(ReadSetting("Spaced", 77), 25);
  root.Write("Signed", "-7 apples");
  EXPECT_EQ(ReadSetting("Signed", 77), -7);
  root.Write("TwoSigns", "+-7");
  EXPECT_EQ(ReadSetting("TwoSigns", 77), 0);
  root.Write("Longest", "8" + std::string(91, ' '));
  EXPECT_EQ(ReadSetting("Longest", 77), 8);
  root.Write("TooLong", "8" + std::string(92, ' '));
  EXPECT_EQ(ReadSetting("TooLong", 77), 77);
  std::filesystem::create_directories(root.dir + "/Directory");
  EXPECT_EQ(ReadSetting("Directory", 77), 77);
  // A backslash in the sub-key path is a directory level.
  root.Write("Dev12/ExclDly", "12");
  root.Write("Dev1/ExclDly", "1");
  EXPECT_EQ(ReadSetting("Dev12\\ExclDly", 77), 12);
}

TEST(SettingsStore, MetronomeSettingsLoadWithDefaultsAndMtrDevMustNameAPort) {
  SettingsRoot root;
  VirtualPorts vp(3, 0, false);
  // Defaults when nothing is stored.
  EXPECT_EQ(LoadSettings(vp.ports), 0);
  EXPECT_EQ(vp.ports.settings.device, 0x8000);
  EXPECT_EQ(vp.ports.settings.channel, 9);
  EXPECT_EQ(vp.ports.settings.measureNote, 60);
  EXPECT_EQ(vp.ports.settings.beatNote, 61);

  root.Write("MtrDev", "40");                          // no port has device id 40
  root.Write("MtrChan", "abc");                        // 0, not the default
  root.Write("MtrNB", "70" + std::string(91, ' '));    // 93 bytes: the default
  LoadSettings(vp.ports);
  EXPECT_EQ(vp.ports.settings.device, 0x8000);
  EXPECT_EQ(vp.ports.settings.channel, 0);
  EXPECT_EQ(vp.ports.settings.measureNote, 60);
  EXPECT_EQ(vp.ports.settings.beatNote, 61);

  // Values are taken as read, without a range test; MtrDev only when a port has it.
  root.Write("MtrDev", " 2");
  root.Remove("MtrChan");
  root.Write("MtrNM", "200");
  root.Write("MtrNB", "-5");
  LoadSettings(vp.ports);
  EXPECT_EQ(vp.ports.settings.device, 2);
  EXPECT_EQ(vp.ports.settings.channel, 9);
  EXPECT_EQ(vp.ports.settings.measureNote, 200);
  EXPECT_EQ(vp.ports.settings.beatNote, -5);
  root.Write("MtrDev", "32768");
  LoadSettings(vp.ports);
  EXPECT_EQ(vp.ports.settings.device, 0x8000);
  root.Write("MtrDev", "-1");
  LoadSettings(vp.ports);
  EXPECT_EQ(vp.ports.settings.device, 0x8000);
}

TEST(SettingsStore, WithoutOutputPortsMtrDevIsAlwaysNone) {
  SettingsRoot root;
  root.Write("MtrDev", "0");
  VirtualPorts vp(0, 0, false);
  LoadSettings(vp.ports);
  EXPECT_EQ(vp.ports.outputCount, 0);
  EXPECT_EQ(vp.ports.settings.device, 0x8000);
}
