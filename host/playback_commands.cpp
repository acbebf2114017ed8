// The playback commands, which reach beyond playback: the song loads (copy-data 19 and 20), start
// (21), continue (22), stop (command 5, and the end a playback posts for itself), and the delivery
// of a recording's take.
// Each checks the sender against the client table, tells every client what happened, and, around
// the playback's own steps (playback/scheduler.h), arms and delivers the recording and ends the
// click and what thru holds.
//
// Threads: the main thread. The playback's steps that change its state are taken under the
// scheduler lock; nothing here holds it across a send to a client or a timer cancel.
#include <algorithm>
#include <vector>

#include "host/engine.h"
#include "platform/midi.h"
#include "platform/timer.h"
#include "protocol/payloads.h"
#include "status/outbox.h"

namespace {

// The open input port whose clock `record` follows: -1 when it follows none, kTransportClock for the
// JACK transport, kNoClockPort when the device it names has no open port (or there is no transport
// to follow).
constexpr int32_t kNoClockPort = -2;
int32_t ClockInPort(Engine& engine, const ClientRecord& record) {
  if (record.clockInDevice == kNoInputDevice) return -1;
  if (record.clockInDevice == kClockInJackTransport) {
    platform::TransportState transport;
    const auto read = engine.clockIn.readTransport;
    return read && read(&transport) ? kTransportClock : kNoClockPort;
  }
  int port = record.clockInDevice < 0 ? -1 : FindInputPortByDevice(engine.ports, static_cast<uint32_t>(record.clockInDevice));
  if (port < 0 || engine.ports.inputs[port].handle.load() == 0) return kNoClockPort;
  return port;
}

// Why a start cannot go ahead (an error code of notification 10), or 0.
uint32_t StartRefusal(Engine& engine, uint32_t sender, const tovu::StartRequest& r) {
  ClientRecord* record = ClientOf(engine.clients, sender);
  // A client on its way out (unregistering) cannot start what nobody could stop after it has gone.
  if (!record || record->leaving) return kErrorNotRegistered;
  if (!record->songs.current) return kErrorSongSlotEmpty;
  if (r.recordOn) {
    int32_t input = record->inputPort.load();
    if (input < 0 || input >= engine.ports.inputCount.load() || engine.ports.inputs[input].handle.load() == 0)
      return kErrorNoInputPort;
  }
  if (ClockInPort(engine, *record) == kNoClockPort) return kErrorNoInputPort;
  if (!LoopIsValid(r, record->songs.current)) return kErrorBadLoop;
  if (engine.ports.outputCount.load() == 0) return kErrorNoOutputPorts;
  return 0;
}

void StartWith(Engine& engine, uint32_t sender, const uint8_t* payload, const double* nowMs) {
  PlaybackState& p = engine.playback;
  if (p.playingClient.load() != 0 || p.starting != 0 || p.stopping != 0) {
    PostNotification(engine.bus, sender, kNotifyFailed, kErrorAlreadyPlaying);
    return;
  }
  tovu::StartRequest r;
  tovu::DecodeStartRequest(payload, kStartRequestSize, &r);
  if (uint32_t error = StartRefusal(engine, sender, r)) {
    PostNotification(engine.bus, sender, kNotifyFailed, error);
    return;
  }
  // The start message is sent while the start is marked, so that what the client does from its
  // handler meets a start in progress; whatever it changed is looked at again afterwards.
  p.starting = sender;
  SendToClient(engine.bus, sender, kStartMessage, static_cast<uint32_t>(r.startParam));
  p.starting = 0;
  if (engine.tornDown) return;
  if (p.playingClient.load() != 0 || p.stopping != 0) {
    PostNotification(engine.bus, sender, kNotifyFailed, kErrorAlreadyPlaying);
    return;
  }
  if (uint32_t error = StartRefusal(engine, sender, r)) {
    PostNotification(engine.bus, sender, kNotifyFailed, error);
    return;
  }
  PostToAll(engine.bus, ClientWindows(engine.clients), kNotifyStarted, sender);
  ClientRecord& record = *ClientOf(engine.clients, sender);
  StartingClient client;
  client.window = sender;
  client.songs = &record.songs;
  client.tempoFactor = record.tempoFactor;
  client.captureSysex = (record.inputFlags.load() & kInputSysex) != 0;
  // Following a clock, the master's position is the song's: no loop is played.
  client.clockInPort = ClockInPort(engine, record);
  // (A service that hands input over at once needs no margin either.)
  const double inputDelayMs = platform::MidiInputDelayMs();
  engine.clockIn.delayMs.store(inputDelayMs > 0 ? inputDelayMs + kClockTakeMarginMs : 0);
  engine.clockIn.outputDelayMs.store(platform::MidiOutputDelayMs());
  if (client.clockInPort != -1) r.loopOn = 0;
  uint32_t serial;
  bool running;
  StopIdlePulses(engine.sync);  // the playback's own pulses take over
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    // The table the end copies the activity into, made here so that the timer thread never allocates.
    try {
      p.endActivity.assign(static_cast<size_t>(kMaxPorts) * kActivityPerPort, 0);  // room for ports added meanwhile
    } catch (...) {
      p.endActivity.clear();
    }
    serial = p.serial.fetch_add(1) + 1;
    running = BeginPlayback(p, client, r, nowMs ? *nowMs : platform::NowMs());
  }
  if (!running) PostEnd(p, serial, sender, true);
}

void ContinueWith(Engine& engine, uint32_t sender, const uint8_t* payload, const double* nowMs) {
  PlaybackState& p = engine.playback;
  if (sender == 0 || p.playingClient.load() != sender || p.stopping != 0) return;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    // A continue after the end has been found is ignored, as when nothing plays.
    if (p.pending != kNoContinue || p.endKind != kRunning) return;
  }
  ClientRecord* record = ClientOf(engine.clients, sender);
  if (!record) {
    PostNotification(engine.bus, sender, kNotifyFailed, kErrorNotRegistered);
    return;
  }
  tovu::StartRequest r;
  tovu::DecodeStartRequest(payload, kStartRequestSize, &r);
  uint32_t serial = p.serial.load();
  if (!LoopIsValid(r, record->songs.next ? record->songs.next : record->songs.current)) {
    PostNotification(engine.bus, sender, kNotifyFailed, kErrorBadLoop);
    PostEnd(p, serial, sender, false);
    return;
  }
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    if (!AnnounceContinue(p, r)) return;
  }
  SendToClient(engine.bus, sender, kStartMessage, static_cast<uint32_t>(r.startParam));
  uint64_t replaced = 0;
  bool armed = true;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    // A stop from the client's handler ended this playback; a wake-up may also have switched or
    // found the end already.
    if (p.serial.load() != serial || p.pending != kContinueAnnounced || p.endKind != kRunning) return;
    armed = ArmContinue(p, nowMs ? *nowMs : platform::NowMs(), &replaced);
  }
  CancelWakeUp(p, replaced);
  if (!armed) PostEnd(p, serial, sender, false);  // the end posts 12 before the stop
}

// The checked copy of a song for `window`'s slots, or null (none to load, or refused: the client is
// told with notification 10). *slots is null when `window` is not registered (told so too).
uint8_t* SongFor(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes, SongSlots** slots) {
  ClientRecord* client = ClientOf(engine.clients, window);
  *slots = client ? &client->songs : nullptr;
  if (!client) {
    PostNotification(engine.bus, window, kNotifyFailed, kErrorNotRegistered);
    return nullptr;
  }
  uint8_t* copy = nullptr;
  if (uint32_t error = CopySong(bytes, size, engine.ports.outputCount, &copy))
    PostNotification(engine.bus, window, kNotifyFailed, error);
  return copy;
}

}  // namespace

void LoadSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  SongSlots* slots;
  uint8_t* song = SongFor(engine, window, size, bytes, &slots);
  if (slots) FillCurrentSlot(engine.playback, *slots, song, song ? size : 0);
}

void LoadNextSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  // A client whose start is under way (it is handling the start message) counts as playing.
  const PlaybackState& p = engine.playback;
  bool playing = window != 0 && (p.playingClient.load() == window || p.starting == window);
  if (!playing) {
    LoadSong(engine, window, size, bytes);
    return;
  }
  SongSlots* slots;
  uint8_t* song = SongFor(engine, window, size, bytes, &slots);
  if (slots) FillNextSlot(engine.playback, *slots, song, song ? size : 0);
}

void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* payload) {
  StartWith(engine, sender, payload, nullptr);
}

void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* payload, double nowMs) {
  StartWith(engine, sender, payload, &nowMs);
}

void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* payload) {
  ContinueWith(engine, sender, payload, nullptr);
}

void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* payload, double nowMs) {
  ContinueWith(engine, sender, payload, &nowMs);
}

int32_t StopPlayback(Engine& engine, uint32_t window) {
  PlaybackState& p = engine.playback;
  // The playing client's stop is always obeyed, even after its record is gone: nothing else could
  // stop the playback then.
  if (window == 0 || p.playingClient.load() != window) return 1;
  // A stop acts at once, whatever is pending: the playback is over for the scheduler before anything
  // is sent, so no wake-up plays after the releases below.
  HaltedPlayback halted;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    halted = HaltPlayback(p);
  }
  CancelWakeUp(p, halted.timer);
  if (p.periodBegun) platform::TimerEndPeriod(p.timerPeriod);
  p.periodBegun = false;
  // The whole stop is marked: a start from a handler of what it sends (the take, say) is refused,
  // so that no playback can begin under a client that is closing its ports or leaving.
  p.stopping = window;
  // Once a wake-up has found the end, the end wins, whoever stops: the client is told the final
  // position and notification 12 first. Nothing here waits for its answer.
  if (halted.endKind == kEndedAt)
    QueueToClient(engine.bus, window, kPositionMessage, static_cast<uint32_t>(std::max(halted.finalPosition, 0)));
  if (halted.endKind == kEndedAt || halted.endKind == kEndedUnarmed)
    PostNotification(engine.bus, window, kNotifyEnded, 0);
  // The activity report shows what sounded at the stop (at an end, what the end found sounding as
  // well). It is taken before the notes are released and queued after, without waiting for the
  // client, so that nothing the client does or fails to do can keep a note from being released.
  std::vector<uint8_t> report;
  bool reported = CopyActivityTable(engine.notifier, &report);
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    if (p.endKind != kRunning && reported && p.endActivity.size() >= report.size())
      for (size_t i = 0; i < report.size(); ++i)
        report[i] = static_cast<uint8_t>(std::min(255, report[i] + p.endActivity[i]));
    p.endKind = kRunning;
    ReleasePlayback(p);
    FreeRetiredSongs(p);
  }
  // The report as the stop found it, then the ledger as its releases left it.
  if (reported) SendActivityCopy(engine.notifier, window, report);
  if (reported && CopyActivityTable(engine.notifier, &report)) SendActivityCopy(engine.notifier, window, report);
  ReclaimSpent(engine.ports);
  PostToAll(engine.bus, ClientWindows(engine.clients), kNotifyStopped, window);
  if (halted.recordingClient != 0) DeliverTake(engine, halted.recordingClient);
  p.stopping = 0;
  return 0;
}

void EndPlayback(Engine& engine, uint32_t serial, uint32_t window) {
  // The stop tells the client of the end (final position, 12) before its own report and 5.
  if (engine.playback.serial.load() == serial) StopPlayback(engine, window);
}

void DeliverTake(Engine& engine, uint32_t window) {
  // The stop has released the click. The listening client changes back from the recording client to
  // the thru owner: the keys the recording client holds through thru would never be released now.
  ResetClickState(engine.metronome);
  uint32_t owner = engine.recording.thru.owner.load();
  if (owner != 0 && owner != window) ReleaseThruNotes(engine.recording.thru);
  BuiltTake take = FinishTake(engine.recording.recorder, TickNow(engine.clock));
  // A take that cannot even be queued for its client (its output full) is lost as one that could
  // not be built: the client is told.
  if (take.built && !DeliverCopyData(engine.bus, engine.window, window, kCopyTake, take.bytes.get(), take.size))
    take.lost = true;
  if (take.lost) PostTakeLost(engine.bus, window);
}
