// The client library's connection over the engine bus (Linux): connecting, starting an engine, posting,
// sending and reading frames. The rest of the transport is shared (transport.cpp). See transport.h.
//
// Frames (platform/wire.h) are read straight into the client's buffer and handled one by one: a
// HELLO names the windows, a REPLY completes a waiting Send, a POST or SEND goes to the inbox (and a
// SEND to the window procedure, whose result is written back at once). One thread per client.
#include "client/transport.h"
#include "client/transport_connection.h"

#include <algorithm>
#include <cstring>

#include "platform/posix/bus_client.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/wire.h"

namespace tovu {

namespace {

using platform::FrameHeader;

using detail::EngineLines;
using detail::NowMs;

bool WriteFrame(Client& c, const FrameHeader& h, const void* payload, uint32_t cb) {
  if (c.fd < 0) return false;
  std::vector<uint8_t> frame;
  platform::AppendFrame(frame, h, payload, cb);
  if (!platform::WriteAll(c.fd, frame.data(), frame.size())) {
    Disconnect(c);
    return false;
  }
  return true;
}

bool PostFrame(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData, const void* data,
               uint32_t size) {
  return WriteFrame(c, platform::HeaderFor(platform::kFramePost, 0, c.engineWindow, msg, wParam, lParam, dwData), data,
                    size);
}

// Handles one frame from the engine. SENDs are answered at once (also while we wait for a reply).
void HandleFrame(Client& c, const FrameHeader& h, std::vector<uint8_t>&& payload) {
  switch (h.kind) {
    case platform::kFrameHello:
      c.engineWindow = h.wParam;
      c.window = h.lParam;
      return;
    case platform::kFrameReply:
      if (std::find(c.repliesWanted.begin(), c.repliesWanted.end(), h.id) != c.repliesWanted.end())
        c.repliesGot.emplace_back(h.id, static_cast<int32_t>(h.lParam));
      return;
    case platform::kFramePost:
    case platform::kFrameSend: {
      Message m;
      m.msg = h.msg;
      m.wParam = h.wParam;
      m.lParam = h.lParam;
      m.dwData = h.dwData;
      m.payload = std::move(payload);
      m.sent = h.kind == platform::kFrameSend;
      int32_t result = 0;
      if (m.sent && c.windowProc) result = c.windowProc(m);
      c.inbox.push_back(std::move(m));
      if (h.kind == platform::kFrameSend && c.fd >= 0) {
        FrameHeader r;
        r.kind = platform::kFrameReply;
        r.id = h.id;
        r.lParam = static_cast<uint32_t>(result);
        // A reply that cannot be written (the engine is closing and no longer reads) does not end
        // the connection here: what the engine wrote before it went is still read and delivered.
        std::vector<uint8_t> frame;
        platform::AppendFrame(frame, r, nullptr, 0);
        platform::WriteAll(c.fd, frame.data(), frame.size());
      }
      return;
    }
    default:
      return;
  }
}

}  // namespace

// Reads once (waiting up to timeoutMs) and handles every complete frame. False when disconnected.
bool detail::ReceiveOnce(Client& c, int timeoutMs) {
  if (c.fd < 0) return false;
  // Straight into the connection's buffer: a window procedure that sends from inside a read nests
  // this function, and no level keeps a read buffer on the stack.
  constexpr size_t kChunk = 65536;
  size_t had = c.in.size();
  c.in.resize(had + kChunk);
  long n = platform::ReadSome(c.fd, c.in.data() + had, kChunk, timeoutMs);
  c.in.resize(had + static_cast<size_t>(n < 0 ? 0 : n));
  if (n < 0) {
    Disconnect(c);
    return false;
  }
  while (c.in.size() >= platform::kFrameHeaderSize) {
    FrameHeader h = platform::DecodeHeader(c.in.data());
    if (!platform::FrameSizeValid(h.size) || h.cbData != h.size - platform::kFrameMinSize) {
      Disconnect(c);
      return false;
    }
    size_t total = 4 + static_cast<size_t>(h.size);
    if (c.in.size() < total) break;
    std::vector<uint8_t> payload(c.in.begin() + static_cast<ptrdiff_t>(platform::kFrameHeaderSize),
                                 c.in.begin() + static_cast<ptrdiff_t>(total));
    // The frame leaves the buffer before it is handled: a window procedure that sends a command
    // reads on from here (nested) and must not see this frame again.
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<ptrdiff_t>(total));
    HandleFrame(c, h, std::move(payload));
    if (c.fd < 0) return false;
  }
  return true;
}

namespace {

bool SendFrame(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData, const void* data,
               uint32_t size, int32_t* result, int timeoutMs) {
  FrameHeader h = platform::HeaderFor(platform::kFrameSend, c.nextSendId++, c.engineWindow, msg, wParam, lParam, dwData);
  if (c.nextSendId == 0) c.nextSendId = 1;
  c.repliesWanted.push_back(h.id);
  bool ok = WriteFrame(c, h, data, size);
  int64_t deadline = NowMs() + timeoutMs;
  bool got = false;
  while (ok) {
    auto it = std::find_if(c.repliesGot.begin(), c.repliesGot.end(), [&](auto& r) { return r.first == h.id; });
    if (it != c.repliesGot.end()) {
      if (result) *result = it->second;
      c.repliesGot.erase(it);
      got = true;
      break;
    }
    int64_t left = deadline - NowMs();
    if (left <= 0 || !detail::ReceiveOnce(c, static_cast<int>(left))) break;
  }
  c.repliesWanted.erase(std::remove(c.repliesWanted.begin(), c.repliesWanted.end(), h.id), c.repliesWanted.end());
  return got;
}


}  // namespace

bool Connect(Client& c, const ConnectOptions& options) {
  std::string path = options.socketPath.empty() ? platform::BusSocketPath() : options.socketPath;
  std::string engine = options.enginePath.empty() ? platform::EngineProgramPath() : options.enginePath;
  int64_t deadline = NowMs() + options.timeoutMs;
  platform::OsHandle startupPipe = platform::kNoHandle;
  int starts = 0;
  bool mayStart = options.startEngine;
  bool engineExited = false;
  std::string startupText;
  c.connectError.clear();
  c.engineLines.clear();
  for (;;) {
    int fd = platform::BusConnect(path);
    if (fd == platform::kBusRefused) {  // not ours: neither talk to it nor start one there
      c.connectError = "the engine socket " + path + " is refused: its directory " + platform::DirectoryOf(path) +
                       " must belong to you and be closed to others (chmod 700), and an engine answering there "
                       "must run as you";
      break;
    }
    if (fd < 0) {
      if (mayStart && starts < 2) {
        platform::CloseOsHandle(startupPipe);
        startupText.clear();
        engineExited = false;
        startupPipe = platform::StartEngineProcess(engine);
        ++starts;
        mayStart = false;
      } else if (starts == 0 || NowMs() >= deadline) {
        break;
      }
      // A started engine that has already exited closed its standard error: no use waiting.
      if (startupPipe != platform::kNoHandle && !engineExited) engineExited = platform::ReadPipeText(startupPipe, 0, &startupText);
      if (engineExited && !mayStart) break;
      platform::SleepMs(5);
      continue;
    }
    c.fd = fd;
    c.in.clear();
    c.window = 0;
    while (c.window == 0 && c.fd >= 0) {
      int64_t left = deadline - NowMs();
      if (left <= 0 || !detail::ReceiveOnce(c, static_cast<int>(left))) break;
    }
    if (c.window != 0) {
      c.startupPipe = startupPipe;
      c.engineLines = EngineLines(startupText);
      return true;
    }
    bool closedBeforeHello = c.fd < 0;
    platform::CloseFd(c.fd);
    c.fd = -1;
    // An engine that was closing accepted us and went away without a HELLO: try again, starting a
    // fresh engine when allowed.
    if (!closedBeforeHello || NowMs() >= deadline) break;
    mayStart = options.startEngine;
    platform::SleepMs(5);
  }
  if (c.connectError.empty()) {
    if (startupPipe != platform::kNoHandle && !engineExited) platform::ReadPipeText(startupPipe, 50, &startupText);
    std::string lines = EngineLines(startupText);
    if (!lines.empty())
      c.connectError = "the engine started and stopped: " + lines;
    else if (starts > 0 && engineExited)
      c.connectError = "no engine answers at " + path + ", and " + engine + " could not be started";
    else if (starts > 0)
      c.connectError = "no engine answers at " + path + ": the one started (" + engine + ") did not answer in time";
    else
      c.connectError = "no engine answers at " + path;
  }
  platform::CloseOsHandle(startupPipe);
  return false;
}

void Disconnect(Client& c) {
  platform::CloseFd(c.fd);
  c.fd = -1;
  platform::CloseOsHandle(c.startupPipe);
  c.startupPipe = platform::kNoHandle;
}

bool Post(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  return PostFrame(c, msg, wParam, lParam, 0, nullptr, 0);
}

bool Send(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam, int32_t* result, int timeoutMs) {
  return SendFrame(c, msg, wParam, lParam, 0, nullptr, 0, result, timeoutMs);
}

bool SendCopyData(Client& c, uint16_t type, uint16_t argument, const void* data, uint32_t size, int32_t* result,
                  int timeoutMs) {
  return SendFrame(c, kWmCopyData, c.window, 0, CopyDataWord(type, argument), data, size, result, timeoutMs);
}

bool PostCopyData(Client& c, uint16_t type, uint16_t argument, const void* data, uint32_t size) {
  return PostFrame(c, kWmCopyData, c.window, 0, CopyDataWord(type, argument), data, size);
}

}  // namespace tovu
