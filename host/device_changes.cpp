// Devices that come and go, as the engine follows them. The MIDI service notices (today: a line of
// the virtual control FIFO) and runs the change handler on its own thread; the handler only
// posts to the engine window, and the main thread looks:
//
//   service thread: change --> NoteDevicesChanged --posts once--> kDevicesChangedMessage
//   main thread:    FollowDeviceChanges:
//     1. the port tables follow the devices (ports/port_life.cpp): gone ports absent, what their
//        devices held forgotten; returning ports reopened for their holders; new devices appended;
//     2. the state images grow with the output table, each under the lock of the thread that uses it
//        (the scheduler lock for the playback's four, thru's lock for thru's);
//     3. each returning output is published under the scheduler lock, and while a song plays the
//        main image's state for that port (its position now) is replayed to it before the lock is
//        let go: the wake-up that plays the port's next event waits for that lock, so the device
//        hears the song's programs, banks, controllers, pedals, bends and parameters first;
//     4. a returning input that a recording captures system-exclusive input from gets its capture
//        buffer queued on its new handle;
//     5. every client is told each change (notification 33 with the port and the change).
// A change that comes while the main thread looks posts again (the flag is cleared before looking),
// so none is missed; a look that finds nothing changed tells nobody.
//
// Threads: NoteDevicesChanged on any thread (the service's); the rest on the main thread.
#include <cstdio>

#include "host/engine.h"
#include "playback/seek.h"
#include "status/outbox.h"

namespace {

void TellEveryClient(Engine& engine, uint32_t word) {
  for (uint32_t window : ClientWindows(engine.clients)) PostNotification(engine.bus, window, kNotifyPortsChanged, word);
}

uint32_t ChangeCode(PortChangeKind kind) {
  switch (kind) {
    case PortChangeKind::kAdded: return kPortAdded;
    case PortChangeKind::kGone: return kPortGone;
    case PortChangeKind::kBack: return kPortBack;
  }
  return 0;
}

// Step 2: every image has room for every output port (a failed growth leaves that image as it was:
// events for the new ports then change no snapshot of it, and still play).
void GrowImages(Engine& engine) {
  const int32_t ports = engine.ports.outputCount.load();
  {
    EngineLock guard(engine.playback.lock, LockKind::kScheduler);
    for (int role = kMainImage; role <= kScratchLoopImage; ++role)
      if (engine.images[role]) GrowStateImage(*engine.images[role], ports);
  }
  EngineLock guard(engine.recording.thru.lock);
  if (engine.images[kThruImage]) GrowStateImage(*engine.images[kThruImage], ports);
}

// Step 3 for one output port.
void PublishReturnedOutput(Engine& engine, int32_t port) {
  PlaybackState& p = engine.playback;
  EngineLock guard(p.lock, LockKind::kScheduler);
  PublishReopened(engine.ports, port);
  if (p.playingClient.load() != 0 && p.endKind == kRunning && p.main)
    ReplayPortState(engine.ports, *p.main, static_cast<uint32_t>(port));
}

// Step 4 for one input port.
void RearmCapture(Engine& engine, int32_t port) {
  uint32_t recording = engine.playback.recordingClient.load();
  ClientRecord* client = recording ? ClientOf(engine.clients, recording) : nullptr;
  if (client && client->inputPort.load() == port && (client->inputFlags.load() & kInputSysex) != 0)
    ArmCaptureAgain(engine.recording.recorder, port);
}

}  // namespace

void NoteDevicesChanged(void* context) {
  Engine& engine = *static_cast<Engine*>(context);
  if (!engine.devicesChangePosted.exchange(true)) platform::BusPostToEngine(engine.bus, kDevicesChangedMessage, 0, 0);
}

void FollowDeviceChanges(Engine& engine) {
  engine.devicesChangePosted.store(false);
  const int32_t outputsBefore = engine.ports.outputCount.load();
  std::vector<PortChange> changes = FollowDevices(engine.ports);
  if (changes.empty()) return;
  if (engine.ports.outputCount.load() > outputsBefore) GrowImages(engine);
  for (const PortChange& c : changes) {
    if (c.kind != PortChangeKind::kBack) continue;
    if (c.input)
      RearmCapture(engine, c.port);
    else
      PublishReturnedOutput(engine, c.port);
  }
  ReclaimSpent(engine.ports);
  for (const PortChange& c : changes) TellEveryClient(engine, PortChangeWord(ChangeCode(c.kind), c.input, static_cast<uint32_t>(c.port)));
}

int32_t ReplyPortStates(Engine& engine, uint32_t window) {
  std::vector<uint8_t> states = tovu::EncodePortStates(PortStatesOf(engine.ports));
  SendCopyData(engine.bus, engine.window, window, kCopyPortStates, states.data(), static_cast<uint32_t>(states.size()));
  return kResultDone;
}
