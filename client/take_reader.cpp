// Reading a take. See take_reader.h.
#include "client/take_reader.h"

#include "platform/wire.h"

namespace tovu {

using namespace protocol;

namespace {

bool Fail(std::string* error, const char* reason) {
  if (error) *error = reason;
  return false;
}

}  // namespace

bool ReadTake(const uint8_t* data, size_t size, Take* take, std::string* error) {
  if (!data || size < kTakeHeaderSize) return Fail(error, "shorter than the take header");
  const int32_t eventCount = static_cast<int32_t>(platform::LoadLe32(data + kTakeEventCountOffset));
  const int32_t blockCount = static_cast<int32_t>(platform::LoadLe32(data + kTakeBlockCountOffset));
  const int32_t byteCount = static_cast<int32_t>(platform::LoadLe32(data + kTakeByteCountOffset));
  if (eventCount < 0 || blockCount < 0 || byteCount < 0) return Fail(error, "negative count");
  if (kTakeHeaderSize + kTakeEntrySize * static_cast<uint64_t>(eventCount) + static_cast<uint64_t>(byteCount) != size)
    return Fail(error, "size disagrees with the counts");
  Take t;
  t.recordStartTick = static_cast<int32_t>(platform::LoadLe32(data + kTakeRecordStartOffset));
  t.countInLength = static_cast<int32_t>(platform::LoadLe32(data + kTakeCountInOffset));
  t.events.resize(static_cast<size_t>(eventCount));
  const uint8_t* p = data + kTakeHeaderSize;
  std::vector<uint32_t> offsets;
  for (TakeEvent& e : t.events) {
    e.tick = static_cast<int32_t>(platform::LoadLe32(p));
    e.event = platform::LoadLe32(p + kTakeEntryWordOffset);
    p += kTakeEntrySize;
    if (IsSysexMarker(e.event)) {
      uint32_t offset = e.event >> 8;
      if (offsets.empty() ? offset != 0 : offset <= offsets.back()) return Fail(error, "sysex offsets out of order");
      if (offset >= static_cast<uint32_t>(byteCount)) return Fail(error, "sysex offset past the sysex bytes");
      offsets.push_back(offset);
    }
  }
  if (offsets.size() != static_cast<size_t>(blockCount)) return Fail(error, "sysex markers disagree with the block count");
  for (size_t i = 0; i < offsets.size(); ++i) {
    uint32_t end = i + 1 < offsets.size() ? offsets[i + 1] : static_cast<uint32_t>(byteCount);
    t.sysex.emplace_back(p + offsets[i], p + end);
  }
  *take = std::move(t);
  return true;
}

std::vector<std::vector<TakeEvent>> TakePasses(const Take& take) {
  std::vector<std::vector<TakeEvent>> passes(1);
  for (const TakeEvent& e : take.events) {
    if (IsEndMarker(e.event))
      passes.emplace_back();
    else
      passes.back().push_back(e);
  }
  if (passes.back().empty()) passes.pop_back();
  return passes;
}

}  // namespace tovu
