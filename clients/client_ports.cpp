// The ports each client holds: opening the ports of an open-ports request (filling its reply) and
// closing them, and the tempo factor and input filter a client stores. Main thread only; what the
// rest of the engine does around them (stopping a playback, thru and the metronome, telling the
// client) is sequenced in host/client_life.cpp.
#include <cmath>
#include <cstring>

#include "protocol/protocol.h"
#include "clients/clients.h"
#include "platform/wire.h"

using namespace tovu::protocol;

void OpenPortsOf(ClientRecord& client, Ports& ports, const uint8_t* request, uint8_t* reply) {
  int32_t n = static_cast<int32_t>(platform::LoadLe32(request + kOpenPortsCountOffset));
  // The request and the record have room for 256 outputs; other counts are clamped to 0-256.
  int32_t wanted = n < 0 ? 0 : (n > kMaxClientOutputs ? kMaxClientOutputs : n);
  for (int32_t j = 0; j < wanted; ++j) {
    int port = FindOutputPortByDevice(ports, platform::LoadLe32(request + kOpenPortsOutputsOffset + 4 * j));
    int32_t result = kPortNoDevice;
    if (port >= 0) {
      result = ports.outputs[port].Open();
      if (result == 0) client.outputs[client.outputCount++] = port;
    }
    platform::StoreLe32(reply + kOpenPortsOutputsOffset + 4 * j, static_cast<uint32_t>(result));
  }
  int32_t inputDevice = static_cast<int32_t>(platform::LoadLe32(request + kOpenPortsInputOffset));
  if (inputDevice != -1) {
    int port = FindInputPortByDevice(ports, static_cast<uint32_t>(inputDevice));
    int32_t result = kPortNoDevice;
    if (port >= 0) {
      result = ports.inputs[port].Open(ports.inputCallback, ports.inputInstance);
      if (result == 0) client.inputPort.store(port);
    }
    platform::StoreLe32(reply + kOpenPortsInputOffset, static_cast<uint32_t>(result));
  }
  client.channelMask.store(platform::LoadLe32(request + kOpenPortsChannelMaskOffset));
  client.inputFlags.store(platform::LoadLe32(request + kOpenPortsInputFlagsOffset));
}

void ClosePortsOf(ClientRecord& client, Ports& ports) {
  for (int32_t j = 0; j < client.outputCount; ++j) {
    ports.outputs[client.outputs[j]].Close();
    client.outputs[j] = -1;
  }
  client.outputCount = 0;
  int32_t input = client.inputPort.load();
  if (input != -1) {
    ports.inputs[input].Close();
    client.inputPort.store(-1);
  }
}

double StoreTempoFactor(ClientRecord& client, const uint8_t* payload) {
  double factor;
  memcpy(&factor, payload, kTempoFactorSize);
  // A factor that is not a finite number above 0 would stop or reverse the clock: it plays at 1.0.
  // (The clock also holds factors to its range, ClockTempoFactor.)
  if (!std::isfinite(factor) || factor <= 0.0) factor = 1.0;
  client.tempoFactor = factor;
  return factor;
}

void StoreInputFilter(ClientRecord& client, const uint8_t* payload) {
  client.channelMask.store(platform::LoadLe32(payload + kFilterChannelMaskOffset));
  client.inputFlags.store(platform::LoadLe32(payload + kFilterFlagsOffset));
}
