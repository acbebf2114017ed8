// The engine bus, server side: the engine window as a listening Unix socket, one client window per
// accepted connection, and the engine's message queue.
//
// Threads:
//   main thread  runs BusRun: accepts, reads frames, queues POSTs and SENDs in arrival order and
//                dispatches them one at a time; expires window timers. While the main thread waits in
//                BusSend for a client's REPLY, the queued messages run nested (at most 32 handlers
//                deep, each connection's in the order written): the engine's own work, other
//                clients' messages, and the SENDs a client makes while it handles the engine's
//                message. A close is never run nested; from the moment it is read nothing waits.
//   any thread   BusPostToEngine (engine-internal posts), BusPost and BusSend to client windows.
//                A SEND from another thread waits for its REPLY, which the main thread routes to it.
// Shared data: the window and peer tables and each connection's output buffer are guarded by short
// locks; the message queue by its own lock. No lock is held while a message is dispatched.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/os_handle.h"

namespace platform {

struct BusMessage {
  uint32_t hwnd = 0;
  uint32_t msg = 0;
  uint32_t wParam = 0;
  uint32_t lParam = 0;
  uint32_t dwData = 0;
  uint32_t cbData = 0;
  const uint8_t* payload = nullptr;  // valid only during the dispatch
  // The window whose connection the message came from: 0 for the engine's own messages, and where
  // the system does not tell (a message sent or posted on Windows).
  uint32_t source = 0;
};

// The window procedure's entry: runs on the main thread; the result goes back to a SEND's sender.
using BusDispatch = int32_t (*)(void* context, const BusMessage& message);

constexpr uint32_t kWmCreate = 0x0001;
constexpr uint32_t kWmDestroy = 0x0002;
constexpr uint32_t kWmClose = 0x0010;
constexpr uint32_t kWmCopyData = 0x004A;
constexpr uint32_t kWmTimer = 0x0113;
constexpr uint32_t kWmDeviceChange = 0x0219;  // the system's devices changed (Windows)

constexpr int kBusSendTimeoutMs = 2000;
constexpr size_t kBusOutputCap = 16u * 1024 * 1024;
// Windows one process may hold at once; its further connections are closed at once.
constexpr int kMaxWindowsPerProcess = 256;

struct Bus;

// Takes ownership of the listener a claim made (EngineClaim's; kNoHandle for a bus no client can
// reach, as tests use). The engine window's handle is fixed here.
Bus* BusCreate(const std::string& socketPath, OsHandle listener, BusDispatch dispatch, void* context);
// Removes the socket file and closes the listening socket, then closes every connection (after a
// bounded flush of what is queued for it).
void BusDestroy(Bus* bus);
uint32_t BusEngineWindow(const Bus* bus);

// The message loop (main thread). Returns after BusPostQuit once the messages queued before the quit
// have been handled.
void BusRun(Bus* bus);
// One turn of the loop (main thread): handles one queued message (1), or waits up to timeoutMs
// (-1: until something happens) for I/O and timers (0); -1 once the quit has been reached.
int BusTurn(Bus* bus, int timeoutMs);
// Main thread: marks the end of the queue; nothing queued after it is handled.
void BusPostQuit(Bus* bus);
// Dispatches one message directly on the calling (main) thread, as window creation does.
int32_t BusDispatchNow(Bus* bus, uint32_t msg, uint32_t wParam, uint32_t lParam);

// Any thread: queue a message for the engine window.
void BusPostToEngine(Bus* bus, uint32_t msg, uint32_t wParam, uint32_t lParam);
// Any thread: post to a client window; dropped when the window does not exist or its output is full.
void BusPost(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam);
// Any thread: as BusPost, but taken past the window's output cap and the output budget: for the one
// notification that tells a client its take was lost (at most one a recording).
void BusPostPastLimits(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam);
// Any thread: send and wait (at most 2 s) for the window's result; 0 when the window does not exist,
// its output is full, no REPLY comes in time, or the send is not waited for. Not waited for: a
// window of a process that let a send run out (the message is still written) until a REPLY comes
// from it to a SEND in flight; any window once the engine closes; and on the main thread, a window
// of any process but the one whose message is being handled (the engine's own work waits for
// nobody), or of a process already waited for beneath, unless this is that window's own request
// nested in the wait. A main-thread wait is also let go as soon as a wait beneath it is over, or at
// the nesting limit when another client's message waits to run. The engine window itself is not a
// target. *written (when given) says whether the message was queued for the window at all.
int32_t BusSend(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                const void* payload, uint32_t cbData, bool* written = nullptr);

// A condition for a send, looked at under the window's write lock just before the frame is queued:
// the frame goes out only while *value equals expected. A thread that changes *value before it
// queues frames of its own to the same window knows that no gated frame can follow them.
struct BusGate {
  const std::atomic<uint32_t>* value = nullptr;
  uint32_t expected = 0;
};
// Any thread: BusSend when the gate is open; 0 (nothing sent) when it is closed.
int32_t BusSendGated(Bus* bus, const BusGate& gate, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam,
                     uint32_t dwData, const void* payload, uint32_t cbData);
// Any thread: queues a SEND without waiting for its REPLY (which is ignored when it comes), so that
// it keeps its place among the window's messages but never holds the caller up. False when the
// window does not exist or its output is full.
bool BusSendNoWait(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                   const void* payload, uint32_t cbData);
// Main thread, at the teardown: sends from other threads waiting for a REPLY (which only the main
// thread can route) give up now, and later ones give up at once, so that their threads can be joined.
void BusAbandonSends(Bus* bus);

// Main thread: from now on a termination request arriving on `termination` (PrepareEngineProcess's;
// the bus owns it), or on Windows a console control event, is queued as WM_CLOSE, so that the
// engine closes as if asked to.
void BusWatchTermination(Bus* bus, OsHandle termination);

// Main thread: keeps the engine window where clients look for it, for the engine's whole life. When
// the socket file, the instance guard's lock file or their directory is removed under the running
// engine (a cleaner of temporary files), they are made again: the guard renewed in *guard (which
// must outlive the bus) and the socket bound afresh, so that no second engine can take the path.
// The socket is then removed at BusDestroy only while it is still this engine's. Nothing on Windows.
void BusKeepEndpoint(Bus* bus, OsHandle* guard);

// Main thread: `closed` is called with a client window's handle when its connection has closed
// (the peer went away, a bad frame, a write that failed for good), before BusDestroy. Null: none.
using BusWindowClosed = void (*)(void* context, uint32_t hwnd);
void BusSetWindowClosedHandler(Bus* bus, BusWindowClosed closed, void* context);

// A test seam: called on the main thread each time BusSend, waiting for a REPLY, is about to wait
// for I/O, so that a single-threaded test can play the clients' side. Null (the default): none.
using BusWaitHook = void (*)(void* context);
void BusSetWaitHook(Bus* bus, BusWaitHook hook, void* context);

// Window timers (main thread). Expiry is queued as WM_TIMER with the id in wParam, repeating every
// `ms` until killed. A hold of 0 or below expires at the next turn of the loop.
void BusSetTimer(Bus* bus, uint32_t id, int32_t ms);
bool BusKillTimer(Bus* bus, uint32_t id);

// The process owning a window (its connection's peer), or 0 when no such window exists.
int32_t BusWindowProcess(Bus* bus, uint32_t hwnd);
// A handle that becomes ready when the window's connection closes (a duplicate the caller owns and
// closes), or kNoHandle when no such window exists.
OsHandle BusWindowClosedHandle(Bus* bus, uint32_t hwnd);
bool BusWindowExists(Bus* bus, uint32_t hwnd);

}  // namespace platform
