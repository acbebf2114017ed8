// A playback that follows an external MIDI clock or the JACK transport, run in process with time
// handed in: the master's messages go through the input's clock hand-over (OfferClockInput) at
// chosen moments, or a transport stands in for the jack service's, and each wake-up runs at the
// moment it was armed for. What the virtual output receives is checked against a
// model of the master's receiver: every note plays once in each run of pulses, in order, from the
// cue to the last pulse, none while stopped; the song's controller state is right at every note
// (so the chase at each start, pointer and continue sounded it); notes between pulses fall at the
// master's time.
// Threads: the test thread only (it stands in for the main, timer and MIDI input threads).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "client/song_builder.h"
#include "platform/midi.h"
#include "support/engine_fixture.h"

namespace {

constexpr uint32_t kWindow = 0x101;
double g_now = 0;
double PushedClock() { return g_now; }

// Ticks per quarter 120: a pulse is 5 ticks, a sixteenth 30. Note k lies on pulse k's tick when k is
// even, 2 ticks after it when odd (note number and velocity name k); controller 7 takes the value
// s % 100 13 ticks into sixteenth s, on no pulse and no note: a jump to a pulse finds it only in
// the state chased there.
constexpr int32_t kNotes = 2000;
int32_t NoteTick(int32_t k) { return 5 * k + 2 * (k & 1); }
// The value controller 7 has at `tick` (-1 none yet).
int32_t Controller7At(int32_t tick) { return tick < 13 ? -1 : ((tick - 13) / 30) % 100; }

std::vector<uint8_t> Song() {
  tovu::SongBuilder b;
  b.ticksPerQuarter = 120;
  b.sortByTick = true;
  b.Tempo(0, 120);
  for (int32_t s = 0; s * 30 < NoteTick(kNotes); ++s) b.Controller(s * 30 + 13, 0, 0, 7, static_cast<uint32_t>(s % 100));
  for (int32_t k = 0; k < kNotes; ++k) {
    b.NoteOn(NoteTick(k), 0, 0, static_cast<uint32_t>(k & 0x7F), static_cast<uint32_t>(1 + (k >> 7)));
    b.NoteRelease(NoteTick(k), 0, 0, static_cast<uint32_t>(k & 0x7F));
  }
  b.End(NoteTick(kNotes) + 100);
  return b.Build();
}

struct Heard {
  double ms;
  int32_t note;        // the note's index k, or -1 for a controller
  int32_t controller;  // its value, for a controller 7
};

// The transport as the rig's master leaves it: run from `frame` at `sinceMs` while rolling, in
// cycles of 256 frames at 48 kHz, as the jack service reports it.
constexpr double kFrameRate = 48000;
constexpr double kCycleMs = 256 * 1000.0 / kFrameRate;
struct FakeTransport {
  uint32_t segment = 1;
  bool rolling = false;
  double frame = 0;
  double sinceMs = 0;
} g_transport;

// How far the server's time lags the engine's clock `ms` after the rig's origin (a driver that
// stalled or runs slow); none when null.
double g_origin = 0;
double (*g_serverLag)(double ms) = nullptr;
double ServerLag() { return g_serverLag ? g_serverLag(g_now - g_origin) : 0.0; }

bool ReadFakeTransport(platform::TransportState* out) {
  out->segment = g_transport.segment;
  out->rolling = g_transport.rolling;
  out->frameRate = kFrameRate;
  const double cycles = g_transport.rolling ? std::floor((g_now - g_transport.sinceMs) / kCycleMs) : 0;
  out->frame = g_transport.frame + 256 * cycles;
  out->atMs = g_transport.rolling ? g_transport.sinceMs + cycles * kCycleMs : g_now;
  out->mediaMs = out->atMs - ServerLag();
  return true;
}

struct FollowRig : InProcessEngine {
  double origin = platform::NowMs() + 1e9;
  std::vector<Heard> heard;
  int wakeUps = 0;

  explicit FollowRig(bool transport = false) : InProcessEngine(1, 1) {
    EXPECT_TRUE(created);
    AddClient(kWindow);
    engine.ports.outputs[0].Open();
    engine.ports.inputs[0].Open(engine.ports.inputCallback, engine.ports.inputInstance);
    engine.ports.stages.clock = PushedClock;
    g_now = g_origin = origin;
    g_serverLag = nullptr;
    engine.clockIn.readTransport = ReadFakeTransport;
    g_transport = FakeTransport{};
    g_transport.sinceMs = origin;
    if (transport)
      CopyData(kWindow, tovu::protocol::kCopyClockIn, {0xFE, 0xFF, 0xFF, 0xFF});  // -2: the JACK transport
    else
      CopyData(kWindow, tovu::protocol::kCopyClockIn, {0, 0, 0, 0});  // input device 0
    CopyData(kWindow, tovu::protocol::kCopyLoadSong, Song());
    platform::VirtualCaptureTake();
  }
  void Collect(double at) {
    for (platform::VirtualMidiEvent& e : platform::VirtualCaptureTake()) {
      if (e.kind != platform::VirtualMidiEvent::Data) continue;
      const std::vector<uint8_t>& b = e.bytes;
      if (b.size() == 3 && b[0] == 0x90 && b[2] != 0) heard.push_back({at - origin, b[1] + 128 * (b[2] - 1), 0});
      if (b.size() == 3 && b[0] == 0xB0 && b[1] == 7) heard.push_back({at - origin, -1, b[2]});
    }
  }
  void Start(int32_t tick) {
    tovu::StartRequest r;
    r.startTick = tick;
    StartPlayback(engine, kWindow, tovu::EncodeStartRequest(r).data(), origin);
    Collect(origin);
  }
  void Master(uint8_t status, double at, uint8_t d1 = 0, uint8_t d2 = 0) {
    Run(at);
    g_now = origin + at;  // the input thread hands the message over as it arrives
    OfferClockInput(engine.clockIn, 0, static_cast<uint32_t>(status | d1 << 8 | d2 << 16), origin + at);
  }
  // The transport is located, started or stopped at `at` ms.
  void Transport(double at, bool rolling, double frame) {
    Run(at);
    g_transport = {g_transport.segment + 1, rolling, frame, origin + at};
  }
  // Runs the wake-ups as they come due until `until` ms.
  void Run(double until) {
    RunWakeUps(
        engine, origin + until, [](double due) { return g_now = due; },
        [&](double at) {
          ++wakeUps;
          Collect(at);
        });
  }
};

struct Segment {
  size_t firstHeard;
  int64_t cue, last;
  double firstMs;  // the master's ideal grid: pulse n at firstMs + (n - cue) x periodMs
  double periodMs;
};

// Per run of pulses: exactly the notes from the cue to the last pulse, each once, in order, with
// controller 7 as the song has it at each; at and between pulses within `toleranceMs` of the
// master's grid once locked (within `atPulseMs` at pulses and `betweenMs` between them). Returns how many times were checked.
int CheckRuns(const std::vector<Heard>& heard, const std::vector<Segment>& segments, double atPulseMs,
              double betweenMs) {
  int checkedTimes = 0;
  int32_t device = heard[0].controller;  // controller 7 as the device holds it
  for (size_t i = 0; i < segments.size(); ++i) {
    const Segment& seg = segments[i];
    size_t end = i + 1 < segments.size() ? segments[i + 1].firstHeard : heard.size();
    int32_t expected = static_cast<int32_t>(seg.cue);
    // heard[0] is the start's state; what came before the first run (a jump while stopped) is read
    // with it.
    for (size_t h = i == 0 ? 1 : seg.firstHeard; h < end; ++h) {
      const Heard& e = heard[h];
      if (e.note < 0) {
        device = e.controller;
        continue;
      }
      EXPECT_EQ(e.note, expected) << "run " << i << " cue " << seg.cue;
      if (e.note != expected) return checkedTimes;
      // (Before the song's first controller 7 the device keeps what it had: a chase sets only what
      // the song sets.)
      if (Controller7At(NoteTick(e.note)) >= 0) {
        EXPECT_EQ(device, Controller7At(NoteTick(e.note))) << "note " << e.note;
      }
      int64_t k = e.note - seg.cue;
      if (k >= 12) {
        // Tick 5k lies on pulse k, tick 5k + 2 2/5 of a pulse after it.
        double ideal = seg.firstMs + (static_cast<double>(k) + 0.4 * (e.note & 1)) * seg.periodMs;
        EXPECT_NEAR(e.ms, ideal, (e.note & 1) ? betweenMs : atPulseMs) << "note " << e.note;
        ++checkedTimes;
      }
      ++expected;
    }
    EXPECT_EQ(expected, seg.last + 1) << "run " << i << ": notes up to the last pulse's";
  }
  return checkedTimes;
}

}  // namespace

// A master that starts, stops, moves the pointer while stopped and continues, at random, its pulses
// jittered by up to +-1 ms at a random tempo per run: checked against the receiver model, the song
// the jitter margin behind the master's grid.
TEST(ClockIn, RandomTransportPlaysEveryNoteOnceInOrderWithTheStateChased) {
  std::mt19937 random(2826);
  FollowRig rig;
  rig.Start(600);  // held at tick 600 (sixteenth 20), the state there sounding, until the master starts
  rig.Run(50);
  ASSERT_EQ(rig.heard.size(), 1u);  // controller 7 at the start's state, no note
  EXPECT_EQ(rig.heard[0].controller, Controller7At(599));  // what lies at 600 waits for its pulse

  std::uniform_real_distribution<double> jitter(-1.0, 1.0);
  double t = 100;
  int64_t pointer = 600 / 5;  // the model's pointer, in pulses
  std::vector<Segment> segments;
  for (int round = 0; round < 12; ++round) {
    int action = std::uniform_int_distribution<int>(0, 2)(random);
    if (action == 1) {  // a pointer while stopped
      int s = std::uniform_int_distribution<int>(0, 300)(random);
      rig.Master(0xF2, t, static_cast<uint8_t>(s & 0x7F), static_cast<uint8_t>(s >> 7));
      pointer = 6 * s;
      t += 7;
    }
    bool start = action == 0;
    rig.Master(start ? 0xFA : 0xFB, t);
    if (start) pointer = 0;
    t += 5;
    rig.Run(t);
    // The song runs the jitter margin behind the master's grid.
    Segment seg{rig.heard.size(), pointer, pointer, t + kClockJitterMarginMs,
                std::uniform_real_distribution<double>(12.0, 30.0)(random)};
    int pulses = std::uniform_int_distribution<int>(1, 60)(random);
    for (int n = 0; n < pulses; ++n) {
      double at = t + n * seg.periodMs + jitter(random);
      rig.Master(0xF8, at);
    }
    seg.last = pointer + pulses - 1;
    t += (pulses - 1) * seg.periodMs + 1.6 * seg.periodMs;
    rig.Master(0xFC, t);
    rig.Run(t + 1);
    pointer = seg.last + 1;
    segments.push_back(seg);
    t += 20;
  }
  rig.Run(t + 100);

  // The master's jitter is not passed on, at pulses as between them. (A note struck as its pulse
  // arrives would be off by up to the jitter, 1 ms, and more where the loop expected it early.)
  EXPECT_GT(CheckRuns(rig.heard, segments, 0.75, 0.75), 50);
}

// A clock that stops arriving: the song holds before the next pulse's tick for as long as it is
// silent, says it is lost, and runs on from there when the pulses come back.
TEST(ClockIn, ASilentClockHoldsTheSongUntilItComesBack) {
  FollowRig rig;
  rig.Start(0);
  rig.Master(0xFA, 10);
  for (int n = 0; n < 10; ++n) rig.Master(0xF8, 20 + n * 20.0);
  // 30 ms after the next pulse was due, the estimate has run on past it (tick 50, pulse 10); input
  // arriving now is stamped at that pulse at the latest, where the song waits.
  rig.Run(250);
  {
    const PlaybackClock& clock = *rig.engine.playback.clock;
    EXPECT_GT(TickAt(ReadClock(clock), rig.origin + 250), 50);
    EXPECT_EQ(StampTickAt(clock, rig.origin + 250), 50);
    // (Input is stamped where the song will be when what was played with the master sounds.)
    EXPECT_EQ(StampTickAt(clock, rig.origin + 205), TickAt(ReadClock(clock), rig.origin + 205 + kClockJitterMarginMs));
  }
  int before = rig.wakeUps;
  rig.Run(2000);
  // Held, it looks at its inbox once a poll, not over and over at what waits for the next pulse.
  EXPECT_LT(rig.wakeUps - before, 1900);
  ASSERT_FALSE(rig.heard.empty());
  EXPECT_EQ(rig.heard.back().note, 9);  // note 9 lies before pulse 10; nothing after it
  {
    EngineLock guard(rig.engine.playback.lock, LockKind::kScheduler);
    EXPECT_TRUE(rig.engine.playback.follow.lostReported);
  }
  rig.Master(0xF8, 2000);
  rig.Master(0xF8, 2020);
  rig.Run(2030);
  EXPECT_EQ(rig.heard.back().note, 11);
  EngineLock guard(rig.engine.playback.lock, LockKind::kScheduler);
  EXPECT_FALSE(rig.engine.playback.follow.lostReported);
}

// The JACK transport, located while stopped, rolled, located while rolling and stopped at random:
// the same receiver model, with the pulses the transport's frames give (the song's time at frame /
// rate, 120 bpm here: a pulse every 125/6 ms), each note at its exact time.
TEST(ClockIn, RandomJackTransportPlaysEveryNoteOnceInOrderWithTheStateChased) {
  std::mt19937 random(2827);
  FollowRig rig(/*transport=*/true);
  rig.Start(600);
  rig.Run(50);  // the transport stands at frame 0: the song goes there, nothing sounding before it rolls
  const double pulseMs = 125.0 / 6;
  auto framesOf = [&](int64_t pulse) { return static_cast<double>(pulse) * pulseMs * kFrameRate / 1000; };
  double t = 100;
  std::vector<Segment> segments;
  double frame = 0;  // where the transport stands
  for (int round = 0; round < 12; ++round) {
    if (std::uniform_int_distribution<int>(0, 1)(random) == 0) {  // located while stopped
      frame = std::uniform_int_distribution<int>(0, 1'500'000)(random);
      rig.Transport(t, false, frame);
      t += 7;
      rig.Run(t);
      // The state there sounds before the transport rolls: controller 7 before the pulse's tick.
      const int32_t before = Controller7At(5 * static_cast<int32_t>(std::ceil(frame / framesOf(1) - 1e-9)) - 1);
      auto last = std::find_if(rig.heard.rbegin(), rig.heard.rend(), [](const Heard& h) { return h.note < 0; });
      if (before >= 0) {
        EXPECT_EQ(last->controller, before) << "no chase at a locate while stopped";
      }
    }
    bool locatedRolling = false;
    int pulses = std::uniform_int_distribution<int>(1, 60)(random);
    do {
      rig.Transport(t, true, frame);
      const int64_t cue = static_cast<int64_t>(std::ceil(frame / framesOf(1) - 1e-9));
      const double cueMs = t + (framesOf(cue) - frame) * 1000 / kFrameRate;
      segments.push_back({rig.heard.size(), cue, cue + pulses - 1, cueMs, pulseMs});
      // Half a pulse after the last: stopped there, or located elsewhere and rolling on.
      t = cueMs + (pulses - 0.5) * pulseMs;
      frame = framesOf(cue + pulses) - framesOf(1) / 2;
      locatedRolling = std::uniform_int_distribution<int>(0, 2)(random) == 0;
      if (locatedRolling) {
        frame = std::uniform_int_distribution<int>(0, 1'500'000)(random);
        pulses = std::uniform_int_distribution<int>(1, 60)(random);
      }
    } while (locatedRolling);
    rig.Transport(t, false, frame);
    t += 20;
  }
  rig.Run(t + 100);
    // (A note at a pulse may wait for the scheduler's least spacing of wake-ups, 50 microseconds.)
  EXPECT_GT(CheckRuns(rig.heard, segments, 0.051, 1e-6), 100);
}

// The song's tempo map walked forward and back: random tempo changes, the time at each of a rising
// run of ticks against a sum over the map, and the tick at that time the tick again.
TEST(ClockIn, TheTempoWalkMapsTicksAndTimesBothWays) {
  std::mt19937 random(2828);
  tovu::SongBuilder b;
  b.ticksPerQuarter = 96;
  b.sortByTick = true;
  std::vector<std::pair<int32_t, uint32_t>> tempos = {{0, 100}};
  for (int32_t at = 0; at < 100000;) {
    at += std::uniform_int_distribution<int32_t>(1, 3000)(random);
    tempos.push_back({at, std::uniform_int_distribution<uint32_t>(20, 300)(random)});
  }
  for (auto [at, bpm] : tempos) b.Tempo(at, bpm);
  b.NoteOn(50, 0, 0, 60, 100);  // other events between the tempo changes
  b.End(200000);
  std::vector<uint8_t> song = b.Build();
  auto reference = [&](double tick) {
    double ms = 0;
    for (size_t i = 0; i < tempos.size(); ++i) {
      double from = tempos[i].first, to = i + 1 < tempos.size() ? tempos[i + 1].first : INFINITY;
      if (tick <= from) break;
      ms += (std::min(tick, to) - from) * 60000.0 / (tempos[i].second * 96.0);
    }
    return ms;
  };
  TempoWalk ticks = StartTempoWalk(song.data()), times = StartTempoWalk(song.data());
  double tick = 0;
  for (int step = 0; step < 2000; ++step) {
    tick += std::uniform_real_distribution<double>(0, 100)(random);
    const double ms = WalkToTick(ticks, tick);
    ASSERT_NEAR(ms, reference(tick), 1e-6 * (1 + ms)) << "tick " << tick;
    ASSERT_NEAR(WalkToMs(times, ms), tick, 1e-6 * (1 + tick)) << "ms " << ms;
  }
}

// Pulses taken a fixed delay after they arrive (as on jack, whose input comes a period late): each
// is taken exactly at its arrival plus the delay, not at the next poll, so the note at its tick is
// sent then, every one the same delay behind the master. And the master keeps to the server's time
// while the server falls 23 ms behind the engine's clock (a stall, as JACK's clock absorbs it):
// every note, at a pulse or between, still falls exactly where the master's time puts it.
TEST(ClockIn, PulsesTakenLateStrikeTheirNotesExactlyTheDelayBehindOnTheServersTime) {
  FollowRig rig;
  // Behind by nothing until 100 ms, falling behind steadily to 23 ms at 500 ms.
  g_serverLag = [](double ms) { return 23.0 * std::clamp((ms - 100.0) / 400.0, 0.0, 1.0); };
  auto serverTime = [](double ms) { return ms - g_serverLag(ms); };
  auto engineTime = [](double server) {
    return server < 100 ? server : server < 477 ? (server - 5.75) / (1 - 23.0 / 400) : server + 23;
  };
  rig.Start(0);
  rig.engine.clockIn.delayMs.store(6.25);
  rig.Master(0xFA, 10);
  for (int n = 0; n < 40; ++n) rig.Master(0xF8, engineTime(20.3 + n * 20.0));
  rig.Run(1000);
  int checked = 0;
  for (const Heard& h : rig.heard) {
    if (h.note < 0 || h.note >= 40 || ((h.note & 1) && h.note < 3)) continue;  // between pulses once locked
    const double ideal = 20.3 + (h.note + 0.4 * (h.note & 1)) * 20.0 + 6.25 + kClockJitterMarginMs;
    // (While the server falls behind, a wake-up armed by the difference a moment before comes a
    // little early and the next one takes what is due: late by a few microseconds.)
    const double tolerance = (h.note & 1) ? 0.1 : h.ms > 100 && h.ms < 520 ? 0.05 : 1e-6;
    EXPECT_NEAR(serverTime(h.ms), ideal, tolerance) << "note " << h.note;
    ++checked;
  }
  EXPECT_EQ(checked, 39);
}
