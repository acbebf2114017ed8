// Reading a take: the recorded events and system-exclusive messages the engine hands to the
// recording client as copy-data type 28 when a recording playback stops.
//
// Layout (little-endian): i32 eventCount, i32 recordStartTick, i32 countInLength, i32
// sysexBlockCount, i32 sysexByteCount, then eventCount entries of (i32 tick, u32 packed event) in the
// order they were recorded, then the system-exclusive bytes back to back. An entry is an incoming
// short message (status, data 1, data 2 in bits 0-23), a sysex marker (0xF0 in bits 0-7, the offset
// of its message within the sysex bytes in bits 8-31) or an end marker (0x000000FF), which closes
// each loop pass and the take. Ticks restart at the loop start in every pass and are below
// recordStartTick during the count-in.
//
// A recording that lost input (memory, or the take's size limit of 16 MiB less 64 KiB, more than 128
// system-exclusive messages, or one longer than 65,500 bytes, of which the first 65,500 are kept) is
// followed by notification 10 with error 12 after its take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace tovu {

using protocol::kTakeEndMarker;

struct TakeEvent {
  int32_t tick = 0;
  uint32_t event = 0;
};

struct Take {
  int32_t recordStartTick = 0;
  int32_t countInLength = 0;
  std::vector<TakeEvent> events;  // in recording order, markers included
  std::vector<std::vector<uint8_t>> sysex;  // the system-exclusive messages, in marker order
};

inline bool IsEndMarker(uint32_t event) { return event == kTakeEndMarker; }
inline bool IsSysexMarker(uint32_t event) { return (event & 0xFF) == protocol::kTakeSysexMarker; }

// Reads and checks a take: sizes that agree with each other and with `size`, one sysex marker per
// block with offsets rising from 0 within the sysex bytes. False (with a reason) otherwise.
bool ReadTake(const uint8_t* data, size_t size, Take* take, std::string* error = nullptr);
inline bool ReadTake(const std::vector<uint8_t>& bytes, Take* take, std::string* error = nullptr) {
  return ReadTake(bytes.data(), bytes.size(), take, error);
}
// The events of each loop pass (each pass ends with its end marker, which is left out), short
// messages and sysex markers alike.
std::vector<std::vector<TakeEvent>> TakePasses(const Take& take);

}  // namespace tovu
