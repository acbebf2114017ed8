// bench_jack: how much of a sender's timing reaches a JACK port. A sender sends a note every 7.3 ms
// for 10 s; a sink client records the frame at which each note arrives. The interval error is, for
// each pair of consecutive notes, |arrival interval - send interval| (the send times read by the
// sender just before each send). Measured in the same run, on the same notes:
//   (a) the jack service as built (stamped at send, written one period later at that frame), on
//       sink port "a";
//   (b) a period-quantised writer (every message written at the start of the next cycle), a JACK
//       client of this program's own, on sink port "b" - the baseline.
// Two rounds: the sends made in this process straight to the layer (the service alone), and the
// sends made as a client over the bus to an engine process (command 18; the bus's own jitter then
// counts as the sender's). The sender's own timing error (send interval - 7.3 ms) is printed too.
// A third round stops the server (SIGSTOP) for 5 s while an engine plays a song to the sink, and
// stops the song as soon as the server runs again: how long the song went on after the stop (in the
// server's own frames, from the first event after the stall to the last), and the most events
// written at one frame. TOVU_BENCH_ENGINE runs another engine binary in the last two rounds.
// Threads: the sender (main thread), the writer's and the sink's JACK threads, the layer's threads.
//
// Usage: bench_jack [seconds per round, default 10]
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/engine_child.h"
#include "bench/spread.h"
#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "platform/event.h"
#include "platform/midi.h"
#include "platform/midi_ring.h"
#include "support/jack_server.h"

namespace {

constexpr int64_t kIntervalNs = 7300000;

// The baseline: writes everything queued at the first frame of the next cycle.
struct QuantisedWriter {
  jack_client_t* client = nullptr;
  jack_port_t* port = nullptr;
  platform::MidiRing ring;
};

int WriterProcess(jack_nframes_t nframes, void* arg) {
  auto& w = *static_cast<QuantisedWriter*>(arg);
  void* buffer = jack_port_get_buffer(w.port, nframes);
  jack_midi_clear_buffer(buffer);
  platform::MidiRecord r;
  while (platform::MidiRingPeek(w.ring, &r)) {
    jack_midi_data_t* out = jack_midi_event_reserve(buffer, 0, r.length);
    platform::MidiRingPop(w.ring, r, out);
    if (!out) break;
  }
  return 0;
}

bool OpenWriter(QuantisedWriter& w, const std::string& server, const std::string& sink) {
  jack_status_t status;
  w.client = jack_client_open("quantised", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                              server.c_str());
  if (!w.client || !platform::MidiRingInit(w.ring, 1 << 16)) return false;
  w.port = jack_port_register(w.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  return w.port && jack_set_process_callback(w.client, WriterProcess, &w) == 0 && jack_activate(w.client) == 0 &&
         jack_connect(w.client, jack_port_name(w.port), sink.c_str()) == 0;
}

using bench::SpreadOf;

void Print(const char* what, const bench::Spread& s) {
  std::printf("  %-44s p50 %7.3f ms   p99 %7.3f ms   max %7.3f ms\n", what, s.p50, s.p99, s.max);
}

// Sends `count` notes on the 7.3 ms grid through `send` and to the writer; returns the send times.
template <typename Send>
std::vector<int64_t> SendNotes(int count, QuantisedWriter& writer, Send send) {
  std::vector<int64_t> sentNs;
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int i = 0; i < count; ++i) {
    next.tv_nsec += kIntervalNs;
    while (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) != 0) {
    }
    uint8_t note[3] = {0x90, static_cast<uint8_t>(i & 0x7F), static_cast<uint8_t>(1 + (i >> 7 & 0x3F))};
    sentNs.push_back(platform::MonotonicNs());
    platform::MidiRecord r;
    r.length = 3;
    platform::MidiRingPush(writer.ring, r, note);
    send(note);
  }
  return sentNs;
}

// The note number i is carried in data 1 (low 7 bits) and data 2 (1 + the next 6 bits).
int NoteIndex(const std::vector<uint8_t>& bytes) {
  if (bytes.size() != 3 || bytes[0] != 0x90 || bytes[2] == 0) return -1;
  return bytes[1] | (bytes[2] - 1) << 7;
}

// Prints the round's figures from what the sink recorded. Only the bench's own notes count (an
// engine may send more, e.g. when its ports close); a note that did not arrive exactly once on a
// port leaves out the two intervals it belongs to there, and is counted.
bool Report(const char* round, const std::vector<int64_t>& sentNs, const std::vector<PeerEvent>& events,
            uint32_t rate, uint32_t period) {
  size_t n = sentNs.size();
  std::vector<int64_t> at[2] = {std::vector<int64_t>(n, -1), std::vector<int64_t>(n, -1)};
  size_t arrived[2] = {0, 0}, duplicated[2] = {0, 0};
  for (const PeerEvent& e : events) {
    int i = NoteIndex(e.bytes);
    if (i < 0 || static_cast<size_t>(i) >= n || e.port > 1) continue;
    int64_t& slot = at[e.port][static_cast<size_t>(i)];
    if (slot == -1) {
      slot = e.frame;
      ++arrived[e.port];
    } else {
      slot = -2;  // more than once: not used
      ++duplicated[e.port];
    }
  }
  std::printf("%s: %zu notes sent; arrived: %zu as built, %zu quantised; duplicated: %zu, %zu "
              "(period %u frames at %u Hz = %.2f ms)\n",
              round, n, arrived[0], arrived[1], duplicated[0], duplicated[1], period, rate, 1000.0 * period / rate);
  std::vector<double> sender, built, quantised;
  for (size_t i = 1; i < n; ++i) {
    double sent = static_cast<double>(sentNs[i] - sentNs[i - 1]) / 1e6;
    sender.push_back(std::fabs(sent - kIntervalNs / 1e6));
    for (int k = 0; k < 2; ++k) {
      if (at[k][i] < 0 || at[k][i - 1] < 0) continue;
      uint32_t frames = static_cast<uint32_t>(at[k][i]) - static_cast<uint32_t>(at[k][i - 1]);
      double interval = static_cast<double>(static_cast<int32_t>(frames)) * 1000.0 / rate;
      (k == 0 ? built : quantised).push_back(std::fabs(interval - sent));
    }
  }
  Print("sender's own error |send interval - 7.3 ms|", SpreadOf(sender));
  Print("(a) as built: |arrival - send interval|", SpreadOf(built));
  Print("(b) quantised to the cycle (baseline)", SpreadOf(quantised));
  return arrived[0] == n && arrived[1] == n && duplicated[0] == 0 && duplicated[1] == 0;
}

// Round 3: an engine plays a note every 50 ms to sink:a; the server is stopped for `stallSeconds`
// and the song stopped (command 5) as soon as it runs again.
bool StallRound(JackServer& server, double stallSeconds) {
  JackPeer sink;
  if (!sink.Open(server.name, "sink", {"a"}, {})) return false;
  LaunchedEngine engine;
  tovu::Client& client = engine.client;
  tovu::OpenPortsRequest request;
  request.outputDevices = {0};
  tovu::OpenPortsReply reply;
  if (!LaunchEngine(&engine) || !tovu::OpenPorts(client, request, &reply)) return false;
  tovu::SongBuilder song;  // 120 ticks a quarter at 120 a minute: a note every 50 ms (12 ticks)
  song.Tempo(0, 120);
  for (int32_t t = 0; t < 120 * 2 * 60; t += 12) {
    song.NoteOn(t, 0, 0, 0x3c, 0x64);
    song.NoteRelease(t + 6, 0, 0, 0x3c);
  }
  song.End(120 * 2 * 60);
  if (!tovu::LoadSong(client, song.Build()) || !tovu::Start(client, tovu::StartRequest{})) return false;
  tovu::PumpMessages(client, 1000);
  kill(server.pid, SIGSTOP);
  tovu::PumpMessages(client, static_cast<int>(stallSeconds * 1000));
  kill(server.pid, SIGCONT);
  uint64_t resumedUs = jack_get_time();
  tovu::Stop(client);
  tovu::PumpMessages(client, static_cast<int>(stallSeconds * 1000) + 2000);
  std::vector<PeerEvent> events = sink.Received();
  EndLaunchedEngine(&engine);
  // What the sink took from the first cycle after the stall on.
  size_t after = 0;
  while (after < events.size() && events[after].usecs < resumedUs) ++after;
  std::map<uint32_t, int> atFrame;
  for (size_t i = after; i < events.size(); ++i) ++atFrame[events[i].frame];
  int burst = 0;
  for (auto& [frame, n] : atFrame) burst = std::max(burst, n);
  double spanMs = after >= events.size() ? 0 : (events.back().frame - events[after].frame) * 1000.0 / sink.rate;
  std::printf("a server stopped for %.0f s, the song stopped as it ran again: %zu events after the stall, "
              "written over %.1f ms of the server's frames; at most %d at one frame\n",
              stallSeconds, events.size() - after, spanMs, burst);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: bench_jack [seconds per round]\n");
    return 2;
  }
  int count = static_cast<int>(seconds * 1e9 / kIntervalNs);

  JackServer server;
  server.watchForHang = false;  // runs as long as it is asked to
  if (!server.Start()) {
    std::fprintf(stderr, "bench_jack: no JACK server: %s\n", server.failure.c_str());
    return 1;
  }
  setenv("JACK_DEFAULT_SERVER", server.name.c_str(), 1);
  int status = 0;

  // Round 1: this process sends straight to the layer.
  {
    JackPeer sink;
    QuantisedWriter writer;
    if (!sink.Open(server.name, "sink", {"a", "b"}, {}) || !OpenWriter(writer, server.name, "sink:b")) {
      std::fprintf(stderr, "bench_jack: cannot set up the JACK clients\n");
      return 1;
    }
    setenv("TOVU_MIDI", "jack", 1);
    platform::MidiStartFromEnvironment();
    platform::MidiHandle out = 0;
    char name[64];
    if (platform::MidiOutName(0, name, sizeof name) != 0 || std::string(name) != "sink:a" ||
        platform::MidiOutOpen(0, &out) != 0) {
      std::fprintf(stderr, "bench_jack: cannot open sink:a through the jack service\n");
      return 1;
    }
    std::vector<int64_t> sent = SendNotes(count, writer, [&](const uint8_t* note) {
      platform::MidiOutShort(out, note[0] | note[1] << 8 | note[2] << 16);
    });
    std::vector<PeerEvent> events = sink.WaitReceived(2 * sent.size(), 5000);
    if (!Report("in process, straight to the layer", sent, events, sink.rate, sink.period)) status = 1;
    platform::MidiShutdown();
    jack_client_close(writer.client);
  }

  // Round 2: a client sends over the bus to an engine process.
  {
    JackPeer sink;
    QuantisedWriter writer;
    if (!sink.Open(server.name, "sink", {"a", "b"}, {}) || !OpenWriter(writer, server.name, "sink:b")) {
      std::fprintf(stderr, "bench_jack: cannot set up the JACK clients\n");
      return 1;
    }
    LaunchedEngine engine;
    tovu::Client& client = engine.client;
    tovu::OpenPortsRequest request;
    request.outputDevices = {0};
    tovu::OpenPortsReply reply;
    if (!LaunchEngine(&engine) || !tovu::OpenPorts(client, request, &reply) ||
        reply.outputResults[0] != 0) {
      std::fprintf(stderr, "bench_jack: cannot open sink:a through an engine\n");
      return 1;
    }
    std::vector<int64_t> sent = SendNotes(count, writer, [&](const uint8_t* note) {
      tovu::SendShort(client, tovu::PackEvent(note[0], note[1], note[2], 0));
    });
    std::vector<PeerEvent> events = sink.WaitReceived(2 * sent.size(), 5000);
    if (!Report("a client over the bus to an engine (command 18)", sent, events, sink.rate, sink.period)) status = 1;
    EndLaunchedEngine(&engine);  // the last client: the engine closes by itself
    jack_client_close(writer.client);
  }

  // Round 3: a server that stalls.
  if (!StallRound(server, 5)) {
    std::fprintf(stderr, "bench_jack: the stall round could not be set up\n");
    status = 1;
  }
  return status;
}
