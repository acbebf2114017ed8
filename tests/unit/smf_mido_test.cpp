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
#include "client/take_reader.h"
#include "playback/seek.h"
#include "playback_test_util.h"
#include "support/mido_writer.h"
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
  for (const ExpectedSend& e : ReadExpectedSends(path.string())) out.push_back({e.seconds * 1e6, e.text});
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
    ASSERT_TRUE(RunMidoWriter(std::string(kind) + " " + file.string() + " " + expected.string()));
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
  ASSERT_TRUE(RunMidoWriter("dense " + file.string() + " " + expected.string() + " 2000"));
  std::vector<uint8_t> bytes = ReadBytes(file);
  tovu::SmfSong song;
  std::string error;
  ASSERT_TRUE(tovu::ImportSmf(bytes.data(), bytes.size(), {}, &song, &error)) << error;
  EXPECT_TRUE(song.retimed);
  // Half an image tick at the slowest tempo (87.5 bpm, rounded to 88) is under 45 microseconds.
  ExpectSame(Expected(expected), Played(song.song.Build(), 1), 45.0);
}

TEST(SmfMido, ExportedTakesReadBackWithMido) {
  tovu::Take take;
  take.recordStartTick = 960;
  take.countInLength = 1920;
  take.events = {{900, 0x00403C90},  // count-in
                 {970, 0x00643C90}, {1200, 0x00003C90}, {2880, 0xFF},
                 {980, 0x00102AB0}, {1000, 0xF0}, {1100, 0x000020E0}, {2880, 0xFF},
                 {990, 0x000007C1}, {1500, 0xFF}};
  take.sysex = {{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}};
  tovu::TakeExportOptions options;
  options.ticksPerQuarter = 480;
  options.tempos = {{0, 500000}, {1920, 600000}};
  options.timeSigs = {tovu::SmfTimeSignature{0, 0, 3, 2}};
  options.loopStart = 960;
  TempDir dir;
  fs::path file = dir.path / "take.mid";
  std::vector<uint8_t> bytes = tovu::ExportTakeSmf(take, options);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  // Passes: 960-2880 at file 0, 960-2880 at 1920, 960-1500 at 3840. The 80 bpm change at song
  // tick 1920 comes 960 into each full pass.
  EXPECT_EQ(MidoDump(file.string(), (dir.path / "dump.txt").string()), (std::vector<std::string>{
      "0 0 time_signature clocks_per_click=24 denominator=4 notated_32nd_notes_per_beat=8 numerator=3",
      "0 0 set_tempo tempo=500000",
      "0 960 set_tempo tempo=600000",
      "0 1920 time_signature clocks_per_click=24 denominator=4 notated_32nd_notes_per_beat=8 numerator=3",
      "0 1920 set_tempo tempo=500000",
      "0 2880 set_tempo tempo=600000",
      "0 3840 time_signature clocks_per_click=24 denominator=4 notated_32nd_notes_per_beat=8 numerator=3",
      "0 3840 set_tempo tempo=500000",
      "0 3840 end_of_track ",
      "1 0 marker text='pass 1'",
      "1 10 note_on channel=0 note=60 velocity=100",
      "1 240 note_on channel=0 note=60 velocity=0",
      "1 1920 marker text='pass 2'",
      "1 1940 control_change channel=0 control=42 value=16",
      "1 1960 sysex data=[126, 127, 9, 1]",
      "1 2060 pitchwheel channel=0 pitch=-8160",
      "1 3840 marker text='pass 3'",
      "1 3870 program_change channel=1 program=7",
      "1 4380 end_of_track ",
  }));
}

TEST(SmfMido, FormatTwoIsRefused) {
  TempDir dir;
  fs::path file = dir.path / "f2.mid";
  ASSERT_TRUE(RunMidoWriter("format2 " + file.string()));
  std::vector<uint8_t> bytes = ReadBytes(file);
  tovu::SmfSong song;
  std::string error;
  EXPECT_FALSE(tovu::ImportSmf(bytes.data(), bytes.size(), {}, &song, &error));
  EXPECT_NE(error.find("format 2"), std::string::npos);
}

}  // namespace
