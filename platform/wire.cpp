// Engine bus frame encoding. See wire.h.
#include "platform/wire.h"

#include <cstring>

namespace platform {

namespace {
void Put(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
uint32_t Get(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
}  // namespace

void AppendFrame(std::vector<uint8_t>& out, FrameHeader h, const void* payload, uint32_t cbData) {
  size_t at = out.size();
  out.resize(at + kFrameHeaderSize + cbData);
  uint8_t* p = out.data() + at;
  h.cbData = cbData;
  h.size = kFrameMinSize + cbData;
  const uint32_t fields[9] = {h.size, h.kind, h.id, h.hwnd, h.msg, h.wParam, h.lParam, h.dwData, h.cbData};
  for (int i = 0; i < 9; ++i) Put(p + 4 * i, fields[i]);
  if (cbData) memcpy(p + kFrameHeaderSize, payload, cbData);
}

FrameHeader DecodeHeader(const uint8_t* b) {
  FrameHeader h;
  h.size = Get(b);
  h.kind = Get(b + 4);
  h.id = Get(b + 8);
  h.hwnd = Get(b + 12);
  h.msg = Get(b + 16);
  h.wParam = Get(b + 20);
  h.lParam = Get(b + 24);
  h.dwData = Get(b + 28);
  h.cbData = Get(b + 32);
  return h;
}

}  // namespace platform
