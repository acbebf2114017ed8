// The engine process's life: start-up with the single-instance guard (held until the very end,
// after the devices have closed), set-up at window creation, the message loop, and the teardown
// that ends the background threads, silences and releases everything and tells every client that
// the engine is going away.
//
// Threads: everything here runs on the main thread. The set-up starts the timer service (whose
// thread runs the scheduler's wake-ups); the watcher and the notifier are started after the set-up.
// The teardown first silences: the audition is released and a running playback stopped, so no note
// sounds on while threads end. Then the timer service stops (waiting out a wake-up in flight), the
// bus gives up the sends of other threads (whose REPLYs only this thread could route), and the
// notifier and the watcher are asked to end and joined; only then is anything freed.
#include <malloc.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/engine.h"
#include "platform/midi.h"
#include "platform/process.h"
#include "platform/timer.h"

namespace {

int32_t Dispatch(void* context, const platform::BusMessage& m) {
  return EngineWindowProc(*static_cast<Engine*>(context), m);
}

void WindowClosed(void* context, uint32_t window) { NoteWindowClosed(*static_cast<Engine*>(context), window); }

// The playback's hooks: what a wake-up (and a start) reaches above playback.
Engine& EngineOf(void* context) { return *static_cast<Engine*>(context); }

void ArmRecordingHook(void* context, int32_t start, int32_t countIn, bool captureSysex) {
  Engine& engine = EngineOf(context);
  uint32_t recordingClient = engine.playback.recordingClient.load();
  // The recording client now listens instead of the thru owner: what the owner's keys hold through
  // thru is released, since their releases no longer pass.
  uint32_t owner = engine.recording.thru.owner.load();
  if (owner != 0 && owner != recordingClient) ReleaseThruNotes(engine.recording.thru);
  int32_t capturePort = -1;
  if (captureSysex)
    if (ClientRecord* client = ClientOf(engine.clients, recordingClient)) capturePort = client->inputPort.load();
  ArmRecording(engine.recording.recorder, start, countIn, capturePort);
}

int32_t EchoHook(void* context, int32_t from, int32_t to) {
  return EchoRecorded(EngineOf(context).recording.recorder, from, to);
}

void RecordWrapHook(void* context, int32_t loopEnd, double dueMs, int32_t loopStart, int32_t ticksPerMinute) {
  RecordWrap(EngineOf(context).recording.recorder, loopEnd, dueMs, loopStart, ticksPerMinute);
}

void RecordPassEndHook(void* context, int32_t tick) { RecordAt(EngineOf(context).recording.recorder, kEndMarker, tick); }

void PublishHook(void* context, int32_t position, uint32_t serial, uint32_t window) {
  PublishPosition(EngineOf(context).notifier, position, serial, window);
}

// Points each subsystem's record at the records it works with.
void WireRecords(Engine& engine) {
  const Outbox outbox{engine.bus, engine.window};
  engine.audition.ports = &engine.ports;
  engine.audition.outbox = outbox;

  PlaybackState& p = engine.playback;
  p.clock = &engine.clock;
  p.main = engine.images[kMainImage];
  p.loopImage = engine.images[kLoopStartImage];
  p.scratchStart = engine.images[kScratchStartImage];
  p.scratchLoop = engine.images[kScratchLoopImage];
  p.ports = &engine.ports;
  p.metronome = &engine.metronome;
  p.sync = &engine.sync;
  p.clockIn = &engine.clockIn;
  engine.clockIn.readTransport = platform::MidiTransportRead;
  engine.sync.ports = &engine.ports;
  p.outbox = outbox;
  p.hooks = PlaybackHooks{&engine, ArmRecordingHook, EchoHook, RecordWrapHook, RecordPassEndHook, PublishHook};

  Thru& thru = engine.recording.thru;
  thru.image = engine.images[kThruImage];
  thru.ports = &engine.ports;
  thru.clock = &engine.clock;
  Recorder& recorder = engine.recording.recorder;
  recorder.clock = &engine.clock;
  recorder.playback = &engine.playback;
  recorder.thru = &thru;
  recorder.ports = &engine.ports;
  engine.recording.input = InputRouter{&engine.clients, &engine.ports, &thru, &recorder, &engine.playback.recordingClient, &engine.clockIn};

  // What the notifier reports and where it comes from.
  Notifier& n = engine.notifier;
  n.outbox = outbox;
  n.positionGate = &engine.playback.positionGate;
  n.playingClient = &engine.playback.playingClient;
  n.thruOwner = &engine.recording.thru.owner;
  n.activity = engine.ports.activity.get();
  n.portCount = &engine.ports.outputCount;
  n.activityEvent = &engine.activityEvent;
}

// A claim that failed: the one message the engine shows, and its exit status.
int Refuse(const platform::EngineClaim& c) {
  const char* kRunning = "Another instance of Wendle is active";
  std::string dir = platform::DirectoryOf(c.endpoint);
  switch (c.claim) {
    case platform::Claim::kClaimed:
      return 0;
    case platform::Claim::kRunning:
      platform::ShowMessage("Error", kRunning);
      return 2;
    case platform::Claim::kNotPrivate:
      // A directory another user owns or can enter could hold a planted socket or our lock.
      platform::ShowMessage("tovu-engine", ("socket directory " + dir + " is not private to this user").c_str());
      return 1;
    case platform::Claim::kNoGuard:
      // A full disk (no inode left) or a read-only one ends the engine here: said once.
      platform::ShowMessage("tovu-engine", ("cannot take the instance lock in " + dir + ": " + c.reason).c_str());
      return 2;
    case platform::Claim::kNoEndpoint:
      platform::ShowMessage("tovu-engine", ("cannot listen on " + c.endpoint + ": " + c.reason).c_str());
      return 1;
  }
  return 1;
}

}  // namespace

bool SetUpEngine(Engine& engine) {
  if (engine.setUp) return true;
  platform::EventCreate(&engine.activityEvent);
  engine.ports.activityEvent = &engine.activityEvent;
  engine.ports.inputCallback = OnMidiInput;
  engine.ports.inputInstance = reinterpret_cast<uintptr_t>(&engine.recording.input);
  // The activity table is allocated with the tables; the five state images are sized for the
  // output ports there are now, and grow as devices are added (FollowDeviceChanges).
  if (!BuildPortTables(engine.ports)) return false;
  for (StateImage*& image : engine.images) {
    image = CreateStateImage(engine.ports.outputCount);
    if (!image) return false;
  }
  LoadSettings(engine.ports);
  WireRecords(engine);
  SetMetronome(engine.metronome, engine.ports, engine.ports.settings);
  engine.playback.timers = platform::TimerServiceStart();
  if (!engine.playback.timers) return false;
  StartStages(engine.ports, engine.playback.timers);
  engine.sync.timers = engine.playback.timers;
  SetSyncOut(engine.sync, SyncOutSettingsFromStore(engine.ports));
  engine.setUp = true;
  return true;
}

void TearDownEngine(Engine& engine) {
  if (engine.tornDown || !engine.setUp) return;
  engine.tornDown = true;
  ReleaseAudition(engine.audition);
  uint32_t playing = engine.playback.playingClient.load();
  if (playing != 0) StopPlayback(engine, playing);
  EndSyncOut(engine.sync);  // its pulses while stopped end, the JACK timebase is given up
  platform::TimerServiceStop(engine.playback.timers);
  engine.playback.timers = nullptr;
  StartStages(engine.ports, nullptr);  // nothing drains by itself any more
  if (engine.bus) platform::BusAbandonSends(engine.bus);
  StopNotifier(engine.notifier);
  StopWatcher(engine.watcher);
  // Input stops before the tables go, so that no input callback can reach them.
  CloseAllInputs(engine.ports);
  // Every output still open closes as at its last close, releasing the notes counted on it: notes
  // that direct sends struck would otherwise sound on after the engine.
  CloseAllOutputs(engine.ports);
  ReclaimSpent(engine.ports);
  FreeRecorder(engine.recording.recorder);
  EndEveryClient(engine);
  DestroyClientTable(engine.clients);
  for (StateImage*& image : engine.images) {
    if (image) DestroyStateImage(image);
    image = nullptr;
  }
  // Its last setters (the output path, the notifier) have stopped, and the window refuses from here.
  platform::EventDestroy(&engine.activityEvent);
  platform::BusPostQuit(engine.bus);
}

int EngineMain() {
#ifdef __GLIBC__
  // Large buffers (frames, song copies, queued output) are mapped and unmapped on their own, so that
  // memory a crowd of clients made the engine take goes back when they leave.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
  // Before any thread starts, so that every thread leaves termination requests to the message loop.
  platform::OsHandle termination = platform::PrepareEngineProcess();
  platform::EngineClaim claim = platform::ClaimEngineInstance();
  if (claim.claim != platform::Claim::kClaimed) {
    platform::CloseOsHandle(termination);
    return Refuse(claim);
  }
  platform::OsHandle guard = claim.guard;

  platform::MidiStartFromEnvironment();
  Engine* engine = new Engine;
  engine->bus = platform::BusCreate(claim.endpoint, claim.listener, Dispatch, engine);
  engine->window = platform::BusEngineWindow(engine->bus);
  // Devices that come and go from here on are followed; those listed at the set-up are in the tables.
  platform::MidiSetChangeHandler(NoteDevicesChanged, engine);
  platform::BusWatchTermination(engine->bus, termination);
  platform::BusSetWindowClosedHandler(engine->bus, WindowClosed, engine);
  // The guard is held for the engine's whole life, and the socket kept where clients look for it:
  // one removed under the running engine is bound again, never left for a second engine to take.
  platform::BusKeepEndpoint(engine->bus, &guard);
  // A thread that cannot start fails the set-up like a table that cannot be allocated: the socket
  // goes first, then the lock, so a successor finds neither a dead socket nor a held lock.
  bool created = platform::BusDispatchNow(engine->bus, platform::kWmCreate, 0, 0) != -1;
  if (!created || !StartWatcher(engine->watcher, engine->clients, engine->bus) || !StartNotifier(engine->notifier)) {
    TearDownEngine(*engine);
    platform::MidiSetChangeHandler(nullptr, nullptr);
    platform::BusDestroy(engine->bus);
    platform::MidiShutdown();
    platform::ReleaseEngineInstance(guard);
    delete engine;
    return 1;
  }

  platform::BusRun(engine->bus);

  TearDownEngine(*engine);  // a loop ended by other means still releases everything once
  platform::MidiSetChangeHandler(nullptr, nullptr);
  platform::BusDestroy(engine->bus);
  platform::MidiShutdown();
  delete engine;
  // Last: the next engine opens the devices only once this one has closed them.
  platform::ReleaseEngineInstance(guard);
  return 0;
}
