// The metronome, the input filter, thru and the take recorder, each on its own records (no engine):
// input injected as a device would deliver it, outputs read from the device layer's capture, and
// takes read back with the client library's take reader. The playback clock is frozen (one tick per
// minute) at the tick each case wants its input stamped with.
// Threads: the test thread stands in for the main thread and, where a case says so, for the timer
// thread; injected input runs its callback on the injecting thread.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "client/take_reader.h"
#include "platform/midi.h"
#include "platform/timer.h"
#include "platform/wire.h"
#include "support/recording_rig.h"
#include "support/owned_thread.h"

namespace {

constexpr uint32_t kWindow = 0x101;

struct RecordingEngine : RecordingRig {
  ClientRecord* client = nullptr;

  explicit RecordingEngine(int outputs = 2, int inputs = 2, std::vector<uint32_t> failOut = {})
      : RecordingRig(outputs, inputs, std::move(failOut)), client(&AddClient(kWindow)) {
    FreezeClockAt(0);
  }

  // Input stamped from now on reads `tick`: the clock advances one tick a minute and is anchored
  // half a tick off, to the side from which truncation toward zero lands on `tick`.
  void FreezeClockAt(int32_t tick) {
    AnchorClockAt(clock, platform::NowMs() + (tick < 0 ? 30000.0 : -30000.0), tick, 1);
  }

  void OpenInput(int32_t port, uint32_t mask = 0xFFFF, uint32_t flags = 1) {
    ports.inputs[port].Open(ports.inputCallback, ports.inputInstance);
    client->inputPort = port;
    client->channelMask = mask;
    client->inputFlags = flags;
  }
  bool Inject(uint32_t input, std::vector<uint8_t> bytes) {
    return platform::VirtualInject(input, bytes.data(), bytes.size());
  }
  void Thru(int32_t device, int32_t channel = -1, int32_t transpose = 0, int32_t offset = 0) {
    SetThru(thru, kWindow, ThruSettings{device, channel, transpose, offset});
  }
  void Metronome(int32_t device, int32_t channel = 9, int32_t bar = 60, int32_t beat = 61) {
    SetMetronome(metronome, ports, EngineSettings{device, channel, bar, beat});
  }
  void Click(int32_t step) { MetronomeStep(metronome, ports, *mainImage, clock, step); }
  void StartRecording(int32_t startTick = 0, int32_t countIn = 0, bool sysex = false) {
    playback.recordingClient = kWindow;
    FreezeClockAt(startTick);
    ArmRecording(recorder, startTick, countIn, sysex ? client->inputPort.load() : -1);
  }
  // The stop: the recording client is cleared first, then the take is finished at `stopTick`.
  tovu::Take Finish(int32_t stopTick, BuiltTake* raw = nullptr) {
    playback.recordingClient = 0;
    BuiltTake built = FinishTake(recorder, stopTick);
    tovu::Take take;
    std::string error;
    if (built.built) {
      EXPECT_TRUE(tovu::ReadTake(built.bytes.get(), built.size, &take, &error)) << error;
    }
    if (raw) *raw = std::move(built);
    return take;
  }
  std::vector<std::string> Data() { return TakeCapturedData(); }
  std::vector<std::string> All() { return TakeCapturedAll(); }
};

std::vector<std::pair<int32_t, uint32_t>> Entries(const tovu::Take& take) {
  std::vector<std::pair<int32_t, uint32_t>> out;
  for (const auto& e : take.events) out.emplace_back(e.tick, e.event);
  return out;
}

// ---- Filter and thru transforms ----

TEST(InputFilter, PassesNotesControllersAndBendByFlagAndChannel) {
  EXPECT_TRUE(FilterPasses(0x403C93, 0xFFFF, 1));   // note-on channel 3, notes allowed
  EXPECT_TRUE(FilterPasses(0x003C83, 0xFFFF, 1));   // note-off
  EXPECT_FALSE(FilterPasses(0x403C93, 0xFFFF, 2));  // controllers only
  EXPECT_TRUE(FilterPasses(0x7F07B3, 0xFFFF, 2));
  EXPECT_TRUE(FilterPasses(0x7F07B4, 0x001F, 2));   // channel 4 in the mask
  EXPECT_FALSE(FilterPasses(0x7F07B5, 0x001F, 2));  // channel 5 not
  EXPECT_TRUE(FilterPasses(0x4000E0, 0x0001, 4));
  EXPECT_FALSE(FilterPasses(0x4000E0, 0x0001, 3));
  for (uint32_t refused : {0x7F3CA0u, 0x05C0u, 0x40D0u, 0xF8u, 0xFEu, 0xFFu, 0xF2u, 0x3C40u})
    EXPECT_FALSE(FilterPasses(refused, 0xFFFF, 0xF)) << std::hex << refused;
}

TEST(ThruWord, TransposesOffsetsAndClamps) {
  ThruSettings s{0, 5, 12, -20};
  EXPECT_EQ(ThruWord(s, 1, 0x0A3C90), 0x01014895u);  // note 72, velocity 10 - 20 -> 1, channel 5
  EXPECT_EQ(ThruWord(s, 1, 0x403C80), 0x01004895u);  // note-off -> velocity-0 note-on
  EXPECT_EQ(ThruWord(s, 1, 0x003C90), 0x01004895u);  // velocity 0 stays 0
  s = {0, -1, 12, 0};
  EXPECT_EQ(ThruWord(s, 0, 0x647893) & 0xFFFF, 0x7F93u);  // 120 + 12 clamps to 127, channel kept
  s.transpose = -70;
  EXPECT_EQ(ThruWord(s, 0, 0x643C90) & 0xFF00, 0u);  // 60 - 70 clamps to 0
  s = {0, 0, 0, 0};
  EXPECT_EQ(ThruWord(s, 0, 0x4000EF), 0x004000E0u);  // bend keeps its data, takes channel 0
  EXPECT_EQ(ThruWord(s, -1, 0x4000E0) >> 24, 255u);  // no port: nothing will play
}

TEST(ThruWord, MasksChannelAndNeverOverflows) {
  // Channel 0x20 must not turn a note into a controller (note 123 would be all notes off).
  ThruSettings s{0, 0x20, 0, 0};
  EXPECT_EQ(ThruWord(s, 0, 0x407B90) & 0xFF, 0x90u);
  s = {0, 0x7FFFFFFF, INT_MAX, INT_MAX};
  EXPECT_EQ(ThruWord(s, 0, 0x403C90), 0x007F7F9Fu);
  s = {0, 1, INT_MIN, INT_MIN};
  EXPECT_EQ(ThruWord(s, 2, 0x403C90), 0x02010091u);
}

TEST(Metronome, ClickWordMasksChannelNoteAndPort) {
  EXPECT_EQ(ClickWord(9, 60, 126, 0), 0x007E3C99u);
  EXPECT_EQ(ClickWord(0x1A, 0xBC, 100, 1), 0x01643C9Au);  // channel 0x1A -> 10, note 0xBC -> 60
  EXPECT_EQ(ClickWord(9, 60, 0, -1), 0xFF003C99u);
}

// ---- Thru through the input path ----

TEST(Thru, EchoesAcceptedInputAndIgnoresOtherPortsAndClasses) {
  RecordingEngine e;
  e.OpenInput(0);
  e.ports.inputs[1].Open(e.ports.inputCallback, e.ports.inputInstance);
  e.Thru(1, 5, 12, -20);
  EXPECT_EQ(e.thru.owner.load(), kWindow);
  e.All();
  EXPECT_TRUE(e.Inject(0, {0x90, 60, 10}));
  EXPECT_TRUE(e.Inject(0, {0x80, 60, 64}));
  EXPECT_TRUE(e.Inject(1, {0x90, 61, 100}));  // another input port: ignored
  EXPECT_TRUE(e.Inject(0, {0xFE}));           // active sensing
  EXPECT_TRUE(e.Inject(0, {0xC0, 5}));        // program change: refused
  EXPECT_TRUE(e.Inject(0, {0xB0, 7, 100}));   // controllers not in the flags
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 95 48 01", "out1 95 48 00"}));
}

TEST(Thru, SettingThruReleasesHeldNotesOnTheOldPortFirst) {
  RecordingEngine e;
  e.OpenInput(0);
  e.Thru(1);
  e.Inject(0, {0x90, 60, 100});
  e.Inject(0, {0x90, 60, 90});
  e.Inject(0, {0x91, 64, 80});
  e.All();
  e.Thru(0);
  EXPECT_EQ(e.All(), (std::vector<std::string>{"out1 90 3c 00", "out1 90 3c 00", "out1 91 40 00", "close out1",
                                               "open out0"}));
  // Releasing thru's port (a client closing its ports) likewise ends what sounds before it closes.
  e.Inject(0, {0x92, 50, 80});
  e.All();
  ReleaseThruPort(e.thru);
  EXPECT_EQ(e.All(), (std::vector<std::string>{"out0 92 32 00", "close out0"}));
  EXPECT_EQ(e.thru.owner.load(), 0u);
  e.Inject(0, {0x90, 60, 100});
  EXPECT_TRUE(e.Data().empty());
}

TEST(Thru, UnknownOrFailingDeviceTurnsThruOff) {
  RecordingEngine e(2, 1, {1});
  e.Thru(7);
  EXPECT_EQ(e.thru.settings.device, 0x8000);
  EXPECT_EQ(e.thru.port.load(), -1);
  e.Thru(1);  // fails to open
  EXPECT_EQ(e.thru.settings.device, 0x8000);
  EXPECT_EQ(e.thru.owner.load(), 0u);
}

// ---- Metronome ----

TEST(Metronome, ClicksBarsAndBeatsOneStepLong) {
  RecordingEngine e;
  e.Metronome(0);
  ASSERT_EQ(e.metronome.port.load(), 0);
  ResetStateImage(*e.mainImage);  // 30 ticks per step, 480 per bar, 120 per beat
  e.All();
  std::vector<std::string> expected;
  for (int32_t step = -480; step <= 480; step += 30) {
    e.Click(step);
    if (step > -480 && (step - 30) % 120 == 0) expected.push_back((step - 30) % 480 == 0 ? "out0 99 3c 00" : "out0 99 3d 00");
    if (step % 480 == 0)
      expected.push_back("out0 99 3c 7e");
    else if (step % 120 == 0)
      expected.push_back("out0 99 3d 64");
  }
  EXPECT_EQ(e.Data(), expected);
}

TEST(Metronome, FollowsTheTimeSignatureAndNeverDividesByZero) {
  RecordingEngine e;
  e.Metronome(0);
  StateImage& main = *e.mainImage;
  ResetStateImage(main);
  main.timeSigTick = 960;  // 3/4 from 960
  main.ticksPerBar = 360;
  e.All();
  std::vector<int32_t> bars, beats;
  for (int32_t step = 960; step < 1800; step += 30) {
    e.Click(step);
    for (const std::string& line : e.Data()) {
      if (line == "out0 99 3c 7e") bars.push_back(step);
      if (line == "out0 99 3d 64") beats.push_back(step);
    }
  }
  EXPECT_EQ(bars, (std::vector<int32_t>{960, 1320, 1680}));
  EXPECT_EQ(beats, (std::vector<int32_t>{1080, 1200, 1440, 1560}));
  main.ticksPerBar = 0;
  main.ticksPerBeat = 0;
  for (int32_t step = -60; step <= 60; step += 30) e.Click(step);
  EXPECT_TRUE(e.Data().empty());
}

TEST(Metronome, ChangingPortEndsTheSoundingClickWhereItWasStruck) {
  RecordingEngine e;
  e.Metronome(0);
  ResetStateImage(*e.mainImage);
  e.Click(0);
  e.All();
  e.Metronome(1, 3, 70, 71);
  EXPECT_EQ(e.All(), (std::vector<std::string>{"out0 99 3c 00", "close out0", "open out1"}));
  e.Click(30);  // nothing sounds any more: nothing to end on the new port
  e.Click(120);
  e.Click(150);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 93 47 64", "out1 93 47 00"}));
  e.Click(480);
  ReleaseMetronomePort(e.metronome, e.ports);
  EXPECT_EQ(e.All(), (std::vector<std::string>{"out1 93 46 7e", "out1 93 46 00", "close out1"}));
}

TEST(Metronome, SettingsReadBackAndCountIn) {
  RecordingEngine e(2, 1, {1});
  ResetStateImage(*e.mainImage);
  e.Metronome(9);  // no such device
  EXPECT_EQ(e.ports.settings.device, 0x8000);
  EXPECT_EQ(BeginCountIn(e.metronome, e.ports.settings, e.mainImage, true), 0);
  EXPECT_FALSE(MetronomeOn(e.metronome));
  e.Metronome(1, 0x1F, 200, 300);  // fails to open: the device id stays, the values as given
  EXPECT_EQ(e.ports.settings.device, 1);
  EXPECT_EQ(e.ports.settings.channel, 0x1F);
  EXPECT_EQ(e.metronome.port.load(), -1);
  EXPECT_EQ(BeginCountIn(e.metronome, e.ports.settings, e.mainImage, true), 480);
  EXPECT_TRUE(MetronomeOn(e.metronome));
  EXPECT_EQ(BeginCountIn(e.metronome, e.ports.settings, e.mainImage, false), 0);
  EXPECT_FALSE(MetronomeOn(e.metronome));
  e.mainImage->ticksPerBar = 0;
  EXPECT_EQ(BeginCountIn(e.metronome, e.ports.settings, e.mainImage, true), 0);
}

// ---- Take recorder ----

TEST(Take, ListsMessagesInArrivalOrderAcrossChunks) {
  RecordingEngine e;
  e.OpenInput(0);
  e.StartRecording(0, 0);
  for (int i = 0; i < 2500; ++i) {
    e.FreezeClockAt(i);
    ASSERT_TRUE(e.Inject(0, {0x90, static_cast<uint8_t>(i % 128), 100}));
  }
  tovu::Take take = e.Finish(2600);
  ASSERT_EQ(take.events.size(), 2501u);
  for (int i = 0; i < 2500; ++i) {
    ASSERT_EQ(take.events[i].tick, i);
    ASSERT_EQ(take.events[i].event, 0x640090u | static_cast<uint32_t>(i % 128) << 8);
  }
  EXPECT_EQ(take.events[2500].tick, 2600);
  EXPECT_EQ(take.events[2500].event, 0xFFu);
}

TEST(Take, CountInTicksAndHeader) {
  RecordingEngine e;
  e.OpenInput(0);
  e.playback.recordingClient = kWindow;
  e.FreezeClockAt(-480);  // the playback starts a bar before the record start tick 0
  ArmRecording(e.recorder, 0, 480, -1);
  e.Inject(0, {0x90, 60, 100});
  e.FreezeClockAt(-1);
  e.Inject(0, {0x80, 60, 0});
  tovu::Take take = e.Finish(10);
  EXPECT_EQ(take.recordStartTick, 0);
  EXPECT_EQ(take.countInLength, 480);
  EXPECT_EQ(Entries(take), (std::vector<std::pair<int32_t, uint32_t>>{{-480, 0x643C90}, {-1, 0x3C80}, {10, 0xFF}}));
}

TEST(Take, NothingRecordedSendsNoTake) {
  RecordingEngine e;
  e.OpenInput(0);
  e.StartRecording();
  BuiltTake raw;
  e.Finish(100, &raw);
  EXPECT_FALSE(raw.built);
  EXPECT_FALSE(raw.lost);
}

TEST(Take, InputBeforeTheRecordingIsArmedIsNotRecorded) {
  // The recording client is set a moment before the recorder is armed (after the clock is
  // anchored): input in between would carry the previous playback's time and is not taken.
  RecordingEngine e;
  e.OpenInput(0);
  e.playback.recordingClient = kWindow;
  e.FreezeClockAt(99999);
  e.Inject(0, {0x90, 1, 1});
  e.FreezeClockAt(0);
  ArmRecording(e.recorder, 0, 0, -1);
  e.Inject(0, {0x90, 2, 2});
  tovu::Take take = e.Finish(5);
  EXPECT_EQ(Entries(take), (std::vector<std::pair<int32_t, uint32_t>>{{0, 0x020290}, {5, 0xFF}}));
}

TEST(Take, SysexMarkersAndBlocks) {
  RecordingEngine e;
  e.OpenInput(0, 0xFFFF, 1 | 8);
  e.StartRecording(0, 0, true);
  std::vector<uint8_t> a = {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7};
  std::vector<uint8_t> b = {0xF0, 9, 10, 11, 12, 0xF7};
  e.FreezeClockAt(5);
  e.Inject(0, a);
  e.FreezeClockAt(7);
  e.Inject(0, {0x90, 60, 1});
  e.Inject(0, b);
  BuiltTake raw;
  tovu::Take take = e.Finish(9, &raw);
  ASSERT_TRUE(raw.built);
  EXPECT_EQ(platform::LoadLe32(raw.bytes.get() + 12), 2u);
  EXPECT_EQ(platform::LoadLe32(raw.bytes.get() + 16), 16u);
  EXPECT_EQ(Entries(take),
            (std::vector<std::pair<int32_t, uint32_t>>{{5, 0xF0}, {7, 0x013C90}, {7, 0xAF0}, {9, 0xFF}}));
  EXPECT_EQ(take.sysex, (std::vector<std::vector<uint8_t>>{a, b}));
}

TEST(Take, SysexBufferIsNeverQueuedTwiceOrFreedWhileTheInputMayFillIt) {
  // A recording that captured nothing leaves its buffer queued on the port: sysex arriving after the
  // stop comes back to a buffer the engine still owns, is not recorded, and the next recording on
  // the port queues it again and captures.
  RecordingEngine e;
  e.OpenInput(0, 0xFFFF, 1 | 8);
  e.StartRecording(0, 0, true);
  BuiltTake raw;
  e.Finish(10, &raw);
  EXPECT_FALSE(raw.built);
  e.Inject(0, {0xF0, 1, 0xF7});  // no recording: handed back, dropped
  e.StartRecording(0, 0, true);
  e.Inject(0, {0xF0, 2, 0xF7});
  e.Inject(0, {0xF0, 3, 0xF7});
  tovu::Take take = e.Finish(10);
  EXPECT_EQ(take.sysex, (std::vector<std::vector<uint8_t>>{{0xF0, 2, 0xF7}, {0xF0, 3, 0xF7}}));
  // Still queued after that stop: a third recording reuses it where it is.
  e.StartRecording(0, 0, true);
  e.Inject(0, {0xF0, 4, 0xF7});
  take = e.Finish(10);
  EXPECT_EQ(take.sysex, (std::vector<std::vector<uint8_t>>{{0xF0, 4, 0xF7}}));
  // Closing the port drops the buffer; reopened, the port gets it queued afresh.
  e.ports.inputs[0].Close();
  e.OpenInput(0, 0xFFFF, 1 | 8);
  e.StartRecording(0, 0, true);
  e.Inject(0, {0xF0, 5, 0xF7});
  take = e.Finish(10);
  EXPECT_EQ(take.sysex.size(), 1u);
}

TEST(Take, SysexIsRecordedOnlyWithItsFlag) {
  RecordingEngine e;
  e.OpenInput(0, 0xFFFF, 1);
  e.StartRecording(0, 0, true);  // armed, but the client's flags refuse sysex
  e.Inject(0, {0xF0, 1, 0xF7});
  e.Inject(0, {0x90, 1, 1});
  tovu::Take take = e.Finish(3);
  EXPECT_TRUE(take.sysex.empty());
  EXPECT_EQ(take.events.size(), 2u);
}

TEST(Take, StopsAtTheSizeLimitKeepsTheFinalMarkerAndSaysSo) {
  RecordingEngine e;
  e.StartRecording();
  const int64_t fits = (kMaxTakeBytes - kTakeHeaderSize) / 8;
  for (int64_t i = 0; i < fits + 100; ++i) RecordNow(e.recorder, 0x643C90);
  BuiltTake raw;
  tovu::Take take = e.Finish(1, &raw);
  ASSERT_TRUE(raw.built);
  EXPECT_LE(raw.size, kMaxTakeBytes);
  EXPECT_EQ(static_cast<int64_t>(take.events.size()), fits);
  EXPECT_EQ(take.events.back().event, 0xFFu);
  EXPECT_EQ(raw.droppedEvents, 101u);
  EXPECT_TRUE(raw.lost);
}

// ---- Loop passes and the echo ----

TEST(LoopEcho, EndMarkersCloseEachPassAndEarlierPassesEchoExactlyOnce) {
  RecordingEngine e;
  e.OpenInput(0);
  e.Thru(1);
  e.StartRecording(0, 0);
  e.FreezeClockAt(100);
  e.Inject(0, {0x90, 60, 100});  // pass 1, echoed live
  e.FreezeClockAt(200);
  e.Inject(0, {0x80, 60, 0});
  // Pass 1 has nothing earlier to echo.
  EXPECT_EQ(EchoRecorded(e.recorder, 0, 1920), kNoRecordedTick);
  RecordAt(e.recorder, kEndMarker, 1920);  // wrap
  e.Data();
  // Pass 2: windows as the scheduler walks them; the next recorded tick bounds each wake-up.
  EXPECT_EQ(EchoRecorded(e.recorder, 0, 50), 100);
  EXPECT_TRUE(e.Data().empty());
  e.FreezeClockAt(150);
  e.Inject(0, {0x90, 62, 90});  // pass 2 live input inside the next window: played live only
  EXPECT_EQ(EchoRecorded(e.recorder, 100, 151), 200);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3e 5a", "out1 90 3c 64"}));
  EXPECT_EQ(EchoRecorded(e.recorder, 200, 1000), kNoRecordedTick);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 00"}));
  e.FreezeClockAt(1200);
  e.Inject(0, {0x80, 62, 0});
  RecordAt(e.recorder, kEndMarker, 1920);
  e.Data();
  // Pass 3 echoes both earlier passes, each entry once.
  EXPECT_EQ(EchoRecorded(e.recorder, 0, 1920), kNoRecordedTick);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 64", "out1 90 3c 00", "out1 90 3e 5a", "out1 90 3e 00"}));
  tovu::Take take = e.Finish(300);
  auto passes = tovu::TakePasses(take);
  ASSERT_EQ(passes.size(), 3u);
  EXPECT_EQ(passes[0].size(), 2u);
  EXPECT_EQ(passes[1].size(), 2u);
  EXPECT_TRUE(passes[2].empty());
  EXPECT_EQ(Entries(take)[2], std::make_pair(1920, 0xFFu));
  EXPECT_EQ(Entries(take)[5], std::make_pair(1920, 0xFFu));
  EXPECT_EQ(Entries(take)[6], std::make_pair(300, 0xFFu));
}

TEST(LoopEcho, InputStampedAtTheLoopEndIsReleasedAtTheWrap) {
  RecordingEngine e;
  e.OpenInput(0);
  e.Thru(1);
  e.StartRecording(0, 0);
  e.FreezeClockAt(1800);
  e.Inject(0, {0x90, 60, 100});
  e.FreezeClockAt(1925);  // arrives after the loop end, before the wake-up wraps
  e.Inject(0, {0x80, 60, 0});
  RecordAt(e.recorder, kEndMarker, 1920);
  e.Data();
  EXPECT_EQ(EchoRecorded(e.recorder, 0, 1900), 1925);  // past the wrap: no window will reach it
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 64"}));
  RecordAt(e.recorder, kEndMarker, 1920);  // the next wrap plays the release that no window reaches
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 00"}));
  EXPECT_EQ(HeldStrikes(e.ports, 1, 0, 60, kOwnerNone), 0);
}

TEST(LoopEcho, WindowsAcrossTickZeroAndNoMarkersToThru) {
  RecordingEngine e;
  e.OpenInput(0, 0xFFFF, 1 | 8);
  e.Thru(1);
  e.StartRecording(-480, 0, true);
  e.FreezeClockAt(-100);
  e.Inject(0, {0x90, 60, 100});
  e.Inject(0, {0xF0, 1, 0xF7});
  e.FreezeClockAt(5);
  e.Inject(0, {0x80, 60, 0});
  RecordAt(e.recorder, kEndMarker, 480);
  e.Data();
  EXPECT_EQ(EchoRecorded(e.recorder, -480, 10), kNoRecordedTick);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 64", "out1 90 3c 00"}));
}

TEST(LoopEcho, ConcurrentInputEchoAndSettingsStayConsistent) {
  // Input floods in on one thread while another plays the part of the timer thread (echo, wraps,
  // clicks) and this one changes thru and the metronome. Under ThreadSanitizer this is the race
  // check; in any build no note stack passes 16 and the take reads back whole.
  RecordingEngine e;
  e.OpenInput(0, 0xFFFF, 1 | 2 | 8);
  e.Thru(1);
  e.Metronome(0);
  ResetStateImage(*e.mainImage);
  e.StartRecording(0, 0, true);
  platform::VirtualCaptureEnable(false);
  std::atomic<bool> stop{false};
  std::atomic<int> injected{0}, passes{0};
  OwnedThread input([&] {
    for (int i = 0; !stop.load(); ++i, ++injected) {
      uint8_t note = static_cast<uint8_t>(60 + i % 4);
      e.Inject(0, {0x90, note, 100});
      if (i % 3 == 0) e.Inject(0, {0xB0, 64, static_cast<uint8_t>(i & 127)});
      if (i % 50 == 0) e.Inject(0, {0xF0, static_cast<uint8_t>(i & 127), 0xF7});
      if (i % 2 == 0) e.Inject(0, {0x80, note, 0});
    }
  }, &stop);
  OwnedThread timer([&] {
    for (int pass = 0; !stop.load(); ++pass) {
      for (int32_t t = 0; t < 480; t += 30) {
        EchoRecorded(e.recorder, t, t + 30);
        e.Click(t);
      }
      RecordAt(e.recorder, kEndMarker, 480);
      ++passes;
    }
  }, &stop);
  for (int i = 0; i < 200 || injected.load() < 3000 || passes.load() < 20; ++i) {
    e.Thru(i % 2, i % 3 - 1, i % 5, -(i % 7));
    e.Metronome(i % 2, i % 16, 60, 61);
  }
  input.Join();
  timer.Join();
  platform::VirtualCaptureEnable(true);
  const StateImage& thru = *e.thruImage;
  for (int32_t i = 0; i < thru.snapshotCount; ++i)
    for (const NoteStack& n : thru.snapshots[i].notes) ASSERT_LE(n.count, kNoteStackDepth);
  BuiltTake raw;
  tovu::Take take = e.Finish(1, &raw);
  EXPECT_TRUE(raw.built);
  EXPECT_GT(take.events.size(), 1u);
}

TEST(LoopEcho, ReleasingTheRecordingWhileTheEchoWalksIsSafe) {
  // The stop releases the list on the main thread while a wake-up may still be walking it (and the
  // next start arms a new one): the echo must never read a released chunk.
  RecordingEngine e;
  e.OpenInput(0);
  e.Thru(1);
  platform::VirtualCaptureEnable(false);
  std::atomic<bool> stop{false};
  OwnedThread timer([&] {
    while (!stop.load()) {
      EchoRecorded(e.recorder, 0, 480);
      RecordAt(e.recorder, kEndMarker, 480);
    }
  }, &stop);
  for (int round = 0; round < 200; ++round) {
    e.StartRecording(0, 0);
    for (int i = 0; i < 300; ++i) RecordNow(e.recorder, 0x3C90u | static_cast<uint32_t>(i % 2 ? 0 : 100) << 16);
    BuiltTake raw;
    tovu::Take take = e.Finish(10, &raw);
    // Each take holds exactly its own recording's notes, whatever the echo and wraps did meanwhile.
    size_t notes = 0;
    for (const auto& entry : take.events) notes += entry.event != kEndMarker;
    ASSERT_EQ(notes, 300u) << "round " << round << ", " << raw.droppedEvents << " entries dropped";
  }
  timer.Join();
  platform::VirtualCaptureEnable(true);
}

TEST(Take, SysexPastTheBlockTableOrCutAtTheBufferIsReported) {
  RecordingEngine e;
  e.OpenInput(0, 0xFFFF, 1 | 8);
  e.StartRecording(0, 0, true);
  for (int i = 0; i < 130; ++i) ASSERT_TRUE(e.Inject(0, {0xF0, static_cast<uint8_t>(i), 0xF7}));
  BuiltTake raw;
  tovu::Take take = e.Finish(10, &raw);
  EXPECT_EQ(take.sysex.size(), 128u);
  EXPECT_EQ(raw.droppedSysex, 2u);
  EXPECT_TRUE(raw.lost);
  // One message longer than the capture buffer: what fits is kept, and the cut is reported.
  e.StartRecording(0, 0, true);
  std::vector<uint8_t> longSysex(65536, 0x11);
  longSysex.front() = 0xF0;
  longSysex.back() = 0xF7;
  ASSERT_TRUE(e.Inject(0, longSysex));
  ASSERT_TRUE(e.Inject(0, {0xF0, 7, 0xF7}));  // the buffer was queued again
  take = e.Finish(10, &raw);
  ASSERT_EQ(take.sysex.size(), 2u);
  EXPECT_EQ(take.sysex[0].size(), kCaptureBufferSize);
  EXPECT_EQ(raw.droppedSysex, 1u);
  EXPECT_TRUE(raw.lost);
  // A message that fills the buffer exactly is whole.
  e.StartRecording(0, 0, true);
  std::vector<uint8_t> exact(kCaptureBufferSize, 0x22);
  exact.front() = 0xF0;
  exact.back() = 0xF7;
  ASSERT_TRUE(e.Inject(0, exact));
  take = e.Finish(10, &raw);
  EXPECT_EQ(take.sysex.size(), 1u);
  EXPECT_FALSE(raw.lost);
}

TEST(LoopEcho, EveryPassKeepsItsMarkerWithoutInput) {
  // The timer thread never allocates: the spare chunk it takes for a pass end is made again off
  // that thread, so markers go on past a chunk's worth of passes with no input at all.
  RecordingEngine e;
  e.OpenInput(0);
  e.StartRecording(0, 0);
  Recorder& r = e.recorder;
  int64_t deadline = platform::MonotonicNs() + 3000000000LL;
  for (int pass = 0; pass < 1300; ++pass) {
    while (r.needSpare.load() && platform::MonotonicNs() < deadline) platform::SleepMs(1);
    RecordAt(e.recorder, kEndMarker, 480);
  }
  BuiltTake raw;
  tovu::Take take = e.Finish(100, &raw);
  EXPECT_EQ(take.events.size(), 1301u);
  EXPECT_EQ(raw.droppedEvents, 0u);
  EXPECT_FALSE(raw.lost);
  EXPECT_EQ(tovu::TakePasses(take).size(), 1301u);
}

TEST(LoopEcho, AShortenedLoopEchoesOnlyWhatLiesInsideItAndHangsNothing) {
  RecordingEngine e;
  e.OpenInput(0);
  e.Thru(1);
  PlaybackState& p = e.playback;
  p.loopOn = 1;
  p.loopStart = 0;
  p.loopEnd = 960;
  e.StartRecording(0, 0);
  for (auto [tick, bytes] : std::vector<std::pair<int32_t, std::vector<uint8_t>>>{
           {400, {0x90, 50, 100}}, {604, {0x90, 60, 100}}, {604, {0x80, 50, 0}}, {800, {0x80, 60, 0}}}) {
    e.FreezeClockAt(tick);
    e.Inject(0, bytes);
  }
  // A continue with a 0-480 loop: the switch closes the pass at the new loop end.
  p.loopEnd = 480;
  RecordAt(e.recorder, kEndMarker, 480);
  EXPECT_EQ(e.Data().size(), 4u);  // the live echo only
  std::vector<std::string> out;
  for (int pass = 0; pass < 3; ++pass) {
    for (int32_t t = 0; t < 480; t += 30) EchoRecorded(e.recorder, t, t + 30);
    RecordWrap(e.recorder, 480, platform::NowMs(), 0, 14400);
    for (auto& line : e.Data()) out.push_back(line);
  }
  // The note at 400 whose release lay past the new loop end is struck and released in each pass;
  // nothing from 604 or 800 is ever played.
  std::vector<std::string> expected;
  for (int pass = 0; pass < 3; ++pass) {
    expected.push_back("out1 90 32 64");
    expected.push_back("out1 90 32 00");
  }
  EXPECT_EQ(out, expected);
}

TEST(LoopEcho, OneEchoCallPlaysABoundedBatchAndTheNextGoesOn) {
  RecordingEngine e;
  e.OpenInput(0);
  e.Thru(1);
  e.StartRecording(0, 0);
  const int kEntries = 3 * kEchoBudget + 10;
  for (int i = 0; i < kEntries; ++i) RecordNow(e.recorder, 0x00B0u | static_cast<uint32_t>(i % 128) << 16);
  e.FreezeClockAt(100);
  RecordNow(e.recorder, 0x643C90);
  RecordAt(e.recorder, kEndMarker, 480);
  e.Data();
  int calls = 0;
  size_t played = 0;
  int32_t next = 0;
  while ((next = EchoRecorded(e.recorder, 0, 50)) == 0) {
    size_t now = e.Data().size();
    ASSERT_LE(now, static_cast<size_t>(kEchoBudget));
    played += now;
    ASSERT_LT(++calls, 10);
  }
  played += e.Data().size();
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(played, static_cast<size_t>(kEntries));
  EXPECT_EQ(next, 100);  // the window done, the next recorded tick follows
  EXPECT_EQ(EchoRecorded(e.recorder, 100, 101), kNoRecordedTick);
  EXPECT_EQ(e.Data(), (std::vector<std::string>{"out1 90 3c 64"}));
}

TEST(LoopEcho, InputIsStampedAndFiledInOneStepWithTheWrap) {
  // One thread feeds notes while another wraps a fast loop as the scheduler does. Each pass must
  // read as played: its ticks never go back, and none lies outside the loop.
  RecordingEngine e;
  e.OpenInput(0);
  PlaybackState& p = e.playback;
  p.loopOn = 1;
  p.loopStart = 0;
  p.loopEnd = 480;
  e.StartRecording(0, 0);
  const int32_t tempo = 480 * 60000 / 4;  // 480 ticks in 4 ms
  AnchorClock(e.clock, 0, tempo);
  platform::VirtualCaptureEnable(false);
  std::atomic<bool> stop{false};
  OwnedThread input([&] {
    for (int i = 0; !stop.load() && i < 200000; ++i) e.Inject(0, {0x90, static_cast<uint8_t>(i % 128), 100});
  }, &stop);
  for (int wraps = 0; wraps < 300;) {
    if (TickNow(e.clock) < 480) {
      std::this_thread::yield();
      continue;
    }
    std::lock_guard<Mutex> guard(p.lock);
    RecordWrap(e.recorder, 480, TickDueTime(e.clock, 480), 0, tempo);
    ++wraps;
  }
  input.Join();
  platform::VirtualCaptureEnable(true);
  p.loopOn = 0;
  tovu::Take take = e.Finish(0);
  auto passes = tovu::TakePasses(take);
  ASSERT_GE(passes.size(), 300u);
  for (size_t i = 0; i < passes.size(); ++i) {
    int32_t last = INT32_MIN;
    for (const auto& entry : passes[i]) {
      ASSERT_GE(entry.tick, last) << "pass " << i;
      ASSERT_GE(entry.tick, 0) << "pass " << i;
      ASSERT_LT(entry.tick, 480) << "pass " << i;
      last = entry.tick;
    }
  }
}

}  // namespace
