// Engine bus frame encoding. See wire.h.
#include "platform/wire.h"

#include <cstring>

namespace platform {

void AppendFrame(std::vector<uint8_t>& out, FrameHeader h, const void* payload, uint32_t cbData) {
  size_t at = out.size();
  out.resize(at + kFrameHeaderSize + cbData);
  uint8_t* p = out.data() + at;
  h.cbData = cbData;
  h.size = kFrameMinSize + cbData;
  const uint32_t fields[9] = {h.size, h.kind, h.id, h.hwnd, h.msg, h.wParam, h.lParam, h.dwData, h.cbData};
  for (int i = 0; i < 9; ++i) StoreLe32(p + 4 * i, fields[i]);
  if (cbData) memcpy(p + kFrameHeaderSize, payload, cbData);
}

FrameHeader DecodeHeader(const uint8_t* b) {
  FrameHeader h;
  h.size = LoadLe32(b);
  h.kind = LoadLe32(b + 4);
  h.id = LoadLe32(b + 8);
  h.hwnd = LoadLe32(b + 12);
  h.msg = LoadLe32(b + 16);
  h.wParam = LoadLe32(b + 20);
  h.lParam = LoadLe32(b + 24);
  h.dwData = LoadLe32(b + 28);
  h.cbData = LoadLe32(b + 32);
  return h;
}

}  // namespace platform
