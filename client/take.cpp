// Take reading and writing. See take.h.
//
// Threads: whichever thread calls; no shared state.
#include "client/take.h"

#include <cstdio>

namespace tovu {

namespace {

constexpr size_t kTakeHeaderSize = 20;

uint32_t Le32(const uint8_t* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool Fail(std::string* error, const std::string& what) {
  if (error) *error = what;
  return false;
}

}  // namespace

bool ParseTake(const uint8_t* data, size_t size, Take* out, std::string* error) {
  if (data == nullptr || size < kTakeHeaderSize) return Fail(error, "take shorter than its 20-byte header");
  int32_t count = static_cast<int32_t>(Le32(data));
  int32_t blockCount = static_cast<int32_t>(Le32(data + 12));
  int32_t byteCount = static_cast<int32_t>(Le32(data + 16));
  if (count < 0 || blockCount < 0 || byteCount < 0) return Fail(error, "take with a negative count");
  uint64_t expected = kTakeHeaderSize + 8ull * static_cast<uint32_t>(count) + static_cast<uint32_t>(byteCount);
  if (expected != size) {
    char buf[128];
    snprintf(buf, sizeof buf, "take of %zu bytes, but its counts make %llu", size, static_cast<unsigned long long>(expected));
    return Fail(error, buf);
  }
  Take take;
  take.recordStartTick = static_cast<int32_t>(Le32(data + 4));
  take.countInLength = static_cast<int32_t>(Le32(data + 8));
  const uint8_t* entries = data + kTakeHeaderSize;
  take.events.reserve(static_cast<size_t>(count));
  std::vector<uint32_t> offsets;
  for (int32_t i = 0; i < count; ++i) {
    TakeEntry e{static_cast<int32_t>(Le32(entries + 8 * i)), Le32(entries + 8 * i + 4)};
    if ((e.word & 0xFF) == 0xF0) {
      uint32_t offset = e.word >> 8;
      if (offset >= static_cast<uint32_t>(byteCount) || (!offsets.empty() && offset <= offsets.back()))
        return Fail(error, "take with a sysex marker outside its bytes or out of order");
      offsets.push_back(offset);
    }
    take.events.push_back(e);
  }
  if (offsets.size() != static_cast<size_t>(blockCount) || (!offsets.empty() && offsets[0] != 0))
    return Fail(error, "take whose sysex markers do not match its block count");
  const uint8_t* bytes = entries + 8 * static_cast<size_t>(count);
  take.sysexBytes.assign(bytes, bytes + byteCount);
  for (size_t i = 0; i < offsets.size(); ++i) {
    uint32_t end = i + 1 < offsets.size() ? offsets[i + 1] : static_cast<uint32_t>(byteCount);
    take.sysexBlocks.push_back({offsets[i], end - offsets[i]});
  }
  if (offsets.empty() && byteCount != 0) return Fail(error, "take with sysex bytes but no sysex marker");
  *out = std::move(take);
  return true;
}

std::vector<uint8_t> EncodeTake(const Take& take) {
  std::vector<uint8_t> out;
  PutLe32(out, static_cast<uint32_t>(take.events.size()));
  PutLe32(out, static_cast<uint32_t>(take.recordStartTick));
  PutLe32(out, static_cast<uint32_t>(take.countInLength));
  PutLe32(out, static_cast<uint32_t>(take.sysexBlocks.size()));
  PutLe32(out, static_cast<uint32_t>(take.sysexBytes.size()));
  for (const TakeEntry& e : take.events) {
    PutLe32(out, static_cast<uint32_t>(e.tick));
    PutLe32(out, e.word);
  }
  out.insert(out.end(), take.sysexBytes.begin(), take.sysexBytes.end());
  return out;
}

std::vector<uint8_t> SysexBlockOf(const Take& take, uint32_t markerWord) {
  uint32_t offset = markerWord >> 8;
  for (auto& [at, length] : take.sysexBlocks)
    if (at == offset && static_cast<size_t>(at) + length <= take.sysexBytes.size())
      return std::vector<uint8_t>(take.sysexBytes.begin() + at, take.sysexBytes.begin() + at + length);
  return {};
}

}  // namespace tovu
