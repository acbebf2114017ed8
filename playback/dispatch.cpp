// The wake-up's dispatch of due events: every event of the main image whose tick has come is
// applied (its state taken into the image, its message sent through its port's output stage), in
// order. An event for a port whose queue has no room holds the dispatch back, with everything after
// it, until that queue moves; a port merely pausing after a sysex message queues it and the other
// ports go on. Timer thread, under the scheduler lock.
#include <cmath>

#include "platform/midi.h"
#include "playback/chase.h"
#include "playback/scheduler.h"
#include "playback/song_image.h"

Dispatched DispatchDue(PlaybackState& p, int32_t current, bool holdAtEnd, double nowMs) {
  Dispatched d;
  StateImage& main = *p.main;
  uint32_t window = p.playingClient.load();
  for (;;) {
    const uint8_t* entry = main.eventCursor;
    int32_t tick = ReadI32(entry);
    uint32_t word = ReadU32(entry + kEventWordOffset);
    if (tick > current) break;
    uint32_t sysexBytes = 0, shortMessages = 0;
    int32_t port = EventOutputPort(main, word, &sysexBytes, &shortMessages);
    if (!StageTakes(*p.ports, port, shortMessages, sysexBytes, kOwnerPlayback)) {
      d.portMovesMs = StageNextMoveMs(*p.ports, port);
      if (d.portMovesMs <= nowMs) d.portMovesMs = nowMs + 1.0;  // its queue drains now: looked at again soon
      break;
    }
    // A playback that follows a master on the server's time places each event at its own time
    // there (follow.h), not later than now.
    if (p.follow.on && std::isfinite(p.follow.serverOffsetMs))
      platform::PlaceOnServerTime(std::fmin(TickDueTime(*p.clock, tick), nowMs) - p.follow.serverOffsetMs);
    if (ApplyEvent(*p.ports, *p.clock, tick, word, main, kOwnerPlayback) == kStageTooLong)
      PostNotification(p.outbox.bus, window, tovu::protocol::kNotifyFailed, tovu::protocol::kErrorMessageTooLong);
    if (EventCode(word) != kCodeEnd) {
      main.eventCursor = entry + kEventEntrySize;
      continue;
    }
    if (holdAtEnd) break;
    d.ended = true;
    d.endTick = tick;
    break;
  }
  return d;
}
