// Integration-test support below the client library. See raw_bus.h.
#include "integration/support/raw_bus.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/posix/bus_client.h"
#include "platform/event.h"
#include "platform/wire.h"

namespace {

int64_t NowMs() { return platform::MonotonicNs() / 1000000; }

void Put(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

uint32_t GetU32(const std::vector<uint8_t>& b, size_t at) { return platform::LoadLe32(b.data() + at); }

RawConnection::~RawConnection() { Close(); }

void RawConnection::Close() {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool RawConnection::Open(const std::string& socketPath, int timeoutMs) {
  Close();
  in.clear();
  fd = platform::BusConnect(socketPath);
  if (fd < 0) return false;
  RawFrame hello;
  if (Read(&hello, timeoutMs) != RawRead::kFrame || hello.kind != platform::kFrameHello) return false;
  protocolVersion = hello.msg;
  engineWindow = hello.wParam;
  window = hello.lParam;
  return true;
}

bool RawConnection::WriteBytes(const std::vector<uint8_t>& bytes) {
  return fd >= 0 && platform::WriteAll(fd, bytes.data(), bytes.size());
}

std::vector<uint8_t> RawConnection::Encode(const RawFrame& f) {
  std::vector<uint8_t> out;
  platform::AppendFrame(out, f, f.payload.data(), static_cast<uint32_t>(f.payload.size()));
  return out;
}

RawRead RawConnection::Read(RawFrame* frame, int timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (in.size() >= platform::kFrameHeaderSize) {
      platform::FrameHeader h = platform::DecodeHeader(in.data());
      if (!platform::FrameSizeValid(h.size) || h.cbData != h.size - platform::kFrameMinSize) return RawRead::kClosed;
      size_t total = 4 + static_cast<size_t>(h.size);
      if (in.size() >= total) {
        static_cast<platform::FrameHeader&>(*frame) = h;
        frame->payload.assign(in.begin() + platform::kFrameHeaderSize, in.begin() + static_cast<ptrdiff_t>(total));
        in.erase(in.begin(), in.begin() + static_cast<ptrdiff_t>(total));
        return RawRead::kFrame;
      }
    }
    if (fd < 0) return RawRead::kClosed;
    int64_t left = deadline - NowMs();
    if (left <= 0) return RawRead::kTimeout;
    uint8_t chunk[65536];
    long n = platform::ReadSome(fd, chunk, sizeof chunk, static_cast<int>(left));
    if (n < 0) {
      Close();
      return RawRead::kClosed;
    }
    in.insert(in.end(), chunk, chunk + n);
  }
}

bool RawConnection::WaitClosed(int timeoutMs, std::vector<RawFrame>* seen) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    RawFrame f;
    int64_t left = deadline - NowMs();
    RawRead r = Read(&f, static_cast<int>(left > 0 ? left : 0));
    if (r == RawRead::kClosed) return true;
    if (r == RawRead::kTimeout) return false;
    if (seen) seen->push_back(std::move(f));
  }
}

bool RawConnection::Call(uint32_t id, uint32_t msg, uint32_t wParam, uint32_t lParam, int32_t* result,
                         std::vector<RawFrame>* others, uint32_t dwData, const std::vector<uint8_t>& payload,
                         int timeoutMs) {
  if (!Write(SendFrame(id, engineWindow, msg, wParam, lParam, dwData, payload))) return false;
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    RawFrame f;
    int64_t left = deadline - NowMs();
    if (left <= 0 || Read(&f, static_cast<int>(left)) != RawRead::kFrame) return false;
    if (f.kind == platform::kFrameReply && f.id == id) {
      if (result) *result = static_cast<int32_t>(f.lParam);
      return true;
    }
    if (f.kind == platform::kFrameSend && !Write(ReplyFrame(f.id, 0))) return false;
    if (others) others->push_back(std::move(f));
  }
}

RawFrame SendFrame(uint32_t id, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                   std::vector<uint8_t> payload) {
  RawFrame f;
  f.kind = platform::kFrameSend;
  f.id = id;
  f.hwnd = hwnd;
  f.msg = msg;
  f.wParam = wParam;
  f.lParam = lParam;
  f.dwData = dwData;
  f.payload = std::move(payload);
  return f;
}

RawFrame PostFrame(uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  RawFrame f;
  f.kind = platform::kFramePost;
  f.hwnd = hwnd;
  f.msg = msg;
  f.wParam = wParam;
  f.lParam = lParam;
  return f;
}

RawFrame ReplyFrame(uint32_t id, int32_t result) {
  RawFrame f;
  f.kind = platform::kFrameReply;
  f.id = id;
  f.lParam = static_cast<uint32_t>(result);
  return f;
}

std::vector<uint8_t> RawHeader(uint32_t size, uint32_t cbData, uint32_t hwnd, uint32_t msg) {
  std::vector<uint8_t> out;
  for (uint32_t v : {size, static_cast<uint32_t>(platform::kFrameSend), 1u, hwnd, msg, 0u, 0u, 0u, cbData}) Put(out, v);
  return out;
}


std::vector<pid_t> StartEnginesTogether(const EngineEnv& env, const std::vector<int>& stderrFds) {
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) return {};
  std::vector<pid_t> pids;
  for (int err : stderrFds) pids.push_back(env.Start(err, gate[0]));
  // One byte for each: every engine now execs (one left waiting is killed by its caller's guard).
  std::string bytes(pids.size(), 'x');
  ssize_t released = write(gate[1], bytes.data(), bytes.size());
  EXPECT_EQ(released, static_cast<ssize_t>(bytes.size()));
  close(gate[0]);
  close(gate[1]);
  return pids;
}

std::string ReadAllFrom(int fd, int timeoutMs) {
  std::string text;
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return text;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return text;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

std::vector<uint8_t> OpenRequest(const std::vector<uint32_t>& outputDevices, int32_t inputDevice) {
  tovu::OpenPortsRequest request;
  request.outputDevices = outputDevices;
  request.inputDevice = inputDevice;
  return tovu::EncodeOpenPortsRequest(request);
}

int ConnectUnchecked(const std::string& socketPath) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, socketPath.c_str(), socketPath.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

size_t WriteUntilStalled(int fd, const std::vector<uint8_t>& pattern, size_t bytes, int stallMs) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  size_t written = 0;
  while (written < bytes) {
    size_t at = written % pattern.size();
    size_t chunk = std::min(pattern.size() - at, bytes - written);
    ssize_t n = send(fd, pattern.data() + at, chunk, MSG_NOSIGNAL);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, stallMs) <= 0) break;
  }
  return written;
}
