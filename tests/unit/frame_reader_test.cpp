// The bus frame reader: frames come out whole whatever pieces the bytes arrive in, a bad size ends
// the reading as soon as the size field is in, and a cbData that disagrees with the size as soon as
// the header is in.
#include <gtest/gtest.h>

#include "platform/wire.h"

namespace {

std::vector<uint8_t> Frame(uint32_t kind, uint32_t msg, size_t payloadSize) {
  platform::FrameHeader h;
  h.kind = kind;
  h.msg = msg;
  std::vector<uint8_t> payload(payloadSize);
  for (size_t i = 0; i < payloadSize; ++i) payload[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> out;
  platform::AppendFrame(out, h, payload.data(), static_cast<uint32_t>(payloadSize));
  return out;
}

// Feeds the stream in pieces of `piece` bytes; returns the frames re-encoded and the last status.
std::vector<std::vector<uint8_t>> ReadInPieces(const std::vector<uint8_t>& stream, size_t piece,
                                               platform::FrameStatus* last, size_t* consumed) {
  platform::FrameReader reader;
  std::vector<std::vector<uint8_t>> frames;
  *last = platform::kFramePartial;
  *consumed = 0;
  for (size_t at = 0; at < stream.size();) {
    size_t len = std::min(piece, stream.size() - at);
    size_t used = 0;
    *last = platform::FrameReaderPush(reader, stream.data() + at, len, &used);
    at += used;
    *consumed = at;
    if (*last == platform::kFrameBad || *last == platform::kFrameNoMemory) break;
    if (*last == platform::kFrameComplete) {
      platform::FrameHeader h;
      std::vector<uint8_t> payload;
      platform::FrameReaderTake(reader, &h, &payload);
      std::vector<uint8_t> again;
      platform::AppendFrame(again, h, payload.data(), h.cbData);
      frames.push_back(again);
    }
  }
  return frames;
}

}  // namespace

TEST(FrameReader, FramesComeOutWholeInAnyPieces) {
  std::vector<uint8_t> stream;
  const std::vector<uint8_t> frames[] = {Frame(1, 0x10, 0), Frame(2, 0x4A, 1), Frame(2, 0x4A, 300), Frame(3, 0, 0)};
  for (const auto& f : frames) stream.insert(stream.end(), f.begin(), f.end());
  for (size_t piece : {size_t{1}, size_t{3}, size_t{35}, size_t{36}, size_t{37}, size_t{100}, stream.size()}) {
    platform::FrameStatus last;
    size_t consumed;
    auto out = ReadInPieces(stream, piece, &last, &consumed);
    ASSERT_EQ(out.size(), 4u) << "pieces of " << piece;
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(out[i], frames[i]) << "frame " << i << ", pieces of " << piece;
    EXPECT_EQ(last, platform::kFrameComplete);
    EXPECT_EQ(consumed, stream.size());
  }
}

TEST(FrameReader, BadSizesAndDisagreeingLengthsEndTheReading) {
  std::vector<uint8_t> good = Frame(1, 0x10, 4);
  // A size below 32: refused once its four bytes are in, before any header follows.
  std::vector<uint8_t> small = good;
  platform::StoreLe32(small.data(), 31);
  platform::FrameStatus last;
  size_t consumed;
  auto out = ReadInPieces(small, 1, &last, &consumed);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(last, platform::kFrameBad);
  EXPECT_EQ(consumed, 4u);
  // Above 32 + 64 MiB.
  std::vector<uint8_t> huge = good;
  platform::StoreLe32(huge.data(), platform::kFrameMinSize + platform::kFrameMaxPayload + 1);
  ReadInPieces(huge, 2, &last, &consumed);
  EXPECT_EQ(last, platform::kFrameBad);
  EXPECT_EQ(consumed, 4u);
  // cbData disagreeing with the size: refused once the header is in; the frame before it is kept.
  std::vector<uint8_t> stream = Frame(2, 0x4A, 10);
  std::vector<uint8_t> odd = good;
  platform::StoreLe32(odd.data() + 32, 5);
  stream.insert(stream.end(), odd.begin(), odd.end());
  out = ReadInPieces(stream, 7, &last, &consumed);
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(last, platform::kFrameBad);
  EXPECT_EQ(consumed, 46u + platform::kFrameHeaderSize);
}
