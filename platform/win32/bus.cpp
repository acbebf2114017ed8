// The engine window on Windows: a real top-level window of the class "TovuEngine", its message loop,
// and messages to client windows by PostMessageA and SendMessageTimeoutA. See bus.h for the entry
// points; here the system does what the Linux bus does by hand.
//
//   nesting    While the main thread waits in a send, the system delivers the messages that other
//              threads and processes send to the engine window (their handlers run nested); posts
//              wait for the loop.
//   2 s        A send that has no answer after 2 s is abandoned (result 0); a window whose thread has
//              not taken messages for a while (the system's "hung" test) is not waited for at all.
//   no wait    Sends that must never hold their caller up (positions from the timer thread and the
//              notifier) go as SendNotifyMessageA: the client receives them as sent messages, ahead
//              of anything posted to it later; payloads cannot travel so and are sent with the limit.
//   gates      A gated send checks its gate and queues its message under the order lock, and every
//              other message to a client passes that lock first: once a thread has changed the gate
//              and then posts or sends, no gated message can follow its own.
//   closed     A window found gone when a message to it fails signals the events handed out for it
//              (BusWindowClosedHandle), so that the liveness watcher unregisters its client.
//
// Threads: the window, its loop, timers and BusDispatchNow on the main thread (the thread that
// called BusCreate); posts and sends from any thread; the closed-event table under its own lock.
#include "platform/bus.h"

#include <cstring>
#include <vector>

#include "platform/event.h"
#include "platform/win32/handles.h"

namespace platform {

namespace win32 {
extern const char kEngineClass[] = "TovuEngine";
}  // namespace win32

struct Bus {
  HWND hwnd = nullptr;
  uint32_t window = 0;
  DWORD mainThread = 0;
  BusDispatch dispatch = nullptr;
  void* context = nullptr;
  BusWindowClosed closed = nullptr;
  void* closedContext = nullptr;
  std::atomic<bool> abandoned{false};
  bool quit = false;
  bool shown = false;
  HANDLE loopEnded = nullptr;  // manual-reset: the loop has returned
  CRITICAL_SECTION order;
  CRITICAL_SECTION watchLock;
  struct Watched {
    uint32_t hwnd;
    HANDLE event;  // manual-reset, set when the window is found gone
  };
  std::vector<Watched> watched;
};

namespace {

Bus* g_bus = nullptr;  // the one engine window's bus, for the console handler

bool RoutedToEngine(UINT msg) {
  return msg == WM_CLOSE || msg == WM_DESTROY || msg == WM_COPYDATA || msg == WM_TIMER || msg >= WM_USER;
}

LRESULT CALLBACK EngineWindowProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Bus* bus = reinterpret_cast<Bus*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!bus || !bus->dispatch || !RoutedToEngine(msg)) {
    // Closing is the engine's to decide: a WM_CLOSE before the engine is set up is not a destroy.
    if (msg == WM_CLOSE) return 0;
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  BusMessage m;
  m.hwnd = win32::Low32(hwnd);
  m.msg = msg;
  m.wParam = static_cast<uint32_t>(wParam);
  m.lParam = static_cast<uint32_t>(lParam);
  if (msg == WM_COPYDATA) {
    const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (!data) return 0;
    m.dwData = static_cast<uint32_t>(data->dwData);
    m.cbData = data->lpData ? data->cbData : 0;
    m.payload = static_cast<const uint8_t*>(data->lpData);
  }
  return static_cast<LRESULT>(bus->dispatch(bus->context, m));
}

// A message to `hwnd` failed: when the window is gone, the events handed out for it are set (and
// the closed handler runs, on the main thread).
void NoteFailure(Bus* bus, uint32_t hwnd) {
  if (IsWindow(win32::WindowOf(hwnd))) return;
  bool known = false;
  EnterCriticalSection(&bus->watchLock);
  for (size_t i = 0; i < bus->watched.size();) {
    if (bus->watched[i].hwnd == hwnd) {
      SetEvent(bus->watched[i].event);
      ::CloseHandle(bus->watched[i].event);
      bus->watched.erase(bus->watched.begin() + static_cast<long>(i));
      known = true;
    } else {
      ++i;
    }
  }
  LeaveCriticalSection(&bus->watchLock);
  if (known && bus->closed && GetCurrentThreadId() == bus->mainThread) bus->closed(bus->closedContext, hwnd);
}

// Orders this message after any gated send already past its gate.
void PassOrderLock(Bus* bus) {
  EnterCriticalSection(&bus->order);
  LeaveCriticalSection(&bus->order);
}

BOOL WINAPI ConsoleControl(DWORD type) {
  Bus* bus = g_bus;
  if (!bus || !bus->hwnd) return FALSE;
  PostMessageA(bus->hwnd, WM_CLOSE, 0, 0);
  // For a console that closes, a logoff or a shutdown, the process ends when this returns: the
  // engine is given a few seconds to silence its outputs and tell its clients.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(bus->loopEnded, 4000);
  return TRUE;
}

}  // namespace

namespace win32 {

bool RegisterEngineClass() {
  WNDCLASSA wc{};
  wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = EngineWindowProcedure;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kEngineClass;
  return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace win32

Bus* BusCreate(const std::string&, int listenFd, BusDispatch dispatch, void* context) {
  Bus* bus = new Bus;
  InitializeCriticalSection(&bus->order);
  InitializeCriticalSection(&bus->watchLock);
  bus->mainThread = GetCurrentThreadId();
  bus->loopEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Without BusListen's registration (an engine in process, for tests) the window is message-only:
  // FindWindowA never finds it, so no client can reach it, but its own posts still arrive.
  bool listening = listenFd >= 0;
  if (listening || win32::RegisterEngineClass()) {
    bus->hwnd = CreateWindowExA(0, win32::kEngineClass, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, listening ? nullptr : HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                                nullptr);
  }
  if (bus->hwnd) {
    SetWindowLongPtrA(bus->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(bus));
    bus->window = win32::Low32(bus->hwnd);
    bus->dispatch = dispatch;
    bus->context = context;
  }
  g_bus = bus;
  return bus;
}

void BusDestroy(Bus* bus) {
  if (!bus) return;
  if (g_bus == bus) g_bus = nullptr;
  SetConsoleCtrlHandler(ConsoleControl, FALSE);
  bus->dispatch = nullptr;
  if (bus->hwnd) DestroyWindow(bus->hwnd);
  UnregisterClassA(win32::kEngineClass, GetModuleHandleA(nullptr));
  for (const Bus::Watched& w : bus->watched) ::CloseHandle(w.event);
  if (bus->loopEnded) ::CloseHandle(bus->loopEnded);
  DeleteCriticalSection(&bus->watchLock);
  DeleteCriticalSection(&bus->order);
  delete bus;
}

uint32_t BusEngineWindow(const Bus* bus) { return bus ? bus->window : 0; }

void BusRun(Bus* bus) {
  if (!bus || !bus->hwnd) return;
  if (!bus->shown) {
    // Visible or not as the launcher asked (the client library starts the engine hidden).
    ShowWindow(bus->hwnd, SW_SHOWDEFAULT);
    UpdateWindow(bus->hwnd);
    bus->shown = true;
  }
  MSG msg;
  while (!bus->quit && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  bus->quit = true;
  SetEvent(bus->loopEnded);
}

int BusTurn(Bus* bus, int timeoutMs) {
  if (!bus || bus->quit) return -1;
  MSG msg;
  if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      bus->quit = true;
      return -1;
    }
    DispatchMessageA(&msg);
    return 1;
  }
  MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), QS_ALLINPUT,
                              MWMO_INPUTAVAILABLE);
  return 0;
}

void BusPostQuit(Bus* bus) {
  if (bus) PostQuitMessage(0);
}

int32_t BusDispatchNow(Bus* bus, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  if (!bus || !bus->hwnd || !bus->dispatch) return -1;
  BusMessage m;
  m.hwnd = bus->window;
  m.msg = msg;
  m.wParam = wParam;
  m.lParam = lParam;
  return bus->dispatch(bus->context, m);
}

void BusPostToEngine(Bus* bus, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  if (bus && bus->hwnd) PostMessageA(bus->hwnd, msg, win32::WParamOf(wParam), win32::LParamOf(lParam));
}

void BusPost(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  if (!bus || hwnd == 0 || hwnd == bus->window) return;
  PassOrderLock(bus);
  if (!PostMessageA(win32::WindowOf(hwnd), msg, win32::WParamOf(wParam), win32::LParamOf(lParam))) NoteFailure(bus, hwnd);
}

namespace {

int32_t SendWithLimit(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                      const void* payload, uint32_t cbData) {
  LPARAM l = win32::LParamOf(lParam);
  COPYDATASTRUCT data{};
  if (msg == kWmCopyData) {
    data.dwData = dwData;
    data.cbData = payload ? cbData : 0;
    data.lpData = const_cast<void*>(payload);
    l = reinterpret_cast<LPARAM>(&data);
  }
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(win32::WindowOf(hwnd), msg, win32::WParamOf(wParam), l, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                           kBusSendTimeoutMs, &result)) {
    NoteFailure(bus, hwnd);
    return 0;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(result));
}

bool Sendable(const Bus* bus, uint32_t hwnd) {
  return bus && hwnd != 0 && hwnd != bus->window && !bus->abandoned.load(std::memory_order_acquire);
}

}  // namespace

// A posted message has no cap to pass on Windows.
void BusPostPastLimits(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  BusPost(bus, hwnd, msg, wParam, lParam);
}

int32_t BusSend(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                const void* payload, uint32_t cbData, bool* written) {
  if (written) *written = false;
  if (!Sendable(bus, hwnd)) return 0;
  PassOrderLock(bus);
  int32_t result = SendWithLimit(bus, hwnd, msg, wParam, lParam, dwData, payload, cbData);
  if (written) *written = IsWindow(win32::WindowOf(hwnd)) != 0;
  return result;
}

int32_t BusSendGated(Bus* bus, const BusGate& gate, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam,
                     uint32_t dwData, const void* payload, uint32_t cbData) {
  if (!Sendable(bus, hwnd)) return 0;
  EnterCriticalSection(&bus->order);
  if (gate.value && gate.value->load(std::memory_order_acquire) != gate.expected) {
    LeaveCriticalSection(&bus->order);
    return 0;
  }
  if (msg != kWmCopyData) {
    BOOL queued = SendNotifyMessageA(win32::WindowOf(hwnd), msg, win32::WParamOf(wParam), win32::LParamOf(lParam));
    LeaveCriticalSection(&bus->order);
    if (!queued) NoteFailure(bus, hwnd);
    return 0;
  }
  LeaveCriticalSection(&bus->order);
  return SendWithLimit(bus, hwnd, msg, wParam, lParam, dwData, payload, cbData);
}

bool BusSendNoWait(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                   const void* payload, uint32_t cbData) {
  if (!Sendable(bus, hwnd)) return false;
  PassOrderLock(bus);
  if (msg == kWmCopyData) {
    // A payload cannot be queued without a wait: it goes with the 2 s limit.
    SendWithLimit(bus, hwnd, msg, wParam, lParam, dwData, payload, cbData);
    return IsWindow(win32::WindowOf(hwnd)) != 0;
  }
  if (SendNotifyMessageA(win32::WindowOf(hwnd), msg, win32::WParamOf(wParam), win32::LParamOf(lParam))) return true;
  NoteFailure(bus, hwnd);
  return false;
}

void BusAbandonSends(Bus* bus) {
  // A send already waiting ends within its 2 s limit; none waits from now on.
  if (bus) bus->abandoned.store(true, std::memory_order_release);
}

void BusWatchTermination(Bus* bus, int) {
  if (bus && bus->hwnd) SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

// The window lives as long as the engine, and the semaphore cannot be taken from it.
void BusKeepEndpoint(Bus*, int*) {}

void BusSetWindowClosedHandler(Bus* bus, BusWindowClosed closed, void* context) {
  if (!bus) return;
  bus->closed = closed;
  bus->closedContext = context;
}

void BusSetWaitHook(Bus*, BusWaitHook, void*) {
  // The system waits for answers itself; there is no wait of ours to hook.
}

void BusSetTimer(Bus* bus, uint32_t id, int32_t ms) {
  if (!bus || !bus->hwnd) return;
  SetTimer(bus->hwnd, id, ms <= 0 ? USER_TIMER_MINIMUM : static_cast<UINT>(ms), nullptr);
}

bool BusKillTimer(Bus* bus, uint32_t id) { return bus && bus->hwnd && KillTimer(bus->hwnd, id) != 0; }

int32_t BusWindowProcess(Bus* bus, uint32_t hwnd) {
  if (!bus || hwnd == 0 || hwnd == bus->window) return 0;
  DWORD pid = 0;
  if (GetWindowThreadProcessId(win32::WindowOf(hwnd), &pid) == 0) return 0;
  return static_cast<int32_t>(pid);
}

int BusWindowClosedHandle(Bus* bus, uint32_t hwnd) {
  if (!bus || !IsWindow(win32::WindowOf(hwnd))) return -1;
  EnterCriticalSection(&bus->watchLock);
  HANDLE event = nullptr;
  for (const Bus::Watched& w : bus->watched)
    if (w.hwnd == hwnd) event = w.event;
  if (!event) {
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event) {
      try {
        bus->watched.push_back({hwnd, event});
      } catch (...) {
        ::CloseHandle(event);
        event = nullptr;
      }
    }
  }
  HANDLE copy = nullptr;
  if (event) DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  LeaveCriticalSection(&bus->watchLock);
  return win32::IntOf(copy);
}

bool BusWindowExists(Bus* bus, uint32_t hwnd) {
  return bus && hwnd != 0 && IsWindow(win32::WindowOf(hwnd)) != 0;
}

}  // namespace platform
