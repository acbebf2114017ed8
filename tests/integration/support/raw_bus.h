// Integration-test support below the client library: a bus connection that reads and writes raw
// frames (to check frame order and to send malformed frames), engine processes that are killed if a
// test leaves them running, and engines started at the same instant.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "integration/support/engine_process.h"
#include "platform/wire.h"

// A frame's header fields (size and cbData follow from the payload when it is encoded) and payload.
struct RawFrame : platform::FrameHeader {
  std::vector<uint8_t> payload;
};

enum class RawRead { kFrame, kTimeout, kClosed };

struct RawConnection {
  int fd = -1;
  uint32_t window = 0;
  uint32_t engineWindow = 0;
  uint32_t protocolVersion = 0;
  std::vector<uint8_t> in;

  RawConnection() = default;
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  ~RawConnection();

  // Connects and reads the engine's HELLO, which must be the first frame. False otherwise.
  bool Open(const std::string& socketPath, int timeoutMs = 5000);
  bool WriteBytes(const std::vector<uint8_t>& bytes);
  // Encodes one well-formed frame (size and cbData from the payload).
  static std::vector<uint8_t> Encode(const RawFrame& frame);
  bool Write(const RawFrame& frame) { return WriteBytes(Encode(frame)); }
  // Reads the next frame, waiting at most timeoutMs.
  RawRead Read(RawFrame* frame, int timeoutMs);
  // Reads and discards frames until the engine closes the connection; false on timeout.
  bool WaitClosed(int timeoutMs, std::vector<RawFrame>* seen = nullptr);
  // Sends a SEND frame to the engine window and reads until its REPLY, answering engine SENDs with
  // 0 meanwhile (those are kept in `others`). False on close or timeout.
  bool Call(uint32_t id, uint32_t msg, uint32_t wParam, uint32_t lParam, int32_t* result,
            std::vector<RawFrame>* others = nullptr, uint32_t dwData = 0, const std::vector<uint8_t>& payload = {},
            int timeoutMs = 10000);
  void Close();
};

RawFrame SendFrame(uint32_t id, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData = 0,
                   std::vector<uint8_t> payload = {});
RawFrame PostFrame(uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam);
RawFrame ReplyFrame(uint32_t id, int32_t result);
// A 36-byte header with the given raw size and cbData fields (kind SEND), for malformed frames.
std::vector<uint8_t> RawHeader(uint32_t size, uint32_t cbData, uint32_t hwnd, uint32_t msg);


// Starts `stderrFds.size()` engines in `env` that all call exec at the same moment (after a shared
// gate opens), engine k with standard error on stderrFds[k]. Returns their pids.
std::vector<pid_t> StartEnginesTogether(const EngineEnv& env, const std::vector<int>& stderrFds);

// Connects to a Unix socket path without any of the client library's checks (as a hostile or
// foreign peer would); -1 when nothing answers.
int ConnectUnchecked(const std::string& socketPath);
// Everything readable from a descriptor until end of file or timeoutMs.
std::string ReadAllFrom(int fd, int timeoutMs);
// A 1080-byte open-ports request for the given output devices and no input device.
std::vector<uint8_t> OpenRequest(const std::vector<uint32_t>& outputDevices, int32_t inputDevice = -1);
uint32_t GetU32(const std::vector<uint8_t>& bytes, size_t at);

// Writes `bytes` (repeating `pattern`) to a socket, made non-blocking, until they are written or the
// peer has taken nothing for `stallMs`. Returns what was written.
size_t WriteUntilStalled(int fd, const std::vector<uint8_t>& pattern, size_t bytes, int stallMs);
