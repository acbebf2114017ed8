// Fuzz harness: the settings store reader and the engine's reading of every setting.
//
// Input: one byte choosing a setting (or a path that is a directory), one byte choosing a read
// capacity (1-100), then the file's bytes. The file is written to a private settings root, read
// back raw and through the engine's loading of all settings. A raw read must succeed exactly when
// the bytes fit the capacity (and then return them, zero-terminated), and loading must leave every
// value within what the engine accepts.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/event.h"
#include "platform/midi.h"
#include "platform/settings.h"
#include "ports/ports.h"

namespace {

const char* const kKeys[] = {"MtrDev", "MtrChan", "MtrNM", "MtrNB", "Dev0\\ExclDly", "Dev0\\ShrtRes",
                             "Dev1\\ExclDly", "Dev1\\ShrtRes", "Dev1", "Dev7\\ExclDly"};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

struct World {
  std::string root;
  Ports ports;
  std::string lastPath;  // what the previous input wrote
};

World& TheWorld() {
  static World* w = [] {
    World* world = new World;
    char tmpl[] = "/tmp/tovu-fuzz-settings-XXXXXX";
    world->root = mkdtemp(tmpl);
    setenv("TOVU_SETTINGS_DIR", world->root.c_str(), 1);
    platform::VirtualMidiConfig config;
    config.outputs = {"Fuzz Out 1", "Fuzz Out 2"};
    platform::MidiStartVirtual(config);
    BuildPortTables(world->ports);
    return world;
  }();
  return *w;
}

void Check(bool condition) {
  if (!condition) abort();
}

std::string PathOf(const std::string& root, const char* key) {
  std::string path = root + "/";
  for (const char* c = key; *c; ++c) path += *c == '\\' ? '/' : *c;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  World& w = TheWorld();
  const char* key = kKeys[data[0] % kKeyCount];
  size_t capacity = 1 + data[1] % 100;
  const uint8_t* bytes = data + 2;
  size_t count = size - 2;

  std::error_code ec;
  if (!w.lastPath.empty()) std::filesystem::remove_all(w.lastPath, ec);
  std::string path = PathOf(w.root, key);
  // "Dev1" is a file for one input and the directory of "Dev1\ExclDly" for another.
  std::filesystem::remove_all(std::filesystem::path(path).parent_path() == w.root ? path : PathOf(w.root, "Dev1"), ec);
  w.lastPath = path;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  bool asDirectory = data[0] >= 0xF0;  // a directory where a file belongs is never a setting
  if (asDirectory) {
    std::filesystem::create_directories(path, ec);
  } else {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    if (count) fwrite(bytes, 1, count, f);
    fclose(f);
  }

  char text[101];
  memset(text, 0x5A, sizeof text);
  bool ok = platform::ReadSettingText(key, text, capacity);
  Check(ok == (!asDirectory && count <= capacity - 1));
  if (ok) {
    Check(memcmp(text, bytes, count) == 0);
    Check(text[count] == 0);
    for (size_t i = count + 1; i < sizeof text; ++i) Check(text[i] == 0x5A);  // nothing written beyond
  }

  int32_t value = ReadSetting(key, -77);
  if (asDirectory || count > 92) Check(value == -77);

  LoadSettings(w.ports);
  const EngineSettings& s = w.ports.settings;
  Check(static_cast<uint32_t>(s.device) == kNoDevice || (s.device >= 0 && s.device < w.ports.outputCount));
  for (int i = 0; i < w.ports.outputCount; ++i) Check(w.ports.outputs[i].shortReset <= 1);
  return 0;
}
