// The engine bus frame, shared by the engine and the client library. Every field is an unsigned
// 32-bit little-endian value; the payload (cbData bytes) follows the 36-byte header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

enum FrameKind : uint32_t { kFramePost = 1, kFrameSend = 2, kFrameReply = 3, kFrameHello = 4 };

constexpr size_t kFrameHeaderSize = 36;                 // size field included
constexpr uint32_t kFrameMinSize = 32;                  // value of the size field without payload
constexpr uint32_t kFrameMaxPayload = 64u * 1024 * 1024;
constexpr uint32_t kBusProtocolVersion = 1;

struct FrameHeader {
  uint32_t size = kFrameMinSize;  // bytes after the size field: 32 + cbData
  uint32_t kind = 0;
  uint32_t id = 0;
  uint32_t hwnd = 0;
  uint32_t msg = 0;
  uint32_t wParam = 0;
  uint32_t lParam = 0;
  uint32_t dwData = 0;
  uint32_t cbData = 0;
};

// Appends header and payload to `out` as one frame (size is computed from cbData).
void AppendFrame(std::vector<uint8_t>& out, FrameHeader header, const void* payload, uint32_t cbData);
// Decodes the 36-byte header at `bytes`.
FrameHeader DecodeHeader(const uint8_t* bytes);
// True when a size field value is acceptable; false means the connection must end at once.
inline bool FrameSizeValid(uint32_t size) { return size >= kFrameMinSize && size - kFrameMinSize <= kFrameMaxPayload; }

}  // namespace platform
