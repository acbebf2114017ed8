// Song image validation: each way an image can lead playback outside itself is refused, everything
// else is accepted; and no image at all, random or mutated, makes validation or playback of an
// accepted image read or write out of bounds (run under the sanitizer build to see it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>

#include "client/song_builder.h"
#include "playback/seek.h"
#include "playback_test_util.h"
#include "support/virtual_ports.h"

namespace {

constexpr int32_t kPorts = 2;

void SetU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void SetU16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
uint32_t GetU32(const std::vector<uint8_t>& b, size_t at) { return ReadU32(b.data() + at); }
size_t WordAt(size_t event) { return 40 + 8 * event + 4; }

// Validates from an allocation of exactly the image's size, so an overread is a sanitizer error.
bool Validate(const std::vector<uint8_t>& bytes, int32_t ports = kPorts) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + 1]);
  std::copy(bytes.begin(), bytes.end(), exact.get());
  return ValidateSongImage(bytes.empty() ? nullptr : exact.get(), bytes.size(), ports);
}

// A song with one of everything: event 0 tempo, 1 note, 2 sysex, 3 RPN, 4 NRPN, 5 end marker.
std::vector<uint8_t> Base() {
  tovu::SongBuilder song;
  song.SetRpnList({0, 1});
  song.SetNrpnList({7});
  song.Tempo(0, 120);
  song.NoteOn(0, 1, 0, 60, 100);
  song.Sysex(10, 1, {0xF0, 0x7E, 0xF7});
  song.Rpn(20, 1, 15, 0, 2);
  song.Nrpn(30, 1, 3, 7, 5);
  song.End(480);
  return song.Build();
}

}  // namespace

TEST(ValidateSongImage, RefusesEachWayOutOfTheImage) {
  const auto base = Base();
  ASSERT_TRUE(Validate(base));
  const size_t size = base.size();
  const uint32_t sysexBlock = GetU32(base, 12), rpnRecords = GetU32(base, 24), nrpnRecords = GetU32(base, 32);
  const uint32_t rpnList = GetU32(base, 28);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> mutate;
  };
  const Case cases[] = {
      {"empty", [](auto& b) { b.clear(); }},
      {"shorter than the header", [](auto& b) { b.resize(39); }},
      {"ticks per quarter 3", [](auto& b) { SetU32(b, 0, 3); }},
      {"cut inside the event array", [](auto& b) { b.resize(WordAt(5)); }},
      {"sysex block offset past the end", [&](auto& b) { SetU32(b, 12, static_cast<uint32_t>(size) + 1); }},
      {"RPN records offset past the end", [&](auto& b) { SetU32(b, 24, static_cast<uint32_t>(size) + 1); }},
      {"NRPN records offset past the end", [&](auto& b) { SetU32(b, 32, 0xFFFFFF00u); }},
      {"RPN list header past the end", [&](auto& b) { SetU32(b, 28, static_cast<uint32_t>(size) - 1); }},
      {"RPN list count past the end", [&](auto& b) { SetU16(b, rpnList, 1000); }},
      {"NRPN list offset -2", [](auto& b) { SetU32(b, 36, 0xFFFFFFFEu); }},
      {"sysex reference past the block", [&](auto& b) { SetU32(b, WordAt(2), 0xF0 | (static_cast<uint32_t>(size) - sysexBlock - 4) << 8); }},
      {"sysex length past the end", [&](auto& b) { SetU32(b, sysexBlock + 1, 0xFFFFFFFFu); }},
      {"sysex length one too long", [&](auto& b) { SetU32(b, sysexBlock + 1, static_cast<uint32_t>(size) - sysexBlock - 4); }},
      {"RPN reference past the area", [&](auto& b) { SetU32(b, WordAt(3), 0xF4 | (static_cast<uint32_t>(size) - rpnRecords - 5) << 8); }},
      {"NRPN reference past the image", [](auto& b) { SetU32(b, WordAt(4), 0x00FFFFF5); }},
      {"channel event port 2 of 2", [](auto& b) { b[WordAt(1) + 3] = 2; }},
      {"sysex record port 2", [&](auto& b) { b[sysexBlock] = 2; }},
      {"RPN record port 2", [&](auto& b) { b[rpnRecords + 1] = 2; }},
      {"NRPN record port 255", [&](auto& b) { b[nrpnRecords + 1] = 255; }},
      {"RPN record channel 16", [&](auto& b) { b[rpnRecords] = 16; }},
      {"NRPN record channel 16", [&](auto& b) { b[nrpnRecords] = 16; }},
      {"tempo 0", [](auto& b) { SetU32(b, WordAt(0), 0x000000FE); }},
  };
  for (const Case& c : cases) {
    auto bytes = base;
    c.mutate(bytes);
    EXPECT_FALSE(Validate(bytes)) << c.what;
  }

  // No end marker anywhere: the last word turned into a note-on on a song without blocks.
  tovu::SongBuilder plain;
  plain.NoteOn(0, 0, 0, 60, 1);
  plain.End(10);
  auto bytes = plain.Build();
  ASSERT_TRUE(Validate(bytes));
  SetU32(bytes, WordAt(1), 0x00003C90);
  EXPECT_FALSE(Validate(bytes));
  bytes = plain.Build();
  bytes.resize(bytes.size() - 1);  // the image ends inside the end marker's entry
  EXPECT_FALSE(Validate(bytes));

  // More sysex events than records: a second reference to the first (and only) record.
  tovu::SongBuilder twice;
  twice.Sysex(0, 0, {0xF0, 0xF7});
  twice.Raw(1, 0x000000F0);
  twice.End(2);
  EXPECT_FALSE(Validate(twice.Build()));
  twice.Sysex(3, 0, {0xF0, 0xF7});  // now the block holds two records for the three events
  EXPECT_FALSE(Validate(twice.Build()));
}

TEST(ValidateSongImage, AcceptsWhatIsOnlyUnusual) {
  struct Case {
    const char* what;
    std::function<void(tovu::SongBuilder&)> build;
  };
  const Case cases[] = {
      {"only an end marker", [](auto&) {}},
      {"a word with no port", [](auto& s) { s.Raw(0, 0xFF643C97); s.Raw(0, 0xFF0000F0); s.Raw(0, 0xFF0000FE); }},
      {"tempo and time signature carry data in the top byte",
       [](auto& s) { s.Tempo(0, 0x050001); s.TimeSignature(0, 200, 255); }},
      {"ignored codes", [](auto& s) { s.Raw(0, 0x07FFFFF1); s.Raw(0, 0x09FFFFFD); }},
      {"a negative tick", [](auto& s) { s.NoteOn(-5, 1, 15, 1, 1); s.NoteOn(100, 0, 0, 1, 1); s.End(100); }},
      {"duplicate list entries", [](auto& s) { s.SetRpnList({3, 3, 3}); s.SetNrpnList({}); s.Rpn(0, 1, 0, 3, 1); }},
      {"empty sysex message", [](auto& s) { s.Sysex(0, 1, {}); }},
      {"anything after the end marker", [](auto& s) { s.Raw(5, 0xFF); s.NoteOn(6, 99, 0, 1, 1); s.Raw(7, 0xF0); s.Raw(8, 0xFE); }},
      {"an end marker with a port byte", [](auto& s) { s.Raw(5, 0x090000FF); s.Raw(6, 0x000000FE); }},
  };
  for (const Case& c : cases) {
    tovu::SongBuilder song;
    c.build(song);
    EXPECT_TRUE(Validate(song.Build())) << c.what;
  }
  // The image layout's own one-bar example, byte for byte, and the builder's version of it.
  const std::vector<uint8_t> example = {
      120, 0, 0, 0, 0, 0, 2, 4, 0xE0, 1, 0, 0, 80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 80, 0, 0, 0,
      0xFF, 0xFF, 0xFF, 0xFF, 80, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
      0, 0, 0, 0, 0xFE, 0x78, 0, 0, 0, 0, 0, 0, 0xC0, 5, 0, 0, 0, 0, 0, 0, 0x90, 0x3C, 0x64, 0,
      0xF0, 0, 0, 0, 0x90, 0x3C, 0, 0, 0xE0, 1, 0, 0, 0xFF, 0, 0, 0};
  EXPECT_TRUE(Validate(example, 1));
  EXPECT_FALSE(Validate(example, 0));  // no output port for the program change
  tovu::SongBuilder same;
  same.Tempo(0, 120);
  same.Program(0, 0, 0, 5);
  same.NoteOn(0, 0, 0, 60, 100);
  same.NoteRelease(240, 0, 0, 60);
  same.End(480);
  EXPECT_EQ(same.Build(), example);
}

// ---- Fuzz-style: random and mutated images, fixed seed ----

namespace {

using Rng = std::mt19937;

uint32_t Below(Rng& rng, uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }

// A random song within every limit for `ports` output ports.
tovu::SongBuilder RandomSong(Rng& rng, uint32_t ports) {
  tovu::SongBuilder s;
  s.sortByTick = true;  // images are accepted only in tick order
  const uint32_t resolutions[] = {4, 5, 96, 120, 480, 960, 0xFFFFFFFFu};
  s.ticksPerQuarter = resolutions[Below(rng, 7)];
  s.timeSigNumerator = static_cast<uint8_t>(Below(rng, 256));
  s.timeSigDenominatorPower = static_cast<uint8_t>(Below(rng, 8) == 0 ? Below(rng, 256) : Below(rng, 5));
  s.setupSysexCount = static_cast<int32_t>(Below(rng, 4)) - 1;
  s.replaySysexFlag = Below(rng, 2);
  auto list = [&] {
    std::vector<uint16_t> l(Below(rng, 5));
    for (auto& p : l) p = static_cast<uint16_t>(Below(rng, 6));
    return l;
  };
  if (Below(rng, 3)) s.SetRpnList(list());
  if (Below(rng, 3)) s.SetNrpnList(list());
  int32_t tick = static_cast<int32_t>(Below(rng, 20)) - 10, lastTick = tick;
  const uint32_t events = Below(rng, 80);
  for (uint32_t i = 0; i < events; ++i) {
    tick += static_cast<int32_t>(Below(rng, 40)) - (Below(rng, 20) == 0 ? 60 : 0);
    lastTick = std::max(lastTick, tick);
    const uint32_t port = Below(rng, ports), channel = Below(rng, 16), a = Below(rng, 256), b = Below(rng, 256);
    switch (Below(rng, 16)) {
      case 0: case 1: case 2: s.NoteOn(tick, port, channel, a, b); break;
      case 3: case 4: s.NoteRelease(tick, port, channel, a % 8); break;
      case 5: s.NoteOff(tick, port, channel, a, b); break;
      case 6: s.Controller(tick, port, channel, a, b); break;
      case 7: s.Raw(tick, tovu::PackEvent(0xA0 + 16 * Below(rng, 5) + channel, a, b, port)); break;  // A0-E0
      case 8: s.Bank(tick, port, channel, static_cast<tovu::BankKind>(16 * (1 + Below(rng, 4))), Below(rng, 65536)); break;
      case 9: s.Raw(tick, tovu::PackEvent(16 * Below(rng, 8) + channel, a, b, port)); break;  // 0x00-0x7n
      case 10: s.Tempo(tick, 1 + Below(rng, 0xFEFFFF)); break;
      case 11: s.TimeSignature(tick, Below(rng, 255), Below(rng, 256)); break;
      case 12: s.Sysex(tick, port, std::vector<uint8_t>(Below(rng, 6), static_cast<uint8_t>(a))); break;
      case 13: s.Rpn(tick, port, channel, Below(rng, 6), Below(rng, 65536)); break;
      case 14: s.Nrpn(tick, port, channel, Below(rng, 6), Below(rng, 65536)); break;
      default: {
        const uint32_t ignored[] = {0xF1, 0xF2, 0xF3, 0xF6, 0xF7, 0xF8, 0xF9, 0xFB, 0xFC, 0xFD};
        s.Raw(tick, Below(rng, 2) ? (0xFF000000u | Below(rng, 0xFFFFFF)) : ignored[Below(rng, 10)] | Below(rng, 0x1000000) << 8);
        break;
      }
    }
  }
  s.End(lastTick + static_cast<int32_t>(Below(rng, 100)));
  return s;
}

void Mutate(Rng& rng, std::vector<uint8_t>& b) {
  const uint32_t edits = 1 + Below(rng, 4);
  for (uint32_t e = 0; e < edits; ++e) {
    switch (Below(rng, 5)) {
      case 0:
        if (!b.empty()) b[Below(rng, static_cast<uint32_t>(b.size()))] = static_cast<uint8_t>(Below(rng, 256));
        break;
      case 1:
        if (!b.empty()) b.resize(Below(rng, static_cast<uint32_t>(b.size())));
        break;
      case 2:
        for (uint32_t n = Below(rng, 16); n > 0; --n) b.push_back(static_cast<uint8_t>(Below(rng, 256)));
        break;
      case 3:  // a header field or event word to a small or extreme value
        if (b.size() >= 4) {
          uint32_t at = Below(rng, static_cast<uint32_t>(b.size() - 3)) & ~3u;
          const uint32_t values[] = {0, 1, 3, 4, 0xFF, 0xF0, 0xF4, 0xF5, 0xFE, 0xFFFFFFFFu, 0x7FFFFFFF,
                                     static_cast<uint32_t>(b.size()), Below(rng, static_cast<uint32_t>(b.size()) + 8)};
          SetU32(b, at, values[Below(rng, 13)]);
        }
        break;
      default:  // an event's port byte
        if (b.size() > 48) b[40 + 8 * Below(rng, static_cast<uint32_t>((b.size() - 40) / 8)) + 7] = static_cast<uint8_t>(Below(rng, 4));
        break;
    }
  }
}

// Plays an accepted image every way the engine uses one: seeks with and without a loop, replays,
// every event applied, a loop wrap and a switch to the same song.
void Exercise(Rng& rng, Ports& ports, const uint8_t* song, StateImage& main, StateImage& loop, StateImage& s1,
              StateImage& s2) {
  const int32_t picks[] = {INT32_MIN, -1, 0, 1, 7, 100, 480, INT32_MAX, static_cast<int32_t>(Below(rng, 2000))};
  const int32_t start = picks[Below(rng, 9)], loopStart = picks[Below(rng, 9)];
  int32_t end = 0;
  SeekImages(song, start, loopStart, main, loop, &end);
  main.sysexMode = loop.sysexMode = static_cast<int32_t>(Below(rng, 3));
  main.setupSysexFlag = loop.setupSysexFlag = Below(rng, 2);
  ReplayState(ports, main);
  PlaybackClock clock;
  clock.positionStep = main.ticksPerSixteenth;
  for (;;) {
    const uint32_t w = ReadU32(main.eventCursor + kEventWordOffset);
    if (EventCode(w) == kCodeEnd) break;
    ApplyEvent(ports, clock, ReadI32(main.eventCursor), w, main);
    main.eventCursor += kEventEntrySize;
  }
  ReplayDifferences(ports, loop, main);
  CopyStateImage(main, loop);
  SeekImages(song, static_cast<int32_t>(Below(rng, 500)), 0, s1, s2, nullptr);
  ReplayDifferences(ports, s1, main);
  CopyStateImage(main, s1);
  CopyStateImage(loop, s2);
  SilenceNotes(ports, main);
}

}  // namespace

TEST(SongImageFuzz, NoImageLeadsOutOfBounds) {
  VirtualPorts vp(kPorts);
  auto main = NewImage(kPorts), loop = NewImage(kPorts), s1 = NewImage(kPorts), s2 = NewImage(kPorts);
  Rng rng(0x70C0);
  int builtAccepted = 0, mutatedAccepted = 0, randomAccepted = 0;
  const int rounds = 3000;

  auto check = [&](const std::vector<uint8_t>& bytes, int* accepted) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    if (!ValidateSongImage(exact.get(), bytes.size(), kPorts)) return false;
    ++*accepted;
    Exercise(rng, vp.ports, exact.get(), *main, *loop, *s1, *s2);
    return true;
  };

  for (int i = 0; i < rounds; ++i) {
    // Random bytes of random length, half of them behind a plausible header.
    std::vector<uint8_t> noise(Below(rng, 400));
    for (auto& byte : noise) byte = static_cast<uint8_t>(Below(rng, 256));
    if (noise.size() >= 48 && Below(rng, 2)) {
      // Plausible: header offsets inside, real ports, an end marker somewhere; the rest random.
      const uint32_t size = static_cast<uint32_t>(noise.size());
      SetU32(noise, 0, 120);
      for (size_t at : {12, 24, 32}) SetU32(noise, at, Below(rng, size + 1));
      for (size_t at : {28, 36}) SetU32(noise, at, Below(rng, 2) ? 0xFFFFFFFFu : Below(rng, size));
      const uint32_t entries = (size - 40) / 8;
      for (uint32_t e = 0; e < entries; ++e) noise[40 + 8 * e + 7] = static_cast<uint8_t>(Below(rng, 3) == 2 ? 0xFF : Below(rng, 2));
      noise[40 + 8 * Below(rng, entries) + 4] = 0xFF;
    }
    check(noise, &randomAccepted);

    // A valid song is accepted; a mutated one is either refused or survives playback.
    auto song = RandomSong(rng, kPorts).Build();
    ASSERT_TRUE(check(song, &builtAccepted)) << "round " << i;
    Mutate(rng, song);
    check(song, &mutatedAccepted);
    if (i % 64 == 0) vp.TakeData();
  }
  vp.TakeData();
  EXPECT_EQ(builtAccepted, rounds);
  // The mutations must keep a fair share of images acceptable, or playback would go untested.
  EXPECT_GT(mutatedAccepted, rounds / 10);
  RecordProperty("random_accepted", randomAccepted);
  RecordProperty("mutated_accepted", mutatedAccepted);
  std::printf("fuzz: %d random, %d mutated of %d accepted\n", randomAccepted, mutatedAccepted, rounds);
}

// The engine plays events as its cursor meets them: an image whose ticks go backwards anywhere,
// the end marker included, is refused.
TEST(SongImage, TicksThatGoBackwardsAreRefused) {
  tovu::SongBuilder ok;
  ok.NoteOn(0, 0, 0, 60, 100);
  ok.NoteOn(100, 0, 0, 62, 100);
  ok.NoteOn(100, 0, 0, 64, 100);  // equal ticks are fine
  ok.End(100);
  std::vector<uint8_t> image = ok.Build();
  EXPECT_TRUE(ValidateSongImage(image.data(), image.size(), 1));
  tovu::SongBuilder back;
  back.NoteOn(100, 0, 0, 60, 100);
  back.NoteOn(50, 0, 0, 62, 100);
  back.End(200);
  image = back.Build();
  EXPECT_FALSE(ValidateSongImage(image.data(), image.size(), 1));
  tovu::SongBuilder endFirst;
  endFirst.NoteOn(100, 0, 0, 60, 100);
  endFirst.End(99);
  image = endFirst.Build();
  EXPECT_FALSE(ValidateSongImage(image.data(), image.size(), 1));
}
