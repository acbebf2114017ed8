// The virtual devices' configuration from the environment (midi.h's VirtualConfigFromEnvironment):
// TOVU_VIRTUAL_OUTPUTS and TOVU_VIRTUAL_INPUTS (a count, or names separated by '|'),
// TOVU_VIRTUAL_FAIL_OPEN (`out:N` and `in:N` entries separated by commas), TOVU_VIRTUAL_LOG (the
// log file), TOVU_VIRTUAL_INPUT (the input FIFO), TOVU_VIRTUAL_CONTROL (the control FIFO, whose
// lines add and remove devices) and TOVU_VIRTUAL_LONGEST (the longest message an output carries, in
// bytes, as a JACK port whose buffer holds no more). Main thread only (it reads the environment).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/midi.h"
#include "platform/midi_common.h"

namespace platform {
namespace {

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// A count (digits only, cut to the most devices a service has) gives numbered names; anything else
// is names split at '|'. Unset or empty gives the default count.
std::vector<std::string> DeviceNames(const char* value, const char* prefix, uint32_t defaultCount) {
  constexpr uint32_t kMaxDevices = midi_common::kMaxDevices;
  std::string text = value ? value : "";
  std::string trimmed = Trim(text);
  std::vector<std::string> names;
  if (!trimmed.empty() && !AllDigits(trimmed)) {
    size_t begin = 0;
    while (names.size() < kMaxDevices) {
      size_t bar = text.find('|', begin);
      names.push_back(text.substr(begin, bar == std::string::npos ? std::string::npos : bar - begin));
      if (bar == std::string::npos) break;
      begin = bar + 1;
    }
    return names;
  }
  uint32_t count = defaultCount;
  if (!trimmed.empty()) {
    count = 0;
    for (char c : trimmed) {
      count = count * 10 + static_cast<uint32_t>(c - '0');
      if (count > kMaxDevices) {
        count = kMaxDevices;
        break;
      }
    }
  }
  for (uint32_t i = 0; i < count; ++i) names.push_back(std::string(prefix) + std::to_string(i + 1));
  return names;
}

// "out:1,in:0": entries separated by commas; anything that is not `out:N` or `in:N` is ignored.
void ParseFailOpen(const char* value, std::vector<uint32_t>* failOut, std::vector<uint32_t>* failIn) {
  std::string text = value ? value : "";
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t comma = text.find(',', begin);
    std::string entry = Trim(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    begin = comma == std::string::npos ? text.size() + 1 : comma + 1;
    size_t colon = entry.find(':');
    if (colon == std::string::npos) continue;
    std::string direction = Trim(entry.substr(0, colon));
    std::string number = Trim(entry.substr(colon + 1));
    if (!AllDigits(number) || number.size() > 9) continue;
    uint32_t id = static_cast<uint32_t>(std::strtoul(number.c_str(), nullptr, 10));
    if (direction == "out") {
      failOut->push_back(id);
    } else if (direction == "in") {
      failIn->push_back(id);
    }
  }
}

}  // namespace

VirtualMidiConfig VirtualConfigFromEnvironment() {
  VirtualMidiConfig config;
  config.outputs = DeviceNames(std::getenv("TOVU_VIRTUAL_OUTPUTS"), "Virtual Out ", 2);
  config.inputs = DeviceNames(std::getenv("TOVU_VIRTUAL_INPUTS"), "Virtual In ", 1);
  ParseFailOpen(std::getenv("TOVU_VIRTUAL_FAIL_OPEN"), &config.failOut, &config.failIn);
  const char* log = std::getenv("TOVU_VIRTUAL_LOG");
  config.logPath = log ? log : "";
  const char* fifo = std::getenv("TOVU_VIRTUAL_INPUT");
  config.inputFifo = fifo ? fifo : "";
  const char* control = std::getenv("TOVU_VIRTUAL_CONTROL");
  config.controlFifo = control ? control : "";
  if (const char* longest = std::getenv("TOVU_VIRTUAL_LONGEST"))
    config.longest = static_cast<uint32_t>(std::strtoul(longest, nullptr, 10));
  return config;
}

}  // namespace platform
