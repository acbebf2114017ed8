// Takes: the recorded events and system-exclusive bytes the engine hands to a recording client as
// copy-data type 28 when a recording playback stops.
//
// Layout (little-endian): i32 event count N, i32 record start tick, i32 count-in length, i32 sysex
// block count, i32 sysex byte count; then N entries of (i32 tick, u32 packed event) in the order they
// were recorded; then the sysex bytes, the blocks back to back in capture order. A sysex marker
// (code 0xF0) carries its block's offset in bits 8-31; a block runs to the next marker's offset, the
// last to the byte count. An end marker (code 0xFF) closes each loop pass and the take itself.
// Entries are not sorted: each loop pass starts again at the loop start, and a count-in records
// ticks before the start tick.
//
// ParseTake checks everything a reader relies on, since the bytes come from another process.
//
// Threads: pure functions on values; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovu {

struct TakeEntry {
  int32_t tick = 0;
  uint32_t word = 0;
};

struct Take {
  int32_t recordStartTick = 0;
  int32_t countInLength = 0;
  std::vector<TakeEntry> events;
  // The sysex bytes and the blocks they split into (offset, length), in capture order.
  std::vector<uint8_t> sysexBytes;
  std::vector<std::pair<uint32_t, uint32_t>> sysexBlocks;
};

// False with a message when the bytes are not a well-formed take: shorter than its header, a
// negative count, a size that disagrees with the counts, a sysex marker outside the bytes or out of
// order, or more or fewer markers than blocks.
bool ParseTake(const uint8_t* data, size_t size, Take* out, std::string* error);
// The bytes of a take (for tests and tools that store one).
std::vector<uint8_t> EncodeTake(const Take& take);
// The bytes of the block a sysex marker refers to (empty when it names none).
std::vector<uint8_t> SysexBlockOf(const Take& take, uint32_t markerWord);

}  // namespace tovu
