// Sync out: what a playback tells other devices and programs of where it is. MIDI clock (0xF8 at
// 24 pulses a quarter note, with start, continue, stop and the song position pointer) and MIDI time
// code (quarter frames and full frames) on the output ports chosen for them, and the JACK transport
// (started, stopped and located with the playback, and told the song's bar, beat and tempo). The
// scheduler drives it from its wake-ups, each message timed at its exact due time; while nothing
// plays, a timer of its own keeps the pulses going when that is asked for.
//
// A clock port's receiver, as the engine keeps it (one state per port):
//
//   stopped --a start or a jump to a position p: pointer to the first sixteenth s at or after p
//   (none for s = 0, or for p below 0, where s is 0); cued for pulse 6s--> cued
//   cued --pulse 6s: 0xFA (s = 0) or 0xFB, then 0xF8--> running
//   running --each pulse: 0xF8--> running
//   running --a jump the pulses do not follow (a wrap, a continue into another position or
//            resolution): 0xFC, then as from stopped--> cued
//   running or cued --stop, end, departure, teardown, the port no longer chosen: 0xFC when
//            running--> stopped
//   stopped or cued --each pulse, when pulses run while stopped: 0xF8 (which moves no receiver)
//
// So a receiver that counts pulses from 0xFA or 0xFB, and takes the pointer, is at the song's
// position at every pulse it runs on; between a jump off a sixteenth and the next sixteenth it
// waits, cued, without a pulse that could move it.
//
// Time code: from a start or jump the time code runs with real time from the song's time there
// (the tempo map to that tick, at the tempo factor then). A full frame goes out at the first frame
// at or after it, and quarter frames from the first even frame on. Nothing runs before tick 0. A
// tempo factor change moves no receiver: the code goes on with real time until the next jump.
//
// The JACK transport, while its timebase is ours (one state for the engine):
//
//   idle --a start or jump to p >= 0: located to p's song time at the jump's frame, started--> rolling
//   idle --a start or jump to p < 0: located to 0--> waiting
//   waiting --tick 0 due: located to 0 at its frame, started--> rolling
//   rolling --a jump (a wrap, a continue, a seek): located anew--> rolling
//   rolling or waiting --stop, end, the flag cleared, teardown: stopped--> idle
//
// Between locates the transport's frame runs with real time; its bar, beat, tick and tempo come
// from the timeline below, which follows the playback's clock (tempo map and factor) and meter.
//
// Threads: the scheduler's steps (timer thread, and the main thread's start, stop and tempo factor)
// hold the scheduler lock and take the sync lock under it; the idle pulses' timer (timer thread)
// and the main thread's choice of ports take the sync lock alone. Under the sync lock only the
// output stages' locks (and the timer table's, to arm the pulses while stopped); the transport's
// start, stop and locate, which libjack takes without blocking, are asked under it. The JACK
// transport's timebase reads the timeline on JACK's real-time thread without a lock (a sequence
// counter, as the playback clock's).
#pragma once

#include <atomic>
#include <cstdint>

#include "locks/locks.h"
#include "platform/timer.h"
#include "ports/ports.h"
#include "protocol/payloads.h"
#include "sync/pulses.h"
#include "sync/timecode.h"

// What one port sends (SyncOut::what), as the settings name it.
constexpr uint8_t kSyncClock = tovu::protocol::kSyncOutClock;
constexpr uint8_t kSyncTimecode = tovu::protocol::kSyncOutTimecode;

// The playback's timeline as the JACK timebase reads it: the spans of song position the clock was
// anchored for, newest last, each valid from `fromMs` on.
struct TimelineSpan {
  std::atomic<double> fromMs{0};
  std::atomic<double> anchorMs{0};
  std::atomic<double> anchorTick{0};
  std::atomic<double> msPerTick{1};  // 0: the position stands still (stopped)
  std::atomic<int32_t> ticksPerBeat{120};
  std::atomic<int32_t> numerator{4};
  std::atomic<int32_t> denominatorPower{2};
  std::atomic<int32_t> barOriginTick{0};  // a bar begins here ...
  std::atomic<int32_t> barsBefore{0};     // ... and this many lie before it
  std::atomic<double> beatsPerMinute{120};
};
constexpr int kTimelineSpans = 8;
struct Timeline {
  std::atomic<uint32_t> sequence{0};  // odd while a writer changes it
  std::atomic<uint32_t> written{0};   // spans written so far (the newest at (written - 1) mod 8)
  TimelineSpan spans[kTimelineSpans];
};

struct SyncOut {
  Mutex lock ACQUIRED_BEFORE(PortStage::lock);
  Ports* ports = nullptr;
  platform::TimerService* timers = nullptr;  // null once the teardown has begun

  // The settings (main thread, under the lock).
  uint8_t what[kMaxPorts] GUARDED_BY(lock) = {};  // by output port index: kSyncClock | kSyncTimecode
  bool runWhileStopped GUARDED_BY(lock) = false;
  midisync::MtcRate rate GUARDED_BY(lock) = midisync::kMtc25;
  double idleMsPerPulse GUARDED_BY(lock) = 0;  // the settings' tempo while stopped; 0: the last playback's
  bool timebaseHeld GUARDED_BY(lock) = false;  // the JACK transport's timebase is ours
  // The playback follows the JACK transport: it neither starts, stops nor locates it (the timebase
  // still tells the song's bar, beat and tempo).
  bool transportFollowed GUARDED_BY(lock) = false;
  uint8_t held[kMaxPorts] = {};  // the ports this record holds open (main thread)

  // The clock's receivers and the pulse grid.
  uint8_t receiver[kMaxPorts] GUARDED_BY(lock) = {};  // by port: stopped, cued, running, joining
  int64_t cueAt[kMaxPorts] GUARDED_BY(lock) = {};     // the pulse a cued receiver starts on
  bool playing GUARDED_BY(lock) = false;
  int32_t ticksPerSixteenth GUARDED_BY(lock) = 30;
  int64_t nextPulse GUARDED_BY(lock) = 0;        // the next pulse the playback sends
  int64_t passEnd GUARDED_BY(lock) = midisync::kNoTickLimit;  // no pulse at or past this tick (a loop's end, the song's end)
  double lastPulseMs GUARDED_BY(lock) = 0;
  double msPerPulse GUARDED_BY(lock) = 60000.0 / (120 * 24);  // the last tempo, for the pulses while stopped
  uint64_t idleTimer GUARDED_BY(lock) = 0;  // the pulse while stopped armed next; 0 none
  double idleDueMs GUARDED_BY(lock) = 0;

  // Time code.
  bool timecodeOn GUARDED_BY(lock) = false;
  double timecodeOriginMs GUARDED_BY(lock) = 0;  // the moment the time code reads 0
  int64_t fullFrame GUARDED_BY(lock) = -1;       // the full frame still to send; -1 none
  int64_t nextQuarter GUARDED_BY(lock) = 0;      // the next quarter frame
  uint8_t timecodeFresh[kMaxPorts] GUARDED_BY(lock) = {};  // chosen while it runs: a full frame first

  // The JACK transport: rolling, or to roll once the song reaches tick 0.
  bool rolling GUARDED_BY(lock) = false;
  bool rollAtZero GUARDED_BY(lock) = false;

  // The bars: a bar begins at barOriginTick (the last time signature), barsBefore lie before it.
  int32_t barOriginTick GUARDED_BY(lock) = 0;
  int32_t barsBefore GUARDED_BY(lock) = 0;
  int32_t ticksPerBar GUARDED_BY(lock) = 480;
  // The loop start's place (song time at factor 1, bars), walked once at the start and at a switch.
  bool loopPlaceValid GUARDED_BY(lock) = false;
  double loopStartMs GUARDED_BY(lock) = 0;
  int32_t loopBarOriginTick GUARDED_BY(lock) = 0;
  int32_t loopBarsBefore GUARDED_BY(lock) = 0;
  uint32_t publishedClock GUARDED_BY(lock) = 0;  // the clock's sequence when the timeline was last written

  // Written under the lock, read by the timebase without it.
  Timeline timeline;
};

// ---- Main thread ----

// Takes `settings` (ports by device id; those no port has are dropped): opens the ports newly
// chosen and closes those no longer chosen (a running receiver is stopped first), starts or ends
// the pulses while stopped, and takes or gives up the JACK transport's timebase.
void SetSyncOut(SyncOut& sync, const tovu::SyncOutSettings& settings) EXCLUDES(sync.lock);
// The settings as they stand (device ids).
tovu::SyncOutSettings SyncOutSettingsOf(SyncOut& sync) EXCLUDES(sync.lock);
// The settings store's (Dev<n>\ClkOut, Dev<n>\MtcOut, ClkRun, ClkBpm, MtcRate, JackTrn).
tovu::SyncOutSettings SyncOutSettingsFromStore(const Ports& ports);
// Before a start: the pulses while stopped end (their timer cancelled; never under the sync lock).
void StopIdlePulses(SyncOut& sync) EXCLUDES(sync.lock);
// Teardown (after the playback has stopped): the pulses while stopped end for good, the transport
// stops and its timebase is given up.
void EndSyncOut(SyncOut& sync) EXCLUDES(sync.lock);

// Before a start (scheduler lock held): whether the playback follows the JACK transport.
void SetTransportFollowed(SyncOut& sync, bool followed) EXCLUDES(sync.lock);

// The JACK timebase (JACK's real-time thread): the position due at `dueMs`.
bool SyncTimebase(void* sync, double dueMs, platform::TransportPosition* out);
