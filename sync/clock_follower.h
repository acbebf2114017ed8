// Following an external MIDI clock: the receiver's transport, the song position the pulses give,
// and the tempo between pulses, estimated by a second-order delay-locked loop. A plain record fed
// (message, arrival time) pairs; it reads no clock and knows nothing of songs, so it runs in a test
// at any moments it is handed, and anything that yields pulses (MIDI input, a transport) can feed it.
//
// The transport, as the follower keeps it:
//
//   stopped --0xF2 (song position pointer): the pointer moves, a jump there--> stopped
//   stopped --0xFA: pointer 0, a jump there--> cued
//   stopped --0xFB: a jump to the pointer (none when the song stands there already, put there by a
//            jump since it last ran: a pointer followed by a continue chases once)--> cued
//   cued    --0xF8: the song is at the pointer's pulse from this pulse's arrival--> running
//   running --0xF8: one pulse on--> running
//   running --0xFA: a stop, then pointer 0 and a jump there--> cued
//   running or cued --0xFC: a stop; the pointer is the next pulse the song had not reached--> stopped
//   0xF8 while stopped, 0xFB while cued or running and 0xF2 while cued or running change nothing.
//
// Between pulses the song runs at the loop's estimate of the pulse period, from the loop's filtered
// time of the last pulse, but never past the next pulse's position: when that pulse is late the song
// waits for it there (no event runs on), and once no pulse has come for kClockLostMs the follower
// reports the clock lost until the next pulse.
//
// The loop (as audio servers follow a sound card's clock): with the period estimate e2 and the
// filtered times t0 of the last pulse and t1 of the next, a pulse that arrives at t with error
// e = t - t1 moves t0 = t1, t1 += b e + e2, e2 += c e, with b = sqrt(2) w and c = w^2 for a
// bandwidth w per pulse. The first pulse after a cue starts it with a guessed period, the second
// with the measured one, so the song locks at the second pulse; a pulse off by more than half a
// period (a clock that paused, a jump in tempo) restarts it there, its period kept until the next
// pulse measures one.
//
// Threads: the inbox has one producer (the MIDI input thread of the followed port) and one
// consumer (the scheduler); push and pop never allocate, lock or block. The follower itself
// belongs to its consumer.
#pragma once

#include <atomic>
#include <cstdint>

namespace midisync {

// One system message from the followed input: its status byte, data bytes (0xF2's two), and when
// it arrived. A source that knows positions finer than sixteenths (a transport) gives 0xF2 and 0xFB
// a pulse: the pointer is then that pulse, for 0xFB too (read only while stopped).
struct ClockMessage {
  uint8_t status = 0;
  uint8_t data1 = 0;
  uint8_t data2 = 0;
  int64_t pulse = -1;  // -1: none (0xF2's pointer is its data bytes')
  double timeMs = 0;
};

// Whether `status` is one the follower reads (0xF8, 0xFA, 0xFB, 0xFC, 0xF2).
bool IsFollowedMessage(uint8_t status);

constexpr uint32_t kClockInboxSize = 256;  // a power of two
struct ClockInbox {
  ClockMessage slots[kClockInboxSize];
  std::atomic<uint32_t> head{0};     // messages ever pushed
  std::atomic<uint32_t> tail{0};     // messages ever popped
  std::atomic<uint32_t> dropped{0};  // pushed onto a full inbox
};
// Producer: false (and counted) when the inbox is full.
bool PushClockMessage(ClockInbox& inbox, const ClockMessage& message);
// Consumer: the oldest message, false when none waits (or the oldest is timed after `notAfterMs`:
// it stays).
bool PopClockMessage(ClockInbox& inbox, ClockMessage* message, double notAfterMs = 1e300);
// Consumer: the time of the oldest message waiting, or +infinity.
double OldestClockMessageMs(const ClockInbox& inbox);
// Consumer, while no producer pushes: empties it.
void ClearClockInbox(ClockInbox& inbox);

// No pulse for this long while running: the clock is lost.
constexpr double kClockLostMs = 500.0;
// The loop's bandwidth, in radians per pulse: a tempo change is followed within about 24 pulses,
// and a pulse's jitter moves the estimate by about a fifth of it.
constexpr double kFollowBandwidth = 0.12;

// Just after a (re)start the loop is wider, kFollowStartBandwidth / sqrt(pulses since), narrowing
// to kFollowBandwidth, so that a first period measured from one jittered interval is soon corrected.
constexpr double kFollowStartBandwidth = 0.8;

enum FollowState : uint8_t { kFollowStopped = 0, kFollowCued = 1, kFollowRunning = 2 };

struct ClockFollower {
  FollowState state = kFollowStopped;
  int64_t pointer = 0;  // pulses: where the next start or continue begins
  int64_t pulse = 0;    // running: the last pulse received
  int32_t pulsesSinceCue = 0;
  double t0 = 0;        // the loop's time of the last pulse
  double t1 = 0;        // and its estimate of the next one's
  double e2 = 0;        // its period estimate
  double lastArrivalMs = 0;
  double reached = 0;   // the position handed out last (pulses): it never goes back while running
  bool placed = false;  // the song stands at the pointer: a jump put it there since it last ran
};

// What one message asks of the song: `stop` first releases what sounds, as a stop does; `jump`
// moves the song to pulse `to` with its state chased there; `run` anchors it at the pulse that came.
struct FollowStep {
  bool stop = false;
  bool jump = false;
  int64_t to = 0;
  bool run = false;
  bool pulse = false;  // a pulse moved a running song
};

// Applies one message. `guessMsPerPulse` is the period the first pulse after a cue assumes (the
// song's own tempo, say).
FollowStep FollowMessage(ClockFollower& f, const ClockMessage& message, double guessMsPerPulse);
// The song position in pulses at `nowMs`: while running, the last pulse plus the loop's estimate
// since it, held at the next pulse and never below a position handed out before (a song that runs
// behind the loop asks for times before the pulse that started it: it stands before that pulse
// until the loop's time of it); otherwise the pointer.
double FollowedPosition(ClockFollower& f, double nowMs);
// The furthest the song may go until the next pulse comes (pulses).
int64_t FollowLimit(const ClockFollower& f);
// The loop's period estimate (ms per pulse; 0 before the first pulse).
double FollowedMsPerPulse(const ClockFollower& f);
// Running, and no pulse since kClockLostMs.
bool ClockLost(const ClockFollower& f, double nowMs);

}  // namespace midisync
