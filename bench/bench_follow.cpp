// bench_follow: how exactly a playback that follows a master's MIDI clock plays on the master's
// beats. A private JACK server (dummy driver, 48 kHz, 256 frames), a sink client with two ports, and
// a master at 120 a minute whose clock goes both to the sink's "clock" port and to the engine's
// input. The engine follows that clock (type 36) and plays a song with a note on every pulse
// (struck at the pulse's tick, released half a pulse later) on the sink's "song" port. Two runs:
// jack_midi_clock (Debian's) as the master, from the transport the sink's client starts; and a
// master of the sink client's own that puts every pulse up to 1 ms (48 frames) off its grid at
// random, independently.
//
// The master's ideal grid is the straight line through its pulses' frames at the sink (least
// squares). For each run: the master's jitter against that line, and the engine's notes against it:
// struck at pulse n, ideally at the line's n plus the engine's constant latency (the median), and
// released at n + 1/2, between pulses, where the engine runs on its estimate of the tempo. p50,
// p99 and max of |error| in ms, over all notes and over those from pulse 48 on (once the loop has
// narrowed); and the first two notes' errors (the lock). A second baseline: how far the server's
// frames wander from JACK's clock (the sink's cycle times at the master's pulses, from the line
// through them; a dummy driver on a busy virtual machine wanders by tens of milliseconds): the
// engine follows the server's frames, as the master does, so that wander should not reach it.
// Threads: the main thread and the sink's JACK thread.
//
// Usage: bench_follow [seconds per run, default 10]
#include <jack/transport.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine_child.h"
#include "bench/spread.h"
#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "support/jack_server.h"

namespace {

using bench::Spread;
using bench::SpreadOf;

constexpr int32_t kTicksPerPulse = 4;  // 96 a quarter

// The song's events name the engine's port (here the device's index), not the client's list.
std::vector<uint8_t> Song(int pulses, uint32_t port) {
  tovu::SongBuilder s;
  s.ticksPerQuarter = 96;
  s.sortByTick = true;
  s.Tempo(0, 120);
  for (int32_t n = 0; n < pulses; ++n) {
    const uint32_t note = static_cast<uint32_t>(n % 128), velocity = static_cast<uint32_t>(1 + (n / 128) % 127);
    s.NoteOn(n * kTicksPerPulse, port, 0, note, velocity);
    s.NoteRelease(n * kTicksPerPulse + kTicksPerPulse / 2, port, 0, note);
  }
  s.End(pulses * kTicksPerPulse + 96);
  return s.Build();
}

// The least-squares line y = a + b n through ys[n].
struct Line {
  double a = 0, b = 0;
  double At(double n) const { return a + b * n; }
};
Line FitLine(const std::vector<double>& ys) {
  double sn = 0, sy = 0, snn = 0, sny = 0;
  const double count = static_cast<double>(ys.size());
  for (size_t n = 0; n < ys.size(); ++n) {
    const double x = static_cast<double>(n);
    sn += x, sy += ys[n], snn += x * x, sny += x * ys[n];
  }
  Line line;
  line.b = (count * sny - sn * sy) / (count * snn - sn * sn);
  line.a = (sy - line.b * sn) / count;
  return line;
}

int32_t FindPort(const std::vector<std::string>& names, const std::string& name) {
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int32_t>(i);
  return -1;
}

// Pulses after the start that the figures "once locked" leave out (the loop narrows over them).
constexpr int kLockPulses = 48;

struct Figures {
  Spread master, driver, struck, released, locked;
  double lock[2] = {0, 0};
  double latencyMs = 0;
};

// The errors of one run, from what the sink received (frames at `rate`).
bool Analyse(const std::vector<PeerEvent>& events, double rate, Figures* out) {
  std::vector<double> pulses;  // frames of the master's pulses from its start
  std::vector<double> drift;   // for each: JACK's clock when the sink's cycle took it, less its frame's time
  std::map<int, double> struck, released;  // pulse index: frame
  std::vector<int> sounding(128, -1);      // note: the pulse index it was struck for
  for (const PeerEvent& e : events) {
    if (e.port == 0 && e.bytes.size() == 1) {
      if (e.bytes[0] == 0xFA) pulses.clear(), drift.clear();
      if (e.bytes[0] == 0xF8) {
        pulses.push_back(e.frame);
        drift.push_back(static_cast<double>(e.usecs) / 1000.0 - static_cast<double>(e.frame) * 1000.0 / rate);
      }
    } else if (e.port == 1 && e.bytes.size() == 3 && (e.bytes[0] & 0xF0) == 0x90 && e.bytes[2] != 0) {
      const int n = e.bytes[1] + 128 * (e.bytes[2] - 1);
      struck[n] = e.frame;
      sounding[e.bytes[1]] = n;
    } else if (e.port == 1 && e.bytes.size() == 3 && ((e.bytes[0] & 0xF0) == 0x80 || (e.bytes[0] & 0xF0) == 0x90)) {
      if (sounding[e.bytes[1]] >= 0) released[sounding[e.bytes[1]]] = e.frame;
      sounding[e.bytes[1]] = -1;
    }
  }
  if (pulses.size() < 48 || struck.size() < 48) return false;
  // The master's line: frame = a + b n (frames are taken relative to the first, for precision).
  const double origin = pulses[0];
  std::vector<double> relative;
  for (double frame : pulses) relative.push_back(frame - origin);
  const Line line = FitLine(relative);
  auto ideal = [&](double n) { return origin + line.At(n); };
  const double msPerFrame = 1000.0 / rate;
  std::vector<double> master, strikeErrors, releaseErrors;
  for (size_t n = 0; n < pulses.size(); ++n) master.push_back(std::abs(pulses[n] - ideal(static_cast<double>(n))) * msPerFrame);
  std::vector<double> signedStrikes;
  for (auto [n, frame] : struck)
    if (n < static_cast<int>(pulses.size())) signedStrikes.push_back((frame - ideal(n)) * msPerFrame);
  std::vector<double> sorted = signedStrikes;
  std::sort(sorted.begin(), sorted.end());
  out->latencyMs = sorted[sorted.size() / 2];
  for (double e : signedStrikes) strikeErrors.push_back(std::abs(e - out->latencyMs));
  std::vector<double> lockedErrors;  // struck and released, from pulse kLockPulses on
  for (auto [n, frame] : struck)
    if (n >= kLockPulses && n < static_cast<int>(pulses.size()))
      lockedErrors.push_back(std::abs((frame - ideal(n)) * msPerFrame - out->latencyMs));
  for (auto [n, frame] : released)
    if (n + 1 < static_cast<int>(pulses.size()))
      releaseErrors.push_back(std::abs((frame - ideal(n + 0.5)) * msPerFrame - out->latencyMs));
  for (auto [n, frame] : released)
    if (n >= kLockPulses && n + 1 < static_cast<int>(pulses.size()))
      lockedErrors.push_back(std::abs((frame - ideal(n + 0.5)) * msPerFrame - out->latencyMs));
  for (int n = 0; n < 2; ++n)
    out->lock[n] = struck.count(n) ? (struck[n] - ideal(n)) * msPerFrame - out->latencyMs : NAN;
  out->master = SpreadOf(master);
  // The driver's steadiness: how far its frames wander from JACK's clock, beyond a steady difference
  // of rate (a line through them; the engine follows a rate, but times events by the clock, so in
  // frames it is no steadier than this).
  const Line wander = FitLine(drift);
  for (size_t n = 0; n < drift.size(); ++n) drift[n] = std::abs(drift[n] - wander.At(static_cast<double>(n)));
  out->driver = SpreadOf(drift);
  out->struck = SpreadOf(strikeErrors);
  out->released = SpreadOf(releaseErrors);
  out->locked = SpreadOf(lockedErrors);
  return true;
}

void Print(const char* what, const Spread& s) {
  std::printf("    %-44s %6zu  p50 %6.3f  p99 %6.3f  max %6.3f ms\n", what, s.n, s.p50, s.p99, s.max);
}

// One run for `seconds`: jack_midi_clock leads, or (`jittered`) the sink's own master.
bool Run(JackPeer& sink, tovu::Client& client, int seconds, bool jittered, Figures* figures) {
  pid_t jmc = -1;
  if (!jittered) {
    jmc = fork();
    if (jmc == 0) {
      execlp("jack_midi_clock", "jack_midi_clock", "-b", "120", "-B", "sink:clock", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  const std::string masterPort = jittered ? "sink:master" : "jack_midi_clock:mclk_out";
  // The engine lists the master's port once it registers (a master of an earlier run keeps its
  // index, absent until then): tried until it opens.
  int32_t input = -1, output = -1;
  bool ok = false;
  for (int i = 0; i < 100 && !ok; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<tovu::InputPortInfo> ins;
    std::vector<tovu::OutputPortInfo> outs;
    tovu::RequestInputPorts(client, &ins);
    tovu::RequestOutputPorts(client, &outs);
    std::vector<std::string> inNames, outNames;
    for (const auto& p : ins) inNames.push_back(p.name);
    for (const auto& p : outs) outNames.push_back(p.name);
    input = FindPort(inNames, masterPort);
    output = FindPort(outNames, "sink:song");
    if (input < 0 || output < 0) continue;
    tovu::OpenPortsRequest request;
    request.outputDevices = {static_cast<uint32_t>(output)};
    request.inputDevice = input;
    tovu::OpenPortsReply reply;
    ok = tovu::OpenPorts(client, request, &reply) && reply.outputResults[0] == 0 && reply.inputResult == 0;
  }
  if (!ok) std::fprintf(stderr, "bench_follow: the master's port (%d) or the sink's (%d) did not open\n", input, output);
  ok = ok && tovu::SetClockIn(client, input) &&
       tovu::LoadSong(client, Song((seconds + 2) * 48, static_cast<uint32_t>(output))) &&
       tovu::Start(client, tovu::StartRequest{});
  if (ok) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const size_t before = sink.Received().size();
    if (jittered) {
      sink.StartPulses(0, sink.rate / 48.0, sink.rate / 1000);  // 120 a minute; +-1 ms
    } else {
      jack_transport_locate(sink.client, 0);
      jack_transport_start(sink.client);
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    if (jittered)
      sink.StopPulses();
    else
      jack_transport_stop(sink.client);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    tovu::Stop(client);
    std::vector<PeerEvent> events = sink.Received();
    events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(before));
    ok = Analyse(events, sink.rate, figures);
    if (!ok) std::fprintf(stderr, "bench_follow: too few pulses or notes reached the sink\n");
    tovu::ClosePorts(client);
  }
  if (jmc > 0) {
    kill(jmc, SIGTERM);
    waitpid(jmc, nullptr, 0);
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (seconds <= 0 || seconds > 600) {
    std::fprintf(stderr, "usage: bench_follow [seconds]\n");
    return 2;
  }
  JackServer server;
  server.watchForHang = false;  // runs as long as it is asked to
  if (!server.Start()) {
    std::fprintf(stderr, "bench_follow: no JACK server: %s\n", server.failure.c_str());
    return 1;
  }
  JackPeer sink;
  if (!sink.Open(server.name, "sink", {"clock", "song"}, {"master"}) ||
      jack_connect(sink.client, "sink:master", "sink:clock") != 0) {
    std::fprintf(stderr, "bench_follow: cannot open the sink client\n");
    return 1;
  }
  setenv("TOVU_MIDI", "jack", 1);
  setenv("JACK_DEFAULT_SERVER", server.name.c_str(), 1);
  LaunchedEngine engine;
  tovu::Client& client = engine.client;
  if (!LaunchEngine(&engine)) {
    std::fprintf(stderr, "bench_follow: no engine\n");
    return 1;
  }
  std::printf("bench_follow: the engine follows jack_midi_clock at 120 a minute (a pulse every 20.83 ms), %d s a "
              "run, JACK dummy 48 kHz / %u frames; errors against the line through the master's pulses\n",
              seconds, sink.period);
  int failed = 0;
  struct Case {
    const char* title;
    bool jittered;
  };
  for (const Case& c : {Case{"jack_midi_clock", false}, Case{"with every pulse up to +-1 ms off its grid", true}}) {
    Figures f;
    if (!Run(sink, client, seconds, c.jittered, &f)) {
      std::printf("  %s: no run (the master or the engine could not be set up)\n", c.title);
      ++failed;
      continue;
    }
    std::printf("  master %s; the engine's latency behind it %.3f ms; first two notes %+.3f, %+.3f ms\n", c.title,
                f.latencyMs, f.lock[0], f.lock[1]);
    Print("the master's pulses (baseline)", f.master);
    Print("the driver's frames against JACK's clock", f.driver);
    Print("notes struck at the pulses", f.struck);
    Print("notes released between pulses (the estimate)", f.released);
    Print("all notes once locked (from pulse 48)", f.locked);
  }
  EndLaunchedEngine(&engine);
  sink.Close();
  return failed == 0 ? 0 : 1;
}
