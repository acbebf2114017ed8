// The engine window on Windows: a real top-level window of the class "TovuEngine", its message loop,
// and messages to client windows. See bus.h for the entry points; here the system does much of what
// the Linux bus does by hand, and the rest is done around it:
//
//   targets    Only a window that exists is posted or sent to: HWND_BROADCAST and the other special
//              handles name no window and are refused, as a handle naming no window is on Linux.
//   couriers   A send to a client's window goes out on a thread of its own per client process (its
//              courier: sends to one process leave in order), by SendMessageTimeoutA with the 2 s
//              limit, so that the main thread never sits in a send to a client. The main thread
//              waits for the answer only while it handles a message that was sent to it (its sender
//              waits anyway), and meanwhile serves everybody: messages sent to the engine window are
//              delivered by the system, posted ones (other clients', the engine's own, its timers) are
//              taken and handled nested, at most kMaxNesting handlers deep. A wait is let go as soon
//              as a wait beneath it is over, at the nesting limit when a posted message waits, and at
//              a close. The answer to a message sent while the client is itself inside a send to the
//              engine (its own request, nested in the wait for it) is sent from the main thread
//              directly, so that the client receives it inside that send, as the system would.
//   peers      Each client process is answering or silent:
//                answering --a send to any of its windows ran out (or it counts as hung)--> silent
//                silent --a send to any of its windows was answered--> answering
//              A send to a silent process is queued for its courier and not waited for.
//   gates      A gated send checks its gate and queues its message under the order lock, and every
//              other message to a client passes that lock first: once a thread has changed the gate
//              and then posts or sends, no gated message can follow its own.
//   closed     A window found gone when a message to it fails signals the events handed out for it
//              (BusWindowClosedHandle), so that the liveness watcher unregisters its client.
//   the loop   A GetMessageA that fails (wine fails one for a copy-data message too large to map)
//              does not end the loop; only WM_QUIT does. A WM_CLOSE found in a wait, or sent while
//              a handler runs, ends every wait and runs in its turn at the loop.
//
// Threads: the window, its loop, timers and BusDispatchNow on the main thread (the thread that
// called BusCreate); posts and sends from any thread; a courier thread per client process with
// sends queued (ending after a second with none); the couriers, peers and closed events under the
// shared state's lock.
#include "platform/bus.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "platform/event.h"
#include "platform/win32/handles.h"

namespace platform {

namespace win32 {
extern const char kEngineClass[] = "TovuEngine";
}  // namespace win32

namespace {

constexpr size_t kMaxNesting = 32;        // handlers running at once on the main thread
constexpr DWORD kCourierIdleMs = 1000;    // a courier with nothing to send ends after this
constexpr DWORD kDestroyWaitMs = 500;     // BusDestroy's wait for couriers still sending

// One message for a client window, and what became of it.
struct Delivery {
  HWND to = nullptr;
  uint32_t hwnd = 0;
  UINT msg = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  bool copy = false;
  uint32_t dwData = 0;
  std::vector<uint8_t> payload;
  HANDLE done = nullptr;  // manual-reset, set once it was answered or given up (waited ones only)
  std::atomic<bool> finished{false};
  bool answered = false;  // written before `finished`
  int32_t result = 0;
  int64_t deadlineMs = 0;  // main thread: when its wait gives up
  ~Delivery() {
    if (done) ::CloseHandle(done);
  }
};
using DeliveryRef = std::shared_ptr<Delivery>;

struct Courier {
  DWORD pid = 0;
  std::deque<DeliveryRef> queue;  // under the shared lock
  size_t bytes = 0;               // under the shared lock
  HANDLE wake = nullptr;          // auto-reset
  HANDLE thread = nullptr;        // under the shared lock
  bool running = false;           // under the shared lock
  bool busy = false;              // under the shared lock: inside a send
  std::atomic<bool> silent{false};
  int waits = 0;                  // main thread: waits on this process in the main thread's stack
};
using CourierRef = std::shared_ptr<Courier>;

// What the couriers share with the bus; outlives it while a courier is still inside a send.
struct Shared {
  CRITICAL_SECTION lock;
  std::map<DWORD, CourierRef> couriers;
  bool stopping = false;
  struct Watched {
    uint32_t hwnd;
    HANDLE event;  // manual-reset, set when the window is found gone
  };
  std::vector<Watched> watched;
  Shared() { InitializeCriticalSection(&lock); }
  ~Shared() {
    for (const Watched& w : watched) ::CloseHandle(w.event);
    for (auto& [pid, c] : couriers) {
      if (c->thread) ::CloseHandle(c->thread);
      if (c->wake) ::CloseHandle(c->wake);
    }
    DeleteCriticalSection(&lock);
  }
};
using SharedRef = std::shared_ptr<Shared>;

// A handler running on the main thread: whether its message was sent to the engine window (its
// sender waits for the result) rather than posted.
struct Frame {
  bool sent = false;
};

int64_t NowMs() { return win32::CounterNs() / 1000000; }

}  // namespace

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
  SharedRef shared;
  // Main thread only.
  std::vector<Frame> frames;      // the handlers running, innermost last
  std::vector<Delivery*> waits;   // the main thread's waits, innermost last
  bool postedNext = false;        // the next call of the window procedure handles a posted message
  bool closing = false;           // a close is under way or asked for: nothing waits any more
};

namespace {

Bus* g_bus = nullptr;  // the one engine window's bus, for the console handler

bool RoutedToEngine(UINT msg) {
  return msg == WM_CLOSE || msg == WM_DESTROY || msg == WM_COPYDATA || msg == WM_TIMER || msg == WM_DEVICECHANGE ||
         msg >= WM_USER;
}

LRESULT CALLBACK EngineWindowProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Bus* bus = reinterpret_cast<Bus*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  bool posted = bus && bus->postedNext;
  if (bus) bus->postedNext = false;
  if (!bus || !bus->dispatch || !RoutedToEngine(msg)) {
    // Closing is the engine's to decide: a WM_CLOSE before the engine is set up is not a destroy.
    if (msg == WM_CLOSE) return 0;
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  if ((msg == WM_CLOSE || msg == WM_DESTROY) && !bus->frames.empty()) {
    // Sent while a handler runs (nested): the waits end now, and the close runs at the loop.
    bus->closing = true;
    PostMessageA(hwnd, msg, wParam, lParam);
    return 0;
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
  if (msg == WM_CLOSE || msg == WM_DESTROY) bus->closing = true;
  bus->frames.push_back({!posted});
  LRESULT result = static_cast<LRESULT>(bus->dispatch(bus->context, m));
  bus->frames.pop_back();
  return result;
}

// Main thread: handles a message taken from the queue.
void DispatchPosted(Bus* bus, const MSG& msg) {
  bus->postedNext = msg.hwnd == bus->hwnd;
  DispatchMessageA(&msg);
  bus->postedNext = false;
}

// A message to `hwnd` failed: when the window is gone, the events handed out for it are set (and
// the closed handler runs, when on the main thread).
void NoteFailure(Bus* bus, Shared& shared, uint32_t hwnd) {
  if (IsWindow(win32::WindowOf(hwnd))) return;
  bool known = false;
  EnterCriticalSection(&shared.lock);
  for (size_t i = 0; i < shared.watched.size();) {
    if (shared.watched[i].hwnd == hwnd) {
      SetEvent(shared.watched[i].event);
      ::CloseHandle(shared.watched[i].event);
      shared.watched.erase(shared.watched.begin() + static_cast<long>(i));
      known = true;
    } else {
      ++i;
    }
  }
  LeaveCriticalSection(&shared.lock);
  if (bus && known && bus->closed && GetCurrentThreadId() == bus->mainThread) bus->closed(bus->closedContext, hwnd);
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

// Sends with the 2 s limit on the calling thread. A send that ran out (or found the window's
// thread hung) makes its process silent; one answered makes it answering again.
bool SendNow(Bus* bus, Shared& shared, Courier* peer, Delivery& d) {
  COPYDATASTRUCT data{};
  LPARAM l = d.lParam;
  if (d.copy) {
    data.dwData = d.dwData;
    data.cbData = static_cast<DWORD>(d.payload.size());
    data.lpData = d.payload.empty() ? nullptr : d.payload.data();
    l = reinterpret_cast<LPARAM>(&data);
  }
  DWORD_PTR result = 0;
  bool ok = SendMessageTimeoutA(d.to, d.msg, d.wParam, l, SMTO_NORMAL | SMTO_ABORTIFHUNG, kBusSendTimeoutMs, &result);
  if (ok) {
    d.answered = true;
    d.result = static_cast<int32_t>(static_cast<uint32_t>(result));
    if (peer) peer->silent.store(false);
  } else if (IsWindow(d.to)) {
    if (peer) peer->silent.store(true);
  } else {
    NoteFailure(bus, shared, d.hwnd);
  }
  return ok;
}

void Finish(Delivery& d) {
  d.finished.store(true, std::memory_order_release);
  if (d.done) SetEvent(d.done);
}

struct CourierStart {
  SharedRef shared;
  CourierRef courier;
};

// A courier's thread: the sends queued for one process, in order, until none has come for a while
// or the bus ends (what is still queued then is given up).
DWORD WINAPI CourierMain(void* parameter) {
  std::unique_ptr<CourierStart> start(static_cast<CourierStart*>(parameter));
  Shared& shared = *start->shared;
  Courier& c = *start->courier;
  for (;;) {
    DeliveryRef d;
    EnterCriticalSection(&shared.lock);
    while (c.queue.empty() && !shared.stopping) {
      LeaveCriticalSection(&shared.lock);
      DWORD r = WaitForSingleObject(c.wake, kCourierIdleMs);
      EnterCriticalSection(&shared.lock);
      if (r == WAIT_TIMEOUT && c.queue.empty()) break;
    }
    if (c.queue.empty() || shared.stopping) {
      for (DeliveryRef& left : c.queue) Finish(*left);
      c.queue.clear();
      c.bytes = 0;
      c.running = false;
      LeaveCriticalSection(&shared.lock);
      return 0;
    }
    d = std::move(c.queue.front());
    c.queue.pop_front();
    c.bytes -= d->payload.size() + sizeof(Delivery);
    c.busy = true;
    LeaveCriticalSection(&shared.lock);
    SendNow(nullptr, shared, &c, *d);
    Finish(*d);
    EnterCriticalSection(&shared.lock);
    c.busy = false;
    LeaveCriticalSection(&shared.lock);
  }
}

DWORD ProcessOf(uint32_t hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(win32::WindowOf(hwnd), &pid);
  return pid;
}

// The courier record of a process (made when missing). Caller holds the shared lock.
CourierRef CourierOfLocked(Shared& shared, DWORD pid) {
  CourierRef& c = shared.couriers[pid];
  if (!c) {
    c = std::make_shared<Courier>();
    c->pid = pid;
    c->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  }
  return c;
}

CourierRef CourierOf(Shared& shared, DWORD pid) {
  EnterCriticalSection(&shared.lock);
  CourierRef c;
  try {
    c = CourierOfLocked(shared, pid);
  } catch (...) {
  }
  LeaveCriticalSection(&shared.lock);
  return c;
}

// Queues a delivery for its process's courier, starting the courier's thread when none runs.
// False when it cannot be queued (the process's queue is at its cap, the bus is ending, no thread).
bool Queue(Bus* bus, const CourierRef& c, const DeliveryRef& d) {
  Shared& shared = *bus->shared;
  size_t cost = d->payload.size() + sizeof(Delivery);
  bool queued = false;
  EnterCriticalSection(&shared.lock);
  if (!shared.stopping && c->wake && c->bytes + cost <= kBusOutputCap) {
    try {
      c->queue.push_back(d);
      c->bytes += cost;
      queued = true;
    } catch (...) {
    }
  }
  if (queued && !c->running) {
    if (c->thread) {  // the last one has left its loop and ends now
      WaitForSingleObject(c->thread, INFINITE);
      ::CloseHandle(c->thread);
      c->thread = nullptr;
    }
    auto* start = new (std::nothrow) CourierStart{bus->shared, c};
    c->thread = start ? CreateThread(nullptr, 64 * 1024, CourierMain, start, 0, nullptr) : nullptr;
    if (c->thread) {
      c->running = true;
    } else {
      delete start;
      c->queue.pop_back();
      c->bytes -= cost;
      queued = false;
    }
  }
  LeaveCriticalSection(&shared.lock);
  if (queued) SetEvent(c->wake);
  return queued;
}

DeliveryRef MakeDelivery(uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                         const void* payload, uint32_t cbData) {
  DeliveryRef d;
  try {
    d = std::make_shared<Delivery>();
    d->to = win32::WindowOf(hwnd);
    d->hwnd = hwnd;
    d->msg = msg;
    d->wParam = win32::WParamOf(wParam);
    d->lParam = win32::LParamOf(lParam);
    d->copy = msg == kWmCopyData;
    d->dwData = dwData;
    if (d->copy && payload && cbData > 0)
      d->payload.assign(static_cast<const uint8_t*>(payload), static_cast<const uint8_t*>(payload) + cbData);
  } catch (...) {
    return nullptr;
  }
  return d;
}

// Main thread: true once a wait beneath the innermost one is over: its handler must go on.
bool WaitBeneathIsOver(Bus* bus, int64_t now) {
  for (size_t i = 0; i + 1 < bus->waits.size(); ++i)
    if (bus->waits[i]->finished.load(std::memory_order_acquire) || now >= bus->waits[i]->deadlineMs) return true;
  return false;
}

// Main thread: waits for a delivery its courier is making, serving everybody meanwhile.
void WaitServing(Bus* bus, Courier& peer, Delivery& d) {
  d.deadlineMs = NowMs() + kBusSendTimeoutMs + 200;  // the courier itself gives up at 2 s
  bus->waits.push_back(&d);  // room reserved
  ++peer.waits;
  for (;;) {
    if (d.finished.load(std::memory_order_acquire) || bus->closing || bus->quit) break;
    int64_t now = NowMs();
    if (now >= d.deadlineMs || WaitBeneathIsOver(bus, now)) break;
    bool room = bus->frames.size() < kMaxNesting;
    // At the limit, a posted message that cannot be taken lets this wait go.
    if (!room && HIWORD(GetQueueStatus(QS_POSTMESSAGE | QS_TIMER))) break;
    DWORD wait = static_cast<DWORD>(std::min<int64_t>(50, d.deadlineMs - now));
    MsgWaitForMultipleObjectsEx(1, &d.done, wait, room ? QS_ALLINPUT : QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    MSG msg;
    if (!room) {
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // sent messages only
      continue;
    }
    // Sent messages are delivered inside PeekMessage; posted ones come out of it.
    while (!d.finished.load(std::memory_order_acquire) && !bus->closing &&
           bus->frames.size() < kMaxNesting && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        bus->quit = true;
        PostQuitMessage(static_cast<int>(msg.wParam));
        break;
      }
      if (msg.hwnd == bus->hwnd && (msg.message == WM_CLOSE || msg.message == WM_DESTROY)) {
        bus->closing = true;  // it runs at the loop, once the waits have unwound
        PostMessageA(bus->hwnd, msg.message, msg.wParam, msg.lParam);
        break;
      }
      DispatchPosted(bus, msg);
      if (WaitBeneathIsOver(bus, NowMs())) break;
    }
  }
  --peer.waits;
  bus->waits.pop_back();
}

bool SpecialHandle(uint32_t hwnd) {
  // HWND_BROADCAST, HWND_TOPMOST, HWND_NOTOPMOST, HWND_MESSAGE, HWND_BOTTOM (and none).
  return hwnd == 0 || hwnd == 0xFFFF || hwnd == 0xFFFFFFFFu || hwnd == 0xFFFFFFFEu || hwnd == 0xFFFFFFFDu || hwnd == 1;
}

// A client window that may be sent or posted to: one that exists, not the engine's own.
bool Addressable(const Bus* bus, uint32_t hwnd) {
  return bus && !SpecialHandle(hwnd) && hwnd != bus->window && IsWindow(win32::WindowOf(hwnd));
}

bool Sendable(const Bus* bus, uint32_t hwnd) {
  return Addressable(bus, hwnd) && !bus->abandoned.load(std::memory_order_acquire);
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

Bus* BusCreate(const std::string& endpoint, OsHandle, BusDispatch dispatch, void* context) {
  Bus* bus = new Bus;
  InitializeCriticalSection(&bus->order);
  bus->shared = std::make_shared<Shared>();
  bus->frames.reserve(kMaxNesting + 64);
  bus->waits.reserve(kMaxNesting + 64);
  bus->mainThread = GetCurrentThreadId();
  bus->loopEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // A named endpoint is one a claim registered the class for. Without it (an engine in process, for
  // tests) the window is message-only: FindWindowA never finds it, so no client can reach it, but
  // its own posts still arrive.
  bool listening = !endpoint.empty();
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
  // The couriers are given a little while to deliver what is queued (the teardown's last answers);
  // then they give up the rest, and one still inside a send is left to end by itself (with the
  // state it shares) when its client takes longer.
  Shared& shared = *bus->shared;
  DWORD until = GetTickCount() + kDestroyWaitMs;
  for (;;) {
    bool idle = true;
    EnterCriticalSection(&shared.lock);
    for (auto& [pid, c] : shared.couriers)
      if (!c->queue.empty() || c->busy) idle = false;
    LeaveCriticalSection(&shared.lock);
    if (idle || static_cast<int32_t>(GetTickCount() - until) >= 0) break;
    Sleep(5);
  }
  std::vector<HANDLE> threads;
  EnterCriticalSection(&shared.lock);
  shared.stopping = true;
  for (auto& [pid, c] : shared.couriers) {
    if (c->thread) threads.push_back(c->thread);
    if (c->wake) SetEvent(c->wake);
  }
  LeaveCriticalSection(&shared.lock);
  for (HANDLE t : threads) {
    DWORD left = static_cast<DWORD>(std::max<int32_t>(0, static_cast<int32_t>(until - GetTickCount())));
    WaitForSingleObject(t, left);
  }
  bus->shared.reset();
  if (bus->loopEnded) ::CloseHandle(bus->loopEnded);
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
  int failures = 0;
  while (!bus->quit) {
    BOOL r = GetMessageA(&msg, nullptr, 0, 0);
    if (r == 0) break;
    if (r == -1) {
      // A message the system could not hand over (wine: a copy-data message of some MiB): the loop
      // goes on, and never spins should the failure repeat.
      if (++failures > 8) Sleep(1);
      continue;
    }
    failures = 0;
    DispatchPosted(bus, msg);
  }
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
    DispatchPosted(bus, msg);
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
  bus->frames.push_back({false});
  int32_t result = bus->dispatch(bus->context, m);
  bus->frames.pop_back();
  return result;
}

void BusPostToEngine(Bus* bus, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  if (bus && bus->hwnd) PostMessageA(bus->hwnd, msg, win32::WParamOf(wParam), win32::LParamOf(lParam));
}

void BusPost(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  if (!Addressable(bus, hwnd)) return;
  PassOrderLock(bus);
  if (!PostMessageA(win32::WindowOf(hwnd), msg, win32::WParamOf(wParam), win32::LParamOf(lParam)))
    NoteFailure(bus, *bus->shared, hwnd);
}

// A posted message has no cap to pass on Windows.
void BusPostPastLimits(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  BusPost(bus, hwnd, msg, wParam, lParam);
}

int32_t BusSend(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                const void* payload, uint32_t cbData, bool* written) {
  if (written) *written = false;
  if (!Sendable(bus, hwnd)) return 0;
  PassOrderLock(bus);
  DWORD pid = ProcessOf(hwnd);
  CourierRef peer = pid ? CourierOf(*bus->shared, pid) : nullptr;
  DeliveryRef d = MakeDelivery(hwnd, msg, wParam, lParam, dwData, payload, cbData);
  if (!peer || !d) return 0;
  bool onMain = GetCurrentThreadId() == bus->mainThread;
  if (GetWindowThreadProcessId(d->to, nullptr) == GetCurrentThreadId()) {
    // A window of the calling thread's own (an engine in process, in tests): a direct call.
    SendNow(bus, *bus->shared, peer.get(), *d);
    if (written) *written = true;
    return d->answered ? d->result : 0;
  }
  if (!onMain) {
    // Another thread (the notifier) sends itself, unless the process does not answer.
    if (peer->silent.load()) {
      bool queued = Queue(bus, peer, d);
      if (written) *written = queued;
      return 0;
    }
    SendNow(bus, *bus->shared, peer.get(), *d);
    if (written) *written = d->answered || IsWindow(d->to);
    return d->answered ? d->result : 0;
  }
  // The main thread waits only while handling a message sent to it, never at a close nor for a
  // process that does not answer.
  bool wait = !bus->closing && !bus->frames.empty() && bus->frames.back().sent && !peer->silent.load();
  if (wait && peer->waits > 0) {
    // The process is waited for beneath: this is its own request nested in that wait, and it must
    // receive the answer inside its send to the engine. Sent from here, the system's way.
    SendNow(bus, *bus->shared, peer.get(), *d);
    if (written) *written = d->answered || IsWindow(d->to);
    return d->answered ? d->result : 0;
  }
  if (wait) d->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!Queue(bus, peer, d)) return 0;
  if (written) *written = true;
  if (!wait || !d->done) return 0;
  WaitServing(bus, *peer, *d);
  return d->finished.load(std::memory_order_acquire) && d->answered ? d->result : 0;
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
    if (!queued) NoteFailure(bus, *bus->shared, hwnd);
    return 0;
  }
  LeaveCriticalSection(&bus->order);
  return BusSend(bus, hwnd, msg, wParam, lParam, dwData, payload, cbData);
}

bool BusSendNoWait(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                   const void* payload, uint32_t cbData) {
  if (!Sendable(bus, hwnd)) return false;
  PassOrderLock(bus);
  if (msg == kWmCopyData) {
    // A payload cannot travel without a send that waits: its process's courier makes it.
    DWORD pid = ProcessOf(hwnd);
    CourierRef peer = pid ? CourierOf(*bus->shared, pid) : nullptr;
    DeliveryRef d = MakeDelivery(hwnd, msg, wParam, lParam, dwData, payload, cbData);
    return peer && d && Queue(bus, peer, d);
  }
  if (SendNotifyMessageA(win32::WindowOf(hwnd), msg, win32::WParamOf(wParam), win32::LParamOf(lParam))) return true;
  NoteFailure(bus, *bus->shared, hwnd);
  return false;
}

void BusAbandonSends(Bus* bus) {
  // A send already waiting ends within its 2 s limit; none waits from now on.
  if (bus) bus->abandoned.store(true, std::memory_order_release);
}

void BusWatchTermination(Bus* bus, OsHandle) {
  if (bus && bus->hwnd) SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

// The window lives as long as the engine, and the semaphore cannot be taken from it.
void BusKeepEndpoint(Bus*, OsHandle*) {}

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
  if (!Addressable(bus, hwnd)) return 0;
  return static_cast<int32_t>(ProcessOf(hwnd));
}

OsHandle BusWindowClosedHandle(Bus* bus, uint32_t hwnd) {
  if (!Addressable(bus, hwnd)) return kNoHandle;
  Shared& shared = *bus->shared;
  EnterCriticalSection(&shared.lock);
  HANDLE event = nullptr;
  for (const Shared::Watched& w : shared.watched)
    if (w.hwnd == hwnd) event = w.event;
  if (!event) {
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event) {
      try {
        shared.watched.push_back({hwnd, event});
      } catch (...) {
        ::CloseHandle(event);
        event = nullptr;
      }
    }
  }
  HANDLE copy = nullptr;
  if (event) DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  LeaveCriticalSection(&shared.lock);
  return copy;
}

bool BusWindowExists(Bus* bus, uint32_t hwnd) { return Addressable(bus, hwnd); }

}  // namespace platform
