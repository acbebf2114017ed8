// bench_output: the cost of one SendShortMessage on an in-process virtual output device (no log, no
// capture), beside the device send alone (platform::MidiOutShort on the same handle), measured in
// the same run with rounds of the variants interleaved; each figure is the median of the rounds.
//
// Variants: the device send alone; SendShortMessage with a controller (port checks only); and with
// alternating note-ons and note-offs (port checks, an activity counter and the activity event, which
// stays signalled here as no notifier consumes it).
// Threads: one; the sends are not contended.
//
// Usage: bench_output [messages per round, default 1000000] [rounds, default 11]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

  std::vector<double> deviceNs, controllerNs, notesNs;
  NsPerMessage((messages / 10 + 2) & ~1L, device);  // warm-up
  NsPerMessage((messages / 10 + 2) & ~1L, notes);
  for (int r = 0; r < rounds; ++r) {
    deviceNs.push_back(NsPerMessage(messages, device));
    controllerNs.push_back(NsPerMessage(messages, controller));
    notesNs.push_back(NsPerMessage(messages, notes));
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
  std::printf("  activity table back to zero after the runs: %s\n", exact ? "yes" : "NO");

  ports.outputs[0].Close();
  platform::MidiShutdown();
  platform::EventDestroy(&activity);
  return exact ? 0 : 1;
}
