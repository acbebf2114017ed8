// bench_output: what a message costs on its way through its port's output stage, and what a client
// waits for while another floods a pausing port; each beside a baseline measured in the same run.
//
//   1. One message through the stage on an in-process virtual output device (no log, no capture),
//      beside the device send alone (platform::MidiOutShort on the same handle), with rounds of the
//      variants interleaved; each figure the median of the rounds. Variants: a controller (the stage
//      and its lock); note-ons and their releases (the ledger as well); and messages that wait out
//      a pause, queued and then drained, at three queue depths (the cost per message must not grow
//      with what is queued).
//   2. In an engine process of its own, port 0 pausing a second after each system-exclusive message:
//      one client floods it with sysex and lists of notes (past every bound of its share) while
//      another asks command 3 every 2 ms and sends a note to port 1 with command 18; the second
//      client's command round trips, p50/p99/max, beside the same client with nobody flooding.
// Threads: 1 is one thread, the sends uncontended; 2 runs the flooding client on a thread of its own.
//
// Usage: bench_output [messages per round, default 1000000] [rounds, default 11]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/engine_child.h"
#include "platform/event.h"
#include "platform/midi.h"
#include "ports/ports.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename Send>
double NsPerMessage(long messages, Send send) {
  auto t0 = Clock::now();
  for (long i = 0; i < messages; ++i) send(static_cast<uint32_t>(i));
  auto t1 = Clock::now();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) /
         static_cast<double>(messages);
}

double g_stageNow = 0;  // the stages' clock while part 1 runs: pauses end only when a round says so
double StageClock() { return g_stageNow; }

// `count` messages queued behind a pause on port 1 and then drained: ns per message, both steps.
double QueuedNsPerMessage(Ports& ports, uint32_t count) {
  g_stageNow = 0;
  const uint8_t sysex[] = {0xF0, 0x7D, 0xF7};
  SendSysexOnPort(ports, sizeof sysex, sysex, 1);  // pauses port 1 for the delay set on it
  auto t0 = Clock::now();
  for (uint32_t i = 0; i < count; ++i) SendShortMessage(ports, 0x014000B0u | (i & 127) << 8);
  g_stageNow = 1e9;
  DrainStages(ports, g_stageNow);
  auto t1 = Clock::now();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) /
         static_cast<double>(count);
}

struct Latency {
  double p50 = 0, p99 = 0, max = 0;
  size_t n = 0;
};

Latency Percentiles(std::vector<double> us) {
  Latency l;
  if (us.empty()) return l;
  std::sort(us.begin(), us.end());
  l.n = us.size();
  l.p50 = us[us.size() / 2];
  l.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  l.max = us.back();
  return l;
}

// Command 3 every 2 ms and a note to port 1 with command 18, for `ms`: the round trips in us.
Latency TimeCommands(tovu::Client& c, int ms) {
  std::vector<double> us;
  auto start = Clock::now();
  for (uint32_t i = 0; Clock::now() - start < std::chrono::milliseconds(ms); ++i) {
    auto t0 = Clock::now();
    tovu::AuditionHoldTime(c);
    tovu::SendShort(c, tovu::PackEvent(0x90, 60, i & 1 ? 0 : 100, 1));
    us.push_back(static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count()) / 2);
    tovu::PumpMessages(c, 2);
    c.inbox.clear();
  }
  return Percentiles(us);
}

void CommandsBesideAFlood() {
  EngineChild e;
  tovu::Client flooder;
  if (!StartEngineChild(&e, {{"Dev0/ExclDly", "1000"}}) || !ConnectToChild(e, flooder)) {
    std::fprintf(stderr, "bench_output: the engine process did not answer\n");
    return;
  }
  tovu::OpenPortsRequest both;
  both.outputDevices = {0, 1};
  tovu::OpenPortsReply reply;
  tovu::OpenPorts(e.c, both, &reply);
  tovu::OpenPorts(flooder, both, &reply);
  Latency alone = TimeCommands(e.c, 2000);
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread flood([&] {
    std::vector<uint32_t> list(512);
    std::vector<uint8_t> dump(64 * 1024, 0x11);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    for (uint32_t round = 0; !stop.load(); ++round) {
      if (round % 4 == 0) tovu::SendSysex(flooder, 0, dump);
      for (uint32_t i = 0; i < list.size(); ++i) list[i] = tovu::PackEvent(0x91, 40 + (i % 40), i & 1 ? 0 : 90, 0);
      tovu::SendShortList(flooder, list);
      sent += static_cast<long>(list.size());
      flooder.inbox.clear();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the queue has filled by now
  Latency flooded = TimeCommands(e.c, 3000);
  stop = true;
  flood.join();
  std::printf("a client's command round trip (command 3, then command 18 to a free port; us each)\n");
  std::printf("  alone                                     p50 %7.1f  p99 %7.1f  max %8.1f  (n %zu, baseline)\n",
              alone.p50, alone.p99, alone.max, alone.n);
  std::printf("  while another floods port 0 in its pause  p50 %7.1f  p99 %7.1f  max %8.1f  (n %zu, %ld messages sent)\n",
              flooded.p50, flooded.p99, flooded.max, flooded.n, sent.load());
  tovu::Unregister(flooder);
  tovu::Disconnect(flooder);
  EndEngineChild(&e);
}

}  // namespace

int main(int argc, char** argv) {
  long messages = argc > 1 ? std::atol(argv[1]) : 1000000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 11;
  if (messages <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: bench_output [messages per round] [rounds]\n");
    return 2;
  }
  messages = std::max(2L, messages & ~1L);  // even, so that every note-on meets its release

  platform::VirtualMidiConfig config;
  config.outputs = {"Bench Out 1", "Bench Out 2"};
  platform::MidiStartVirtual(config);
  platform::Event activity;
  platform::EventCreate(&activity);
  Ports ports;
  if (!BuildPortTables(ports) || ports.outputs[0].Open() != 0) {
    std::fprintf(stderr, "bench_output: cannot open the virtual output\n");
    return 1;
  }
  ports.activityEvent = &activity;
  platform::MidiHandle handle = ports.outputs[0].handle.load();

  // Words cycle through the 128 notes (or controllers) of channel 0, on port index 0.
  auto device = [&](uint32_t i) { platform::MidiOutShort(handle, 0x004000B0u | (i & 127) << 8); };
  auto controller = [&](uint32_t i) { SendShortMessage(ports, 0x004000B0u | (i & 127) << 8); };
  auto notes = [&](uint32_t i) {
    // A note-on, then its release: each counter goes 0, 1, 0.
    SendShortMessage(ports, (i & 1 ? 0x00000090u : 0x00640090u) | ((i >> 1) & 127) << 8);
  };

  // Port 1 pauses after a sysex, on the stages' own clock, until a round drains it.
  ports.outputs[1].Open();
  ports.outputs[1].sysexDelayMs = 1000;
  ports.stages.clock = StageClock;
  const uint32_t depths[3] = {100, 1000, kStageSenderShare};
  std::vector<double> deviceNs, controllerNs, notesNs, queuedNs[3];
  NsPerMessage((messages / 10 + 2) & ~1L, device);  // warm-up
  NsPerMessage((messages / 10 + 2) & ~1L, notes);
  for (int r = 0; r < rounds; ++r) {
    deviceNs.push_back(NsPerMessage(messages, device));
    controllerNs.push_back(NsPerMessage(messages, controller));
    notesNs.push_back(NsPerMessage(messages, notes));
    for (int d = 0; d < 3; ++d) {
      std::vector<double> runs;
      for (long done = 0; done < messages; done += depths[d]) runs.push_back(QueuedNsPerMessage(ports, depths[d]));
      queuedNs[d].push_back(Median(runs));
    }
  }
  bool exact = true;
  for (size_t i = 0; i < static_cast<size_t>(kActivityPerPort); ++i) exact &= ports.activity[i].load() == 0;

  double base = Median(deviceNs);
  double ctl = Median(controllerNs);
  double note = Median(notesNs);
  std::printf("bench_output: %ld messages per round, %d rounds, median ns per message\n", messages, rounds);
  std::printf("  device send alone (platform::MidiOutShort)     %8.1f ns   (baseline)\n", base);
  std::printf("  SendShortMessage, controller (not counted)     %8.1f ns   (%+.1f ns, x%.2f)\n", ctl, ctl - base,
              ctl / base);
  std::printf("  SendShortMessage, note on/off (counted)        %8.1f ns   (%+.1f ns, x%.2f)\n", note, note - base,
              note / base);
  for (int d = 0; d < 3; ++d) {
    double q = Median(queuedNs[d]);
    std::printf("  queued in a pause %4u deep, then drained     %8.1f ns   (%+.1f ns, x%.2f)\n", depths[d], q, q - base,
                q / base);
  }
  std::printf("  activity table back to zero after the runs: %s\n", exact ? "yes" : "NO");

  ports.outputs[1].Close();
  ports.outputs[0].Close();
  platform::MidiShutdown();
  platform::EventDestroy(&activity);
  CommandsBesideAFlood();
  return exact ? 0 : 1;
}
