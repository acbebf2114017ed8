// The client library's connection on Windows: a hidden window of the client's own, the engine window
// found by its class, sends by SendMessageTimeout and posts by PostMessage. The rest of the transport
// is shared (transport.cpp). See transport.h.
//
// The record. `window` is this client's window, `engineWindow` the engine's (32-bit handle values),
// `startupPipe` the reading end of a started engine's standard error, and
// `fd` is 0 while connected and -1 otherwise (there is no descriptor).
//
// Receiving. The system delivers messages to the window while a call of this client waits in a send
// or pumps; only then is the window bound to the record (at each call, so the record may move
// between calls), and the receiver appends to the inbox, handing sent messages to `windowProc`.
// What arrives for it while another client's call pumps is parked and joins the inbox, in order,
// at this client's next call.
#include "client/transport.h"

#include "client/transport_connection.h"
#include "platform/client_window.h"
#include "platform/engine_start.h"
#include "platform/event.h"

namespace tovu {

namespace {

using detail::EngineLines;
using detail::NowMs;

constexpr int kNotConnected = -1;

Message FromWindow(platform::WindowMessage&& w) {
  Message m;
  m.msg = w.msg;
  m.wParam = w.wParam;
  m.lParam = w.lParam;
  m.dwData = w.dwData;
  m.payload = std::move(w.payload);
  m.sent = w.sent;
  return m;
}

int32_t Receive(void* context, platform::WindowMessage&& w) {
  Client& c = *static_cast<Client*>(context);
  Message m = FromWindow(std::move(w));
  int32_t result = 0;
  // The window procedure may send (nested): it sees the record as it is, this message not yet in it.
  if (m.sent && c.windowProc) result = c.windowProc(m);
  c.inbox.push_back(std::move(m));
  return result;
}

// The window bound to this record for the length of one call (nested calls restore the outer one's
// binding), with what was parked for it taken first.
struct Bound {
  uint32_t window;
  platform::WindowBinding before;
  explicit Bound(Client& c) : window(c.window) {
    before = platform::ClientWindowBind(window, {Receive, &c});
    for (platform::WindowMessage& w : platform::ClientWindowTakeParked(window)) c.inbox.push_back(FromWindow(std::move(w)));
  }
  ~Bound() { platform::ClientWindowBind(window, before); }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;
};

// A send or post failed: when the engine window has gone, so has the connection.
void NoteFailure(Client& c) {
  if (!platform::WindowExists(c.engineWindow)) Disconnect(c);
}

}  // namespace

bool detail::ReceiveOnce(Client& c, int timeoutMs) {
  if (c.fd < 0) return false;
  {
    Bound bound(c);
    platform::ClientWindowPump(c.window, timeoutMs);
  }
  // What the engine sent or posted before it went has been delivered by now.
  if (c.fd >= 0 && !platform::WindowExists(c.engineWindow)) Disconnect(c);
  return c.fd >= 0;
}

bool Connect(Client& c, const ConnectOptions& options) {
  std::string engine = options.enginePath.empty() ? platform::EngineProgramPath() : options.enginePath;
  int64_t deadline = NowMs() + options.timeoutMs;
  platform::OsHandle startupPipe = platform::kNoHandle;
  bool started = false;
  bool startFailed = false;
  bool engineExited = false;
  std::string startupText;
  c.connectError.clear();
  c.engineLines.clear();
  if (c.fd >= 0) Disconnect(c);
  uint32_t engineWindow = platform::FindEngineWindow();
  if (engineWindow == 0 && options.startEngine) {
    startupPipe = platform::StartEngineProcess(engine);
    started = true;
    startFailed = startupPipe == platform::kNoHandle;
  }
  // The started engine registers its window; one that exits first closes its standard error.
  while (engineWindow == 0 && started && !startFailed && !engineExited && NowMs() < deadline) {
    platform::SleepMs(5);
    engineExited = platform::ReadPipeText(startupPipe, 0, &startupText);
    engineWindow = platform::FindEngineWindow();
  }
  if (engineWindow != 0) {
    c.window = platform::ClientWindowCreate();
    if (c.window != 0) {
      c.engineWindow = engineWindow;
      c.fd = 0;
      c.startupPipe = startupPipe;
      c.engineLines = EngineLines(startupText);
      return true;
    }
    c.connectError = "this client's window could not be created";
  } else if (startupPipe != platform::kNoHandle && !engineExited) {
    platform::ReadPipeText(startupPipe, 50, &startupText);
  }
  if (c.connectError.empty()) {
    std::string lines = EngineLines(startupText);
    if (!lines.empty())
      c.connectError = "the engine started and stopped: " + lines;
    else if (startFailed || engineExited)
      c.connectError = "no engine window is open, and " + engine + " could not be started";
    else if (started)
      c.connectError = "no engine window is open: the one started (" + engine + ") did not open one in time";
    else
      c.connectError = "no engine window is open";
  }
  platform::CloseOsHandle(startupPipe);
  return false;
}

void Disconnect(Client& c) {
  if (c.window != 0) {
    // What was parked for this client stays its own.
    for (platform::WindowMessage& w : platform::ClientWindowTakeParked(c.window)) c.inbox.push_back(FromWindow(std::move(w)));
    platform::ClientWindowDestroy(c.window);
  }
  c.window = 0;
  c.fd = kNotConnected;
  platform::CloseOsHandle(c.startupPipe);
  c.startupPipe = platform::kNoHandle;
}

bool Post(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  if (c.fd < 0) return false;
  if (platform::WindowPost(c.engineWindow, msg, wParam, lParam)) return true;
  NoteFailure(c);
  return false;
}

bool Send(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam, int32_t* result, int timeoutMs) {
  if (c.fd < 0) return false;
  bool answered;
  {
    Bound bound(c);
    answered = platform::WindowSend(c.engineWindow, msg, wParam, lParam, timeoutMs, result);
  }
  if (!answered) NoteFailure(c);
  return answered;
}

bool SendCopyData(Client& c, uint16_t type, uint16_t argument, const void* data, uint32_t size, int32_t* result,
                  int timeoutMs) {
  if (c.fd < 0) return false;
  bool answered;
  {
    Bound bound(c);
    answered = platform::WindowSendCopyData(c.engineWindow, c.window, CopyDataWord(type, argument), data, size,
                                            timeoutMs, result);
  }
  if (!answered) NoteFailure(c);
  return answered;
}

bool PostCopyData(Client&, uint16_t, uint16_t, const void*, uint32_t) {
  return false;  // the system cannot post WM_COPYDATA: its bytes live only as long as a send
}

}  // namespace tovu
