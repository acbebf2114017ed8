// bench_recording: what recording and thru cost, each beside a baseline measured in the same run.
//
//   1. Input-to-thru latency at the virtual devices: a note injected on a virtual input (in process,
//      as the device layer delivers it) until the thru port's device stamps the echo, p50/p99; beside
//      it the output path alone (SendShortMessage until the device stamps it).
//   2. The input callback's cost per message (filter, thru, recorder), with and without thru,
//      beside the output path's cost per message.
//   3. A 100,000-event take: appending it and building it (FinishTake) in process, beside a plain
//      copy of the same bytes; then in an engine process of its own, fed 99,999 notes through the
//      virtual input FIFO, the time from the stop command to the take's arrival at the client,
//      beside the bus carrying a payload of the same size the other way.
//   4. The wake-up with 2,000 passes to echo: a one-beat loop recording whose ended passes hold two
//      notes each, every wake-up of a pass run in process with the clock set to its tick; the
//      worst and median run time of one wake-up, beside a wake-up with nothing recorded.
//   5. Commands during an input flood: an engine process loop-recording with thru on is fed 1
//      million messages within one 8-second pass through the virtual input FIFO; a tempo-factor
//      command every 5 ms, from the flood through the next pass (which echoes them all), timed
//      until its answer: the worst and p99, beside the same commands with no input.
//
// Usage: bench_recording [messages per latency round, default 20000]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/engine_child.h"
#include "client/take_reader.h"
#include "client/tovu_client.h"
#include "client/song_builder.h"
#include "host/engine.h"
#include "platform/midi.h"
#include "platform/timer.h"
#include "platform/wire.h"
#include "playback/seek.h"

namespace {

constexpr uint32_t kWindow = 0x101;

struct Percentiles {
  double p50 = 0, p99 = 0;
};

Percentiles Of(std::vector<int64_t> ns) {
  Percentiles p;
  if (ns.empty()) return p;
  std::sort(ns.begin(), ns.end());
  p.p50 = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
  p.p99 = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
  return p;
}

struct BenchEngine {
  Engine engine;
  ClientRecord* client = nullptr;

  BenchEngine() {
    platform::VirtualMidiConfig config;
    config.outputs = {"Virtual Out 1", "Virtual Out 2"};
    config.inputs = {"Virtual In 1"};
    platform::MidiStartVirtual(config);
    platform::BusMessage create;
    create.msg = platform::kWmCreate;
    if (EngineWindowProc(engine, create) != 0) {
      std::fprintf(stderr, "engine set-up failed\n");
      std::exit(1);
    }
    client = new ClientRecord;
    client->window = kWindow;
    engine.clients.records.push_back(client);
    engine.ports.inputs[0].Open(engine.ports.inputCallback, engine.ports.inputInstance);
    client->inputPort = 0;
    client->inputFlags = 1 | 2 | 4 | 8;
    engine.ports.outputs[0].Open();
    AnchorClock(engine.clock, 0, 14400);
  }
  ~BenchEngine() {
    engine.playback.recordingClient = 0;
    platform::TimerServiceStop(engine.playback.timers);
    CloseAllInputs(engine.ports);
    FreeRecorder(engine.recording.recorder);
    DestroyClientTable(engine.clients);
    for (StateImage*& image : engine.images)
      if (image) DestroyStateImage(image);
    platform::EventDestroy(&engine.activityEvent);
    platform::MidiShutdown();
  }
  void Thru(int32_t device) { SetThru(engine.recording.thru, kWindow, ThruSettings{device, -1, 0, 0}); }
};

// Note-on and its release, so that the thru image never fills.
uint8_t NoteByte(int i) { return static_cast<uint8_t>(i % 2 ? 0 : 100); }

void Latency(BenchEngine& b, int count) {
  b.Thru(1);
  platform::VirtualCaptureEnable(true);
  platform::VirtualCaptureTake();
  std::vector<int64_t> thru, output;
  thru.reserve(count);
  output.reserve(count);
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < count / 5; ++i) {
      uint8_t bytes[3] = {0x90, 60, NoteByte(i)};
      int64_t t0 = platform::MonotonicNs();
      platform::VirtualInject(0, bytes, 3);
      auto events = platform::VirtualCaptureTake();
      if (!events.empty()) thru.push_back(events.back().ns - t0);
      t0 = platform::MonotonicNs();
      SendShortMessage(b.engine.ports, 0x0000003C90u | static_cast<uint32_t>(NoteByte(i)) << 16);
      events = platform::VirtualCaptureTake();
      if (!events.empty()) output.push_back(events.back().ns - t0);
    }
  }
  platform::VirtualCaptureEnable(false);
  Percentiles t = Of(thru), o = Of(output);
  std::printf("input-to-thru latency (inject -> device stamp)  p50 %7.2f us  p99 %7.2f us  (%zu notes)\n", t.p50,
              t.p99, thru.size());
  std::printf("output path alone (send -> device stamp)        p50 %7.2f us  p99 %7.2f us  (%zu notes)\n", o.p50,
              o.p99, output.size());
}

double PerMessageNs(const std::chrono::steady_clock::time_point& start, int count) {
  auto d = std::chrono::steady_clock::now() - start;
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()) / count;
}

// The median over batches of 1000 calls of the cost per call, so that a batch the scheduler
// preempted (other builds share the machine) does not count.
template <typename Call>
double MedianPerCall(int count, Call call) {
  constexpr int kBatch = 1000;
  std::vector<double> perCall;
  for (int done = 0; done < count; done += kBatch) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) call(done + i);
    perCall.push_back(PerMessageNs(start, kBatch));
  }
  std::sort(perCall.begin(), perCall.end());
  return perCall[perCall.size() / 2];
}

void CallbackCost(BenchEngine& b, int count) {
  platform::MidiHandle h = b.engine.ports.inputs[0].handle.load();
  auto run = [&](const char* label) {
    double ns = MedianPerCall(count, [&](int i) {
      OnMidiInput(h, platform::kMimData, b.engine.ports.inputInstance,
                  0x3C90u | static_cast<uint32_t>(NoteByte(i)) << 16, 0);
    });
    std::printf("  %-44s %7.1f ns/message\n", label, ns);
  };
  std::printf("input callback cost (no device log, no capture; median of batches of 1000):\n");
  b.Thru(0x8000);
  run("filter only (nobody listens)");
  b.Thru(1);
  run("filter + thru");
  b.engine.playback.recordingClient = kWindow;
  ArmRecording(b.engine.recording.recorder, 0, 0, -1);
  run("filter + thru + recorder");
  b.engine.playback.recordingClient = 0;
  FinishTake(b.engine.recording.recorder, 0);
  double ns = MedianPerCall(count, [&](int i) {
    SendShortMessage(b.engine.ports, 0x3C90u | static_cast<uint32_t>(NoteByte(i)) << 16);
  });
  std::printf("  %-44s %7.1f ns/message\n", "baseline: output path (SendShortMessage)", ns);
}

void Take(BenchEngine& b) {
  constexpr int kEvents = 100000;
  std::vector<double> append, build, copy;
  uint32_t size = 0;
  for (int round = 0; round < 5; ++round) {
    b.engine.playback.recordingClient = kWindow;
    ArmRecording(b.engine.recording.recorder, 0, 0, -1);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kEvents - 1; ++i) RecordNow(b.engine.recording.recorder, 0x643C90);
    append.push_back(PerMessageNs(start, kEvents - 1));
    b.engine.playback.recordingClient = 0;
    start = std::chrono::steady_clock::now();
    BuiltTake take = FinishTake(b.engine.recording.recorder, kEvents);
    build.push_back(PerMessageNs(start, 1) / 1e6);
    std::vector<uint8_t> bytes(take.size);
    start = std::chrono::steady_clock::now();
    std::memcpy(bytes.data(), take.bytes.get(), take.size);
    copy.push_back(PerMessageNs(start, 1) / 1e6);
    size = take.size;
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("100000-event take (%u bytes), median of 5: append %.1f ns/event, build %.3f ms "
              "(baseline: memcpy of the built take %.3f ms)\n",
              size, median(append), median(build), median(copy));
}


// Runs one wake-up with the clock reading `tick` and returns its run time in microseconds; the
// wake-up it arms is taken back, so that only the bench drives the scheduler.
double WakeAt(BenchEngine& b, int32_t tick) {
  PlaybackState& p = b.engine.playback;
  constexpr uint64_t kBenchTimer = ~0ull;
  {
    std::lock_guard<Mutex> guard(p.lock);
    p.timer = kBenchTimer;
  }
  AnchorClockAt(b.engine.clock, platform::NowMs() - 30000.0, tick, 1);  // one tick a minute
  auto start = std::chrono::steady_clock::now();
  SchedulerWakeUp(&b.engine.playback, kBenchTimer);
  double us = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now() - start).count()) / 1000.0;
  uint64_t armed;
  {
    std::lock_guard<Mutex> guard(p.lock);
    armed = p.timer;
    p.timer = 0;
  }
  platform::TimerCancel(p.timers, armed);
  return us;
}

void EchoWakeUps(BenchEngine& b) {
  constexpr int kPasses = 2000;
  tovu::SongBuilder builder;
  builder.Tempo(0, 120);
  builder.End(1920);
  std::vector<uint8_t> song = builder.Build();
  PlaybackState& p = b.engine.playback;
  SeekImages(song.data(), 0, 0, *b.engine.images[kMainImage], *b.engine.images[kLoopStartImage], nullptr);
  p.song = song.data();
  p.loopOn = 1;
  p.loopStart = 0;
  p.loopEnd = 120;
  p.echoPosition = 0;
  p.playingClient = kWindow;
  b.Thru(1);
  auto run = [&](bool withPasses) {
    b.engine.playback.recordingClient = kWindow;
    ArmRecording(b.engine.recording.recorder, 0, 0, -1);
    for (int pass = 0; withPasses && pass < kPasses; ++pass) {
      int32_t at = pass % 30;
      for (auto [tick, word] : {std::pair<int32_t, uint32_t>{at, 0x643C90}, {at + 10, 0x3C80}, {at + 40, 0x644090},
                                {at + 70, 0x4080}}) {
        AnchorClockAt(b.engine.clock, platform::NowMs() - 30000.0, tick, 1);
        RecordNow(b.engine.recording.recorder, word);
      }
      RecordAt(b.engine.recording.recorder, kEndMarker, 120);
    }
    // Nine rounds of three passes; a round's worst is its slowest wake-up. The median of the
    // rounds' worsts keeps a wake-up that another process preempted from standing for all.
    std::vector<double> all, worsts;
    for (int round = 0; round < 9; ++round) {
      double worst = 0;
      for (int pass = 0; pass < 3; ++pass) {
        for (int32_t tick = 0; tick < 120; tick += 5) all.push_back(WakeAt(b, tick));
        all.push_back(WakeAt(b, 121));  // the wrap
        for (int i = 0; i < 25; ++i) worst = std::max(worst, all[all.size() - 1 - i]);
      }
      worsts.push_back(worst);
    }
    b.engine.playback.recordingClient = 0;
    FinishTake(b.engine.recording.recorder, 0);
    std::sort(all.begin(), all.end());
    std::sort(worsts.begin(), worsts.end());
    return std::array<double, 3>{worsts[worsts.size() / 2], all.back(), all[all.size() / 2]};
  };
  auto none = run(false);
  auto full = run(true);
  p.playingClient = 0;
  p.loopOn = 0;
  std::printf("wake-up of a one-beat loop recording with %d ended passes to echo (4 entries each, thru on):\n"
              "  worst %.1f us (median of 9 rounds' worst; worst of all %.1f us), median %.1f us\n"
              "  (baseline, nothing recorded: worst %.1f us (all %.1f us), median %.1f us)\n",
              kPasses, full[0], full[1], full[2], none[0], none[1], none[2]);
}

double MsSince(const std::chrono::steady_clock::time_point& start) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count()) / 1000.0;
}

// The take delivered by an engine process over the bus.
void Delivery() {
  char tmpl[] = "/tmp/tovu-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return;
  std::string dir = tmpl;
  std::string socketPath = dir + "/run/TovuEngine.sock";
  std::string fifoPath = dir + "/virtual.in";
  pid_t engine = ForkEngine(dir, socketPath, fifoPath);
  tovu::Client c;
  tovu::ConnectOptions options;
  options.socketPath = socketPath;
  options.startEngine = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!tovu::Connect(c, options) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  tovu::OpenPortsRequest request;
  request.outputDevices = {0};
  request.inputDevice = 0;
  tovu::OpenPortsReply reply;
  tovu::SongBuilder song;
  song.Tempo(0, 120);
  song.End(1920);
  uint8_t start[32] = {};
  platform::StoreLe32(start + 24, 1);  // record
  int fifo = -1;
  if (!tovu::Connected(c) || tovu::Register(c) != 0 || !tovu::OpenPorts(c, request, &reply) ||
      !tovu::LoadSong(c, song.Build()) || !tovu::SendCopyData(c, 21, 0, start, 32) ||
      (fifo = open(fifoPath.c_str(), O_WRONLY | O_CLOEXEC)) < 0) {
    std::fprintf(stderr, "bench_recording: the engine process could not record\n");
    kill(engine, SIGKILL);
    waitpid(engine, nullptr, 0);
    return;
  }
  std::string chunk;
  for (int i = 0; i < 1000; ++i) chunk += i % 2 ? "0 80 3c 00\n" : "0 90 3c 64\n";
  for (int i = 0; i < 99999; i += 1000) {
    size_t lines = static_cast<size_t>(std::min(1000, 99999 - i));
    if (write(fifo, chunk.data(), lines * 11) < 0) break;
    tovu::PumpMessages(c, 0);
  }
  auto quiet = std::chrono::steady_clock::now();
  while (MsSince(quiet) < 1500) tovu::PumpMessages(c, 10);
  tovu::TakeInbox(c);
  auto t0 = std::chrono::steady_clock::now();
  tovu::Command(c, tovu::kCommandStop, c.window);
  tovu::Message m;
  bool got = tovu::WaitForMessage(
      c, [](const tovu::Message& x) { return tovu::IsCopyData(x, tovu::kCopyTake); }, 10000, &m);
  double stopToTake = MsSince(t0);
  tovu::Take take;
  if (got && tovu::ReadTake(m.payload, &take)) {
    std::vector<uint8_t> same(m.payload.size(), 0x5A);
    t0 = std::chrono::steady_clock::now();
    tovu::SendCopyData(c, 99, 0, same.data(), static_cast<uint32_t>(same.size()));  // an unlisted type: ignored
    double busCopy = MsSince(t0);
    std::printf("take over the bus (%zu events, %zu bytes): stop -> take received %.2f ms "
                "(baseline: the same payload client -> engine %.2f ms)\n",
                take.events.size(), m.payload.size(), stopToTake, busCopy);
  } else {
    std::printf("take over the bus: no take arrived\n");
  }
  close(fifo);
  tovu::Unregister(c);
  tovu::Disconnect(c);
  waitpid(engine, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}


// Tempo-factor commands every 5 ms for `ms`, each timed until it was answered (microseconds);
// `worstAtMs` receives when the slowest was sent, counted from the call.
std::vector<int64_t> TimeCommands(tovu::Client& c, int ms, double* worstAtMs = nullptr) {
  std::vector<int64_t> us;
  auto start = std::chrono::steady_clock::now();
  int64_t worst = -1;
  while (MsSince(start) < ms) {
    double at = MsSince(start);
    auto t0 = std::chrono::steady_clock::now();
    tovu::SetTempoFactor(c, 1.0);
    us.push_back(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
    if (us.back() > worst) {
      worst = us.back();
      if (worstAtMs) *worstAtMs = at;
    }
    tovu::PumpMessages(c, 5);
  }
  std::sort(us.begin(), us.end());
  return us;
}

void CommandsDuringFlood() {
  constexpr int kMessages = 1000000;
  EngineChild e;
  if (!StartEngineChild(&e)) {
    std::fprintf(stderr, "bench_recording: no engine process for the flood\n");
    if (e.pid > 0) kill(e.pid, SIGKILL);
    EndEngineChild(&e);
    return;
  }
  tovu::OpenPortsRequest request;
  request.outputDevices = {0, 1};
  request.inputDevice = 0;
  request.inputFlags = 1;
  tovu::OpenPortsReply reply;
  tovu::ThruSettings thru;
  thru.device = 1;
  thru.channel = -1;
  tovu::SongBuilder song;
  song.Tempo(0, 120);  // 240 ticks a second: the loop of 1920 ticks is 8 s a pass
  song.End(1920);
  uint8_t start[32] = {};
  platform::StoreLe32(start + 8, 1920);
  platform::StoreLe32(start + 12, 1);   // loop 0-1920
  platform::StoreLe32(start + 24, 1);   // record
  int fifo = -1;
  if (!tovu::OpenPorts(e.c, request, &reply) || !tovu::SetThru(e.c, thru) || !tovu::LoadSong(e.c, song.Build()) ||
      (fifo = open(e.fifoPath.c_str(), O_WRONLY | O_CLOEXEC)) < 0) {
    std::fprintf(stderr, "bench_recording: the engine process could not record\n");
    kill(e.pid, SIGKILL);
    EndEngineChild(&e);
    return;
  }
  std::vector<int64_t> quiet = TimeCommands(e.c, 1000);
  tovu::SendCopyData(e.c, 21, 0, start, 32);
  tovu::PumpMessages(e.c, 20);
  auto began = std::chrono::steady_clock::now();
  double floodMs = 0;
  std::thread writer([&] {
    std::string chunk;
    for (int i = 0; i < 1000; ++i) chunk += i % 2 ? "0 80 3c 00\n" : "0 90 3c 64\n";
    for (int i = 0; i < kMessages; i += 1000)
      if (write(fifo, chunk.data(), chunk.size()) < 0) break;
    floodMs = MsSince(began);
  });
  double worstAtMs = 0;
  std::vector<int64_t> flooded = TimeCommands(e.c, 17000, &worstAtMs);  // the flood's pass and the next
  writer.join();
  tovu::Command(e.c, tovu::kCommandStop, e.c.window);
  tovu::WaitForMessage(
      e.c, [](const tovu::Message& x) { return tovu::IsCopyData(x, tovu::kCopyTake); }, 20000);
  close(fifo);
  EndEngineChild(&e);
  auto p99 = [](const std::vector<int64_t>& v) { return v.empty() ? 0 : v[std::min(v.size() - 1, v.size() * 99 / 100)]; };
  std::printf("tempo-factor command while %d messages flood in within one pass (written in %.0f ms) and the\n"
              "next pass echoes them, loop recording with thru: worst %.2f ms (%.0f ms into it), p99 %.2f ms "
              "(%zu commands)\n"
              "  (baseline, no input, not playing: worst %.2f ms, p99 %.2f ms)\n",
              kMessages, floodMs, flooded.empty() ? 0 : flooded.back() / 1000.0, worstAtMs, p99(flooded) / 1000.0,
              flooded.size(), quiet.empty() ? 0 : quiet.back() / 1000.0, p99(quiet) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  BenchEngine b;
  Latency(b, count);
  CallbackCost(b, count * 10);
  Take(b);
  EchoWakeUps(b);
  Delivery();
  CommandsDuringFlood();
  return 0;
}
