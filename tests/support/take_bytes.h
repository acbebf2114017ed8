// Test support: the bytes of a take as the engine sends them (copy-data type 28), for tests that
// hand a made-up take to a reader or to a client. Sysex markers get the offsets of the take's sysex
// messages in order.
//
// Threads: any.
#pragma once

#include <cstdint>
#include <vector>

#include "client/take_reader.h"

inline std::vector<uint8_t> TakeBytes(const tovu::Take& take) {
  std::vector<uint8_t> out;
  auto put = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  std::vector<uint8_t> sysex;
  std::vector<uint32_t> offsets;
  for (const std::vector<uint8_t>& message : take.sysex) {
    offsets.push_back(static_cast<uint32_t>(sysex.size()));
    sysex.insert(sysex.end(), message.begin(), message.end());
  }
  put(static_cast<uint32_t>(take.events.size()));
  put(static_cast<uint32_t>(take.recordStartTick));
  put(static_cast<uint32_t>(take.countInLength));
  put(static_cast<uint32_t>(take.sysex.size()));
  put(static_cast<uint32_t>(sysex.size()));
  size_t marker = 0;
  for (const tovu::TakeEvent& e : take.events) {
    put(static_cast<uint32_t>(e.tick));
    bool isSysex = tovu::IsSysexMarker(e.event) && marker < offsets.size();
    put(isSysex ? 0xF0 | offsets[marker++] << 8 : e.event);
  }
  out.insert(out.end(), sysex.begin(), sysex.end());
  return out;
}
