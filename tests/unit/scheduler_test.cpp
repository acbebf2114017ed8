// The scheduler in process, with time handed in: an engine set up over in-process virtual devices
// and a bus without clients, whose wake-ups the test runs itself at the moments it chooses. The
// moments lie far beyond the real clock, so the timer service (which still takes the armed timers)
// never fires one on its own; each wake-up the test runs cancels the armed timer first, as the
// service does by taking it off its table.
// Threads: the test thread only (it stands in for the main thread and the timer thread).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/song_builder.h"
#include "platform/midi.h"
#include "platform/timer.h"
#include "platform/wire.h"
#include "support/engine_fixture.h"

namespace {

constexpr uint32_t kWindow = 0x101;

std::vector<uint8_t> Request(int32_t start, bool loop = false, int32_t loopStart = 0, int32_t loopEnd = 0x7FFFFFFF) {
  std::vector<uint8_t> r(32, 0);
  platform::StoreLe32(r.data(), static_cast<uint32_t>(start));
  platform::StoreLe32(r.data() + 4, static_cast<uint32_t>(loopStart));
  platform::StoreLe32(r.data() + 8, static_cast<uint32_t>(loopEnd));
  platform::StoreLe32(r.data() + 12, loop ? 1 : 0);
  platform::StoreLe32(r.data() + 16, 2);
  return r;
}

struct Played {
  double ms;  // the pushed-in moment of the wake-up that sent it, from the start
  std::string text;
};

// The moment the output stages take for now: the pushed-in time of the wake-up that runs.
double g_pushedNow = 0;
double PushedClock() { return g_pushedNow; }

struct SchedulerEngine : InProcessEngine {
  ClientRecord* client = nullptr;
  double origin = platform::NowMs() + 1e9;  // far beyond anything the timer service will reach
  std::vector<Played> played;

  SchedulerEngine() : InProcessEngine(2, 0), client(&AddClient(kWindow)) {
    EXPECT_TRUE(created);
    for (int i = 0; i < engine.ports.outputCount; ++i) engine.ports.outputs[i].Open();
    engine.ports.stages.clock = PushedClock;
    g_pushedNow = origin;
    platform::VirtualCaptureTake();
  }

  void Load(const std::vector<uint8_t>& song) {
    LoadSong(engine, kWindow, static_cast<uint32_t>(song.size()), song.data());
    ASSERT_NE(client->songs.current, nullptr);
  }
  void Collect(double at) {
    for (std::string& line : TakeCapturedData()) played.push_back({at, std::move(line)});
  }
  void Start(const std::vector<uint8_t>& request, double at) {
    g_pushedNow = origin + at;
    StartPlayback(engine, kWindow, request.data(), origin + at);
    Collect(at);
  }
  // Runs a wake-up at every `stepMs` from `from` to `to` (ms since the origin), as a timer that
  // comes at least that often would, each after the stages' drain at that moment.
  void Run(double from, double to, double stepMs = 1.0) {
    for (double t = from; t <= to; t += stepMs) {
      g_pushedNow = origin + t;
      DrainStages(engine.ports, origin + t);
      Collect(t);
      uint64_t id = engine.playback.timer;
      if (id == 0) return;
      platform::TimerCancel(engine.playback.timers, id);
      SchedulerWakeUpAt(engine.playback, id, origin + t);
      Collect(t);
    }
  }
  // The lines played at or after `from` ms.
  std::vector<std::string> Since(double from) const {
    std::vector<std::string> out;
    for (const Played& p : played)
      if (p.ms >= from) out.push_back(p.text);
    return out;
  }
  // The time the line was played, or -1.
  double When(const std::string& text) const {
    for (const Played& p : played)
      if (p.text == text) return p.ms;
    return -1;
  }
  std::vector<double> NoteOnTimes() const {
    std::vector<double> out;
    for (auto& p : played)
      if (p.text.size() == 13 && p.text.compare(5, 2, "90") == 0 && p.text.substr(11) != "00") out.push_back(p.ms);
    return out;
  }
};

// A note every 10 ticks at 960 ticks per second: one every 10.4 ms.
std::vector<uint8_t> DenseSong() {
  tovu::SongBuilder s;
  s.Tempo(0, 480);
  for (int32_t t = 0; t < 96000; t += 10) {
    s.NoteOn(t, 0, 0, 60, 100);
    s.NoteRelease(t + 5, 0, 0, 60);
  }
  s.End(96000);
  return s.Build();
}

}  // namespace

// Factor 0.01 for a second, then 1.0: the song goes on from the exact position reached, so no
// part of the slow tick is played again at the new speed (which would strike a burst of notes).
TEST(Scheduler, ATempoFactorChangeGoesOnWithoutABurst) {
  SchedulerEngine e;
  e.Load(DenseSong());
  e.Start(Request(0), 0);
  e.Run(1, 200);
  SetPlaybackTempoFactor(e.engine.playback, 0.01, e.origin + 200.5);
  // By 1285.5 ms the slow clock stands nine tenths into tick 202, whose due time lies 94 ms back:
  // counted again at the new speed, those 94 ms would be 90 ticks, nine notes at once.
  e.Run(201, 1285);
  SetPlaybackTempoFactor(e.engine.playback, 1.0, e.origin + 1285.5);
  e.Run(1286, 1500);
  std::vector<double> notes = e.NoteOnTimes();
  ASSERT_GT(notes.size(), 30u);
  // Notes come 10.4 ms apart at factor 1, about a second apart at 0.01; never two within 5 ms.
  for (size_t i = 1; i < notes.size(); ++i) EXPECT_GE(notes[i] - notes[i - 1], 5.0) << "at " << notes[i];
  // At the slow speed the ten ticks play one note (tick 200); back at speed the first note comes
  // when its own tick (210) is reached, 7 ms later, not at once.
  int slow = 0, burst = 0;
  for (double t : notes) {
    slow += t > 201 && t <= 1285;
    burst += t > 1285 && t <= 1290;
  }
  EXPECT_LE(slow, 1);
  EXPECT_LE(burst, 1);
}

// A song of 250 ms whose one note is held to the end, started at 0 and played to 100 ms.
void PlayHeldNoteSongTo100Ms(SchedulerEngine& e) {
  tovu::SongBuilder s;
  s.Tempo(0, 480);
  s.NoteOn(0, 0, 0, 60, 100);
  s.End(240);
  e.Load(s.Build());
  e.Start(Request(0), 0);
  e.Run(1, 100);
}

// A wake-up that comes long after the end marker's due time still ends the song once, with the
// outputs silenced at once and the end posted to the main thread; a continue and a tempo factor
// that come before the main thread has finished the end change nothing.
TEST(Scheduler, ALateWakeUpFindsTheEndAndTheEndWins) {
  SchedulerEngine e;
  PlayHeldNoteSongTo100Ms(e);
  uint64_t id = e.engine.playback.timer;
  ASSERT_NE(id, 0u);
  platform::TimerCancel(e.engine.playback.timers, id);
  SchedulerWakeUpAt(e.engine.playback, id, e.origin + 900);  // 650 ms late
  e.Collect(900);
  EXPECT_EQ(e.engine.playback.timer, 0u);
  ASSERT_FALSE(e.played.empty());
  EXPECT_EQ(e.played.back().text, "out0 90 3c 00");
  EXPECT_EQ(e.played.back().ms, 900);
  std::vector<uint8_t> next = Request(0, true, 0, 240);
  ContinueWithNextSong(e.engine, kWindow, next.data(), e.origin + 901);
  SetPlaybackTempoFactor(e.engine.playback, 2.0, e.origin + 902);
  EXPECT_EQ(e.engine.playback.timer, 0u);  // nothing armed again
  EXPECT_EQ(e.engine.playback.pending, 0);
  // The main thread then handles the posted end: the playback is over.
  while (platform::BusTurn(e.engine.bus, 0) > 0) {
  }
  EXPECT_EQ(e.engine.playback.playingClient.load(), 0u);
  e.Collect(903);
  EXPECT_EQ(e.played.back().text, "out0 90 3c 00");  // released once, at the end
}

// While a continue's start message is still with its client, whose handler may load the song to
// switch to, wake-ups play on and hold at the song's end instead of ending it; the switch comes
// with the continue's own wake-up, to the song loaded meanwhile, at the position reached.
TEST(Scheduler, AContinueSwitchesOnlyOnceItsClientHasAnswered) {
  SchedulerEngine e;
  PlayHeldNoteSongTo100Ms(e);
  PlaybackState& p = e.engine.playback;
  tovu::DecodeStartRequest(Request(0).data(), kStartRequestSize, &p.pendingRequest);
  p.pending = kContinueAnnounced;  // as while the start message is being handled
  tovu::SongBuilder b;             // the first song and one more note after it
  b.Tempo(0, 480);
  b.NoteOn(0, 0, 0, 60, 100);
  b.NoteOn(400, 0, 0, 62, 100);
  b.End(960);
  std::vector<uint8_t> next = b.Build();
  LoadNextSong(e.engine, kWindow, static_cast<uint32_t>(next.size()), next.data());
  const uint8_t* first = p.song;
  e.Run(101, 400, 50);  // past the first song's end
  EXPECT_EQ(p.endKind, kRunning);
  EXPECT_EQ(p.song, first);
  EXPECT_NE(p.timer, 0u);
  for (const Played& line : e.played) EXPECT_NE(line.text, "out0 90 3c 00") << "released at " << line.ms;
  p.pending = kContinueDue;  // the client has answered: the continue's wake-up is armed
  e.Run(401, 430);
  EXPECT_NE(p.song, first);
  ASSERT_FALSE(e.played.empty());
  EXPECT_EQ(e.played.back().text, "out0 90 3e 64");
  EXPECT_GE(e.played.back().ms, 416);  // tick 400 at 960 ticks a second
}

namespace {

// Eight sysex messages on port 0 (its pause 100 ms), a bend and a note there, and notes on port 1:
// started at tick 480 with every sysex sent, the replay sends the first message and the rest wait
// their turn with everything after them on port 0, while port 1 plays on time.
TEST(Scheduler, APauseHoldsItsPortInOrderAndNoOtherPortFromTheReplayOn) {
  SchedulerEngine e;
  e.engine.ports.outputs[0].sysexDelayMs = 100;
  tovu::SongBuilder s;
  s.Tempo(0, 120);  // 240 ticks a second
  for (int i = 0; i < 8; ++i) s.Sysex(i * 10, 0, {0xF0, 0x7D, static_cast<uint8_t>(i), 0xF7});
  s.PitchBend(75, 0, 0, 0x2000);
  s.NoteOn(80, 0, 0, 60, 100);
  for (int32_t t = 480; t < 960; t += 48) s.NoteOn(t, 1, 1, 64, 90);
  s.End(960);
  e.Load(s.Build());
  std::vector<uint8_t> request = Request(480);
  platform::StoreLe32(request.data() + 16, 1);  // every sysex
  e.Start(request, 0);
  e.Run(1, 950);
  ASSERT_NE(e.When("out0 f0 7d 07 f7"), -1);
  for (int i = 0; i < 8; ++i) {
    char line[32];
    snprintf(line, sizeof line, "out0 f0 7d %02x f7", i);
    EXPECT_EQ(e.When(line), i * 100.0) << line;
  }
  EXPECT_EQ(e.When("out0 e0 00 40"), 800.0);  // the bend and the note, behind the last pause
  EXPECT_EQ(e.When("out0 90 3c 64"), 800.0);
  // Port 1's notes: the first at the start, the next on their own ticks (every 200 ms), never held.
  std::vector<double> notes;
  for (const Played& p : e.played)
    if (p.text == "out1 91 40 5a") notes.push_back(p.ms);
  ASSERT_EQ(notes.size(), 5u);
  for (size_t i = 0; i < notes.size(); ++i) EXPECT_NEAR(notes[i], 200.0 * i, 1.0);
}

// A pedal a loop's first pass pressed, which the loop start's state does not hold, is lifted at the
// wrap; a continue into a song that never touches the pedal lifts it at the switch; a stop leaves
// no pedal down either way.
TEST(Scheduler, APedalTheNextStateDoesNotHoldIsLiftedAtAWrapAndASwitch) {
  SchedulerEngine e;
  tovu::SongBuilder s;
  s.Tempo(0, 480);  // 960 ticks a second
  s.NoteOn(0, 0, 0, 60, 100);
  s.Controller(120, 0, 0, 64, 127);
  s.End(960);
  e.Load(s.Build());
  e.Start(Request(0, true, 0, 480), 0);
  e.Run(1, 600);  // 960 ticks a second: the wrap at 500 ms, pass 2 before tick 120 at 600 ms
  // The wrap releases the note and lifts the pedal; the new pass then strikes the note at tick 0.
  std::vector<std::string> wrap = e.Since(499);
  ASSERT_GE(wrap.size(), 3u);
  EXPECT_EQ(wrap[0], "out0 90 3c 00");
  EXPECT_EQ(wrap[1], "out0 b0 40 00");
  EXPECT_EQ(wrap[2], "out0 90 3c 64");
  EXPECT_EQ(StopPlayback(e.engine, kWindow), 0);
  e.Collect(601);
  EXPECT_EQ(e.Since(601), (std::vector<std::string>{"out0 90 3c 00"}));

  // Song 1 presses the pedal; a continue into song 2, which has no pedal events; then a stop.
  e.played.clear();
  e.Load(s.Build());
  tovu::SongBuilder b;
  b.Tempo(0, 480);
  b.NoteOn(0, 0, 0, 62, 100);
  b.End(3840);
  std::vector<uint8_t> next = b.Build();
  e.Start(Request(0), 1000);
  e.Run(1001, 1300);
  LoadNextSong(e.engine, kWindow, static_cast<uint32_t>(next.size()), next.data());
  ContinueWithNextSong(e.engine, kWindow, Request(0).data(), e.origin + 1300.5);
  e.Run(1302, 1320);
  EXPECT_NE(e.When("out0 b0 40 00"), -1);
  StopPlayback(e.engine, kWindow);
  e.Collect(1321);
  int down = 0;
  for (const Played& p : e.played)
    if (p.text.rfind("out0 b0 40 ", 0) == 0) down = p.text == "out0 b0 40 00" ? 0 : 1;
  EXPECT_EQ(down, 0);
}

// A continue into a song that has passed more system-exclusive messages than the old one sends the
// new song's; a stop releases a note the song ended with a note-off status, which its state counts
// as sounding (as a wrap and a switch do).
TEST(Scheduler, AContinueSendsTheNewSongsSysexAndAStopReleasesANoteEndedByANoteOff) {
  SchedulerEngine e;
  tovu::SongBuilder a;
  a.Tempo(0, 480);  // 960 ticks a second
  a.Sysex(0, 0, {0xF0, 0x0A, 0xF7});
  a.NoteOn(0, 0, 0, 60, 100);
  a.End(3840);
  tovu::SongBuilder b;
  b.Tempo(0, 480);
  b.Sysex(0, 0, {0xF0, 0x0B, 0x00, 0xF7});
  b.Sysex(100, 0, {0xF0, 0x0B, 0x01, 0xF7});
  b.Sysex(200, 0, {0xF0, 0x0B, 0x02, 0xF7});
  b.NoteOn(400, 0, 0, 62, 100);
  b.NoteOff(410, 0, 0, 62, 64);  // 0x8n: the device releases it, the song's state still counts it
  b.End(3840);
  e.Load(a.Build());
  std::vector<uint8_t> request = Request(0);
  platform::StoreLe32(request.data() + 16, 1);
  e.Start(request, 0);
  e.Run(1, 300);  // tick 288
  std::vector<uint8_t> next = b.Build();
  LoadNextSong(e.engine, kWindow, static_cast<uint32_t>(next.size()), next.data());
  ContinueWithNextSong(e.engine, kWindow, request.data(), e.origin + 300.5);
  e.Run(302, 310);
  std::vector<std::string> sw = e.Since(302);
  for (const char* line : {"out0 f0 0b 00 f7", "out0 f0 0b 01 f7", "out0 f0 0b 02 f7", "out0 90 3c 00"})
    EXPECT_NE(std::find(sw.begin(), sw.end(), line), sw.end()) << line;
  e.Run(311, 450);
  EXPECT_NE(e.When("out0 80 3e 40"), -1);
  StopPlayback(e.engine, kWindow);
  e.Collect(451);
  EXPECT_EQ(e.Since(451), (std::vector<std::string>{"out0 90 3e 00"}));
}

// A one-tick loop at a hundred times the tempo wraps at most once a millisecond.
TEST(Scheduler, ALoopPassLastsAtLeastAMillisecond) {
  SchedulerEngine e;
  tovu::SongBuilder s;
  s.Tempo(0, 120);
  s.NoteOn(0, 0, 0, 60, 100);
  s.End(960);
  e.Load(s.Build());
  e.client->tempoFactor = 100.0;
  e.Start(Request(0, true, 0, 1), 0);
  e.Run(0.05, 20, 0.05);
  int strikes = 0;
  for (const Played& p : e.played) strikes += p.text == "out0 90 3c 64";
  EXPECT_GE(strikes, 15);
  EXPECT_LE(strikes, 21);  // the start's, then one a millisecond
}

// A song ending on the last ticks there are, started two ticks before its end at a hundred times
// the tempo: its end is its end marker's tick, not the clock's ceiling.
TEST(Scheduler, AnEndAtTheLastTicksIsTheEndMarkersTick) {
  SchedulerEngine e;
  tovu::SongBuilder s;
  s.Tempo(0, 120);
  s.End(2147483646);
  e.Load(s.Build());
  e.client->tempoFactor = 100.0;
  e.Start(Request(2147483644), 0);
  e.Run(1, 5);
  EXPECT_EQ(e.engine.playback.endKind, kEndedAt);
  EXPECT_EQ(e.engine.playback.finalPosition, 2147483646);
}

}  // namespace
