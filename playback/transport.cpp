// Stopping a playback and changing its tempo factor. Until the scheduler exists nothing plays, so
// a stop finds no playing client.
#include "host/engine.h"

int32_t StopPlayback(Engine& engine, uint32_t window) {
  if (window == 0 || engine.playback.playingClient.load() != window) return 1;
  if (FindClient(engine.clients, window) < 0) return 1;
  return 0;
}

void SetPlaybackTempoFactor(Engine& engine, double factor) { engine.clock.playbackTempoFactor = factor; }
