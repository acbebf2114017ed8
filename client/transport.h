// The client library's transport: how a client reaches the engine window and exchanges messages with
// it (connecting, starting an engine when none answers, posting, sending and waiting for the result,
// receiving into the inbox). It knows message numbers and frames, never what a payload holds: the
// payloads are built and read by protocol/payloads.h, and tovu_client.h joins the two into one call
// per request. On Linux it runs over the engine bus (a Unix socket, transport_bus.cpp); on Windows
// with window messages from a hidden window of the client's own (transport_window.cpp): the engine
// window found by its class, sends by SendMessageTimeout, posts by PostMessage. The inbox, waiting
// and notifications are shared (transport.cpp).
//
// A `Client` is one window on the engine bus (one connection). A program may hold several. A client
// is used from one thread at a time.
//
// Receiving. Everything the engine addresses to the window (posted notifications, sent answers,
// position and start messages) is appended to `inbox` in arrival order. Messages the engine SENDs
// are also handed to `windowProc` when one is set; its result is the reply (0 without one). While a
// Send waits for its reply, SENDs addressed to the window are answered at once (nested, so a
// synchronous command never deadlocks against the engine's answer) and POSTs are kept for the loop.
// `PumpMessages` reads for a while and delivers what arrives; `WaitForMessage` waits for one that
// matches.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/os_handle.h"
#include "protocol/protocol.h"

namespace tovu {

// The catalogue's numbers and codes (protocol.h), as tovu::kEngineCommand, tovu::kNotifyFailed, ...
using namespace protocol;

struct Message {
  uint32_t msg = 0;
  uint32_t wParam = 0;
  uint32_t lParam = 0;
  uint32_t dwData = 0;
  std::vector<uint8_t> payload;
  bool sent = false;  // delivered with SEND (the engine waited for our reply)
};

// Window handles are 32-bit values on both systems (on Windows, HWND and kernel handle values fit in
// 32 bits, sign-extended in 64-bit processes). A Client may be moved between calls.
struct Client {
  int fd = -1;                // the bus socket; on Windows 0 while connected (no descriptor), -1 when not
  uint32_t window = 0;        // this client's window handle (from the engine's HELLO on Linux)
  uint32_t engineWindow = 0;  // the engine window's handle
  platform::OsHandle startupPipe = platform::kNoHandle;       // reading end of a started engine's standard error, until registered
  // The lines a started engine wrote on its standard error before this client registered ("tovu: "
  // taken off): why it has no MIDI devices, for instance. Empty when the engine was running already.
  std::string engineLines;
  // Why Connect failed, in words: a socket directory that is not private, an engine that could not
  // be started or that exited (with its own line), nothing answering.
  std::string connectError;
  std::function<int32_t(const Message&)> windowProc;
  std::deque<Message> inbox;
  // internal
  std::vector<uint8_t> in;
  uint32_t nextSendId = 1;
  std::vector<uint32_t> repliesWanted;
  std::vector<std::pair<uint32_t, int32_t>> repliesGot;
};

struct ConnectOptions {
  std::string socketPath;   // empty: the platform's bus path (TOVU_ENGINE_SOCKET and so on); unused on Windows
  bool startEngine = true;  // start tovu-engine when nothing answers
  std::string enginePath;   // empty: TOVU_ENGINE_BINARY, beside this program, or on PATH
  int timeoutMs = 5000;     // how long to wait for a started engine to answer
};

// Connects and reads the engine's HELLO (on Windows: finds the engine window, starting the engine
// hidden when none is open, and creates this client's window). False when no engine could be reached, and at once when the
// socket's directory is not private to this user or the engine answering runs as another user (no
// engine is started then).
bool Connect(Client& client, const ConnectOptions& options = {});
void Disconnect(Client& client);
bool Connected(const Client& client);
// Once the engine has taken this client's registration: reads what a started engine has written on
// its standard error meanwhile into `engineLines` and closes the start-up pipe.
void KeepEngineLines(Client& client);

// Raw messages to the engine window. Send waits up to timeoutMs for the result (false on timeout
// or disconnection).
bool Post(Client& client, uint32_t msg, uint32_t wParam, uint32_t lParam);
bool Send(Client& client, uint32_t msg, uint32_t wParam, uint32_t lParam, int32_t* result, int timeoutMs = 10000);
bool SendCopyData(Client& client, uint16_t type, uint16_t argument, const void* data, uint32_t size,
                  int32_t* result = nullptr, int timeoutMs = 10000);
// Always false on Windows: the system cannot post WM_COPYDATA (use SendCopyData).
bool PostCopyData(Client& client, uint16_t type, uint16_t argument, const void* data, uint32_t size);
// Engine command 1624 with the given code, sent synchronously; returns the result, -1 on failure.
int32_t Command(Client& client, uint32_t code, uint32_t lParam);

// Reads for up to timeoutMs and delivers what arrives. False once the connection has closed.
bool PumpMessages(Client& client, int timeoutMs);
// Waits until a message in the inbox matches (it is removed and returned). False on timeout.
bool WaitForMessage(Client& client, const std::function<bool(const Message&)>& match, int timeoutMs,
                    Message* out = nullptr);
bool WaitForNotification(Client& client, uint32_t code, int timeoutMs, uint32_t* lParam = nullptr);
// A notification: the engine command message posted to the client.
struct NotificationInfo {
  uint32_t code = 0;    // wParam: 5, 10, 12, 14 or 21
  uint32_t lParam = 0;  // the error code for 10; 0/1 flags for the others
};
// True (filling `info`) when the message is a notification.
bool AsNotification(const Message& message, NotificationInfo* info);
// True when the message is a copy-data message of the given type.
bool IsCopyData(const Message& message, uint32_t type);
// Removes and returns the notifications in the inbox, in arrival order; other messages stay.
std::vector<NotificationInfo> TakeNotifications(Client& client);
// Removes and returns the copy-data messages of one type in the inbox, in arrival order.
std::vector<Message> TakeCopyData(Client& client, uint32_t type);
// Removes and returns every message in the inbox.
std::vector<Message> TakeInbox(Client& client);

}  // namespace tovu
