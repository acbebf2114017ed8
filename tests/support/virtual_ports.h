// Test support: a fresh set of port tables over in-process virtual devices, with every output open
// and the device layer capturing what the outputs receive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/midi.h"
#include "ports/ports.h"

struct VirtualPorts {
  Ports ports;
  platform::Event activityEvent;

  // Starts the virtual service with `outputs` outputs and `inputs` inputs (whose outputs carry
  // messages of at most `longest` bytes, 0: any; opening an output whose id is in `failOut` fails),
  // builds the tables and, when openAll is set, opens every output port.
  explicit VirtualPorts(int outputs, int inputs = 0, bool openAll = true, uint32_t longest = 0,
                        std::vector<uint32_t> failOut = {});
  ~VirtualPorts();

  // The data messages the outputs received since the last call, one string each, formatted as
  // "out<id> <hex bytes>", e.g. "out0 b0 65 00". Opens and closes are left out.
  std::vector<std::string> TakeData();
  // Everything captured, opens and closes included ("open out0", "close out1", "out0 90 3c 64").
  std::vector<std::string> TakeAll();
  uint8_t Activity(uint32_t port, uint32_t channel, uint32_t note) const;
};

// "b0 65 00" for the given bytes.
std::string HexBytes(const std::vector<uint8_t>& bytes);
// What the device layer captured since the last take, one string each: the data messages only
// ("out0 b0 65 00"), or everything, opens and closes included ("open in1", "close out0").
std::vector<std::string> TakeCapturedData();
std::vector<std::string> TakeCapturedAll();
