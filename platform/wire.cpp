// Engine bus frame encoding. See wire.h.
#include "platform/wire.h"

#include <algorithm>
#include <cstring>
#include <exception>

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

FrameStatus FrameReaderPush(FrameReader& r, const uint8_t* bytes, size_t count, size_t* used) {
  *used = 0;
  if (r.headHave < kFrameHeaderSize) {
    size_t take = std::min(count, kFrameHeaderSize - r.headHave);
    if (take) memcpy(r.head + r.headHave, bytes, take);
    r.headHave += take;
    *used = take;
    if (r.headHave >= 4 && !FrameSizeValid(LoadLe32(r.head))) return kFrameBad;
    if (r.headHave < kFrameHeaderSize) return kFramePartial;
    // The header has just been completed.
    r.header = DecodeHeader(r.head);
    if (r.header.cbData != r.header.size - kFrameMinSize) return kFrameBad;
    r.payload = std::vector<uint8_t>();
  }
  size_t want = r.header.cbData - r.payload.size();
  size_t take = std::min(count - *used, want);
  // Room grows with the bytes that have come (doubling, never past the frame's end), so a header
  // announcing 64 MiB that is never followed costs nothing; once a quarter of it has come, the whole
  // frame is reserved in one step, so that a large frame never needs much more than its own size.
  size_t need = r.payload.size() + take;
  if (need > r.payload.capacity()) {
    size_t grown = need >= r.header.cbData / 4
                       ? r.header.cbData
                       : std::max<size_t>({need, 2 * r.payload.capacity(), kFrameReaderFirstRoom});
    try {
      r.payload.reserve(std::min<size_t>(grown, r.header.cbData));
    } catch (const std::exception&) {
      return kFrameNoMemory;
    }
  }
  r.payload.insert(r.payload.end(), bytes + *used, bytes + *used + take);
  *used += take;
  return r.payload.size() == r.header.cbData ? kFrameComplete : kFramePartial;
}

void FrameReaderTake(FrameReader& r, FrameHeader* header, std::vector<uint8_t>* payload) {
  *header = r.header;
  *payload = std::move(r.payload);
  r.payload = std::vector<uint8_t>();
  r.headHave = 0;
}

}  // namespace platform
