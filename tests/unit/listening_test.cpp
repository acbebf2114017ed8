// The host's wiring of recording, on a whole engine in process: a change of the listening client
// (a recording starts or ends) or of its filter releases what thru holds, and a playback's wake-ups
// reach the recorder's echo through the hooks the host fills in. The recording subsystem's own
// behaviour is tested on its records alone (recording_test.cpp).
// Threads: the test thread stands in for the main thread and, through WakeAt, the timer thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/song_builder.h"
#include "client/take_reader.h"
#include "platform/midi.h"
#include "platform/timer.h"
#include "platform/wire.h"
#include "playback/seek.h"
#include "support/engine_fixture.h"

namespace {

constexpr uint32_t kWindow = 0x101;

std::vector<uint8_t> Filter(uint32_t mask, uint32_t flags) { return tovu::EncodeInputFilter(mask, flags); }

struct ListeningEngine : InProcessEngine {
  ClientRecord* client = &AddClient(kWindow);

  ListeningEngine() { FreezeClockAt(0); }

  // Input stamped from now on reads `tick` (one tick a minute, anchored half a tick off).
  void FreezeClockAt(int32_t tick) {
    AnchorClockAt(engine.clock, platform::NowMs() + (tick < 0 ? 30000.0 : -30000.0), tick, 1);
  }
  void OpenInput(ClientRecord& record, int32_t port, uint32_t flags) {
    engine.ports.inputs[port].Open(engine.ports.inputCallback, engine.ports.inputInstance);
    record.inputPort = port;
    record.channelMask = 0xFFFF;
    record.inputFlags = flags;
  }
  bool Inject(uint32_t input, std::vector<uint8_t> bytes) {
    return platform::VirtualInject(input, bytes.data(), bytes.size());
  }
  void Thru(int32_t device) { CopyData(kWindow, kCopySetThru, tovu::EncodeThruSettings({device, -1, 0, 0})); }
  // A recording by `window` begins as a start arms it, through the host's hook.
  void ArmFor(uint32_t window, int32_t tick = 0) {
    engine.playback.recordingClient = window;
    FreezeClockAt(tick);
    engine.playback.hooks.armRecording(engine.playback.hooks.context, tick, 0, false);
  }
  std::vector<std::string> Data() { return TakeCapturedData(); }
};

constexpr uint32_t kOtherWindow = 0x202;

TEST(Thru, AChangeOfFilterOrListenerReleasesWhatThruHolds) {
  ListeningEngine e;
  e.OpenInput(*e.client, 0, 1);
  e.Thru(1);
  // The thru owner narrows its filter to controllers while a key is held: the held note is released
  // at once, since its key-up will no longer pass.
  e.Inject(0, {0x90, 60, 100});
  e.Data();
  e.CopyData(kWindow, kCopyInputFilter, Filter(0xFFFF, 2));
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 00"}));
  e.Inject(0, {0x80, 60, 0});
  EXPECT_TRUE(e.Data().empty());
  e.CopyData(kWindow, kCopyInputFilter, Filter(0xFFFF, 1));
  // A key held by the thru owner on its input, then another client starts recording on another
  // input: the owner's key-up no longer passes, so the note is released when the listener changes.
  e.OpenInput(e.AddClient(kOtherWindow), 1, 1);
  e.Inject(0, {0x90, 62, 90});
  e.Data();
  e.ArmFor(kOtherWindow);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3e 00"}));
  e.Inject(0, {0x80, 62, 0});
  e.Inject(1, {0x90, 64, 80});  // the recording client's input is echoed and recorded
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 40 50"}));
  // A filter change by a client that does not listen releases nothing.
  e.CopyData(kWindow, kCopyInputFilter, Filter(0xFFFF, 2));
  EXPECT_TRUE(e.Data().empty());
  e.engine.playback.recordingClient = 0;
  BuiltTake built = FinishTake(e.engine.recording.recorder, 10);
  tovu::Take take;
  ASSERT_TRUE(built.built && tovu::ReadTake(built.bytes.get(), built.size, &take, nullptr));
  ASSERT_EQ(take.events.size(), 2u);
  EXPECT_EQ(take.events[0].event, 0x504090u);
}

// A pedal thru holds down is lifted when the owner's filter stops admitting its release, and when
// a recording through thru ends and the listening goes back to the owner.
TEST(Thru, APedalThruHoldsIsLiftedWhenTheFilterOrTheListenerChanges) {
  ListeningEngine e;
  e.OpenInput(*e.client, 0, 1 | 2);
  e.Thru(1);
  e.Inject(0, {0xB0, 64, 127});
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 b0 40 7f"}));
  e.CopyData(kWindow, kCopyInputFilter, Filter(0xFFFF, 1));  // notes only
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 b0 40 00"}));
  e.CopyData(kWindow, kCopyInputFilter, Filter(0xFFFF, 1 | 2));
  e.OpenInput(e.AddClient(kOtherWindow), 1, 1 | 2);
  e.ArmFor(kOtherWindow);
  e.Inject(1, {0xB0, 64, 100});
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 b0 40 64"}));
  e.engine.playback.recordingClient = 0;
  DeliverTake(e.engine, kOtherWindow);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 b0 40 00"}));
}

// Runs one wake-up of the scheduler with the clock reading `tick`, then takes back the wake-up it
// armed, so that only the test drives the scheduler. The wake-up runs at a moment far beyond anything
// the timer service will reach, so the one it arms can never fire on the timer thread before it is
// taken back; the clock is anchored at that moment for it and back at the real one afterwards.
void WakeAt(ListeningEngine& e, int32_t tick) {
  PlaybackState& p = e.engine.playback;
  constexpr uint64_t kTestTimer = ~0ull;
  constexpr double kFarMs = 1e9;
  {
    std::lock_guard<Mutex> guard(p.lock);
    p.timer = kTestTimer;
    p.passBeganMs = -1e9;  // these wake-ups come microseconds apart: a pass's shortest time is not at stake
  }
  double now = platform::NowMs() + kFarMs;
  AnchorClockAt(e.engine.clock, now - 30000.0, tick, 1);
  SchedulerWakeUpAt(e.engine.playback, kTestTimer, now);
  e.FreezeClockAt(tick);
  uint64_t armed;
  {
    std::lock_guard<Mutex> guard(p.lock);
    armed = p.timer;
    p.timer = 0;
  }
  platform::TimerCancel(p.timers, armed);
}

// A recording playback of an empty song looping 0..480, as the start leaves it, for WakeAt.
std::vector<uint8_t> StartLoopRecording(ListeningEngine& e) {
  tovu::SongBuilder builder;
  builder.Tempo(0, 600);
  builder.End(1920);
  std::vector<uint8_t> song = builder.Build();
  PlaybackState& p = e.engine.playback;
  SeekImages(song.data(), 0, 0, *e.engine.images[kMainImage], *e.engine.images[kLoopStartImage], nullptr);
  p.song = song.data();
  p.loopOn = 1;
  p.loopStart = 0;
  p.loopEnd = 480;
  p.echoPosition = 0;
  p.playingClient = kWindow;
  e.ArmFor(kWindow);
  return song;
}

TEST(LoopEcho, ALateWakeUpEchoesTheRestOfThePassBeforeItWraps) {
  ListeningEngine e;
  e.OpenInput(*e.client, 0, 1 | 2);
  e.Thru(1);
  PlaybackState& p = e.engine.playback;
  std::vector<uint8_t> song = StartLoopRecording(e);
  // Pass 1: a key and the pedal, both released just before the loop end.
  for (auto [tick, bytes] : std::vector<std::pair<int32_t, std::vector<uint8_t>>>{
           {100, {0x90, 60, 100}}, {100, {0xB0, 64, 127}}, {473, {0x80, 60, 0}}, {473, {0xB0, 64, 0}}}) {
    e.FreezeClockAt(tick);
    e.Inject(0, bytes);
  }
  WakeAt(e, 485);  // wraps: pass 2 begins
  e.Data();
  // Pass 2, its wake-ups: on time at 100 and 460, then one 20 ms late, past the loop end.
  WakeAt(e, 100);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 64", "out1 b0 40 7f"}));
  WakeAt(e, 460);
  EXPECT_TRUE(e.Data().empty());
  WakeAt(e, 505);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 00", "out1 b0 40 00"}));
  p.playingClient = 0;
  p.recordingClient = 0;
  BuiltTake built = FinishTake(e.engine.recording.recorder, 10);
  tovu::Take take;
  ASSERT_TRUE(built.built && tovu::ReadTake(built.bytes.get(), built.size, &take, nullptr));
  EXPECT_EQ(tovu::TakePasses(take).size(), 3u);
}

// An echo that ran out of its budget goes on a millisecond later, not a tick later, however slow
// the tempo (here a tick a minute).
TEST(LoopEcho, AnEchoOutOfBudgetGoesOnAMillisecondLater) {
  ListeningEngine e;
  e.OpenInput(*e.client, 0, 1 | 2);
  e.Thru(1);
  PlaybackState& p = e.engine.playback;
  std::vector<uint8_t> song = StartLoopRecording(e);
  e.FreezeClockAt(10);
  for (int i = 0; i < 600; ++i) RecordNow(e.engine.recording.recorder, 0x0007B0u | static_cast<uint32_t>(i % 128) << 16);
  WakeAt(e, 485);  // wraps: pass 2 begins
  e.Data();
  WakeAt(e, 10);
  EXPECT_EQ(e.Data().size(), static_cast<size_t>(kEchoBudget));
  EXPECT_LE(p.timerDueMs, p.lastWakeMs + 1.0 + 1e-6);
  p.playingClient = 0;
  p.recordingClient = 0;
}

}  // namespace
