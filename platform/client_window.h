// A client's own window on Windows: the hidden window the client library receives the engine's
// messages with, and the window messages it sends and posts to the engine window. The client
// library's Windows connection (client/transport_window.cpp) builds on this; on Linux the client
// speaks frames over the engine bus instead (posix/bus_client.h).
//
// Window handles and message parameters are 32-bit values (sent sign-extended, read as their low 32
// bits), as everywhere in the platform layer.
//
// Receiving. A window is bound to a receiver while a call of its owner runs and unbound otherwise,
// so that the owner's record may move between calls. Messages the system delivers to a bound window
// go to the receiver (a sent message's result is the receiver's); to an unbound window they are
// parked, in arrival order, and a sent one is answered 0. The owner takes the parked ones at its
// next call. Everything runs on the thread that created the window.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

struct WindowMessage {
  uint32_t msg = 0;
  uint32_t wParam = 0;
  uint32_t lParam = 0;
  uint32_t dwData = 0;          // WM_COPYDATA: the COPYDATASTRUCT's dwData
  std::vector<uint8_t> payload;  // WM_COPYDATA: a copy of its bytes
  bool sent = false;             // sent (the sender waits for the result), not posted
};

using WindowReceiver = int32_t (*)(void* context, WindowMessage&& message);
struct WindowBinding {
  WindowReceiver receive = nullptr;  // nullptr: unbound (messages are parked)
  void* context = nullptr;
};

// A hidden message-only window of this process's client class; 0 on failure.
uint32_t ClientWindowCreate();
void ClientWindowDestroy(uint32_t window);
// Binds the window and returns the binding it had.
WindowBinding ClientWindowBind(uint32_t window, WindowBinding binding);
std::vector<WindowMessage> ClientWindowTakeParked(uint32_t window);
// Delivers what is waiting for this thread (sent messages to any of its windows, posted ones to
// `window`), first waiting up to timeoutMs for something to arrive when nothing is there.
void ClientWindowPump(uint32_t window, int timeoutMs);

// The engine window (class "TovuEngine"); 0 when none exists.
uint32_t FindEngineWindow();
bool WindowExists(uint32_t window);
// SendMessageTimeout to `to`, delivering sent messages to this thread's windows meanwhile. False
// when the window is gone or did not answer within timeoutMs.
bool WindowSend(uint32_t to, uint32_t msg, uint32_t wParam, uint32_t lParam, int timeoutMs, int32_t* result);
// WM_COPYDATA from `from` to `to` (wParam = from), likewise.
bool WindowSendCopyData(uint32_t to, uint32_t from, uint32_t dwData, const void* data, uint32_t size, int timeoutMs,
                        int32_t* result);
bool WindowPost(uint32_t to, uint32_t msg, uint32_t wParam, uint32_t lParam);

}  // namespace platform
