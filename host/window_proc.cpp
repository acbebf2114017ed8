// The engine window procedure: every message addressed to the engine window is routed here, on the
// main thread, one at a time. Handlers of commands that belong to subsystems not built yet do
// nothing; listed copy-data types still return 1.
#include <cstring>

#include "host/engine.h"
#include "playback/song_slots.h"
#include "status/outbox.h"

namespace {

// The smallest payload a listed copy-data type reads (its fixed size, or 0 for the types that take
// their length from cbData); -1 for a type that is not listed. A shorter payload is never read past
// its end: the message is ignored (and still returns 1).
int32_t MinimumPayload(uint32_t type) {
  switch (type) {
    case 14: case 15: case 16: case 17: case 19: case 20: return 0;
    case 13: return static_cast<int32_t>(kOpenPortsSize);
    case 21: case 22: return 32;
    case 23: case 25: return 8;
    case 27: case 29: return 16;
    default: return -1;
  }
}

int32_t HandleCopyData(Engine& engine, const platform::BusMessage& m) {
  uint32_t type = m.dwData & 0xFFFF;
  uint32_t argument = m.dwData >> 16;
  uint32_t sender = m.wParam;
  const uint8_t* data = m.payload;
  uint32_t size = data ? m.cbData : 0;
  int32_t minimum = MinimumPayload(type);
  if (minimum < 0) return 0;
  if (size < static_cast<uint32_t>(minimum)) return 1;
  switch (type) {
    case 13: OpenClientPorts(engine, sender, data); break;
    case 14: CloseClientPorts(engine, sender); break;
    case 15: SendShortList(engine, sender, size, data); break;
    case 16: StartAudition(engine, sender, size, data); break;
    case 17: SendDirectSysex(engine, size, data, argument); break;
    case 19: LoadSong(engine, sender, size, data); break;
    case 20: LoadNextSong(engine, sender, size, data); break;
    case 23: SetTempoFactor(engine, sender, data); break;
    case 21: StartPlayback(engine, sender, data); break;
    case 22: ContinueWithNextSong(engine, sender, data); break;
    case 25: SetInputFilter(engine, sender, data); break;
    case 27: SetMetronome(engine, sender, data); break;
    case 29: SetThru(engine, sender, data); break;
    default: break;
  }
  return 1;
}

int32_t ReplyPortList(Engine& engine, uint32_t target, bool outputs) {
  int32_t count = outputs ? engine.ports.outputCount : engine.ports.inputCount;
  if (count <= 0) return 1;
  uint32_t recordSize = outputs ? kOutputRecordSize : kInputRecordSize;
  std::vector<uint8_t> records(static_cast<size_t>(count) * recordSize);
  if (outputs)
    FillOutputPortRecords(engine.ports, records.data());
  else
    FillInputPortRecords(engine.ports, records.data());
  SendCopyData(engine.bus, engine.window, target, outputs ? 2 : 24, records.data(), static_cast<uint32_t>(records.size()));
  return 0;
}

int32_t HandleCommand(Engine& engine, uint32_t code, uint32_t lParam) {
  switch (code) {
    case 0: return RegisterClient(engine, lParam);
    case 1: return UnregisterClient(engine, lParam);
    case 2: return ReplyPortList(engine, lParam, true);
    case 3: return engine.audition.holdTimeMs;
    case 4: engine.audition.holdTimeMs = static_cast<int32_t>(lParam); return 0;
    case 5: return StopPlayback(engine, lParam);
    case 8: {
      int32_t result = LoadSettings(engine.ports);
      RefreshMetronomeNotes(engine);
      return result;
    }
    case 18: return SendDirectShort(engine, lParam);
    case 24: return ReplyPortList(engine, lParam, false);
    case 26: return ReplyMetronomeSettings(engine, lParam);
    case 31: return Panic(engine.ports);
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
  if (engine.tornDown || !engine.setUp) return m.msg == kEngineCommand ? 1 : 0;
  switch (m.msg) {
    case platform::kWmCopyData: return HandleCopyData(engine, m);
    case platform::kWmTimer:
      if (m.wParam == kAuditionTimerId) ReleaseAudition(engine);
      if (m.wParam == kHeldSendTimerId) SendHeld(engine, false);
      return 0;
    case kEngineCommand: return HandleCommand(engine, m.wParam, m.lParam);
    case kPlaybackEndMessage: EndPlayback(engine, m.wParam, m.lParam); return 0;
    default: return 0;
  }
}
