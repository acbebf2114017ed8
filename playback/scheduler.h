// The one playback the engine runs at a time: its state, its start, continue and stop commands, and
// the scheduler that the timer service calls once per one-shot wake-up.
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
#include <mutex>
#include <vector>

#include "client/protocol.h"
#include "platform/timer.h"
#include "playback/song_slots.h"

struct Engine;

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

struct PlaybackState {
  std::mutex lock;  // the scheduler lock

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

  // Under the scheduler lock.
  SongSlots* slots = nullptr;       // the playing client's song slots (they outlive the playback)
  const uint8_t* song = nullptr;    // the song image the playback images point into
  int32_t lastStep = -1;            // kept from one playback to the next
  int32_t pending = 0;              // kNoContinue, kContinueAnnounced or kContinueDue
  // How the playback ended on the timer thread, for the main thread to finish: kRunning while it
  // plays; kEndedAt with its final position, kEndedUnarmed (no timer could be armed) and
  // kEndedRefused (a continue's loop that the switched-to song cannot play).
  int32_t endKind = 0;
  int32_t finalPosition = 0;
  std::vector<uint8_t> endActivity;  // the activity table as the end found it (sized at the start)
  uint8_t pendingRequest[32] = {};
  int32_t echoPosition = 0;
  uint64_t timer = 0;               // the armed wake-up; 0 none
  double timerDueMs = 0;            // when it is due
  int32_t wakeTick = 0;             // the tick it was armed for (when armed by tick)
  bool wakeByTick = false;
  double lastWakeMs = 0;            // when the last wake-up ran
  double passBeganMs = 0;           // when the running loop pass began (a start, a switch, a wrap)
  uint32_t timerPeriod = 1;
  bool periodBegun = false;
  // Songs taken out of their slots while the playback images may still point into them; freed by
  // the main thread once the scheduler has let go of them (song_slots.h).
  RetiredSongs retired;

  platform::TimerService* timers = nullptr;
};

enum EndKind : int32_t { kRunning = 0, kEndedAt = 1, kEndedUnarmed = 2, kEndedRefused = 3 };

// ---- Commands (main thread) ----

// Copy-data 21 and 22; the payload is the 32-byte start request. Without `nowMs` the clock is read
// when the start message has been answered (the start) or when the continue arms its switch.
void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* request);
void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* request, double nowMs);
void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* request);
void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* request, double nowMs);
// Command 5: 1 when `window` is not the playing client, else 0 (stopped). The playing client's
// playback stops even when its client record is already gone. After an end found by a wake-up,
// the client is first sent the final position and notification 12.
int32_t StopPlayback(Engine& engine, uint32_t window);
// The self-posted end of the playback with `serial`.
void EndPlayback(Engine& engine, uint32_t serial, uint32_t window);
void SetPlaybackTempoFactor(Engine& engine, double factor);
void SetPlaybackTempoFactor(Engine& engine, double factor, double nowMs);

// ---- Timer thread ----

// The timer service's callback: SchedulerWakeUpAt with the clock read now.
void SchedulerWakeUp(void* engine, uint64_t timerId);
void SchedulerWakeUpAt(Engine& engine, uint64_t timerId, double nowMs);
