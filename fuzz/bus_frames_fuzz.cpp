// Fuzz harness: the engine bus's frame reader, fed a byte stream in arbitrary pieces.
//
// Input: a count n (one byte, taken modulo 17), n piece lengths (one byte each), then the stream.
// The stream is read twice, once in one piece and once in the given pieces cycled, and both reads
// must agree: the same frames and the same final state. Every frame handed out must be the exact
// bytes it came from (re-encoding it gives that slice of the stream back), its cbData must match
// its size, and after a bad or unbufferable frame nothing more is read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/wire.h"

namespace {

struct Outcome {
  std::vector<std::vector<uint8_t>> frames;  // each re-encoded
  platform::FrameStatus last = platform::kFramePartial;
  size_t consumed = 0;
};

void Check(bool condition) {
  if (!condition) abort();
}

Outcome ReadAll(const uint8_t* stream, size_t size, const std::vector<size_t>& pieces) {
  Outcome o;
  platform::FrameReader reader;
  size_t at = 0;
  size_t piece = 0;
  while (at < size) {
    size_t len = pieces.empty() ? size - at : pieces[piece++ % pieces.size()];
    if (len > size - at) len = size - at;
    size_t off = 0;
    while (off < len) {
      size_t used = 0;
      size_t offered = len - off;
      platform::FrameStatus status = platform::FrameReaderPush(reader, stream + at + off, offered, &used);
      Check(used <= offered);
      off += used;
      o.consumed = at + off;
      if (status == platform::kFrameBad || status == platform::kFrameNoMemory) {
        o.last = status;
        return o;
      }
      if (status == platform::kFrameComplete) {
        platform::FrameHeader h;
        std::vector<uint8_t> payload;
        platform::FrameReaderTake(reader, &h, &payload);
        Check(h.cbData == payload.size());
        Check(h.size == platform::kFrameMinSize + h.cbData);
        std::vector<uint8_t> encoded;
        platform::AppendFrame(encoded, h, payload.data(), h.cbData);
        o.frames.push_back(std::move(encoded));
      } else {
        Check(used == offered);  // a partial frame takes everything it was given
      }
    }
    at += len;
  }
  o.last = platform::kFramePartial;
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t n = data[0] % 17;
  if (size < 1 + n) return 0;
  std::vector<size_t> pieces;
  for (size_t i = 0; i < n; ++i) pieces.push_back(1 + data[1 + i]);
  const uint8_t* stream = data + 1 + n;
  size_t streamSize = size - 1 - n;

  Outcome whole = ReadAll(stream, streamSize, {});
  Outcome split = ReadAll(stream, streamSize, pieces);
  Check(whole.frames == split.frames);
  Check(whole.last == split.last);
  // A bad size is seen once the size field is in, however much of the header came with it.
  if (whole.last != platform::kFrameBad) Check(whole.consumed == split.consumed);

  // The frames are the stream's own bytes, back to back from its start.
  size_t at = 0;
  for (const auto& f : whole.frames) {
    Check(at + f.size() <= streamSize);
    for (size_t i = 0; i < f.size(); ++i) Check(f[i] == stream[at + i]);
    at += f.size();
  }
  if (whole.last == platform::kFramePartial) Check(whole.consumed == streamSize);
  return 0;
}
