// bench_recording: what recording and thru cost, each beside a baseline measured in the same run.
//
//   1. Input-to-thru latency at the virtual devices: a note injected on a virtual input (in process,
//      as the device layer delivers it) until the thru port's device stamps the echo, p50/p99; beside
//      it the output path alone (SendShortMessage until the device stamps it).
//   2. The input callback's cost per message (filter, thru, recorder), with and without thru,
//      beside the output path's cost per message.
//   3. A 100,000-event take: appending it, building it (FinishTake) and, over the engine bus to a
//      client in another thread, delivering it as copy-data type 28; beside a plain copy of the same
//      bytes.
//
// Usage: bench_recording [messages per latency round, default 20000]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

void CallbackCost(BenchEngine& b, int count) {
  platform::MidiHandle h = b.engine.ports.inputs[0].handle.load();
  auto run = [&](const char* label) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
      OnMidiInput(h, platform::kMimData, b.engine.ports.inputInstance,
                  0x3C90u | static_cast<uint32_t>(NoteByte(i)) << 16, 0);
    std::printf("  %-44s %7.1f ns/message\n", label, PerMessageNs(start, count));
  };
  std::printf("input callback cost (no device log, no capture):\n");
  b.Thru(0x8000);
  run("filter only (listening, nothing to do)");
  b.Thru(1);
  run("filter + thru");
  b.engine.playback.recordingClient = kWindow;
  ArmRecording(b.engine, 0, 0, false);
  run("filter + thru + recorder");
  b.engine.playback.recordingClient = 0;
  FinishTake(b.engine, 0);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) SendShortMessage(b.engine.ports, 0x3C90u | static_cast<uint32_t>(NoteByte(i)) << 16);
  std::printf("  %-44s %7.1f ns/message\n", "baseline: output path (SendShortMessage)", PerMessageNs(start, count));
}

void Take(BenchEngine& b) {
  constexpr int kEvents = 100000;
  b.engine.playback.recordingClient = kWindow;
  ArmRecording(b.engine, 0, 0, false);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kEvents - 1; ++i) RecordAt(b.engine, 0x643C90, i);
  double appendNs = PerMessageNs(start, kEvents - 1);
  b.engine.playback.recordingClient = 0;
  start = std::chrono::steady_clock::now();
  BuiltTake take = FinishTake(b.engine, kEvents);
  double buildMs = PerMessageNs(start, 1) / 1e6;
  std::vector<uint8_t> copy(take.size);
  start = std::chrono::steady_clock::now();
  std::memcpy(copy.data(), take.bytes.get(), take.size);
  double copyMs = PerMessageNs(start, 1) / 1e6;
  std::printf("100000-event take (%u bytes): append %.1f ns/event, build %.3f ms (baseline memcpy %.3f ms)\n",
              take.size, appendNs, buildMs, copyMs);
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  BenchEngine b;
  Latency(b, count);
  CallbackCost(b, count * 10);
  Take(b);
  return 0;
}
