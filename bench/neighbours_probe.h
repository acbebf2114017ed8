// The well-behaved client of the neighbours benchmarks (bench_neighbours on Linux, its Windows build
// under wine): what it asks of the engine while others misbehave, and what it got.
//
// It plays a song of one note every 125 ms on output 0 for a given time and then lets it end by
// itself; meanwhile, every 50 ms, it sends command 3 (timed to its answer) and posts command 18 with
// a note-off of its own on output 1 (timed from the post to the line in the virtual log). Figures:
//   - command: command 3's round trip;
//   - posted note: post to log line, matched by the note-off's note and velocity;
//   - song error: each song note's log time against the first one's plus k x 125 ms, less the median
//     of those offsets;
//   - end late: notification 12's arrival against the song's end on that grid.
// All in milliseconds, from the platform's monotonic clock (the one the virtual log writes).
// Header only; the test thread only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/spread.h"
#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "platform/event.h"

namespace bench {

struct ProbeFigures {
  Spread command;
  Spread posted;
  Spread song;
  bool ended = false;        // notification 12 came
  double endLateMs = 0;      // a recording probe stops its song itself: none
  size_t commandsFailed = 0;  // no answer within the client's limit
  size_t postsLost = 0;       // posted and never in the log
  size_t postsRefused = 0;    // the post itself failed (the system's queue was full, say)
  bool recorded = false;      // a recording probe (it stops its song itself)
  size_t takeBytes = 0;       // a recording probe: the take's size (0: none came)
  bool takeError = false;     // a recording probe: notification 10 came after the stop
  std::string note;           // what went wrong setting up, if anything
};

inline void PrintHeader() {
  std::printf("%-34s %-24s %-24s %-24s %s\n", "attack", "command p50/p99/max ms", "posted note p50/p99/max",
              "song error p50/p99/max", "end late ms");
}

inline std::string Three(const Spread& s) {
  if (s.n == 0) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f/%.2f/%.1f", s.p50, s.p99, s.max);
  return text;
}

inline void PrintRow(const std::string& name, const ProbeFigures& f) {
  char end[32];
  if (f.recorded)
    std::snprintf(end, sizeof end, "(stopped)");
  else if (!f.ended)
    std::snprintf(end, sizeof end, "never");
  else
    std::snprintf(end, sizeof end, "%.1f", f.endLateMs);
  std::printf("%-34s %-24s %-24s %-24s %s", name.c_str(), Three(f.command).c_str(), Three(f.posted).c_str(),
              Three(f.song).c_str(), end);
  if (f.commandsFailed) std::printf("  (%zu commands unanswered)", f.commandsFailed);
  if (f.postsLost) std::printf("  (%zu posts lost)", f.postsLost);
  if (f.postsRefused) std::printf("  (%zu posts refused by the system)", f.postsRefused);
  if (!f.note.empty()) std::printf("  [%s]", f.note.c_str());
  std::printf("\n");
  std::fflush(stdout);
}

constexpr int kNoteSpacingMs = 125;
constexpr int kProbeTickMs = 50;

// "<ns> data out0 90 3c 64": time and text of each line of the virtual log.
struct LogLine {
  int64_t ns = 0;
  std::string text;
};

inline std::vector<LogLine> ReadLog(const std::string& path) {
  std::vector<LogLine> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream is(line);
    LogLine l;
    is >> l.ns;
    std::getline(is >> std::ws, l.text);
    if (!l.text.empty() && l.text.back() == '\r') l.text.pop_back();
    lines.push_back(l);
  }
  return lines;
}

// The song: note 0x3c on output port 0 every 125 ms (released after 60 ms) for `seconds`, then its
// end. 120 ticks per quarter at 120 quarters per minute: 240 ticks a second, 30 ticks a note.
inline std::vector<uint8_t> ProbeSong(double seconds, int32_t* lengthMs) {
  tovu::SongBuilder song;
  song.Tempo(0, 120);
  int32_t notes = static_cast<int32_t>(seconds * 1000 / kNoteSpacingMs);
  for (int32_t k = 0; k < notes; ++k) {
    song.NoteOn(k * 30, 0, 0, 0x3c, 0x64);
    song.NoteRelease(k * 30 + 14, 0, 0, 0x3c);
  }
  song.End(notes * 30);
  *lengthMs = notes * kNoteSpacingMs;
  return song.Build();
}

// What the probe does between its timed requests; `tick` runs every 50 ms with the time since the
// start in ms (the benchmark's hook to start or stop an attack at a moment of the run).
struct ProbeOptions {
  double seconds = 6;
  bool record = false;                         // the song records from input 0 (needs it open)
  std::function<void(int64_t sinceStartMs)> tick;
};

// Runs the probe on a registered client that has output devices 0 and 1 open (and input 0 when
// recording); `logPath` is the engine's virtual log.
inline ProbeFigures RunProbe(tovu::Client& c, const std::string& logPath, const ProbeOptions& options) {
  ProbeFigures f;
  int32_t lengthMs = 0;
  if (!tovu::LoadSong(c, ProbeSong(options.seconds, &lengthMs))) {
    f.note = "the song was not taken";
    return f;
  }
  tovu::StartRequest start;
  start.recordOn = options.record ? 1 : 0;
  if (!tovu::Start(c, start)) {
    f.note = "the start was not taken";
    return f;
  }
  int64_t startNs = platform::MonotonicNs();
  std::vector<double> commandMs;
  std::vector<int64_t> postedAt;
  int64_t endedNs = -1;
  int64_t giveUpNs = startNs + static_cast<int64_t>(lengthMs + 20000) * 1000000;
  int64_t nextTick = startNs;
  bool stopped = false;
  while (platform::MonotonicNs() < giveUpNs) {
    int64_t now = platform::MonotonicNs();
    if (endedNs < 0 && now >= nextTick) {
      nextTick += static_cast<int64_t>(kProbeTickMs) * 1000000;
      if (options.tick) options.tick((now - startNs) / 1000000);
      int64_t asked = platform::MonotonicNs();
      int32_t result = 0;
      if (tovu::Send(c, tovu::kEngineCommand, tovu::kCommandAuditionHoldTime, 0, &result, 10000))
        commandMs.push_back(static_cast<double>(platform::MonotonicNs() - asked) / 1e6);
      else if (++f.commandsFailed == 3) {
        f.note = "gave up after 3 commands went unanswered";
        break;
      }
      uint32_t k = static_cast<uint32_t>(postedAt.size());
      postedAt.push_back(platform::MonotonicNs());
      // A post the system refused never reached the engine: counted apart from one it lost.
      if (!tovu::Post(c, tovu::kEngineCommand, tovu::kCommandSendShort, tovu::PackEvent(0x8F, k % 128, (k / 128) % 128, 1))) {
        postedAt.pop_back();
        ++f.postsRefused;
      }
    }
    // A recording goes on past the song's end until it is stopped: the probe stops it there.
    if (options.record && !stopped && endedNs < 0 && now >= startNs + static_cast<int64_t>(lengthMs) * 1000000) {
      endedNs = platform::MonotonicNs();
      int32_t result = 0;
      tovu::Send(c, tovu::kEngineCommand, tovu::kCommandStop, c.window, &result, 30000);
    }
    if (!tovu::PumpMessages(c, 5)) break;
    for (tovu::NotificationInfo n : tovu::TakeNotifications(c)) {
      if (n.code == tovu::kNotifyEnded && endedNs < 0) endedNs = platform::MonotonicNs();
      if (n.code == tovu::kNotifyFailed && stopped) f.takeError = true;
      if (n.code == tovu::kNotifyStopped && n.lParam == tovu::kNotifyOwn) stopped = true;
    }
    for (const tovu::Message& m : tovu::TakeCopyData(c, tovu::kCopyTake)) f.takeBytes = m.payload.size();
    c.inbox.clear();
    // After the end: a little longer for the stop, the take and the last posted notes.
    if (endedNs >= 0 && platform::MonotonicNs() > endedNs + 1500 * 1000000LL && (!options.record || f.takeBytes > 0 ||
                                                                                   f.takeError ||
                                                                                   platform::MonotonicNs() > endedNs + 5000 * 1000000LL))
      break;
  }

  std::vector<LogLine> log = ReadLog(logPath);
  std::vector<int64_t> song;
  std::vector<int64_t> seen(postedAt.size(), -1);
  for (const LogLine& l : log) {
    if (l.text == "data out0 90 3c 64") song.push_back(l.ns);
    unsigned note = 0, velocity = 0;
    if (std::sscanf(l.text.c_str(), "data out1 8f %x %x", &note, &velocity) == 2) {
      size_t k = velocity * 128 + note;
      // The k-th post, or the one 16384 posts on that shares its bytes: the first not yet seen.
      while (k < seen.size() && seen[k] >= 0) k += 128 * 128;
      if (k < seen.size()) seen[k] = l.ns;
    }
  }
  std::vector<double> postedMs, songMs;
  for (size_t k = 0; k < postedAt.size(); ++k) {
    if (seen[k] < 0) {
      ++f.postsLost;
      if (getenv("TOVU_PROBE_DEBUG"))
        std::fprintf(stderr, "lost post %zu of %zu at %.1f ms (ended at %.1f ms)\n", k, postedAt.size(),
                     static_cast<double>(postedAt[k] - startNs) / 1e6, static_cast<double>(endedNs - startNs) / 1e6);
    } else
      postedMs.push_back(static_cast<double>(seen[k] - postedAt[k]) / 1e6);
  }
  // Each note's offset from the grid anchored at the first note, and its distance from their median
  // (a constant offset, such as the first note's own lead, is not an error).
  std::vector<double> offsets;
  for (size_t k = 0; k < song.size(); ++k)
    offsets.push_back(static_cast<double>(song[k] - song[0]) / 1e6 - static_cast<double>(k) * kNoteSpacingMs);
  double median = SpreadOf(offsets).p50;
  for (double o : offsets) songMs.push_back(std::fabs(o - median));
  f.command = SpreadOf(commandMs);
  f.posted = SpreadOf(postedMs);
  f.song = SpreadOf(songMs);
  f.recorded = options.record;
  f.ended = endedNs >= 0 && !song.empty() && !options.record;
  if (f.ended) f.endLateMs = static_cast<double>(endedNs - song[0]) / 1e6 - median - static_cast<double>(lengthMs);
  return f;
}

}  // namespace bench
