// The one playback the engine runs at a time: its state, its start, continue and stop commands, and
// the scheduler that the timer service calls once per one-shot wake-up.
//
// The playback's life:
//
//            start (type 21)                       wake-ups, each arming the next
//   idle ---------------------> starting -------> playing <---------------------------+
//    ^    (1626 sent; nested     (seek, replay,     |   |  continue (type 22): pending, |
//    |     starts refused)       anchor, arm)       |   |  a wake-up 1 ms later         |
//    |                                              |   +--> switches songs -----------+
//    |          stop (command 5, a port close,      |
//    +--------- unregistration, the teardown, or   <+  song end / a timer that cannot be
//               the self-posted stop of its own        armed: the notifier sends the last
//               serial)                                position, notification 12 and the
//                                                      self-posted stop
//
// Every start and every stop takes a new serial. A wake-up acts only when its timer id is the one
// armed last; a self-posted stop and a published position act only for the serial they carry. So a
// wake-up, a stop or a position that outlived its playback never touches the next one.
//
// Threads: the main thread runs the commands; the timer thread runs SchedulerWakeUp. The scheduler
// lock keeps them apart: a wake-up holds it for its whole run, and each command holds it for its
// critical steps; nobody holds it across a send to a client window (the 1626 start message, the
// activity report, the take), so handlers nested inside those sends can run the commands again. The
// fields other threads read without the lock (the playing and recording clients, the loop bounds,
// the current tick, the serial) are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/timer.h"

struct ClientRecord;
struct Engine;

constexpr int32_t kNoLoopEnd = 0x7FFFFFFF;
constexpr int kRetiredSongCapacity = 16;
// Engine-internal message that carries the stop a playback posts for itself: wParam its serial,
// lParam the playing client's window.
constexpr uint32_t kPlaybackEndMessage = 0x8001;

struct PlaybackState {
  std::mutex lock;  // the scheduler lock

  std::atomic<uint32_t> playingClient{0};
  std::atomic<uint32_t> recordingClient{0};
  std::atomic<uint32_t> serial{0};
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
  ClientRecord* record = nullptr;   // the playing client's record (it outlives the playback)
  const uint8_t* song = nullptr;    // the song image the playback images point into
  int32_t lastStep = -1;            // kept from one playback to the next
  int32_t pending = 0;              // 0 nothing, 3 continue pending
  uint8_t pendingRequest[32] = {};
  int32_t echoPosition = 0;
  uint64_t timer = 0;               // the armed wake-up; 0 none
  int32_t wakeTick = 0;             // the tick it was armed for (when armed by tick)
  bool wakeByTick = false;
  double lastWakeMs = 0;            // when the last wake-up ran
  uint32_t timerPeriod = 1;
  bool periodBegun = false;
  // Songs taken out of their slots while the playback images may still point into them; freed by
  // the main thread once the scheduler has let go of them.
  uint8_t* retired[kRetiredSongCapacity] = {};
  int retiredCount = 0;

  platform::TimerService* timers = nullptr;
};

// ---- Commands (main thread) ----

// Copy-data 21 and 22; the payload is the 32-byte start request.
void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* request);
void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* request);
// Command 5: 1 when `window` is not the playing client or not registered, else 0 (stopped).
int32_t StopPlayback(Engine& engine, uint32_t window);
// The self-posted stop of the playback with `serial`.
void EndPlayback(Engine& engine, uint32_t serial, uint32_t window);
void SetPlaybackTempoFactor(Engine& engine, double factor);

// Main thread, under the scheduler lock: frees a song taken out of a slot, or, when the playback may
// still point into it, keeps it until the playback has let go of it.
void ReleaseSong(PlaybackState& playback, uint8_t* song);
// Main thread, under the scheduler lock: frees the retired songs the playback no longer uses.
void FreeRetiredSongs(PlaybackState& playback);

// ---- Timer thread ----

void SchedulerWakeUp(void* engine, uint64_t timerId);
