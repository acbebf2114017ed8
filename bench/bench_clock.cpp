// bench_clock: how evenly MIDI clock pulses reach a JACK port. A private JACK server (dummy driver,
// 48 kHz, 256 frames) and a sink client with two ports. In the same run, for the same seconds:
//   (a) the engine plays a song at 120 a minute with MIDI clock out on sink port "engine", and
//       drives the JACK transport as its timebase master;
//   (b) jack_midi_clock (Debian's), started in the same server, makes its clock from that transport
//       on sink port "jmc" - the baseline a JACK user has today.
// For each, the jitter of every interval between consecutive 0xF8 at the sink against the ideal
// (1000 frames at 120 a minute): p50, p99 and max in frames. A third line: a bare loop of one-shot
// timers on the engine's timer service, each armed for the next pulse's due time, without JACK: the
// intervals between its wake-ups, in frames at 48 kHz - what a pulse sent when the timer wakes
// would get without stamping.
// Threads: the main thread, the sink's JACK thread, the timer service's thread.
//
// Usage: bench_clock [seconds, default 10]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine_child.h"
#include "bench/spread.h"
#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "platform/timer.h"
#include "support/jack_server.h"

namespace {

constexpr double kRate = 48000;
constexpr double kIdealFrames = kRate * 60.0 / 120.0 / 24.0;  // 1000

using bench::Spread;
using bench::SpreadOf;

void Print(const char* what, const Spread& j) {
  std::printf("  %-52s %5zu intervals  p50 %7.1f  p99 %7.1f  max %8.1f frames\n", what, j.n, j.p50, j.p99, j.max);
}

// |interval - ideal| of the pulses (0xF8) that reached sink port `port`.
std::vector<double> PulseJitter(const std::vector<PeerEvent>& events, uint32_t port) {
  std::vector<double> out;
  bool have = false;
  uint32_t last = 0;
  for (const PeerEvent& e : events) {
    if (e.port != port || e.bytes.size() != 1 || e.bytes[0] != 0xF8) continue;
    if (have) out.push_back(std::abs(static_cast<double>(static_cast<int32_t>(e.frame - last)) - kIdealFrames));
    last = e.frame;
    have = true;
  }
  return out;
}

// The bare timer loop: wake-up times of one-shot timers armed for each pulse's due time.
struct TimerLoop {
  platform::TimerService* timers = nullptr;
  double startMs = 0;
  int count = 0;
  std::atomic<int> done{0};
  std::vector<double> woke;
};

void OnPulse(void* context, uint64_t) {
  TimerLoop& t = *static_cast<TimerLoop*>(context);
  int n = t.done.load();
  t.woke[static_cast<size_t>(n)] = platform::NowMs();
  t.done.store(n + 1);
  if (n + 1 < t.count)
    platform::TimerArm(t.timers, t.startMs + (n + 1) * kIdealFrames * 1000.0 / kRate, OnPulse, &t);
}

std::vector<double> TimerJitter(int count) {
  TimerLoop t;
  t.timers = platform::TimerServiceStart();
  t.count = count;
  t.woke.assign(static_cast<size_t>(count), 0);
  t.startMs = platform::NowMs() + 10;
  platform::TimerArm(t.timers, t.startMs, OnPulse, &t);
  while (t.done.load() < count) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  platform::TimerServiceStop(t.timers);
  std::vector<double> out;
  for (int i = 1; i < count; ++i)
    out.push_back(std::abs((t.woke[static_cast<size_t>(i)] - t.woke[static_cast<size_t>(i - 1)]) * kRate / 1000.0 -
                           kIdealFrames));
  return out;
}

std::vector<uint8_t> Song(int seconds) {
  tovu::SongBuilder s;
  s.ticksPerQuarter = 96;
  s.sortByTick = true;
  s.Tempo(0, 120);
  const int32_t end = (seconds + 2) * 2 * 96;  // two quarters a second
  for (int32_t t = 0; t < end; t += 4 * 96) {
    s.NoteOn(t, 0, 0, 60, 100);
    s.NoteRelease(t + 96, 0, 0, 60);
  }
  s.End(end);
  return s.Build();
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (seconds <= 0 || seconds > 600) {
    std::fprintf(stderr, "usage: bench_clock [seconds]\n");
    return 2;
  }
  JackServer server;
  server.watchForHang = false;  // runs as long as it is asked to
  if (!server.Start()) {
    std::fprintf(stderr, "bench_clock: no JACK server: %s\n", server.failure.c_str());
    return 1;
  }
  JackPeer sink;
  if (!sink.Open(server.name, "sink", {"engine", "jmc"}, {})) {
    std::fprintf(stderr, "bench_clock: cannot open the sink client\n");
    return 1;
  }
  setenv("TOVU_MIDI", "jack", 1);
  setenv("JACK_DEFAULT_SERVER", server.name.c_str(), 1);
  LaunchedEngine engine;
  tovu::Client& client = engine.client;
  tovu::OpenPortsRequest request;
  request.outputDevices = {0};
  tovu::OpenPortsReply reply;
  tovu::SyncOutSettings sync;
  sync.ports.push_back({0, tovu::kSyncOutClock});
  sync.flags = tovu::kSyncJackTransport;
  tovu::SyncOutSettings granted;
  if (!LaunchEngine(&engine) || !tovu::OpenPorts(client, request, &reply) ||
      reply.outputResults[0] != 0 || !tovu::SetSyncOut(client, sync) || !tovu::RequestSyncOutSettings(client, &granted) ||
      !(granted.flags & tovu::kSyncJackTransport) || !tovu::LoadSong(client, Song(seconds))) {
    std::fprintf(stderr, "bench_clock: the engine could not be set up on sink:engine with the transport\n");
    return 1;
  }
  // jack_midi_clock follows the transport the engine drives, on sink:jmc.
  pid_t jmc = fork();
  if (jmc == 0) {
    execlp("jack_midi_clock", "jack_midi_clock", "sink:jmc", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  tovu::Start(client, tovu::StartRequest{});
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  tovu::Stop(client);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<PeerEvent> events = sink.Received();
  kill(jmc, SIGTERM);
  waitpid(jmc, nullptr, 0);
  EndLaunchedEngine(&engine);

  std::printf("bench_clock: MIDI clock at 120 a minute (ideal %.0f frames a pulse), %d s, JACK dummy 48 kHz / %u "
              "frames; jitter of each interval at the sink\n",
              kIdealFrames, seconds, sink.period);
  Spread ours = SpreadOf(PulseJitter(events, 0)), theirs = SpreadOf(PulseJitter(events, 1));
  Print("the engine's clock out (stamped, frame-placed)", ours);
  Print("jack_midi_clock from the engine's transport", theirs);
  Print("bare timer loop on the timer service (no JACK)", SpreadOf(TimerJitter(seconds * 48)));
  sink.Close();
  return ours.n > 0 ? 0 : 1;
}
