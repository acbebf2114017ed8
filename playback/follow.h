// An external position driving the playback: the scheduler's side of following a clock. Whatever
// yields transport and pulses (the MIDI input of the followed port; a transport follower could feed
// the same inbox) pushes ClockMessages into ClockIn::inbox; every wake-up of a following playback
// takes them in order, and the follower (sync/clock_follower.h) says what each asks of the song:
//
//   a start or a playback that follows begins held: the state chased at its start tick, the clock
//     held there (no event runs on), waiting for the master;
//   a jump (0xFA, 0xFB, 0xF2 while stopped) seeks the song to the pulse's tick and sounds the
//     difference of the state there at once, before the first pulse;
//   a run (the first pulse after a cue) and every pulse anchor the clock at the pulse's tick, at the
//     loop's period, so events between pulses fall at their estimated time;
//   a stop (0xFC) releases what sounds exactly as a stop does and holds the clock;
//   no pulse for kClockLostMs while running holds the clock at the next pulse's tick and posts the
//     clock-lost notification (lParam 1); the next pulse posts it again with lParam 0.
//
// The song position is the follower's, never ahead of the next pulse, and never goes back while
// running. A wake-up comes at least every kFollowPollMs while following, so a message waits at most
// that long in the inbox; pulses are timed by their arrival, not by when they are taken.
//
// Threads: the inbox's producer is the MIDI input thread (it reads `port` to know whether to push);
// everything else runs under the scheduler lock (a start on the main thread, wake-ups on the timer
// thread).
#pragma once

#include <atomic>
#include <cstdint>

#include "sync/clock_follower.h"

// While following, a wake-up comes at least this often.
constexpr double kFollowPollMs = 1.0;

// What the input thread shares with a following playback: nothing but atomics.
struct ClockIn {
  midisync::ClockInbox inbox;
  std::atomic<int32_t> port{-1};  // the input port followed; -1 none
};

// The playback's side of following (PlaybackState::follow, under the scheduler lock).
struct Following {
  bool on = false;
  bool lostReported = false;
  int32_t heldTick = 0;  // where the clock is held while the follower does not run
  midisync::ClockFollower follower;
};

// Whether a message from input port `port` is for the follower (its status one it reads); pushes
// it when it is. Input thread; never blocks or allocates.
bool OfferClockInput(ClockIn& in, int32_t port, uint32_t message, double arrivalMs);

// A start that follows input port `port`, once BeginPlayback has chased the images to `tick`: the
// clock is held there, the follower stopped with its pointer at `tick`.
// BeginFollowing, EndFollowing and FollowUntil, which work on the playback, are declared in
// scheduler.h.
