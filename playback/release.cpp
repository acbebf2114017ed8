// What a playback leaves sounding, released from the ports' ledgers: used by a stop, an end, a
// switch and a followed clock's stop alike, so it sits below all of them.
#include <algorithm>

#include "playback/scheduler.h"
#include "playback/state_image.h"

using namespace tovu::protocol;

void LiftPedalsNotHeld(Ports& ports, const StateImage& state) {
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    uint16_t keep[3] = {};
    for (uint32_t channel = 0; channel < 16 && i * 16 + static_cast<int32_t>(channel) < state.snapshotCount; ++channel) {
      const ChannelSnapshot& snapshot = SnapshotOf(state, static_cast<uint32_t>(i), channel);
      for (int k = 0; k < 3; ++k)
        if (snapshot.controllers[kPedals[k]] != kNone7) keep[k] |= static_cast<uint16_t>(1u << channel);
    }
    LiftPedals(ports, i, kOwnerPlayback, keep);
  }
}

void ReleasePlayback(PlaybackState& p) {
  Ports& ports = *p.ports;
  for (Owner owner : {kOwnerPlayback, kOwnerClick, kOwnerEcho}) DropQueued(ports, owner);
  StateImage* main = p.main;
  uint8_t counted[kActivityPerPort];
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    const uint8_t* atLeast = nullptr;
    if (main && main->snapshots && (i + 1) * 16 <= main->snapshotCount) {
      for (uint32_t at = 0; at < static_cast<uint32_t>(kActivityPerPort); ++at) {
        const NoteStack& stack = SnapshotOf(*main, static_cast<uint32_t>(i), at >> 7).notes[at & 127];
        counted[at] = static_cast<uint8_t>(std::min<int>(stack.count, kNoteStackDepth));
      }
      atLeast = counted;
    }
    ReleaseStrikes(ports, i, kOwnerPlayback, atLeast);
    ReleaseStrikes(ports, i, kOwnerClick);
    ReleaseStrikes(ports, i, kOwnerEcho);
  }
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    LiftPedals(ports, i, kOwnerPlayback);
    LiftPedals(ports, i, kOwnerEcho);
  }
  // What the main image counted is released: a later release (the stop after an end) finds nothing.
  if (main && main->snapshots)
    for (int32_t i = 0; i < main->snapshotCount; ++i)
      for (NoteStack& stack : main->snapshots[i].notes) stack.count = 0;
}
