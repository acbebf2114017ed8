// The engine record: every piece of engine-wide state, gathered in one place that EngineMain owns.
// Each subsystem keeps its own record here; functions take the narrowest one they need, so that a
// test can build a fresh engine in process. The locks inside these records, the threads that take
// them and their order are written down in host/locking.h.
#pragma once

#include <cstdint>
#include <vector>

#include "client/protocol.h"
#include "clients/clients.h"
#include "host/locking.h"
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
// Copy-data 13: the ports the client holds are closed, the requested ones opened, thru and the
// metronome set again, and the reply (type 13) sent.
void OpenClientPorts(Engine& engine, uint32_t window, const uint8_t* request);
// Copy-data 14: the client's playback stops, thru and the click end, its ports close, and it is
// told (notification 14).
void CloseClientPorts(Engine& engine, uint32_t window);
// Copy-data 23 and 25: the tempo factor and input filter, and what follows them.
void SetTempoFactor(Engine& engine, uint32_t window, const uint8_t* payload);
void SetInputFilter(Engine& engine, uint32_t window, const uint8_t* payload);
// Teardown: every client's song slots are freed and it is told the engine is going (14, lParam 1).
void EndEveryClient(Engine& engine);
