// The playback clock's anchoring. See clock.h.
//
// Threads: the main thread and the timer thread, as clock.h describes.
#include "playback/clock.h"

#include <cmath>

#include "platform/event.h"

double MsPerTick(int32_t ticksPerMinute, double tempoFactor) {
  double rate = static_cast<double>(ticksPerMinute) * tempoFactor;
  if (!(rate > 0.0) || !std::isfinite(rate)) rate = kDefaultTicksPerMinute;
  return 60000.0 / rate;
}

void AnchorClock(PlaybackClock& clock, int32_t tick, int32_t ticksPerMinute) {
  clock.anchorTime = platform::MillisecondClock();
  clock.anchorTick = tick;
  clock.msPerTick = MsPerTick(ticksPerMinute, clock.playbackTempoFactor);
}
