// An external position driving the playback: the scheduler's side of following a clock. The MIDI
// input of the followed port pushes ClockMessages into ClockIn::inbox; every wake-up of a following
// playback takes them in order, and the follower (sync/clock_follower.h) says what each asks of the
// song. A playback that follows the JACK transport instead makes the same messages itself at each
// wake-up, from the transport as the jack service last saw it (see "The JACK transport" below):
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
// running. A wake-up comes at least every kFollowPollMs while following, and at the time of the next
// message. Pulses are timed by their arrival, not by when they are taken, but taken `delayMs` after
// it: the longest the input layer may take to hand them over (MidiInputDelayMs, a JACK period and
// its poll) and a margin for the wake-up. So the events at a pulse's tick are sent at their time
// rather than whenever the pulse came through, and a service that places output by its send time
// (jack) writes every event at its exact frame. The song then runs lagMs behind the loop's time
// of the pulses (kClockJitterMarginMs), so that a master's jitter is not passed on: the whole song a
// constant delayMs + lagMs behind the master. Input a take records is stamped by the same clock,
// that much later (the transport's messages are timed on the output's time: its input is stamped a
// JACK period earlier).
//
// The server's time. A master inside JACK keeps to the server's frames, and so does everything the
// engine writes there; but a driver's frames may fall behind the engine's clock (a stall, a slow
// driver: by tens of milliseconds on a busy machine), and a loop run on the engine's clock would take
// that for the master's tempo wandering. So the follower runs on the server's time (the frames, as
// the service reports them beside the transport, TransportState::mediaMs): a message is stamped on
// it as it comes, and each wake-up reads where it stands now, and anchors the playback clock there,
// through the difference between the two as the service last saw it (MediaOffsetMs); and what a
// wake-up sends is placed on the server's time too (platform::PlaceOnServerTime), each event at its
// own time, so that it lands on the frame the loop meant however late the wake-up came or the cycle
// that writes it runs. A service without such a
// time reports none: the difference is 0.
//
// The JACK transport. Its position is its frame: the song's time frame / rate from the song's start,
// by the song's own tempo map (tempo factor 1; bar, beat and tick are not read), so any client that
// starts, stops or locates it leads, timebase master or not. Each run of the transport the service
// reports without a break (a segment: it started, stopped or was located) begins with messages at
// the segment's first frame:
//
//   following a running or cued song: 0xFC (what sounds is released as a stop releases it);
//   located while stopped: 0xF2 for the first pulse at or after it, when the song's pointer is not
//     there already (a jump with the state chased there); a transport that has just stopped leaves
//     the song where it stopped, nothing sounding, its place taken when it rolls again;
//   rolling from a position: 0xFB for the first pulse at or after it (a jump there, cued);
//
// and while it rolls, each pulse's 0xF8 is made once its time has come, timed exactly at the time
// its frame gives (the frame of the pulse's song time, on the engine's clock through the service's
// latest cycle). A transport the service has not seen for kTransportStaleMs (a server that went)
// gives no pulses: the song holds and the clock is reported lost, as a MIDI clock that stops.
//
// Threads: the inbox's producer is the MIDI input thread (it reads `port` to know whether to push);
// the transport is read through atomics (readTransport); everything else runs under the scheduler
// lock (a start on the main thread, wake-ups on the timer thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "platform/midi.h"
#include "playback/song_image.h"
#include "sync/clock_follower.h"

// While following, a wake-up comes at least this often.
constexpr double kFollowPollMs = 1.0;
// The port a playback follows when it follows the JACK transport (never an input's index).
constexpr int32_t kTransportClock = -3;
// A transport last seen longer ago than this gives no pulses.
constexpr double kTransportStaleMs = 250.0;
// Beyond the input layer's own delay, pulses are taken this much later: the wake-up's margin.
constexpr double kClockTakeMarginMs = 1.0;
// A song that follows a MIDI clock runs this much behind the loop's time of its pulses, so that a
// pulse up to this much later than the loop expects (a master's jitter) still comes before the song
// reaches its tick: the notes there keep the loop's steady time rather than the pulse's. (The
// transport's pulses come exactly at their frames: no margin.)
constexpr double kClockJitterMarginMs = 2.0;

// What the input thread shares with a following playback: nothing but atomics.
struct ClockIn {
  midisync::ClockInbox inbox;
  std::atomic<int32_t> port{-1};  // the input port followed; -1 none; kTransportClock
  // Set before a start that follows (main thread): pulses are taken this long after they arrive,
  // and output is written this long after it is sent.
  std::atomic<double> delayMs{0};
  std::atomic<double> outputDelayMs{0};
  // How the JACK transport is read (platform::MidiTransportRead; a test's own); null: it cannot be.
  bool (*readTransport)(platform::TransportState* out) = nullptr;
};

// A playback's side of following the JACK transport.
struct TransportFollow {
  bool seen = false;      // a segment has been taken
  uint32_t segment = 0;   // the last one taken
  bool rolling = false;   // it rolls: pulses are made
  int64_t nextPulse = 0;  // the next pulse to make
  double lastMs = 0;      // the time of the last message made
  double nextPulseMs = 1e300;  // when the next pulse is due (rolling)
  TempoWalk walk;         // the song's time of the pulses
};

// The playback's side of following (PlaybackState::follow, under the scheduler lock).
struct Following {
  bool on = false;
  bool lostReported = false;
  int32_t heldTick = 0;  // where the clock is held while the follower does not run
  double lagMs = 0;      // how far the song runs behind the loop: kClockJitterMarginMs or 0
  midisync::ClockFollower follower;
  TransportFollow transport;
  double nextMessageMs = 1e300;  // when the next message waiting (or the transport's next pulse) is due
  // The engine's clock's lead over the server's time at this wake-up; NaN: the service has none.
  double serverOffsetMs = std::numeric_limits<double>::quiet_NaN();
};

// How far the engine's clock is ahead of the server's time (NowMs's time less the server's, at the
// service's latest cycle); 0 when the service has none. Any thread; never blocks.
double MediaOffsetMs(const ClockIn& in);

// Whether a message from input port `port` is for the follower (its status one it reads); pushes
// it when it is, stamped on the server's time. Input thread; never blocks or allocates.
// `arrivalServerMs` is its arrival on the server's time when the service knows it (NaN: from
// `arrivalMs`, through MediaOffsetMs).
bool OfferClockInput(ClockIn& in, int32_t port, uint32_t message, double arrivalMs,
                     double arrivalServerMs = std::numeric_limits<double>::quiet_NaN());

// When input that arrived at `arrivalMs` (`arrivalServerMs` on the server's time, NaN when unknown)
// arrived on the engine's clock as a following playback keeps it: through the server's time while
// one follows (so that a take lands where the song was), else `arrivalMs`. Input thread.
double ArrivalOnFollowedClock(const ClockIn& in, double arrivalMs, double arrivalServerMs);

// A start that follows input port `port` (or kTransportClock), once BeginPlayback has chased the images to `tick`: the
// clock is held there, the follower stopped with its pointer at `tick`.
// BeginFollowing, EndFollowing and FollowUntil, which work on the playback, are declared in
// scheduler.h.
