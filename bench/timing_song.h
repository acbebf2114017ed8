// The song both timing benchmarks play (bench_timing.cpp on Linux, win32/bench_timing.cpp on
// Windows): events at irregular ticks with tempo changes, one logged line each, and each event's
// ideal time after the clock's anchoring (the start's replayed controller, logged just before).
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "client/song_builder.h"

namespace bench {

struct Scheduled {
  std::vector<uint8_t> image;
  std::vector<double> idealMs;  // in log order: events are strictly increasing in tick
};

// The logged text of the controller the start replays, which marks the anchoring.
constexpr const char* kAnchorLine = "data out0 b0 07 64";

inline Scheduled IrregularSong(double seconds) {
  Scheduled out;
  tovu::SongBuilder s;
  s.ticksPerQuarter = 480;  // 120 ticks per sixteenth
  s.Controller(-1, 0, 0, 7, 100);  // replayed at the start, just before the clock is anchored
  std::mt19937 rng(7);
  int32_t tick = 0;
  double ms = 0;
  uint32_t qpm = 120;
  s.Tempo(0, qpm);
  int32_t lastTempoTick = 0;
  double lastTempoMs = 0;
  auto msAt = [&](int32_t t) { return lastTempoMs + (t - lastTempoTick) * 60000.0 / (qpm * 4.0 * 120); };
  int note = 0;
  while (ms < seconds * 1000) {
    tick += 7 + static_cast<int32_t>(rng() % 340);
    if (rng() % 40 == 0) {  // a tempo change, on its own tick
      lastTempoMs = msAt(tick);
      lastTempoTick = tick;
      qpm = 60 + rng() % 180;
      s.Tempo(tick, qpm);
      tick += 1 + static_cast<int32_t>(rng() % 50);
    }
    ms = msAt(tick);
    s.Controller(tick, 0, 1, 20 + note % 10, note % 128);  // one logged line per event
    out.idealMs.push_back(ms);
    ++note;
  }
  s.End(tick + 10);
  out.image = s.Build();
  return out;
}

}  // namespace bench
