// Standard MIDI File import and take export, checked through the engine's own event application:
// an imported file, played through ApplyEvent onto virtual devices, sends the file's bytes; a start
// in the middle restores its bank and parameter selections; malformed files are refused with where;
// re-timed files keep every event within half an image tick; mutated files never crash the importer
// and whatever it accepts passes the engine's image check. Exported takes: loop passes laid one after
// the other with markers.
//
// Threads: the test thread only.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "client/smf.h"
#include "client/take_reader.h"
#include "playback/seek.h"
#include "playback_test_util.h"
#include "support/virtual_ports.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

void Vlq(Bytes& out, uint32_t v) {
  uint8_t buf[5];
  int n = 0;
  buf[n++] = v & 0x7F;
  while (v >>= 7) buf[n++] = 0x80 | (v & 0x7F);
  while (n) out.push_back(buf[--n]);
}

void Be(Bytes& out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Chunk(const char* type, const Bytes& body) {
  Bytes out(type, type + 4);
  Be(out, static_cast<uint32_t>(body.size()), 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes File(uint32_t format, uint32_t division, const std::vector<Bytes>& tracks) {
  Bytes body;
  Be(body, format, 2);
  Be(body, static_cast<uint32_t>(tracks.size()), 2);
  Be(body, division, 2);
  Bytes out = Chunk("MThd", body);
  for (const Bytes& t : tracks) {
    Bytes c = Chunk("MTrk", t);
    out.insert(out.end(), c.begin(), c.end());
  }
  return out;
}

// A track from (delta, bytes) pairs, with an end of track after `endDelta`.
Bytes Track(const std::vector<std::pair<uint32_t, Bytes>>& events, uint32_t endDelta = 0) {
  Bytes out;
  for (auto& [delta, bytes] : events) {
    Vlq(out, delta);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  Vlq(out, endDelta);
  out.insert(out.end(), {0xFF, 0x2F, 0x00});
  return out;
}

Bytes Tempo(uint32_t us) { return {0xFF, 0x51, 0x03, static_cast<uint8_t>(us >> 16), static_cast<uint8_t>(us >> 8), static_cast<uint8_t>(us)}; }

// A format 1 file with one of everything the importer turns into something.
Bytes RichFile() {
  Bytes conductor = Track({{0, {0xFF, 0x58, 0x04, 0x03, 0x02, 0x18, 0x08}}, {0, Tempo(500000)},
                           {384, Tempo(400000)}, {192, {0xFF, 0x58, 0x04, 0x04, 0x02, 0x18, 0x08}}});
  Bytes piano = Track({
      {0, {0xFF, 0x03, 0x05, 'p', 'i', 'a', 'n', 'o'}},
      {0, {0xB0, 0x00, 0x01}}, {0, {0x20, 0x03}},                  // bank 14-bit, running status
      {0, {0xC0, 0x05}},
      {0, {0xB0, 0x65, 0x00}}, {0, {0x64, 0x00}}, {0, {0x06, 0x0C}}, {0, {0x26, 0x00}},  // RPN 0 = 12/0
      {0, {0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7}},
      {0, {0x90, 0x3C, 0x64}}, {48, {0x3C, 0x00}},                  // release by running status
      {0, {0x90, 0x40, 0x50}}, {48, {0x80, 0x40, 0x40}},            // note-off: a release
      {10, {0xB0, 0x00, 0x02}},                                     // lone bank MSB
      {0, {0xB0, 0x63, 0x01}}, {0, {0x62, 0x08}}, {0, {0x06, 0x40}},  // short NRPN: plain controllers
      {0, {0xF7, 0x02, 0xF8, 0xFA}},                                // escape: sent as is
      {38, {0xE0, 0x00, 0x50}},
  }, 96);
  Bytes drums = Track({{0, {0xFF, 0x21, 0x01, 0x01}}, {0, {0x99, 0x24, 0x64}}, {96, {0x99, 0x24, 0x00}}});
  return File(1, 96, {conductor, piano, drums});
}

bool Import(const Bytes& file, tovu::SmfSong* song, std::string* error = nullptr, std::vector<uint8_t> ports = {}) {
  tovu::SmfImportOptions options;
  options.outputPortIndices = std::move(ports);
  return tovu::ImportSmf(file.data(), file.size(), options, song, error);
}

TEST(SmfImport, TheEngineSendsTheFileAsWritten) {
  tovu::SmfSong song;
  std::string error;
  ASSERT_TRUE(Import(RichFile(), &song, &error, {1, 0})) << error;
  EXPECT_EQ(song.format, 1u);
  EXPECT_EQ(song.ticksPerQuarter, 96u);
  EXPECT_FALSE(song.retimed);
  ASSERT_EQ(song.tracks.size(), 3u);
  EXPECT_EQ(song.tracks[1].name, "piano");
  EXPECT_EQ(song.counts.noteOn, 3u);
  EXPECT_EQ(song.counts.noteOff, 3u);
  EXPECT_EQ(song.counts.banks, 2u);
  EXPECT_EQ(song.counts.rpns, 1u);
  EXPECT_EQ(song.counts.nrpns, 0u);
  EXPECT_EQ(song.endFileTick, 576);
  ASSERT_EQ(song.tempos.size(), 2u);
  EXPECT_EQ(song.tempos[1].imageTick, 384);
  EXPECT_EQ(song.tempos[1].imageTempo, 150u);

  Bytes image = song.song.Build();
  ASSERT_TRUE(ValidateSongImage(image.data(), image.size(), 2));
  VirtualPorts vp(2);
  auto main = NewImage(2), scratch = NewImage(2);
  SeekImages(image.data(), 0, -1, *main, *scratch, nullptr);
  main->sysexMode = 1;
  PlaybackClock clock;
  EXPECT_TRUE(PlayUntil(vp.ports, clock, *main, 100000));
  // Port 0 of the file plays on output index 1, port 1 (the drums) on index 0.
  EXPECT_EQ(vp.TakeData(), (Lines{
      "out1 b0 00 01", "out1 b0 20 03", "out1 c0 05",
      "out1 b0 65 00", "out1 b0 64 00", "out1 b0 06 0c", "out1 b0 26 00",
      "out1 f0 7e 7f 09 01 f7", "out1 90 3c 64", "out0 99 24 64",
      "out1 90 3c 00", "out1 90 40 50",
      "out1 90 40 00", "out0 99 24 00",
      "out1 b0 00 02", "out1 b0 63 01", "out1 b0 62 08", "out1 b0 06 40", "out1 f8 fa",
      "out1 e0 00 50"}));
}

TEST(SmfImport, AStartInTheMiddleRestoresBankProgramAndParameters) {
  tovu::SmfSong song;
  ASSERT_TRUE(Import(RichFile(), &song));
  Bytes image = song.song.Build();
  VirtualPorts vp(1);
  auto main = NewImage(1), scratch = NewImage(1);
  SeekImages(image.data(), 50, -1, *main, *scratch, nullptr);
  main->sysexMode = 1;
  ReplayState(vp.ports, *main);
  Lines sent = vp.TakeData();
  auto has = [&](const std::string& line) { return std::find(sent.begin(), sent.end(), line) != sent.end(); };
  EXPECT_TRUE(has("out0 f0 7e 7f 09 01 f7"));
  EXPECT_TRUE(has("out0 b0 00 01") && has("out0 b0 20 03")) << testing::PrintToString(sent);
  EXPECT_TRUE(has("out0 c0 05"));
  EXPECT_TRUE(has("out0 b0 65 00") && has("out0 b0 64 00") && has("out0 b0 06 0c") && has("out0 b0 26 00"));
  EXPECT_TRUE(has("out0 90 40 50"));  // sounding at tick 50
  EXPECT_FALSE(has("out0 90 3c 64"));  // released at 48
}

TEST(SmfImport, MalformedFilesAreRefusedSayingWhere) {
  Bytes good = File(0, 96, {Track({{0, {0x90, 0x3C, 0x64}}, {96, {0x3C, 0x00}}})});
  struct Case {
    const char* what;
    Bytes file;
    const char* message;
  };
  Bytes overlong = File(0, 96, {Track({{0, {0x90, 0x3C, 0x64}}})});
  overlong.insert(overlong.begin() + 22, {0x81, 0x81, 0x81, 0x81});  // a 5-byte delta time
  overlong[21] += 4;
  Bytes pastEnd = good;
  pastEnd[21] += 10;  // the track's length claims more than the file holds
  Bytes shortTracks = File(1, 96, {Track({})});
  shortTracks[11] = 3;  // three tracks announced, one present
  Bytes longMeta = File(0, 96, {{0x00, 0xFF, 0x01, 0x40, 'x', 0x00, 0xFF, 0x2F, 0x00}});
  Bytes longSysex = File(0, 96, {{0x00, 0xF0, 0x7F, 0x01, 0x02}});
  std::vector<Case> cases = {
      {"empty", {}, "not a Standard MIDI File"},
      {"other bytes", Bytes(40, 'x'), "not a Standard MIDI File"},
      {"format 2", File(2, 96, {Track({})}), "format 2"},
      {"SMPTE", File(0, 0xE728, {Track({})}), "SMPTE"},
      {"division 0", File(0, 0, {Track({})}), "division of 0"},
      {"truncated header", Bytes(good.begin(), good.begin() + 12), "not a Standard MIDI File"},
      {"header length past end", [] { Bytes b = File(0, 96, {}); b[7] = 200; return b; }(), "header chunk of 200 bytes"},
      {"truncated chunk", Bytes(good.begin(), good.end() - 3), "track 1: chunk at byte 14 claims"},
      {"length past end", pastEnd, "claims"},
      {"cut chunk header", Bytes(good.begin(), good.begin() + 18), "chunk header at byte 14 is cut off"},
      {"missing tracks", shortTracks, "announces 3 tracks but the file ends after 1"},
      {"long number", overlong, "track 1 at byte 22: delta time is a variable-length number longer than 4 bytes"},
      {"data without status", File(0, 96, {Track({{0, {0x3C, 0x64}}})}), "track 1 at byte 23: data byte 0x3C without a status"},
      {"status after meta", File(0, 96, {Track({{0, {0xFF, 0x01, 0x00}}, {0, {0x3C, 0x64}}})}), "without a status"},
      {"status in data", File(0, 96, {Track({{0, {0x90, 0x3C, 0x90}}})}), "byte 0x90 where a data byte belongs"},
      {"event cut off", File(0, 96, {{0x00, 0x90, 0x3C}}), "track 1 at byte 22: event runs past the end of the track"},
      {"meta past end", longMeta, "meta event of 64 bytes runs past the end"},
      {"sysex past end", longSysex, "sysex of 127 bytes runs past the end"},
      {"system status", File(0, 96, {Track({{0, {0xF8}}})}), "status 0xF8 has no place in a file"},
      {"tempo 0", File(0, 96, {Track({{0, Tempo(0)}})}), "tempo of 0"},
      {"tempo length", File(0, 96, {Track({{0, {0xFF, 0x51, 0x02, 0x07, 0xA1}}})}), "tempo event of 2 bytes"},
      {"numerator 0", File(0, 96, {Track({{0, {0xFF, 0x58, 0x04, 0x00, 0x02, 0x18, 0x08}}})}), "numerator 0"},
      {"tick overflow", File(0, 96, {Track({{0x0FFFFFFF, {0x90, 0x3C, 0x64}}, {0x0FFFFFFF, {0x3C, 0}}, {0x0FFFFFFF, {0x3C, 0}},
                                            {0x0FFFFFFF, {0x3C, 0}}, {0x0FFFFFFF, {0x3C, 0}}, {0x0FFFFFFF, {0x3C, 0}},
                                            {0x0FFFFFFF, {0x3C, 0}}, {0x0FFFFFFF, {0x3C, 0}}, {0x0FFFFFFF, {0x3C, 0}}})}),
       "runs past tick"},
      {"too long to play", File(0, 1, {Track({{0, Tempo(0xFFFFFF)}, {0x0FFFFFFF, {0x90, 0x3C, 0x64}}})}), "too long"},
  };
  tovu::SmfSong song;
  ASSERT_TRUE(Import(good, &song));
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(Import(c.file, &song, &error)) << c.what;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
  }
  // A track without an end of track ends where its chunk ends; trailing unknown chunks are skipped.
  Bytes lenient = File(0, 96, {{0x00, 0x90, 0x3C, 0x64, 0x60, 0x3C, 0x00}});
  Bytes alien = Chunk("XFIH", {1, 2, 3});
  lenient.insert(lenient.end(), alien.begin(), alien.end());
  std::string error;
  ASSERT_TRUE(Import(lenient, &song, &error)) << error;
  EXPECT_EQ(song.endFileTick, 96);
}

// The engine's time of every event of an image, from its own tempo events (microseconds).
std::vector<std::pair<double, uint32_t>> EngineTimes(const Bytes& image) {
  std::vector<std::pair<double, uint32_t>> out;
  double tps = ReadU32(image.data()) >> 2;
  double ticksPerMinute = 14400, time = 0;
  int32_t last = 0;
  for (size_t at = 40;; at += 8) {
    int32_t tick = ReadI32(image.data() + at);
    uint32_t word = ReadU32(image.data() + at + 4);
    time += (tick - last) * 60e6 / ticksPerMinute;
    last = tick;
    if ((word & 0xFF) == 0xFF) break;
    if ((word & 0xFF) == 0xFE) ticksPerMinute = (word >> 8) * 4 * tps;
    else out.push_back({time, word});
  }
  return out;
}

TEST(SmfImport, FractionalTemposAreRetimedWithinHalfAnImageTick) {
  // 96 ticks per quarter, tempos of 133.7 and 87.5 beats per minute: notes every 7 ticks for 60 beats.
  std::vector<std::pair<uint32_t, Bytes>> events = {{0, Tempo(448766)}};
  double expected = 0, us = 448766;
  std::vector<double> times;
  for (int i = 0; i < 800; ++i) {
    if (i == 400) events.push_back({0, Tempo(685714)}), us = 685714;
    events.push_back({i == 0 ? 0u : 7u, {0x90, static_cast<uint8_t>(40 + i % 40), 0x40}});
    if (i > 0) expected += 7 * us / 96;
    times.push_back(expected);
  }
  tovu::SmfSong song;
  ASSERT_TRUE(Import(File(0, 96, {Track(events)}), &song));
  EXPECT_TRUE(song.retimed);
  EXPECT_EQ(song.ticksPerQuarter % 4, 0u);
  auto played = EngineTimes(song.song.Build());
  ASSERT_EQ(played.size(), times.size());
  double halfTick = 0.5 * 60e6 / (87.0 * song.ticksPerQuarter);  // the slowest whole tempo, in microseconds
  double worst = 0;
  for (size_t i = 0; i < times.size(); ++i) worst = std::max(worst, std::fabs(played[i].first - times[i]));
  EXPECT_LE(worst, halfTick);
  EXPECT_NEAR(song.lengthUs, times.back(), 1);
}

TEST(SmfImport, MutatedFilesNeverCrashAndWhatIsAcceptedPassesTheEngineCheck) {
  const Bytes base = RichFile();
  std::mt19937 rng(20261208);
  int accepted = 0, refused = 0;
  for (int round = 0; round < 4000; ++round) {
    Bytes file = base;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % file.size();
      switch (rng() % 5) {
        case 0: file[at] = static_cast<uint8_t>(rng()); break;
        case 1: file[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 2: file.resize(std::max<size_t>(at, 1)); break;
        case 3: file.insert(file.begin() + static_cast<ptrdiff_t>(at), static_cast<uint8_t>(rng())); break;
        default: file[at] = (rng() & 1) ? 0xFF : 0x80; break;
      }
    }
    // From an allocation of exactly the file's size, so a read past it is a sanitizer error.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size()]);
    std::copy(file.begin(), file.end(), exact.get());
    tovu::SmfSong song;
    std::string error;
    tovu::SmfImportOptions options;
    options.outputPortIndices = {0, 1};
    if (tovu::ImportSmf(exact.get(), file.size(), options, &song, &error)) {
      ++accepted;
      Bytes image = song.song.Build();
      ASSERT_TRUE(ValidateSongImage(image.data(), image.size(), 2)) << "round " << round;
      tovu::PositionAt(song, song.endImageTick);
    } else {
      ++refused;
      ASSERT_FALSE(error.empty());
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
}

TEST(SmfPosition, BarsAndBeatsFollowTheTimeSignatures) {
  tovu::SmfSong song;
  ASSERT_TRUE(Import(RichFile(), &song));  // 3/4 for two bars, then 4/4; 120 then 150 bpm at tick 384
  EXPECT_EQ(tovu::TickOfBar(song, 1), 0);
  EXPECT_EQ(tovu::TickOfBar(song, 2, 2), 288 + 96);
  EXPECT_EQ(tovu::TickOfBar(song, 3), 576);
  EXPECT_EQ(tovu::TickOfBar(song, 4, 4), 576 + 384 + 288);
  tovu::SmfPosition p = tovu::PositionAt(song, 576 + 384 + 24 * 5);
  EXPECT_EQ(p.bar, 4);
  EXPECT_EQ(p.beat, 2);
  EXPECT_EQ(p.sixteenth, 2);
  // 384 ticks at 120 bpm, then 696 at 150 bpm.
  EXPECT_NEAR(p.seconds, 2.0 + 696 * 0.4 / 96, 1e-9);
  EXPECT_EQ(tovu::FormatPosition(tovu::PositionAt(song, -96)), "0.3.1  0:00.000");
}

TEST(TakeExport, LoopPassesFollowOneAnotherWithMarkers) {
  // A loop of bars 1-4 at 480 ticks per quarter: two passes and part of a third, a count-in before.
  tovu::Take take;
  take.recordStartTick = 0;
  take.countInLength = 1920;
  take.events = {{-100, 0x00403C90},  // during the count-in: left out
                 {10, 0x00643C90},   {500, 0x00003C90}, {7680, 0xFF},
                 {20, 0x00503E90},   {600, 0x00003E90}, {700, 0xF0}, {710, 0xF8}, {7680, 0xFF},
                 {30, 0x002040B0},   {40, 0xFF}};
  take.sysex = {{0xF0, 0x43, 0x10, 0xF7}};
  tovu::TakeExportOptions options;
  options.ticksPerQuarter = 480;
  options.tempos = {{0, 500000}, {3840, 400000}};
  options.loopStart = 0;
  size_t dropped = 0;
  Bytes file = tovu::ExportTakeSmf(take, options, &dropped);
  EXPECT_EQ(dropped, 2u);  // the count-in note and the clock byte

  tovu::SmfSong song;
  std::string error;
  ASSERT_TRUE(Import(file, &song, &error)) << error;
  EXPECT_EQ(song.format, 1u);
  ASSERT_EQ(song.tracks.size(), 2u);
  EXPECT_EQ(song.division, 480u);
  EXPECT_EQ(song.counts.otherMeta, 3u);  // the three pass markers
  EXPECT_EQ(song.counts.sysex, 1u);
  EXPECT_EQ(song.counts.noteOn, 2u);
  EXPECT_EQ(song.counts.controller, 1u);
  EXPECT_EQ(song.endFileTick, 7680 * 2 + 40);
  // Each pass has its tempo map again: 120 bpm from each pass's start, 150 from its middle.
  ASSERT_EQ(song.tempos.size(), 5u);
  EXPECT_EQ(song.tempos[2].fileTick, 7680);
  EXPECT_EQ(song.tempos[3].fileTick, 7680 + 3840);
  EXPECT_EQ(song.tempos[4].fileTick, 7680 * 2);
  EXPECT_EQ(song.tempos[3].usPerQuarter, 400000u);
  // The recorded events at their passes' offsets, through the engine's bytes.
  Bytes image = song.song.Build();
  Lines words;
  for (size_t at = 40;; at += 8) {
    uint32_t word = ReadU32(image.data() + at + 4);
    if ((word & 0xFF) == 0xFF) break;
    if ((word & 0xF0) == 0x90 || (word & 0xF0) == 0xB0 || (word & 0xFF) == 0xF0) {
      char line[40];
      snprintf(line, sizeof line, "%d %08x", ReadI32(image.data() + at), word);
      words.push_back(line);
    }
  }
  EXPECT_EQ(words, (Lines{"10 00643c90", "500 00003c90", "7700 00503e90", "8280 00003e90", "8380 000000f0",
                          "15390 002040b0"}));
}

}  // namespace
