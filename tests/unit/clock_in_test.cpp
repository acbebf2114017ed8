// A playback that follows an external MIDI clock, run in process with time handed in: the master's
// messages go through the input's clock hand-over (OfferClockInput) at chosen moments, and each
// wake-up runs at the moment it was armed for. What the virtual output receives is checked against a
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

struct FollowRig : InProcessEngine {
  double origin = platform::NowMs() + 1e9;
  std::vector<Heard> heard;
  int wakeUps = 0;

  FollowRig() : InProcessEngine(1, 1) {
    EXPECT_TRUE(created);
    AddClient(kWindow);
    engine.ports.outputs[0].Open();
    engine.ports.inputs[0].Open(engine.ports.inputCallback, engine.ports.inputInstance);
    engine.ports.stages.clock = PushedClock;
    g_now = origin;
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
    OfferClockInput(engine.clockIn, 0, static_cast<uint32_t>(status | d1 << 8 | d2 << 16), origin + at);
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

}  // namespace

// A master that starts, stops, moves the pointer while stopped and continues, at random, its pulses
// jittered by up to +-1 ms at a random tempo per run: checked against the receiver model.
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
  struct Segment {
    size_t firstHeard;
    int64_t cue, last;
    double firstMs;  // the master's ideal grid: pulse n at firstMs + n x periodMs, before jitter
    double periodMs;
  };
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
    Segment seg{rig.heard.size(), pointer, pointer, t, std::uniform_real_distribution<double>(12.0, 30.0)(random)};
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

  // Per run of pulses: exactly the notes from the cue to the last pulse, each once, in order, with
  // controller 7 as the song has it at each; between pulses at the master's time once locked.
  int checkedTimes = 0;
  int32_t device = rig.heard[0].controller;  // controller 7 as the device holds it
  for (size_t i = 0; i < segments.size(); ++i) {
    const Segment& seg = segments[i];
    size_t end = i + 1 < segments.size() ? segments[i + 1].firstHeard : rig.heard.size();
    int32_t expected = static_cast<int32_t>(seg.cue);
    for (size_t h = std::max<size_t>(seg.firstHeard, 1); h < end; ++h) {  // heard[0]: the start's state
      const Heard& e = rig.heard[h];
      if (e.note < 0) {
        device = e.controller;
        continue;
      }
      ASSERT_EQ(e.note, expected) << "run " << i << " cue " << seg.cue;
      // (Before the song's first controller 7 the device keeps what it had: a chase sets only what
      // the song sets.)
      if (Controller7At(NoteTick(e.note)) >= 0) {
        EXPECT_EQ(device, Controller7At(NoteTick(e.note))) << "note " << e.note;
      }
      int64_t k = e.note - seg.cue;
      if (k >= 12 && (e.note & 1)) {
        // Tick 5k + 2 lies 2/5 of a pulse after pulse k; the master's jitter is +-1 ms.
        double ideal = seg.firstMs + (static_cast<double>(k) + 0.4) * seg.periodMs;
        EXPECT_NEAR(e.ms, ideal, 1.0) << "note " << e.note;
        ++checkedTimes;
      }
      ++expected;
    }
    EXPECT_EQ(expected, seg.last + 1) << "run " << i << ": notes up to the last pulse's";
  }
  EXPECT_GT(checkedTimes, 50);
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
    EXPECT_EQ(StampTickAt(clock, rig.origin + 205), TickAt(ReadClock(clock), rig.origin + 205));
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
