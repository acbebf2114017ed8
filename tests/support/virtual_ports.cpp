// Test support: port tables over in-process virtual devices. See virtual_ports.h.
#include "support/virtual_ports.h"

#include <cstdio>

VirtualPorts::VirtualPorts(int outputs, int inputs, bool openAll, uint32_t longest, std::vector<uint32_t> failOut) {
  platform::MidiShutdown();
  platform::VirtualMidiConfig config;
  for (int i = 0; i < outputs; ++i) config.outputs.push_back("Virtual Out " + std::to_string(i + 1));
  for (int i = 0; i < inputs; ++i) config.inputs.push_back("Virtual In " + std::to_string(i + 1));
  config.longest = longest;
  config.failOut = std::move(failOut);
  platform::MidiStartVirtual(config);
  platform::EventCreate(&activityEvent);
  ports.activityEvent = &activityEvent;
  BuildPortTables(ports);
  if (openAll)
    for (int i = 0; i < ports.outputCount; ++i) ports.outputs[i].Open();
  platform::VirtualCaptureEnable(true);
  platform::VirtualCaptureTake();
}

VirtualPorts::~VirtualPorts() {
  platform::VirtualCaptureEnable(false);
  platform::MidiShutdown();
  platform::EventDestroy(&activityEvent);
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
    s += b;
  }
  return s;
}

static std::string Describe(const platform::VirtualMidiEvent& e) {
  std::string dev = std::string(e.input ? "in" : "out") + std::to_string(e.device);
  switch (e.kind) {
    case platform::VirtualMidiEvent::Open: return "open " + dev;
    case platform::VirtualMidiEvent::Close: return "close " + dev;
    default: return dev + " " + HexBytes(e.bytes);
  }
}

std::vector<std::string> TakeCapturedData() {
  std::vector<std::string> out;
  for (auto& e : platform::VirtualCaptureTake())
    if (e.kind == platform::VirtualMidiEvent::Data) out.push_back(Describe(e));
  return out;
}

std::vector<std::string> TakeCapturedAll() {
  std::vector<std::string> out;
  for (auto& e : platform::VirtualCaptureTake()) out.push_back(Describe(e));
  return out;
}

std::vector<std::string> VirtualPorts::TakeData() { return TakeCapturedData(); }
std::vector<std::string> VirtualPorts::TakeAll() { return TakeCapturedAll(); }

uint8_t VirtualPorts::Activity(uint32_t port, uint32_t channel, uint32_t note) const {
  return ports.activity[ActivityIndex(port, channel, note)].load();
}
