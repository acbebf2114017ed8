// A client's life, in one place: its registration, the port set it holds, and its departure, which
// every cause of its end comes to (its own command 1, the watcher's command 1 for a process that
// ended, the bus's for a window whose connection closed, and, for all clients at once, the teardown).
//
//   unknown --command 0--> registered --copy-data 13--> holding ports --copy-data 14--> registered
//   registered or holding ports --command 1, whatever sent it--> leaving --> gone
//
// The departure, in order:
//   1. the client is marked leaving: from here on it can start nothing;
//   2. its playback stops, and with it its recording (the take is delivered) and thru's echo;
//   3. what it holds ends: the sounding click and what thru holds, on their ports, then those ports
//      are let go; what its own direct sends and auditions struck and pressed is released on every
//      port (by the ledger), whoever else holds the port, after its queued sends are withdrawn;
//   4. its ports close and it is told (notification 14);
//   5. its song slots are freed;
//   6. should a playback have begun for it meanwhile, that stops too: no playback outlives the
//      record it plays from;
//   7. its record goes, and the last client's departure closes the engine.
// Steps 2 to 4 are also the whole of a port close (copy-data 14, and the close that begins every
// open). Stopping a playback sends to clients, and a handler nested in those sends may end this
// client's life itself (or change the table's shape): after each step that sends, the record is
// looked up afresh, and a client found gone ends the sequence there.
//
// This sequence lives in the host because it is the one place that calls into every subsystem
// about one client (playback, recording, the metronome, the client table, the outbox); the client
// table itself only enters and removes records and opens and closes the ports they hold.
//
// Threads: the main thread only.
#include "host/engine.h"
#include "protocol/song_image_format.h"
#include "platform/process.h"
#include "platform/wire.h"
#include "playback/song_slots.h"
#include "platform/timer.h"
#include "protocol/payloads.h"
#include "status/outbox.h"

namespace {

// Thru set again with its settings as they stand (every port opening): `sender` becomes its owner
// when its port opens.
void ReapplyThru(Engine& engine, uint32_t sender) {
  ThruSettings settings;
  {
    EngineLock lock(engine.recording.thru.lock);
    settings = engine.recording.thru.settings;
  }
  SetThru(engine.recording.thru, sender, settings);
}

// Steps 2 to 4. Returns the client's record as it stands afterwards, or null when the client is not
// (or no longer) registered.
ClientRecord* StopAndClosePorts(Engine& engine, uint32_t window) {
  if (!ClientOf(engine.clients, window)) return nullptr;
  StopPlayback(engine, window);
  ClientRecord* client = ClientOf(engine.clients, window);
  if (!client) return nullptr;
  // The sounding click and what thru holds are ended on their ports before those close; the
  // client's own notes and pedals wherever it struck or pressed them.
  ReleaseMetronomePort(engine.metronome, engine.ports);
  ReleaseThruPort(engine.recording.thru);
  ForgetAuditionOf(engine.audition, client->owner);
  if (client->owner != kOwnerNone) ReleaseOwner(engine.ports, client->owner);
  ClosePortsOf(*client, engine.ports);
  PostNotification(engine.bus, window, kNotifyPortsClosed, kPortsClosedClient);
  return client;
}

}  // namespace

int32_t RegisterClient(Engine& engine, uint32_t window) {
  if (FindClient(engine.clients, window) >= 0) return kResultDone;
  int32_t pid = platform::BusWindowProcess(engine.bus, window);
  if (pid <= 0) return kResultRefused;  // a handle that names no window: no process owns it
  platform::OsHandle processHandle = platform::OpenProcessHandle(pid);
  if (processHandle == platform::kNoHandle) return kResultRefused;
  platform::OsHandle closedHandle = platform::BusWindowClosedHandle(engine.bus, window);
  if (closedHandle == platform::kNoHandle) {
    platform::CloseOsHandle(processHandle);
    return kResultRefused;
  }
  ClientRecord* record = AddClient(engine.clients, window, pid, processHandle, closedHandle);
  if (!record) return kResultRefused;
  record->owner = TakeClientOwner(engine.ports);
  platform::EventSet(&engine.watcher.wake);
  if (engine.playback.playingClient.load() != 0) PostNotification(engine.bus, window, kNotifyStarted, kNotifyOther);
  return kResultDone;
}

int32_t UnregisterClient(Engine& engine, uint32_t window) {
  ClientRecord* client = ClientOf(engine.clients, window);
  if (!client) return kResultRefused;
  client->leaving = true;
  client = StopAndClosePorts(engine, window);
  if (!client) return kResultDone;
  FreeSongSlots(engine.playback, client->songs);
  if (engine.playback.playingClient.load() == window) StopPlayback(engine, window);
  // Nothing of its owner is left in a ledger or a queue: another client may take it.
  Owner owner = client->owner;
  if (!RemoveClient(engine.clients, engine.watcher.wake, window)) return kResultDone;
  GiveBackClientOwner(engine.ports, owner);
  if (engine.clients.records.empty()) platform::BusPostToEngine(engine.bus, platform::kWmClose, 0, 0);
  return kResultDone;
}

Owner OwnerOfWindow(Engine& engine, uint32_t window) {
  ClientRecord* client = window != 0 ? ClientOf(engine.clients, window) : nullptr;
  return client ? client->owner : kOwnerNone;
}

void NoteWindowClosed(Engine& engine, uint32_t window) {
  if (FindClient(engine.clients, window) >= 0)
    platform::BusPostToEngine(engine.bus, kEngineCommand, kCommandUnregister, window);
}

void OpenClientPorts(Engine& engine, uint32_t window, const uint8_t* request) {
  CloseClientPorts(engine, window);
  int32_t n = static_cast<int32_t>(platform::LoadLe32(request + kOpenPortsCountOffset));
  if (n == 0) return;
  uint8_t reply[kOpenPortsSize] = {};
  platform::StoreLe32(reply + kOpenPortsWindowOffset, window);
  platform::StoreLe32(reply + kOpenPortsCountOffset, static_cast<uint32_t>(n));
  platform::StoreLe32(reply + kOpenPortsInputOffset, static_cast<uint32_t>(kNoInputDevice));
  ClientRecord* client = ClientOf(engine.clients, window);
  if (!client) {
    platform::StoreLe32(reply + kOpenPortsOutputsOffset, kPortNotRegistered);
  } else {
    OpenPortsOf(*client, engine.ports, request, reply);
    // Both ports were closed above; this client becomes the thru owner when thru is set.
    ReapplyThru(engine, window);
    SetMetronome(engine.metronome, engine.ports, engine.ports.settings);
  }
  SendCopyData(engine.bus, engine.window, window, kCopyOpenPorts, reply, sizeof reply);
}

void CloseClientPorts(Engine& engine, uint32_t window) { StopAndClosePorts(engine, window); }

void SetTempoFactor(Engine& engine, uint32_t window, const uint8_t* payload) {
  ClientRecord* client = ClientOf(engine.clients, window);
  if (!client) return;
  double factor = StoreTempoFactor(*client, payload);
  if (engine.playback.playingClient.load() == window) SetPlaybackTempoFactor(engine.playback, factor, platform::NowMs());
}

void SetInputFilter(Engine& engine, uint32_t window, const uint8_t* payload) {
  ClientRecord* client = ClientOf(engine.clients, window);
  if (!client) return;
  StoreInputFilter(*client, payload);
  // The listening client's filter changed: what thru holds is released, so that no release the new
  // filter refuses can leave a note sounding.
  uint32_t listener = engine.playback.recordingClient.load();
  if (listener == 0) listener = engine.recording.thru.owner.load();
  if (window == listener) ReleaseThruNotes(engine.recording.thru);
}

void SetThruFrom(Engine& engine, uint32_t sender, const uint8_t* payload) {
  ThruSettings settings;
  tovu::DecodeThruSettings(payload, kThruSettingsSize, &settings);
  SetThru(engine.recording.thru, sender, settings);
}

void SetMetronomeFrom(Engine& engine, const uint8_t* payload) {
  EngineSettings settings;
  tovu::DecodeMetronomeSettings(payload, kMetronomeSettingsSize, &settings);
  SetMetronome(engine.metronome, engine.ports, settings);
}

int32_t ReplyMetronomeSettings(Engine& engine, uint32_t window) {
  std::vector<uint8_t> payload = tovu::EncodeMetronomeSettings(engine.ports.settings);
  SendCopyData(engine.bus, engine.window, window, kCopyMetronomeSettings, payload.data(), static_cast<uint32_t>(payload.size()));
  return 0;
}

void SetClockInFrom(Engine& engine, uint32_t window, const uint8_t* payload) {
  ClientRecord* client = ClientOf(engine.clients, window);
  if (client) client->clockInDevice = ReadI32(payload);
}

void SetSyncOutFrom(Engine& engine, const uint8_t* payload, uint32_t size) {
  tovu::SyncOutSettings settings;
  if (tovu::DecodeSyncOutSettings(payload, size, &settings)) SetSyncOut(engine.sync, settings);
}

int32_t ReplySyncOutSettings(Engine& engine, uint32_t window) {
  std::vector<uint8_t> payload = tovu::EncodeSyncOutSettings(SyncOutSettingsOf(engine.sync));
  SendCopyData(engine.bus, engine.window, window, kCopySyncOutSettings, payload.data(), static_cast<uint32_t>(payload.size()));
  return 0;
}

void EndEveryClient(Engine& engine) {
  for (ClientRecord* record : engine.clients.records) {
    if (record->window == 0) continue;
    FreeSongSlots(engine.playback, record->songs);
    PostNotification(engine.bus, record->window, kNotifyPortsClosed, kPortsClosedShutdown);
  }
}
