// The engine record: every piece of engine-wide state, gathered in one place that EngineMain owns.
// Each subsystem keeps its own record here; functions take the narrowest one they need, so that a
// test can build a fresh engine in process.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "client/protocol.h"
#include "clients/clients.h"
#include "platform/bus.h"
#include "playback/clock.h"
#include "playback/metronome.h"
#include "playback/scheduler.h"
#include "playback/state_image.h"
#include "ports/ports.h"
#include "recording/recording.h"
#include "status/notifier.h"

// The message catalogue's numbers and codes, shared with the client library.
using namespace tovu::protocol;

constexpr uint32_t kAuditionTimerId = 1000;
constexpr uint32_t kHeldSendTimerId = 1001;

// A direct send (main thread) held back because its port is still in its pause after a sysex, or
// behind another held send for the same port: a short message (`word`), or a sysex when `sysex`
// is not empty.
struct HeldSend {
  int32_t port = 0;
  uint32_t word = 0;
  std::vector<uint8_t> sysex;
};

// The one audition the engine holds: its events (empty when none is held; an empty audition
// releases nothing either) and its release timer, the engine window's timer kAuditionTimerId.
// Beside each event, the handle its port had when it was sent: a port closed since then has
// released its notes, and a port opened again since is not sent a release for them.
struct Audition {
  std::vector<uint32_t> list;
  std::vector<uint32_t> handles;
  int32_t holdTimeMs = 300;
};

enum StateImageRole { kMainImage, kLoopStartImage, kScratchStartImage, kScratchLoopImage, kThruImage, kImageCount };

struct Engine {
  platform::Bus* bus = nullptr;  // the engine window
  uint32_t window = 0;

  Ports ports;
  platform::Event activityEvent;
  Audition audition;
  std::deque<HeldSend> held;  // main thread; sent in order by the window timer kHeldSendTimerId

  ClientTable clients;
  Watcher watcher;

  StateImage* images[kImageCount] = {};
  PlaybackClock clock;
  PlaybackState playback;
  Notifier notifier;

  // Written on the main thread under the metronome's or thru's lock; read by the timer and MIDI
  // input threads (and the notifier, for the thru owner).
  std::atomic<int32_t> metronomePort{-1};  // output port index the metronome holds open
  std::atomic<int32_t> thruPort{-1};       // output port index thru holds open
  std::atomic<uint32_t> thruOwner{0};
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

// Posting and sending to a client window.
void PostNotification(Engine& engine, uint32_t window, uint32_t code, uint32_t lParam);
int32_t SendCopyData(Engine& engine, uint32_t window, uint32_t type, const void* data, uint32_t size);

// ---- Audition and direct sends ----

void SendShortList(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events);
void StartAudition(Engine& engine, uint32_t window, uint32_t size, const uint8_t* events);
void ReleaseAudition(Engine& engine);
void SendDirectSysex(Engine& engine, uint32_t size, const uint8_t* bytes, uint32_t port);
// A short message from the main thread (command 18, lists, the audition): sent now, or held while
// its port pauses after a sysex (0 is returned then). Returns the output path's result.
int32_t SendDirectShort(Engine& engine, uint32_t event);
// Window timer kHeldSendTimerId: sends the held messages whose port is free, in order, and sets the
// timer again for the rest. With `all` (the teardown), sends every one at once.
void SendHeld(Engine& engine, bool all);
