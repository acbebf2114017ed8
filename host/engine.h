// The engine record: every piece of engine-wide state, gathered in one place that EngineMain owns.
// Each subsystem keeps its own record here and takes only that record (and the narrow records of
// what it calls down into), so that a test builds just the record it needs. The host is the only
// code that sees the whole: it wires the records together at the set-up (the pointers and hooks
// each keeps) and runs the commands that reach across subsystems. The locks inside these records,
// the threads that take them and their order are written down in locks/locks.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "protocol/protocol.h"
#include "clients/clients.h"
#include "locks/locks.h"
#include "platform/bus.h"
#include "playback/clock.h"
#include "playback/metronome.h"
#include "playback/scheduler.h"
#include "playback/state_image.h"
#include "ports/audition.h"
#include "ports/ports.h"
#include "recording/recording.h"
#include "status/notifier.h"

// The message catalogue's numbers and codes, shared with the client library.
using namespace tovu::protocol;

enum StateImageRole { kMainImage, kLoopStartImage, kScratchStartImage, kScratchLoopImage, kThruImage, kImageCount };

// Engine-internal message posted by the MIDI service's change handler: the devices changed, and the
// main thread follows them (FollowDeviceChanges).
constexpr uint32_t kDevicesChangedMessage = 0x8002;

struct Engine {
  platform::Bus* bus = nullptr;  // the engine window
  uint32_t window = 0;

  Ports ports;
  platform::Event activityEvent;
  Audition audition;

  ClientTable clients;
  Watcher watcher;

  StateImage* images[kImageCount] = {};
  PlaybackClock clock;
  PlaybackState playback;
  Notifier notifier;

  Metronome metronome;
  Recording recording;
  SyncOut sync;
  ClockIn clockIn;  // the external clock a playback follows (its inbox is fed by the MIDI input thread)

  // Devices that come and go: a change is posted once until the main thread has looked
  // (kDevicesChangedMessage).
  std::atomic<bool> devicesChangePosted{false};

  bool setUp = false;
  bool tornDown = false;
};

// ---- Host ----

// The process entry: returns the exit status.
int EngineMain();
// Set-up at window creation; false when a table cannot be allocated.
bool SetUpEngine(Engine& engine);
// Teardown at WM_CLOSE / WM_DESTROY; runs once, later calls do nothing.
void TearDownEngine(Engine& engine);
// The window procedure: routes one message to its handler and returns its result.
int32_t EngineWindowProc(Engine& engine, const platform::BusMessage& message);

// ---- A client's life (host/client_life.cpp) ----

// Command 0: registers `window` (0 also when it is registered already, 1 when no process owns it or
// memory runs out).
int32_t RegisterClient(Engine& engine, uint32_t window);
// Command 1, whatever ended the client (its own request, its process's end, its window closing):
// the client's departure. 1 when `window` is not registered, else 0.
int32_t UnregisterClient(Engine& engine, uint32_t window);
// Main thread, from the bus: the window's connection has closed. A registered client is then
// unregistered through a posted engine command 1, as the watcher would have it (which it may still
// also do; the later of the two finds nothing to do). The watcher runs at idle priority and can be
// kept waiting by any busy process; this keeps dead clients from piling up meanwhile.
void NoteWindowClosed(Engine& engine, uint32_t window);
// Whose the sends of `window` are in the ports' ledgers: its client's owner when it is registered,
// else nobody in particular.
Owner OwnerOfWindow(Engine& engine, uint32_t window);
// Copy-data 13: the ports the client holds are closed, the requested ones opened, thru and the
// metronome set again, and the reply (type 13) sent.
void OpenClientPorts(Engine& engine, uint32_t window, const uint8_t* request);
// Copy-data 14: the client's playback stops, thru and the click end, its ports close, and it is
// told (notification 14).
void CloseClientPorts(Engine& engine, uint32_t window);
// Copy-data 23 and 25: the tempo factor and input filter, and what follows them.
void SetTempoFactor(Engine& engine, uint32_t window, const uint8_t* payload);
void SetInputFilter(Engine& engine, uint32_t window, const uint8_t* payload);
// Copy-data 29 and 30: thru's and the metronome's settings (kept, and set again at every port open).
void SetThruFrom(Engine& engine, uint32_t sender, const uint8_t* payload);
void SetMetronomeFrom(Engine& engine, const uint8_t* payload);
// Command 15: the metronome settings, as copy-data 31 to `window`.
int32_t ReplyMetronomeSettings(Engine& engine, uint32_t window);
// Copy-data 34 and command 33 (additions): the sync-out settings, taken and told.
void SetSyncOutFrom(Engine& engine, const uint8_t* payload, uint32_t size);
int32_t ReplySyncOutSettings(Engine& engine, uint32_t window);
// Copy-data 36 (an addition): the input device whose clock the client's next playbacks follow.
void SetClockInFrom(Engine& engine, uint32_t window, const uint8_t* payload);
// Teardown: every client's song slots are freed and it is told the engine is going (14, lParam 1).
void EndEveryClient(Engine& engine);

// ---- Devices that come and go (host/device_changes.cpp) ----

// The MIDI service's change handler (its context the Engine): posts kDevicesChangedMessage to the
// engine window unless one is posted already. Any thread.
void NoteDevicesChanged(void* engine);
// kDevicesChangedMessage: the port tables follow the devices; the state images grow with the output
// table; a returning output is published under the scheduler lock with the playing song's state at
// the current position replayed to it, before the playback's next event for it; a returning input a
// recording captures from gets its capture buffer again; every client is told each change
// (notification 33).
void FollowDeviceChanges(Engine& engine);
// Command 33: the port states, as copy-data 33 to `window`.
int32_t ReplyPortStates(Engine& engine, uint32_t window);

// ---- The playback commands (host/playback_commands.cpp) ----

// Copy-data 19 and 20: a song into the client's current slot, or its next one while it plays.
void LoadSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes);
void LoadNextSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes);
// Copy-data 21: the start. The form with `nowMs` takes the clock as given (tests).
void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* payload);
void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* payload, double nowMs);
// Copy-data 22: the continue with the next song.
void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* payload);
void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* payload, double nowMs);
// Command 5 (and every other stop: a port close, a departure, the teardown): 1 when `window` is not
// the playing client, else 0 once everything the playback left sounding is released, every client
// told, and a recording's take delivered.
int32_t StopPlayback(Engine& engine, uint32_t window);
// The end a playback posted for itself (kPlaybackEndMessage): the stop, for that serial only.
void EndPlayback(Engine& engine, uint32_t serial, uint32_t window);
// At the stop of a recording playback, after its notes were silenced: forgets the sounding click and
// (when the listening client changes back) the notes thru holds, hands the take to `window`
// (copy-data type 28) and frees the recording; a recording that lost input (a full take, a
// system-exclusive message past the block table or cut at the capture buffer's size) is followed by
// notification 10 with error 12.
void DeliverTake(Engine& engine, uint32_t window);
