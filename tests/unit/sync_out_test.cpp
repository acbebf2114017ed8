// Sync out against models of its receivers. The scheduler runs in process with time handed in: each
// wake-up at the moment it was armed for (a little late, now and then), far beyond the real clock so
// that the timer service never fires one itself. What the virtual devices receive is read back in
// order: the song's notes on port 0 (each note names its song and tick), the clock and time code on
// port 1. A receiver model counts the clock's pulses (0xFA, 0xFB, 0xF2, 0xF8, 0xFC as the MIDI rule
// has them) and must sit at the song's position at every note; a time code decoder must read the
// song's time at every quarter frame.
// Threads: the test thread only (it stands in for the main thread and the timer thread).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/song_builder.h"
#include "platform/midi.h"
#include "platform/timer.h"
#include "support/engine_fixture.h"
#include "sync/pulses.h"
#include "sync/timecode.h"

namespace {

constexpr uint32_t kWindow = 0x101;
double g_now = 0;
double PushedClock() { return g_now; }

struct Line {
  double ms;
  uint32_t port;
  std::vector<uint8_t> bytes;
};

// A song whose notes say where they lie: channel = the song's number, note and velocity the index
// of the note's tick in `ticks`.
struct TestSong {
  int32_t ticksPerQuarter = 120;
  std::vector<std::pair<int32_t, uint32_t>> tempos;  // tick, quarter notes a minute
  std::vector<int32_t> ticks;
  int32_t end = 0;
  uint32_t number = 0;

  std::vector<uint8_t> Build() const {
    tovu::SongBuilder b;
    b.ticksPerQuarter = static_cast<uint32_t>(ticksPerQuarter);
    b.sortByTick = true;
    for (auto [tick, bpm] : tempos) b.Tempo(tick, bpm);
    // Each note ends where it begins: a chase at a jump sounds none of them again.
    for (size_t k = 0; k < ticks.size(); ++k) {
      b.NoteOn(ticks[k], 0, number, static_cast<uint32_t>(k & 0x7F), static_cast<uint32_t>(1 + (k >> 7)));
      b.NoteRelease(ticks[k], 0, number, static_cast<uint32_t>(k & 0x7F));
    }
    b.End(end);
    return b.Build();
  }
  int32_t TicksPerSixteenth() const { return ticksPerQuarter >> 2; }
};

struct SyncRig : InProcessEngine {
  double origin = platform::NowMs() + 1e9;
  std::vector<Line> lines;

  SyncRig() : InProcessEngine(2, 0) {
    EXPECT_TRUE(created);
    AddClient(kWindow);
    for (int i = 0; i < engine.ports.outputCount; ++i) engine.ports.outputs[i].Open();
    engine.ports.stages.clock = PushedClock;
    g_now = origin;
    platform::VirtualCaptureTake();
  }
  void Choose(uint32_t what, int32_t rate = midisync::kMtc25) {
    tovu::SyncOutSettings s;
    s.ports.push_back({1, what});
    s.timecodeRate = rate;
    CopyData(kWindow, tovu::protocol::kCopySetSyncOut, tovu::EncodeSyncOutSettings(s));
  }
  void Collect(double at) {
    for (platform::VirtualMidiEvent& e : platform::VirtualCaptureTake())
      if (e.kind == platform::VirtualMidiEvent::Data) lines.push_back({at - origin, e.device, std::move(e.bytes)});
  }
  void Start(const std::vector<uint8_t>& song, const tovu::StartRequest& r, double at) {
    CopyData(kWindow, tovu::protocol::kCopyLoadSong, song);
    g_now = origin + at;
    StartPlayback(engine, kWindow, tovu::EncodeStartRequest(r).data(), origin + at);
    Collect(origin + at);
  }
  // Runs the wake-ups as they come due until `until` ms (or the playback's end), each `late` ms
  // after its due time at most.
  void Run(double until, std::mt19937* random = nullptr, double late = 0) {
    RunWakeUps(
        engine, origin + until,
        [&](double due) {
          g_now = due + (random ? std::uniform_real_distribution<double>(0, late)(*random) : 0);
          return g_now;
        },
        [&](double at) { Collect(at); });
  }
};

// The MIDI rule's receiver of clock.
struct Receiver {
  bool running = false, first = false;
  int64_t pulse = 0, pointer = 0;

  void Take(const std::vector<uint8_t>& b) {
    switch (b[0]) {
      case 0xFA: running = first = true, pulse = pointer = 0; break;
      case 0xFB: running = first = true, pulse = pointer; break;
      case 0xFC: running = false, pointer = pulse + 1; break;
      case 0xF2: if (!running) pointer = 6 * (b[1] | b[2] << 7); break;
      case 0xF8: if (running) first ? (void)(first = false) : (void)++pulse; break;
      default: break;
    }
  }
};

// A random song: its resolution (a quarter from 4 to 480 ticks, some no multiple of 24), a tempo
// map, and notes on sixteenths and between them.
TestSong RandomSong(std::mt19937& r, uint32_t number) {
  static const int32_t kResolutions[] = {4, 20, 24, 28, 96, 100, 120, 480};
  TestSong s;
  s.number = number;
  s.ticksPerQuarter = kResolutions[r() % 8];
  s.end = s.ticksPerQuarter * 32;
  s.tempos.push_back({0, 60 + r() % 180});
  for (int k = r() % 4; k > 0; --k) s.tempos.push_back({static_cast<int32_t>(r() % s.end), 40 + r() % 200});
  std::sort(s.tempos.begin(), s.tempos.end());
  for (int k = 0; k < 150; ++k) {
    int32_t tick = static_cast<int32_t>(r() % s.end);
    if (k % 2 == 0 && s.TicksPerSixteenth() > 0) tick -= tick % s.TicksPerSixteenth();
    s.ticks.push_back(tick);
  }
  std::sort(s.ticks.begin(), s.ticks.end());
  return s;
}

// A tick on a sixteenth or between sixteenths, within [0, below).
int32_t RandomTick(std::mt19937& r, const TestSong& s, int32_t below) {
  int32_t tick = static_cast<int32_t>(r() % std::max(below, 1));
  return r() % 2 ? tick - tick % std::max(s.TicksPerSixteenth(), 1) : tick;
}

}  // namespace

// Random songs, starts (at 0, on and off sixteenths, before the song), loops, tempo factor changes
// and continues into songs of other resolutions and tempos, with wake-ups up to 0.3 ms late. At
// every note the receiver counts the pulse at or before the note's tick (one more when a late
// wake-up sent the next pulse first), or waits cued at the first sixteenth at or after it; at each
// start and jump it is told where, and at the stop it stops.
TEST(SyncOut, AReceiverCountingPulsesIsAtTheSongsPositionAtEveryNote) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 r(seed);
    SyncRig rig;
    rig.Choose(tovu::protocol::kSyncOutClock);
    std::vector<TestSong> songs = {RandomSong(r, 0), RandomSong(r, 1)};
    tovu::StartRequest request;
    request.sysexMode = tovu::protocol::kSysexModeNone;
    switch (seed % 4) {
      case 0: request.startTick = 0; break;
      case 1: request.startTick = -songs[0].ticksPerQuarter; break;
      default: request.startTick = RandomTick(r, songs[0], songs[0].end / 2); break;
    }
    if (seed % 3 == 0) {
      request.loopOn = 1;
      request.loopStart = RandomTick(r, songs[0], songs[0].end / 2);
      request.loopEnd = request.loopStart + std::max(RandomTick(r, songs[0], songs[0].end / 2), 4);
    }
    rig.Start(songs[0].Build(), request, 0);
    const double late = seed % 5 == 0 ? 0.0 : 0.3;
    rig.Run(1500, &r, late);
    if (seed % 2 == 0) SetPlaybackTempoFactor(rig.engine.playback, 0.5 + (r() % 5) * 0.5, g_now + 0.25);
    rig.Run(3000, &r, late);
    uint32_t current = 0;
    if (seed % 7 != 3 && rig.engine.playback.playingClient.load() != 0) {
      // A continue into the other song; with a loop, one that holds the position.
      rig.CopyData(kWindow, tovu::protocol::kCopyLoadNextSong, songs[1].Build());
      tovu::StartRequest next = request;
      if (next.loopOn) next.loopEnd = tovu::protocol::kLoopEndOpen, next.loopStart = 0;
      ContinueWithNextSong(rig.engine, kWindow, tovu::EncodeStartRequest(next).data(), g_now + 0.5);
      rig.Run(6000, &r, late);
    }
    StopPlayback(rig.engine, kWindow);
    rig.Collect(g_now);

    Receiver receiver;
    int notes = 0, pulses = 0;
    for (const Line& line : rig.lines) {
      if (line.port == 1) {
        ASSERT_TRUE(line.bytes[0] == 0xF8 || line.bytes[0] == 0xFA || line.bytes[0] == 0xFB ||
                    line.bytes[0] == 0xFC || line.bytes[0] == 0xF2) << "at " << line.ms;
        receiver.Take(line.bytes);
        pulses += line.bytes[0] == 0xF8;
        continue;
      }
      if ((line.bytes[0] & 0xF0) != 0x90 || line.bytes[2] == 0) continue;
      current = line.bytes[0] & 0x0F;
      const TestSong& song = songs[current];
      int32_t tick = song.ticks[line.bytes[1] | (line.bytes[2] - 1) << 7];
      const int32_t tps = song.TicksPerSixteenth();
      ++notes;
      if (receiver.running) {
        int64_t expected = midisync::LastPulseAt(tick, tps);
        EXPECT_GE(receiver.pulse, expected) << "note at tick " << tick << ", " << line.ms << " ms";
        EXPECT_LE(receiver.pulse, expected + (late > 0 ? 1 : 0)) << "note at tick " << tick << ", " << line.ms << " ms";
      } else {
        // Cued: it starts at the first sixteenth at or after the jump, which is not behind the note.
        EXPECT_GE(midisync::PulseTick(receiver.pointer, tps), tick) << "note at tick " << tick;
        EXPECT_LT(midisync::PulseTick(receiver.pointer, tps), tick + tps) << "note at tick " << tick;
      }
    }
    EXPECT_GT(notes, 0);
    EXPECT_GT(pulses, 24);
    EXPECT_FALSE(receiver.running) << "the stop stops it";
  }
}

// A loop of whole sixteenths at a steady tempo: the pulses keep one even spacing across every wrap
// (the wrap sends 0xFC, the pointer and 0xFB, and the loop start's pulse comes on time), so a
// receiver loses no pulse to it.
TEST(SyncOut, AWrapOnSixteenthsCostsNoPulse) {
  SyncRig rig;
  rig.Choose(tovu::protocol::kSyncOutClock);
  TestSong song;
  song.tempos = {{0, 125}};  // 20 ms a pulse at 120 ticks a quarter: 5 ticks a pulse
  song.ticks = {0, 480};
  song.end = 1920;
  tovu::StartRequest request;
  request.loopOn = 1;
  request.loopStart = 240;  // sixteenth 8
  request.loopEnd = 720;
  request.startTick = 610;  // between sixteenths: cued at 630, 80 ms on
  rig.Start(song.Build(), request, 0);
  rig.Run(3000);
  std::vector<double> pulses;
  std::vector<std::string> around;
  for (const Line& l : rig.lines)
    if (l.port == 1) {
      if (l.bytes[0] == 0xF8) pulses.push_back(l.ms);
      if (l.bytes[0] != 0xF8 && around.size() < 8) around.push_back(HexBytes(l.bytes));
    }
  // The start: the pointer to sixteenth 21 (tick 630) at once, 0xFB with its pulse 30 ms later.
  ASSERT_GE(around.size(), 6u);
  EXPECT_EQ(around[0], "f2 15 00");
  EXPECT_EQ(around[1], "fb");
  // The first wrap: stop, the pointer to sixteenth 8, continue.
  EXPECT_EQ(around[2], "fc");
  EXPECT_EQ(around[3], "f2 08 00");
  EXPECT_EQ(around[4], "fb");
  ASSERT_GT(pulses.size(), 100u);
  EXPECT_NEAR(pulses[0], 80.0, 1e-6);
  for (size_t i = 1; i < pulses.size(); ++i) EXPECT_NEAR(pulses[i] - pulses[i - 1], 20.0, 1e-6) << "pulse " << i;
}

// The time code read back by a decoder that takes full frames and groups of eight quarter frames:
// at every group's last piece it reads the song's time (its tempo map, at the tempo factor) within
// a quarter frame, across a tempo change, a wrap (a new full frame) and each rate.
TEST(SyncOut, TimeCodeReadsTheSongsTimeWithinAQuarterFrame) {
  for (int32_t rate = midisync::kMtc24; rate <= midisync::kMtc30; ++rate) {
    SCOPED_TRACE("rate " + std::to_string(rate));
    SyncRig rig;
    rig.Choose(tovu::protocol::kSyncOutTimecode, rate);
    rig.engine.clients.records[0]->tempoFactor = 1.25;
    TestSong song;
    song.tempos = {{0, 100}, {960, 150}};  // tick 960 at 4.8 s (song time), then 1/300 s a tick
    song.ticks = {0};
    song.end = 9600;
    tovu::StartRequest request;
    request.loopOn = 1;
    request.loopStart = 600;  // 3 s of song time
    request.loopEnd = 2400;   // 4.8 + 1440 / 300 = 9.6 s
    request.startTick = 300;  // 1.5 s
    rig.Start(song.Build(), request, 0);
    rig.Run(11000);
    // The song's time (at factor 1.25) where the playback stood at `ms`: from 1.5 s, wrapping once
    // 9.6 - 1.5 = 8.1 s of song time later back to 3 s.
    auto songTime = [](double ms) {
      double s = 1500.0 / 1.25 + ms;
      double end = 9600.0 / 1.25, start = 3000.0 / 1.25;
      while (s >= end) s -= end - start;
      return s;
    };
    const double frameMs = midisync::MtcFrameMs(static_cast<midisync::MtcRate>(rate));
    midisync::Timecode t;
    int pieces = 0, groups = 0, fulls = 0;
    for (const Line& l : rig.lines) {
      if (l.port != 1) continue;
      if (l.bytes[0] == 0xF0) {
        ASSERT_EQ(l.bytes.size(), 10u);
        EXPECT_EQ(l.bytes[5] >> 5, rate);
        midisync::Timecode full{l.bytes[5] & 0x1F, l.bytes[6], l.bytes[7], l.bytes[8]};
        double read = midisync::FrameOfTimecode(full, static_cast<midisync::MtcRate>(rate)) * frameMs;
        EXPECT_NEAR(read, songTime(l.ms), frameMs / 4) << "full frame at " << l.ms;
        ++fulls, pieces = 0;
        continue;
      }
      ASSERT_EQ(l.bytes[0], 0xF1);
      int piece = l.bytes[1] >> 4, nibble = l.bytes[1] & 0x0F;
      ASSERT_EQ(piece, pieces % 8) << "at " << l.ms;
      int* field[] = {&t.frames, &t.seconds, &t.minutes, &t.hours};
      int& f = *field[piece / 2];
      f = piece % 2 ? (f & 0x0F) | nibble << 4 : nibble;
      if (piece == 7) {
        EXPECT_EQ(t.hours >> 5, rate);
        t.hours &= 0x1F;
        // The group names the frame its first piece began; its last piece comes 7/4 frames later.
        double read = midisync::FrameOfTimecode(t, static_cast<midisync::MtcRate>(rate)) * frameMs + 1.75 * frameMs;
        EXPECT_NEAR(read, songTime(l.ms), frameMs / 4) << "group ending at " << l.ms;
        ++groups;
      }
      ++pieces;
    }
    EXPECT_EQ(fulls, 2);  // the start and the wrap
    EXPECT_GT(groups, 100);
  }
}

// Drop-frame labels skip frames 0 and 1 of each minute but every tenth; labels and frames convert
// both ways over a day.
TEST(SyncOut, DropFrameLabels) {
  using midisync::kMtc2997Drop;
  midisync::Timecode t = midisync::TimecodeOfFrame(1800, kMtc2997Drop);
  EXPECT_EQ(t.minutes, 1);
  EXPECT_EQ(t.seconds, 0);
  EXPECT_EQ(t.frames, 2);
  t = midisync::TimecodeOfFrame(17982, kMtc2997Drop);
  EXPECT_EQ(t.minutes, 10);
  EXPECT_EQ(t.frames, 0);
  for (int64_t frame = 0; frame < 24 * 107892; frame += 997) {
    midisync::Timecode label = midisync::TimecodeOfFrame(frame, kMtc2997Drop);
    EXPECT_FALSE(label.seconds == 0 && label.frames < 2 && label.minutes % 10 != 0) << frame;
    EXPECT_EQ(midisync::FrameOfTimecode(label, kMtc2997Drop), frame);
  }
}

// Timing messages pass a port that pauses after a system-exclusive message: they go ahead of the
// pause and of the notes that wait in its queue, and the notes still leave in their order.
TEST(SyncOut, TimingMessagesGoAheadOfASysexPause) {
  VirtualPorts v(1);
  v.ports.outputs[0].sysexDelayMs.store(100);
  const uint8_t sysex[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  SendSysexOnPort(v.ports, sizeof sysex, sysex, 0);
  SendShortMessage(v.ports, 0x00643C90);
  const uint8_t pulse = 0xF8;
  EXPECT_EQ(SendTiming(v.ports, 0, &pulse, 1, platform::NowMs()), 0);
  EXPECT_EQ(v.TakeData(), (std::vector<std::string>{"out0 f0 7e 7f 09 01 f7", "out0 f8"}));
  DrainStages(v.ports, platform::NowMs() + 200);
  EXPECT_EQ(v.TakeData(), (std::vector<std::string>{"out0 90 3c 64"}));
  EXPECT_EQ(SendTiming(v.ports, 1, &pulse, 1, platform::NowMs()), platform::kMidiInvalidHandle);
}

// The setting that keeps the clock running while nothing plays: pulses (0xF8 alone, no start) go out
// on the timer thread at the settings' tempo; a start hands them to the playback, whose stop sends
// 0xFC and lets them run on; once the setting is cleared, not one more pulse goes out.
TEST(SyncOut, PulsesWhileStoppedRunUntilTheSettingEnds) {
  InProcessEngine rig(2, 0);
  ASSERT_TRUE(rig.created);
  rig.AddClient(kWindow);
  rig.engine.ports.outputs[0].Open();
  tovu::SyncOutSettings s;
  s.ports.push_back({1, tovu::protocol::kSyncOutClock});
  s.flags = tovu::protocol::kSyncRunWhileStopped;
  s.idleTempoMilli = 600 * 1000;  // 4 ms a pulse
  rig.CopyData(kWindow, tovu::protocol::kCopySetSyncOut, tovu::EncodeSyncOutSettings(s));
  std::string seen;
  auto take = [&seen] {
    for (platform::VirtualMidiEvent& e : platform::VirtualCaptureTake())
      if (e.kind == platform::VirtualMidiEvent::Data && e.device == 1) seen += HexBytes(e.bytes) + ",";
  };
  auto waitFor = [&](const std::string& what, size_t count) {
    for (int i = 0; i < 2000; ++i) {
      take();
      size_t found = 0;
      for (size_t at = seen.find(what); at != std::string::npos; at = seen.find(what, at + 1)) ++found;
      if (found >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  };
  ASSERT_TRUE(waitFor("f8,", 5));
  EXPECT_EQ(seen.find_first_not_of("f8,"), std::string::npos) << seen;

  TestSong song;
  song.tempos = {{0, 300}};
  song.ticks = {0};
  song.end = 100000;
  rig.CopyData(kWindow, tovu::protocol::kCopyLoadSong, song.Build());
  tovu::StartRequest request;
  StartPlayback(rig.engine, kWindow, tovu::EncodeStartRequest(request).data());
  ASSERT_TRUE(waitFor("fa,", 1)) << seen;
  ASSERT_TRUE(waitFor("f8,", 10));
  StopPlayback(rig.engine, kWindow);
  ASSERT_TRUE(waitFor("fc,", 1)) << seen;
  seen.erase(0, seen.find("fc,") + 3);
  ASSERT_TRUE(waitFor("f8,", 5)) << "the pulses run on after the stop";
  EXPECT_EQ(seen.find_first_not_of("f8,"), std::string::npos) << seen;

  s.flags = 0;
  rig.CopyData(kWindow, tovu::protocol::kCopySetSyncOut, tovu::EncodeSyncOutSettings(s));
  take();
  seen.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  take();
  EXPECT_EQ(seen, "");
}
