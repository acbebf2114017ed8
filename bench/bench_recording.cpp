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
//
// Usage: bench_recording [messages per latency round, default 20000]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "client/take_reader.h"
#include "client/tovu_client.h"
#include "host/engine.h"
#include "platform/midi.h"
#include "platform/wire.h"

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
    FreeRecorder(engine);
    DestroyClientTable(engine.clients);
    for (StateImage*& image : engine.images)
      if (image) DestroyStateImage(image);
    platform::EventDestroy(&engine.activityEvent);
    platform::MidiShutdown();
  }
  void Thru(int32_t device) {
    uint8_t p[16];
    platform::StoreLe32(p, static_cast<uint32_t>(device));
    platform::StoreLe32(p + 4, static_cast<uint32_t>(-1));
    platform::StoreLe32(p + 8, 0);
    platform::StoreLe32(p + 12, 0);
    SetThru(engine, kWindow, p);
  }
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
  ArmRecording(b.engine, 0, 0, false);
  run("filter + thru + recorder");
  b.engine.playback.recordingClient = 0;
  FinishTake(b.engine, 0);
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
    ArmRecording(b.engine, 0, 0, false);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kEvents - 1; ++i) RecordNow(b.engine, 0x643C90);
    append.push_back(PerMessageNs(start, kEvents - 1));
    b.engine.playback.recordingClient = 0;
    start = std::chrono::steady_clock::now();
    BuiltTake take = FinishTake(b.engine, kEvents);
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
  setenv("TOVU_ENGINE_SOCKET", socketPath.c_str(), 1);
  setenv("TOVU_SETTINGS_DIR", (dir + "/settings").c_str(), 1);
  setenv("TOVU_MIDI", "virtual", 1);
  setenv("TOVU_VIRTUAL_INPUT", fifoPath.c_str(), 1);
  unsetenv("TOVU_VIRTUAL_LOG");
  pid_t engine = fork();
  if (engine == 0) {
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(TOVU_ENGINE_BINARY, TOVU_ENGINE_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
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
  tovu::Command(c, 5, c.window);
  tovu::Message m;
  bool got = tovu::WaitForMessage(
      c, [](const tovu::Message& x) { return x.msg == tovu::kWmCopyData && (x.dwData & 0xFFFF) == 28; }, 10000, &m);
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

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  BenchEngine b;
  Latency(b, count);
  CallbackCost(b, count * 10);
  Take(b);
  Delivery();
  return 0;
}
