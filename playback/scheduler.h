// The one playback the engine runs at a time: its state, the steps its start, continue and stop are
// made of (the commands themselves, which reach other subsystems too, are the host's:
// host/playback_commands.cpp), and the scheduler that the timer service calls once per one-shot
// wake-up (playback/wake.cpp; its dispatch of due events is playback/dispatch.cpp, its choice of the
// next wake-up playback/next_wake.cpp).
//
// The playback's life:
//
//            start (type 21)                       wake-ups, each arming the next
//   idle ---------------------> starting -------> playing <---------------------------+
//    ^    (1626 sent; nested     (seek, replay,     |   |  continue (type 22): 1626;  |
//    |     starts refused)       anchor, arm)       |   |  once answered, a wake-up   |
//    |                                              |   +--> 1 ms later switches -----+
//    |                                              |
//    |                                              |  song end, a continue whose loop the
//    |                                              v  switched-to song refuses, or a timer
//    |                                            ended    that cannot be armed (timer thread:
//    |                                              |      notes silenced at once)
//    |   stop (command 5, a port close,             |
//    +-- unregistration, the teardown) from   <-----+  the self-posted end of its serial (main
//        playing, or ended (then 1625 and 12 first)    thread: the stop)
//
// Every start and every stop takes a new serial. A wake-up acts only when its timer id is the one
// armed last; a self-posted end and a published position act only for the serial they carry. So a
// wake-up, a stop or a position that outlived its playback never touches the next one. Once a
// wake-up has found the end, the end wins: nothing is armed again, and a continue or a tempo factor
// that comes before the main thread has finished the end is ignored.
//
// The end of a playback never waits on a client or on the idle notifier: the wake-up that finds it
// closes the position gate and silences the outputs itself, then posts the end to the main thread,
// which queues the final position 1625, notification 12, the last activity report and notification
// 5 for the client without waiting for any answer.
//
// What a wake-up reaches above playback (the recorder's echo and pass ends, the notifier's
// positions) it reaches through PlaybackHooks, which the host fills in; the metronome, the ports and
// the images it works on are pointed to from PlaybackState, set by the host at the set-up.
//
// Threads: the main thread runs the commands; the timer thread runs SchedulerWakeUp. The scheduler
// lock keeps them apart: a wake-up holds it for its whole run, and each command holds it for its
// critical steps; nobody holds it across a send to a client window or while cancelling a timer
// (a cancel waits out a wake-up in flight, which may be waiting for the lock). The fields other
// threads read without the lock (the playing and recording clients, the loop bounds, the current
// tick, the serial, the position gate) are atomics.
//
// Time is handed in: every function that reads the clock takes `nowMs` (NowMs's scale), so a test
// can run the scheduler in process at any moment it likes, late wake-ups included.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "locks/locks.h"
#include "platform/timer.h"
#include "playback/clock.h"
#include "playback/follow.h"
#include "playback/metronome.h"
#include "playback/song_slots.h"
#include "playback/state_image.h"
#include "playback/sync_out.h"
#include "ports/ports.h"
#include "protocol/payloads.h"
#include "protocol/protocol.h"
#include "status/notifier.h"
#include "status/outbox.h"

constexpr int32_t kNoLoopEnd = tovu::protocol::kLoopEndOpen;
// A continue's progress (PlaybackState::pending): accepted and its start message on its way to the
// client, whose handler may still load the song to switch to (wake-ups meanwhile play on, and hold
// at the song's end rather than end it); then due, its own wake-up armed, which switches songs.
constexpr int32_t kNoContinue = 0;
constexpr int32_t kContinueAnnounced = 2;
constexpr int32_t kContinueDue = 3;
// Engine-internal message that carries the stop a playback posts for itself: wParam its serial,
// lParam the playing client's window.
constexpr uint32_t kPlaybackEndMessage = 0x8001;

// What a playback reaches above itself, filled in by the host; each is called with `context`. All
// are called on the timer thread inside a wake-up (under the scheduler lock), except armRecording
// (the main thread, at a start).
struct PlaybackHooks {
  void* context = nullptr;
  // A recording's start, once the clock is anchored: the take begins at `start` with `countIn`
  // ticks counted in, and captures system-exclusive input when asked.
  void (*armRecording)(void* context, int32_t start, int32_t countIn, bool captureSysex) = nullptr;
  // The loop echo of a recording: plays what earlier passes recorded in [from, to) and returns the
  // next recorded tick (see EchoRecorded).
  int32_t (*echo)(void* context, int32_t from, int32_t to) = nullptr;
  // A recording's loop wrap: ends the pass at `loopEnd` and re-anchors the clock so that `loopStart`
  // falls at `dueMs`, as one step with the stamping of input (see RecordWrap).
  void (*recordWrap)(void* context, int32_t loopEnd, double dueMs, int32_t loopStart, int32_t ticksPerMinute) = nullptr;
  // A recording's pass ended by a switch to the next song, at `tick`.
  void (*recordPassEnd)(void* context, int32_t tick) = nullptr;
  // A new position step for the playing client (the notifier sends it).
  void (*publish)(void* context, int32_t position, uint32_t serial, uint32_t window) = nullptr;
};

struct PlaybackState {
  // The scheduler lock: first of the engine's locks (the metronome's and the position lock are
  // taken under it; thru's and the recorder's name it themselves).
  Mutex lock ACQUIRED_BEFORE(Metronome::lock, Notifier::positionLock, SyncOut::lock, PortStage::lock);

  std::atomic<uint32_t> playingClient{0};
  std::atomic<uint32_t> recordingClient{0};
  std::atomic<uint32_t> serial{0};
  // The serial of the playback whose positions may still reach its client; 0 once it has ended or
  // stopped (see BusGate).
  std::atomic<uint32_t> positionGate{0};
  // A start or a stop in progress on the main thread (the window it is for). While it sends to a
  // client, handlers nested in that send see it: a start is refused, and a next-slot load from the
  // starting client goes to the next slot as it would once the song plays. Main thread only.
  uint32_t starting = 0;
  uint32_t stopping = 0;

  std::atomic<int32_t> currentTick{0};
  std::atomic<int32_t> loopOn{0};
  std::atomic<int32_t> loopStart{0};
  std::atomic<int32_t> loopEnd{kNoLoopEnd};

  SongSlots* slots GUARDED_BY(lock) = nullptr;     // the playing client's song slots (they outlive the playback)
  const uint8_t* song GUARDED_BY(lock) = nullptr;  // the song image the playback images point into
  int32_t lastStep GUARDED_BY(lock) = -1;          // kept from one playback to the next
  int32_t pending GUARDED_BY(lock) = 0;            // kNoContinue, kContinueAnnounced or kContinueDue
  // How the playback ended on the timer thread, for the main thread to finish: kRunning while it
  // plays; kEndedAt with its final position, kEndedUnarmed (no timer could be armed) and
  // kEndedRefused (a continue's loop that the switched-to song cannot play).
  int32_t endKind GUARDED_BY(lock) = 0;
  int32_t finalPosition GUARDED_BY(lock) = 0;
  std::vector<uint8_t> endActivity GUARDED_BY(lock);    // the activity table as the end found it (sized at the start)
  tovu::StartRequest pendingRequest GUARDED_BY(lock);  // the continue's request
  int32_t echoPosition GUARDED_BY(lock) = 0;
  uint64_t timer GUARDED_BY(lock) = 0;       // the armed wake-up; 0 none
  double timerDueMs GUARDED_BY(lock) = 0;    // when it is due
  // What it was armed for, when armed by ArmWakeUp (a tempo factor change arms it again): the
  // earlier of a song position and a time (0 none).
  double wakePosition GUARDED_BY(lock) = 0;
  double wakeByMs GUARDED_BY(lock) = 0;
  bool wakeRearmable GUARDED_BY(lock) = false;
  double lastWakeMs GUARDED_BY(lock) = 0;    // when the last wake-up ran
  double passBeganMs GUARDED_BY(lock) = 0;   // when the running loop pass began (a start, a switch, a wrap)
  // The timer period a start began (main thread: taken at the start, given back at the stop).
  uint32_t timerPeriod = 1;
  bool periodBegun = false;
  // Songs taken out of their slots while the playback images may still point into them; freed by
  // the main thread once the scheduler has let go of them (song_slots.h).
  RetiredSongs retired GUARDED_BY(lock);

  platform::TimerService* timers = nullptr;

  // What the playback works on, set by the host at the set-up (the images null without any output
  // port: nothing can play then).
  PlaybackClock* clock = nullptr;
  StateImage* main = nullptr;          // the playing position; its cursor is the next event
  StateImage* loopImage = nullptr;     // the state at the loop start
  StateImage* scratchStart = nullptr;  // a switch's new main state, built before it is taken
  StateImage* scratchLoop = nullptr;   // a switch's new loop-start state
  Ports* ports = nullptr;
  Metronome* metronome = nullptr;
  SyncOut* sync = nullptr;  // MIDI clock, time code and the JACK transport (null: none)
  ClockIn* clockIn = nullptr;  // the input an external clock comes from (null: none can be followed)
  Following follow GUARDED_BY(lock);  // this playback follows an external clock (playback/follow.h)
  Outbox outbox;
  PlaybackHooks hooks;
};

enum EndKind : int32_t { kRunning = 0, kEndedAt = 1, kEndedUnarmed = 2, kEndedRefused = 3 };

// ---- The steps of the commands (main thread) ----

// The loop bounds a start or continue would play: the loop must begin before its effective end (the
// song's end when the request leaves the end open).
bool LoopIsValid(const tovu::StartRequest& request, const uint8_t* song);
// What a start needs of the client that starts.
struct StartingClient {
  uint32_t window = 0;
  SongSlots* songs = nullptr;
  double tempoFactor = 1.0;
  bool captureSysex = false;  // its input flags ask for system-exclusive input
  int32_t clockInPort = -1;   // the input port whose MIDI clock it follows (-1: its own clock;
                              // kTransportClock: the JACK transport)
};
// Once the start message has gone out: seeks the images to the start (and
// the count-in before it), replays the chased state, anchors the clock, arms the recording and the
// first wake-up. False when the playback ends at once (nothing to play from there, or no timer).
bool BeginPlayback(PlaybackState& p, const StartingClient& client, const tovu::StartRequest& request, double nowMs)
    REQUIRES(p.lock);
// Takes what a stop needs off the state and ends the playback for the
// scheduler, before anything is sent (no wake-up plays after the releases).
struct HaltedPlayback {
  uint32_t recordingClient = 0;
  uint64_t timer = 0;  // the wake-up to cancel, outside the lock
  int32_t endKind = kRunning;
  int32_t finalPosition = 0;
};
HaltedPlayback HaltPlayback(PlaybackState& p) REQUIRES(p.lock);
// Releases what the playback leaves sounding (the playback's, the click's
// and the loop echo's, by the ledger), withdrawing what of theirs still waits in the ports' queues.
void ReleasePlayback(PlaybackState& p) REQUIRES(p.lock);
// Takes a continue's request and marks it announced (false when a continue
// is pending already or the playback has ended: ignored).
bool AnnounceContinue(PlaybackState& p, const tovu::StartRequest& request) REQUIRES(p.lock);
// Once the continue's start message has been answered: arms its switch a
// millisecond later. False when no timer could be armed (the playback then ends); *replaced is the
// wake-up to cancel outside the lock.
bool ArmContinue(PlaybackState& p, double nowMs, uint64_t* replaced) REQUIRES(p.lock);
// A cancel waits out a wake-up in flight, which waits for the lock.
void CancelWakeUp(PlaybackState& p, uint64_t timer) EXCLUDES(p.lock);
// The playback `serial` of `window` posts its own stop, after notification 12 when `ended`.
void PostEnd(PlaybackState& p, uint32_t serial, uint32_t window, bool ended);
// Copy-data 23 for the playing client: the clock goes on from the exact position reached at the new
// speed, and the wake-up armed for a tick is armed again for it.
void SetPlaybackTempoFactor(PlaybackState& p, double factor, double nowMs) EXCLUDES(p.lock);

// ---- Timer thread ----

// The timer service's callback (its context the PlaybackState): SchedulerWakeUpAt with the clock
// read now.
void SchedulerWakeUp(void* playback, uint64_t timerId);
void SchedulerWakeUpAt(PlaybackState& p, uint64_t timerId, double nowMs) EXCLUDES(p.lock);

// ---- The wake-up's parts (playback only) ----

// What the dispatch of due events found: the playback ended (at the end marker's tick), it holds at
// a song's end for a continue, or a port's full queue held it back (until `portMovesMs`).
struct Dispatched {
  bool ended = false;
  int32_t endTick = 0;
  bool held = false;
  double portMovesMs = 0;
};
// Applies every event of the main image that has come due by `current`, in order. The cursor rests
// on the end marker of a loop or a recording that runs past the song's end (`holdAtEnd`).
Dispatched DispatchDue(PlaybackState& p, int32_t current, bool holdAtEnd, double nowMs) REQUIRES(p.lock);
// Arms the next wake-up for the earliest of the next step, the next event, the echo's next entry
// (`echoNext`; an echo out of budget goes on a millisecond later), the loop end and a held port's
// move. False when no timer could be armed.
bool ArmNextWake(PlaybackState& p, int32_t current, int32_t echoNext, bool holdAtEnd, double portMovesMs,
                 double nowMs) REQUIRES(p.lock);
// Arms a wake-up for `dueMs` (and for `tick`, when by tick: a tempo factor
// change re-arms it).
bool ArmAt(PlaybackState& p, double dueMs) REQUIRES(p.lock);
bool ArmWakeUp(PlaybackState& p, double position, double byMs, double nowMs) REQUIRES(p.lock);
// The playback has ended on the timer thread (`kind`, at `position` for kEndedAt): positions stop,
// the outputs are silenced at once, and the end is posted to the main thread.
void EndFromTimer(PlaybackState& p, EndKind kind, int32_t position, uint32_t serial, uint32_t window)
    REQUIRES(p.lock);
// A wake-up that found the song's end while a continue's start message is still with its client
// holds the playback there, a millisecond at a time (true when held, or ended for want of a timer).
bool HoldForContinue(PlaybackState& p, uint32_t serial, uint32_t window, double nowMs) REQUIRES(p.lock);
// The switch of a continue that is due (false when the playback ended with it), and the loop wrap
// at `dueMs` (WrapDueTime: a pass lasts at least kMinLoopPassMs).
bool SwitchSongs(PlaybackState& p, uint32_t serial, uint32_t window, double nowMs) REQUIRES(p.lock);
double WrapDueTime(PlaybackState& p, double nowMs) REQUIRES(p.lock);
void Wrap(PlaybackState& p, double dueMs) REQUIRES(p.lock);
int32_t PositionStep(const PlaybackState& p);
int64_t FloorDiv(int64_t a, int64_t b);

// ---- Sync out's steps (playback/sync_out.cpp), under the scheduler lock ----

// A start, once the clock is anchored at `nowMs` for p.currentTick and the loop is taken.
void BeginSync(PlaybackState& p, double nowMs) REQUIRES(p.lock);
// The position jumped to `tick` at `atMs` (a wrap, or a continue's switch to `newSong`; the clock
// anchored anew). A switch whose pulses go on where they were keeps the receivers running:
// `pulsesFollow`.
void JumpSync(PlaybackState& p, int32_t tick, double atMs, bool pulsesFollow, bool newSong) REQUIRES(p.lock);
// Whether, after a continue's switch to the position `tick`, the pulses go on unbroken: the same
// resolution, and the last pulse sent the one at or just after `tick` (the switch drops the
// fraction of a tick the clock had reached).
bool PulsesFollow(PlaybackState& p, int32_t tick) REQUIRES(p.lock);
// Sends what is due by `untilMs`: the pulses before the pass's end, the time code, a transport
// that starts at tick 0.
void SyncUntil(PlaybackState& p, double untilMs) REQUIRES(p.lock);
// When sync out wants the next wake-up: at a song position (*position) and by a time (*byMs, 0
// none). False when no position is wanted.
bool NextSyncDue(PlaybackState& p, double* position, double* byMs) REQUIRES(p.lock);
// The playback has stopped or ended at `atMs`: running receivers are stopped, the time code and
// the transport stop, and the pulses while stopped begin.
void EndSync(PlaybackState& p, double atMs) REQUIRES(p.lock);
// The clock was anchored anew or the meter changed: the JACK timebase learns it from `fromMs` on.
void PublishTimeline(PlaybackState& p, double fromMs) REQUIRES(p.lock);
// After a wake-up's dispatch: PublishTimeline from the clock's anchor, when a tempo event anchored
// it anew or a time signature changed the meter.
void RefreshTimeline(PlaybackState& p) REQUIRES(p.lock);

// Lifts, on every port, the pedals the playback holds down that `state` does not hold (where it
// sets a pedal, its value is sent by the replay).
void LiftPedalsNotHeld(Ports& ports, const StateImage& state);

// ---- Following an external clock (playback/follow.cpp) ----

// A start that follows input port `port`, once BeginPlayback has chased the images to `tick`: the
// clock is held there and the follower stopped with its pointer at `tick`.
void BeginFollowing(PlaybackState& p, int32_t port, int32_t tick) REQUIRES(p.lock);
// A stop or an end: no port is followed any more.
void EndFollowing(PlaybackState& p) REQUIRES(p.lock);
// The wake-up's part: takes what waits in the inbox (releases, jumps, anchors) and returns the
// song's tick at `nowMs`.
int32_t FollowUntil(PlaybackState& p, double nowMs, uint32_t window) REQUIRES(p.lock);

// ---- Song slots (playback/song_slots.cpp) ----

// Main thread (taking the scheduler lock): copy-data 19 empties both slots and puts `song` (null:
// none) in the current one; copy-data 20 while the client plays empties the next slot and puts it
// there. The slot owns the song from here.
void FillCurrentSlot(PlaybackState& playback, SongSlots& slots, uint8_t* song, uint32_t size) EXCLUDES(playback.lock);
void FillNextSlot(PlaybackState& playback, SongSlots& slots, uint8_t* song, uint32_t size) EXCLUDES(playback.lock);
// Main thread, a departure: empties both slots (taking the scheduler lock).
void FreeSongSlots(PlaybackState& playback, SongSlots& slots) EXCLUDES(playback.lock);
// Main thread: frees a song taken out of a slot, or, when the playback may still point into it,
// keeps it until the playback has let go of it.
void ReleaseSong(PlaybackState& playback, uint8_t* song) REQUIRES(playback.lock);
// Main thread: frees the retired songs the playback no longer uses.
void FreeRetiredSongs(PlaybackState& playback) REQUIRES(playback.lock);
// Timer thread: the switch of a continue makes the next song current, retiring the old current
// song. Nothing changes when the next slot is empty.
void TakeNextSong(PlaybackState& playback, SongSlots& slots) REQUIRES(playback.lock);
