// The engine window procedure: every message addressed to the engine window is routed here, on the
// main thread, one at a time, to the subsystem that handles it. Every listed copy-data type returns
// kCopyDataHandled whatever its handler did; an unknown command code answers 0.
#include <cstring>

#include "host/engine.h"
#include "platform/midi.h"
#include "playback/song_slots.h"
#include "status/outbox.h"

namespace {

// The smallest payload a listed copy-data type reads (its fixed size, or 0 for the types that take
// their length from cbData); -1 for a type that is not listed. A shorter payload is never read past
// its end: the message is ignored (and still returns 1).
int32_t MinimumPayload(uint32_t type) {
  switch (type) {
    case kCopyClosePorts: case kCopyShortList: case kCopyAudition: case kCopySysex:
    case kCopyLoadSong: case kCopyLoadNextSong: return 0;
    case kCopyOpenPorts: return static_cast<int32_t>(kOpenPortsSize);
    case kCopyStart: case kCopyContinue: return kStartRequestSize;
    case kCopyTempoFactor: return kTempoFactorSize;
    case kCopyInputFilter: return kInputFilterSize;
    case kCopySetMetronome: return kMetronomeSettingsSize;
    case kCopySetThru: return kThruSettingsSize;
    case kCopySetSyncOut: return kSyncOutHeaderSize;
    case kCopyClockIn: return kClockInSize;
    default: return -1;
  }
}

int32_t HandleCopyData(Engine& engine, const platform::BusMessage& m) {
  uint32_t type = CopyDataType(m.dwData);
  uint32_t argument = CopyDataArgument(m.dwData);
  uint32_t sender = m.wParam;
  const uint8_t* data = m.payload;
  uint32_t size = data ? m.cbData : 0;
  int32_t minimum = MinimumPayload(type);
  if (minimum < 0) return kCopyDataUnknown;
  if (size < static_cast<uint32_t>(minimum)) return kCopyDataHandled;
  switch (type) {
    case kCopyOpenPorts: OpenClientPorts(engine, sender, data); break;
    case kCopyClosePorts: CloseClientPorts(engine, sender); break;
    case kCopyShortList:
      if (ClientRecord* client = ClientOf(engine.clients, sender))
        SendShortList(engine.ports, engine.audition.outbox, client->owner, sender, size, data);
      break;
    case kCopyAudition:
      if (ClientRecord* client = ClientOf(engine.clients, sender)) StartAudition(engine.audition, client->owner, sender, size, data);
      break;
    case kCopySysex:
      SendDirectSysex(engine.ports, engine.audition.outbox, OwnerOfWindow(engine, sender), sender, size, data, argument);
      break;
    case kCopyLoadSong: LoadSong(engine, sender, size, data); break;
    case kCopyLoadNextSong: LoadNextSong(engine, sender, size, data); break;
    case kCopyTempoFactor: SetTempoFactor(engine, sender, data); break;
    case kCopyStart: StartPlayback(engine, sender, data); break;
    case kCopyContinue: ContinueWithNextSong(engine, sender, data); break;
    case kCopyInputFilter: SetInputFilter(engine, sender, data); break;
    case kCopySetMetronome: SetMetronomeFrom(engine, data); break;
    case kCopySetThru: SetThruFrom(engine, sender, data); break;
    case kCopySetSyncOut: SetSyncOutFrom(engine, data, size); break;
    case kCopyClockIn: SetClockInFrom(engine, sender, data); break;
    default: break;
  }
  return kCopyDataHandled;
}

int32_t ReplyPortList(Engine& engine, uint32_t target, bool outputs) {
  int32_t count = outputs ? engine.ports.outputCount : engine.ports.inputCount;
  if (count <= 0) return kResultRefused;
  uint32_t recordSize = outputs ? kOutputRecordSize : kInputRecordSize;
  std::vector<uint8_t> records(static_cast<size_t>(count) * recordSize);
  if (outputs)
    FillOutputPortRecords(engine.ports, records.data());
  else
    FillInputPortRecords(engine.ports, records.data());
  SendCopyData(engine.bus, engine.window, target, outputs ? kCopyOutputPorts : kCopyInputPorts, records.data(), static_cast<uint32_t>(records.size()));
  return 0;
}

int32_t HandleCommand(Engine& engine, uint32_t code, uint32_t lParam, uint32_t source) {
  switch (code) {
    case kCommandRegister: return RegisterClient(engine, lParam);
    case kCommandUnregister: return UnregisterClient(engine, lParam);
    case kCommandOutputPorts: return ReplyPortList(engine, lParam, true);
    case kCommandAuditionHoldTime: return engine.audition.holdTimeMs;
    case kCommandSetAuditionHoldTime: engine.audition.holdTimeMs = static_cast<int32_t>(lParam); return kResultDone;
    case kCommandStop: return StopPlayback(engine, lParam);
    case kCommandReloadSettings: {
      int32_t result = LoadSettings(engine.ports);
      RefreshMetronomeNotes(engine.metronome, engine.ports.settings);
      SetSyncOut(engine.sync, SyncOutSettingsFromStore(engine.ports));
      return result;
    }
    case kCommandSendShort: return SendShortMessage(engine.ports, lParam, OwnerOfWindow(engine, source));
    case kCommandInputPorts: return ReplyPortList(engine, lParam, false);
    case kCommandMetronomeSettings: return ReplyMetronomeSettings(engine, lParam);
    case kCommandPanic: return Panic(engine.ports);
    case kCommandLongestMessage: return LongestMessage(engine.ports, lParam);
    case kCommandPortStates: return ReplyPortStates(engine, lParam);
    case kCommandSyncOutSettings: return ReplySyncOutSettings(engine, lParam);
    default: return 0;
  }
}

}  // namespace

int32_t EngineWindowProc(Engine& engine, const platform::BusMessage& m) {
  // The engine window's handle is fixed before any other thread starts; the notifier reads it.
  if (m.hwnd && engine.window != m.hwnd) engine.window = m.hwnd;
  if (m.msg == platform::kWmCreate) return SetUpEngine(engine) ? 0 : -1;
  if (m.msg == platform::kWmClose || m.msg == platform::kWmDestroy) {
    TearDownEngine(engine);
    return 0;
  }
  // After the teardown the tables are gone: whatever is still queued is refused. An engine command
  // answers 1 (0 would report a registration or a port list as done); anything else 0.
  if (engine.tornDown || !engine.setUp) return m.msg == kEngineCommand ? kResultRefused : 0;
  switch (m.msg) {
    case platform::kWmCopyData: return HandleCopyData(engine, m);
    case platform::kWmTimer:
      if (m.wParam == kAuditionTimerId) ReleaseAudition(engine.audition);
      return 0;
    case kEngineCommand: return HandleCommand(engine, m.wParam, m.lParam, m.source);
    case kPlaybackEndMessage: EndPlayback(engine, m.wParam, m.lParam); return 0;
    case kDevicesChangedMessage: FollowDeviceChanges(engine); return 0;
    case platform::kWmDeviceChange: platform::MidiListAgain(); return 1;  // TRUE: nothing is refused
    default: return 0;
  }
}
