// The client library's transport: the part every system shares (the inbox, waiting for a message,
// notifications, the engine's own lines). Each system's connection (transport_bus.cpp over the engine
// bus, transport_window.cpp with window messages) provides Connect, the sends and posts and
// detail::ReceiveOnce. See transport.h.
#include "client/transport.h"

#include <algorithm>
#include <iterator>

#include "client/transport_connection.h"
#include "platform/engine_start.h"
#include "platform/event.h"

namespace tovu {

namespace {

// Removes the messages of the inbox that match, in arrival order, and returns them.
template <typename Match>
std::vector<Message> TakeWhere(Client& c, Match match) {
  std::vector<Message> found;
  for (auto it = c.inbox.begin(); it != c.inbox.end();) {
    if (match(*it)) {
      found.push_back(std::move(*it));
      it = c.inbox.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

}  // namespace

int64_t detail::NowMs() { return platform::MonotonicNs() / 1000000; }

using detail::NowMs;

// The engine's own lines among what its standard error carried ("tovu: ..." without that prefix,
// "tovu-engine: ..." and "Error: ..." whole, without the CR of a CR LF); a library the engine uses may add lines of its own,
// which are left out.
std::string detail::EngineLines(const std::string& text) {
  std::string lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows ends lines with CR LF
    if (line.rfind("tovu: ", 0) == 0) line = line.substr(6);
    else if (line.rfind("tovu-engine: ", 0) != 0 && line.rfind("Error: ", 0) != 0) line.clear();
    if (!line.empty()) lines += (lines.empty() ? "" : "\n") + line;
    at = end + 1;
  }
  return lines;
}

int32_t Command(Client& c, uint32_t code, uint32_t lParam) {
  int32_t result = -1;
  if (!Send(c, kEngineCommand, code, lParam, &result)) return -1;
  return result;
}

bool Connected(const Client& c) { return c.fd >= 0; }

// The started engine's pipe holds what it wrote before this client registered: its own lines are
// kept, the pipe closed (both systems keep its reading end in `startupPipe`).
void KeepEngineLines(Client& c) {
  if (c.startupPipe != platform::kNoHandle) {
    std::string text;
    platform::ReadPipeText(c.startupPipe, 0, &text);
    std::string lines = detail::EngineLines(text);
    if (!lines.empty()) c.engineLines += (c.engineLines.empty() ? "" : "\n") + lines;
  }
  platform::CloseOsHandle(c.startupPipe);
  c.startupPipe = platform::kNoHandle;
}

bool PumpMessages(Client& c, int timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    int64_t left = deadline - NowMs();
    if (!detail::ReceiveOnce(c, static_cast<int>(std::max<int64_t>(left, 0)))) return false;
    if (left <= 0) return true;
  }
}

bool WaitForMessage(Client& c, const std::function<bool(const Message&)>& match, int timeoutMs, Message* out) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    for (auto it = c.inbox.begin(); it != c.inbox.end(); ++it)
      if (match(*it)) {
        if (out) *out = std::move(*it);
        c.inbox.erase(it);
        return true;
      }
    int64_t left = deadline - NowMs();
    if (left <= 0 || !detail::ReceiveOnce(c, static_cast<int>(left))) return false;
  }
}

bool WaitForNotification(Client& c, uint32_t code, int timeoutMs, uint32_t* lParam) {
  Message m;
  if (!WaitForMessage(c, [&](const Message& x) { return x.msg == kEngineCommand && x.wParam == code; }, timeoutMs, &m))
    return false;
  if (lParam) *lParam = m.lParam;
  return true;
}

bool AsNotification(const Message& m, NotificationInfo* info) {
  if (m.msg != kEngineCommand || m.sent) return false;
  if (info) *info = {m.wParam, m.lParam};
  return true;
}

bool IsCopyData(const Message& m, uint32_t type) { return m.msg == kWmCopyData && CopyDataType(m.dwData) == type; }

std::vector<NotificationInfo> TakeNotifications(Client& c) {
  std::vector<NotificationInfo> found;
  for (const Message& m : TakeWhere(c, [](const Message& x) { return AsNotification(x, nullptr); })) {
    NotificationInfo info;
    AsNotification(m, &info);
    found.push_back(info);
  }
  return found;
}

std::vector<Message> TakeCopyData(Client& c, uint32_t type) {
  return TakeWhere(c, [type](const Message& x) { return IsCopyData(x, type); });
}

std::vector<Message> TakeInbox(Client& c) {
  std::vector<Message> all(std::make_move_iterator(c.inbox.begin()), std::make_move_iterator(c.inbox.end()));
  c.inbox.clear();
  return all;
}

}  // namespace tovu
