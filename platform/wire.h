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

// Little-endian 32-bit fields of frames and payloads, read and written at any alignment.
inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The header of a frame of `kind` (a SEND's `id` is never 0; a POST's is 0); size and cbData are
// set when the frame is appended.
inline FrameHeader HeaderFor(uint32_t kind, uint32_t id, uint32_t hwnd, uint32_t msg, uint32_t wParam,
                             uint32_t lParam, uint32_t dwData) {
  FrameHeader h;
  h.kind = kind;
  h.id = id;
  h.hwnd = hwnd;
  h.msg = msg;
  h.wParam = wParam;
  h.lParam = lParam;
  h.dwData = dwData;
  return h;
}

// Appends header and payload to `out` as one frame (size is computed from cbData).
void AppendFrame(std::vector<uint8_t>& out, FrameHeader header, const void* payload, uint32_t cbData);
// Decodes the 36-byte header at `bytes`.
FrameHeader DecodeHeader(const uint8_t* bytes);
// True when a size field value is acceptable; false means the connection must end at once.
inline bool FrameSizeValid(uint32_t size) { return size >= kFrameMinSize && size - kFrameMinSize <= kFrameMaxPayload; }

// The reading side of one connection: bytes arrive in pieces of any size and leave as whole frames.
//
//   header (0-35 bytes held) --36th byte--> payload (0..cbData bytes held) --last byte--> complete
//          |  size field read and invalid: bad                 |  room cannot be reserved: no memory
//          |  header read and cbData != size - 32: bad
//
// The payload buffer grows as bytes arrive (doubling, never beyond the frame's end, and the whole
// frame at once when a quarter of it has come), so a frame costs at most four times what has come of
// it, never what its header merely announces; a complete frame is taken out whole
// (FrameReaderTake), and the reader starts on the next one. Bad and no-memory are final: the
// connection must end.
struct FrameReader {
  uint8_t head[kFrameHeaderSize] = {};
  size_t headHave = 0;
  FrameHeader header;
  std::vector<uint8_t> payload;
};

constexpr size_t kFrameReaderFirstRoom = 4096;  // the payload buffer's first reservation

enum FrameStatus { kFramePartial, kFrameComplete, kFrameBad, kFrameNoMemory };

// Takes bytes from [bytes, bytes + count) up to the end of the current frame and says where the
// frame stands; *used is the number of bytes taken (the rest belongs to later frames).
FrameStatus FrameReaderPush(FrameReader& reader, const uint8_t* bytes, size_t count, size_t* used);
// After kFrameComplete: hands out the header and the payload and resets the reader.
void FrameReaderTake(FrameReader& reader, FrameHeader* header, std::vector<uint8_t>* payload);

}  // namespace platform
