// Standard MIDI File import against an independent writer: files written by mido (Debian's
// python3-mido, run with /usr/bin/python3) are imported, and the engine's event application sends,
// at the times the image's own tempo map gives, exactly the events mido lists with the times it
// computes. Formats 0 and 1, running status written by mido, ports, tempo changes, fractional tempos.
//
// Threads: the test thread only (the writer runs as a child process through std::system).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "client/smf.h"
#include "playback/seek.h"
#include "playback_test_util.h"
#include "support/virtual_ports.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path;
  TempDir() {
    std::random_device rd;
    path = fs::temp_directory_path() / ("tovu-smf-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
};

bool RunWriter(const std::string& args) {
  std::string command = "/usr/bin/python3 " TOVU_SOURCE_DIR "/tests/smf/make_midi.py " + args;
  return std::system(command.c_str()) == 0;
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Sent {
  double us;
  std::string line;  // "out<port> <hex bytes>"
};

std::vector<Sent> Expected(const fs::path& path) {
  std::vector<Sent> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    double seconds;
    int port;
    fields >> seconds >> port;
    std::string rest;
    std::getline(fields, rest);
    out.push_back({seconds * 1e6, "out" + std::to_string(port) + rest});
  }
  return out;
}

// Plays the image through the engine's event application, event by event, each at the time its
// tick has by the image's tempo events.
std::vector<Sent> Played(const std::vector<uint8_t>& image, int32_t ports) {
  VirtualPorts vp(ports);
  auto main = NewImage(ports), scratch = NewImage(ports);
  SeekImages(image.data(), 0, -1, *main, *scratch, nullptr);
  main->sysexMode = 1;
  PlaybackClock clock;
  std::vector<Sent> out;
  double tps = ReadU32(image.data()) >> 2, ticksPerMinute = 14400, us = 0;
  int32_t last = 0;
  for (;;) {
    int32_t tick = CursorTick(*main);
    uint32_t word = CursorWord(*main);
    us += (tick - last) * 60e6 / ticksPerMinute;
    last = tick;
    if ((word & 0xFF) == 0xFF) break;
    if ((word & 0xFF) == 0xFE) ticksPerMinute = (word >> 8) * 4 * tps;
    ApplyEvent(vp.ports, clock, tick, word, *main);
    main->eventCursor += kEventEntrySize;
    for (std::string& line : vp.TakeData()) out.push_back({us, line});
  }
  return out;
}

void ExpectSame(const std::vector<Sent>& expected, const std::vector<Sent>& played, double toleranceUs) {
  ASSERT_EQ(played.size(), expected.size());
  double worst = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(played[i].line, expected[i].line) << "event " << i;
    worst = std::max(worst, std::fabs(played[i].us - expected[i].us));
  }
  EXPECT_LE(worst, toleranceUs);
}

TEST(SmfMido, FormatOneAndZeroPlayAsMidoListsThem) {
  TempDir dir;
  for (const char* kind : {"song", "format0"}) {
    SCOPED_TRACE(kind);
    fs::path file = dir.path / (std::string(kind) + ".mid"), expected = dir.path / (std::string(kind) + ".txt");
    ASSERT_TRUE(RunWriter(std::string(kind) + " " + file.string() + " " + expected.string()));
    std::vector<uint8_t> bytes = ReadBytes(file);
    tovu::SmfSong song;
    std::string error;
    tovu::SmfImportOptions options;
    options.outputPortIndices = {0, 1};
    ASSERT_TRUE(tovu::ImportSmf(bytes.data(), bytes.size(), options, &song, &error)) << error;
    EXPECT_FALSE(song.retimed);
    ExpectSame(Expected(expected), Played(song.song.Build(), 2), 1.0);
  }
}

TEST(SmfMido, FractionalTemposPlayWithinAFewMicroseconds) {
  TempDir dir;
  fs::path file = dir.path / "dense.mid", expected = dir.path / "dense.txt";
  ASSERT_TRUE(RunWriter("dense " + file.string() + " " + expected.string() + " 2000"));
  std::vector<uint8_t> bytes = ReadBytes(file);
  tovu::SmfSong song;
  std::string error;
  ASSERT_TRUE(tovu::ImportSmf(bytes.data(), bytes.size(), {}, &song, &error)) << error;
  EXPECT_TRUE(song.retimed);
  // Half an image tick at the slowest tempo (87.5 bpm, rounded to 88) is under 45 microseconds.
  ExpectSame(Expected(expected), Played(song.song.Build(), 1), 45.0);
}

TEST(SmfMido, FormatTwoIsRefused) {
  TempDir dir;
  fs::path file = dir.path / "f2.mid";
  ASSERT_TRUE(RunWriter("format2 " + file.string()));
  std::vector<uint8_t> bytes = ReadBytes(file);
  tovu::SmfSong song;
  std::string error;
  EXPECT_FALSE(tovu::ImportSmf(bytes.data(), bytes.size(), {}, &song, &error));
  EXPECT_NE(error.find("format 2"), std::string::npos);
}

}  // namespace
