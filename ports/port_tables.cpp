// Port tables, port open/close with open counts, the settings store readers and the port-list
// records. Main thread only, except FindInputPortByHandle (MIDI input thread), which reads the
// records up to the published count: a record is filled before the count that takes it in.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <climits>
#include <cstring>
#include <new>

#include "platform/settings.h"
#include "platform/wire.h"
#include "ports/ports.h"

namespace {

void CopyName(char (&field)[tovu::protocol::kPortNameSize], const char* name) {
  memset(field, 0, sizeof field);
  memcpy(field, name, strnlen(name, sizeof field - 1));
}

// atoi's reading: white space, one sign, digits up to the first non-digit; overflow saturates
// instead of being undefined.
int32_t ParseLikeAtoi(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = (*s++ == '-');
  int64_t value = 0;
  while (*s >= '0' && *s <= '9') {
    value = value * 10 + (*s++ - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

// The 72 bytes both port-list records begin with: the name, the device id and the open handle.
void StoreCommonRecord(uint8_t* out, const char (&name)[tovu::protocol::kPortNameSize], uint32_t deviceId,
                       uint32_t handle) {
  memcpy(out, name, tovu::protocol::kPortNameSize);
  platform::StoreLe32(out + tovu::protocol::kPortDeviceIdOffset, deviceId);
  platform::StoreLe32(out + tovu::protocol::kPortHandleOffset, handle);
}

// Reads output port `n`'s two settings.
void LoadPortSettings(OutputPort& port, int n) {
  char key[32];
  snprintf(key, sizeof key, "Dev%d\\ExclDly", n);
  port.sysexDelayMs.store(ReadSetting(key, 0), std::memory_order_relaxed);
  snprintf(key, sizeof key, "Dev%d\\ShrtRes", n);
  port.shortReset = ReadSetting(key, 0) != 0 ? 1 : 0;
}

}  // namespace

bool BuildPortTables(Ports& ports) {
  ports.outputs.reset(new (std::nothrow) OutputPort[kMaxPorts]);
  ports.inputs.reset(new (std::nothrow) InputPort[kMaxPorts]);
  ports.activity.reset(new (std::nothrow) std::atomic<uint8_t>[static_cast<size_t>(kMaxPorts) * kActivityPerPort]);
  if (!ports.outputs || !ports.inputs || !ports.activity) return false;
  for (size_t i = 0; i < static_cast<size_t>(kMaxPorts) * kActivityPerPort; ++i) ports.activity[i].store(0);
  ports.outputCount.store(0);
  ports.inputCount.store(0);
  uint32_t outs = std::min<uint32_t>(platform::MidiOutCount(), kMaxPorts);
  for (uint32_t id = 0; id < outs; ++id)
    if (!AppendOutputPort(ports, id, false)) return false;
  uint32_t ins = std::min<uint32_t>(platform::MidiInCount(), kMaxPorts);
  for (uint32_t id = 0; id < ins; ++id)
    if (!AppendInputPort(ports, id)) return false;
  return true;
}

bool AppendOutputPort(Ports& ports, uint32_t deviceId, bool withSettings) {
  int32_t n = ports.outputCount.load(std::memory_order_relaxed);
  if (n >= kMaxPorts) return false;
  OutputPort& port = ports.outputs[n];
  char name[256] = {};
  if (platform::MidiOutName(deviceId, name, sizeof name) != platform::kMidiOk) name[0] = 0;
  CopyName(port.name, name);
  port.deviceId = deviceId;
  platform::MidiPresence presence = platform::MidiOutPresence(deviceId);
  port.absent.store(!presence.present);
  port.generation = presence.generation;
  port.activity = &ports.activity[ActivityIndex(static_cast<uint32_t>(n), 0, 0)];
  port.activityEvent = ports.activityEvent;
  port.stage.shared = &ports.stages;
  std::unique_ptr<KeyLedger[]> keys(new (std::nothrow) KeyLedger[kActivityPerPort]);
  if (!keys) return false;
  {
    EngineLock lock(port.stage.lock);
    port.stage.keys = std::move(keys);
  }
  if (withSettings) LoadPortSettings(port, n);
  ports.outputCount.store(n + 1, std::memory_order_release);
  return true;
}

bool AppendInputPort(Ports& ports, uint32_t deviceId) {
  int32_t n = ports.inputCount.load(std::memory_order_relaxed);
  if (n >= kMaxPorts) return false;
  InputPort& port = ports.inputs[n];
  char name[256] = {};
  if (platform::MidiInName(deviceId, name, sizeof name) != platform::kMidiOk) name[0] = 0;
  CopyName(port.name, name);
  port.deviceId = deviceId;
  platform::MidiPresence presence = platform::MidiInPresence(deviceId);
  port.absent.store(!presence.present);
  port.generation = presence.generation;
  ports.inputCount.store(n + 1, std::memory_order_release);
  return true;
}

int FindOutputPortByDevice(const Ports& ports, uint32_t deviceId) {
  const int32_t count = ports.outputCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i)
    if (ports.outputs[i].deviceId == deviceId) return i;
  return -1;
}

int FindInputPortByDevice(const Ports& ports, uint32_t deviceId) {
  const int32_t count = ports.inputCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i)
    if (ports.inputs[i].deviceId == deviceId) return i;
  return -1;
}

int FindInputPortByHandle(const Ports& ports, platform::MidiHandle handle) {
  const int32_t count = ports.inputCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i)
    if (ports.inputs[i].handle.load(std::memory_order_acquire) == handle) return i;
  return -1;
}

int InputPort::Open(platform::MidiInCallback callback, uintptr_t instance) {
  if (absent.load(std::memory_order_relaxed)) return platform::kMidiNoDevice;
  if (handle.load(std::memory_order_relaxed) != 0) {
    ++openCount;
    return platform::kMidiOk;
  }
  platform::MidiHandle h = 0;
  int result = platform::MidiInOpen(deviceId, callback, instance, &h);
  if (result != platform::kMidiOk) return result;
  handle.store(h, std::memory_order_release);
  platform::MidiInStart(h);
  ++openCount;
  return platform::kMidiOk;
}

void InputPort::Close() {
  if (--openCount > 0) return;
  openCount = 0;
  platform::MidiHandle h = handle.load(std::memory_order_relaxed);
  if (h == 0) return;
  platform::MidiInStop(h);
  platform::MidiInClose(h);
  handle.store(0, std::memory_order_release);
}

void CloseAllInputs(Ports& ports) {
  for (int i = 0; i < ports.inputCount; ++i) {
    InputPort& in = ports.inputs[i];
    platform::MidiHandle h = in.handle.exchange(0, std::memory_order_acq_rel);
    if (h == 0) continue;
    platform::MidiInStop(h);
    platform::MidiInClose(h);
    in.openCount = 0;
  }
}

void CloseAllOutputs(Ports& ports) {
  for (int i = 0; i < ports.outputCount; ++i) {
    OutputPort& out = ports.outputs[i];
    if (out.handle.load(std::memory_order_relaxed) == 0) continue;
    out.openCount = 1;  // whoever still holds it, this is its last close
    out.Close();
  }
}

int32_t ReadSetting(const char* subKey, int32_t defaultValue) {
  char text[93];
  if (!platform::ReadSettingText(subKey, text, sizeof text)) return defaultValue;
  return ParseLikeAtoi(text);
}

int LoadSettings(Ports& ports) {
  for (int n = 0; n < ports.outputCount; ++n) LoadPortSettings(ports.outputs[n], n);
  EngineSettings& s = ports.settings;
  s.device = ReadSetting("MtrDev", kNoDevice);
  if (FindOutputPortByDevice(ports, static_cast<uint32_t>(s.device)) < 0) s.device = kNoDevice;
  s.channel = ReadSetting("MtrChan", 9);
  s.measureNote = ReadSetting("MtrNM", 60);
  s.beatNote = ReadSetting("MtrNB", 61);
  return 0;
}

void FillOutputPortRecords(const Ports& ports, uint8_t* out) {
  for (int i = 0; i < ports.outputCount; ++i, out += kOutputRecordSize) {
    const OutputPort& p = ports.outputs[i];
    StoreCommonRecord(out, p.name, p.deviceId, p.handle.load(std::memory_order_relaxed));
    platform::StoreLe32(out + tovu::protocol::kPortSysexDelayOffset,
                        static_cast<uint32_t>(p.sysexDelayMs.load(std::memory_order_relaxed)));
    platform::StoreLe32(out + tovu::protocol::kPortShortResetOffset, static_cast<uint32_t>(p.shortReset));
  }
}

void FillInputPortRecords(const Ports& ports, uint8_t* out) {
  for (int i = 0; i < ports.inputCount; ++i, out += kInputRecordSize) {
    const InputPort& p = ports.inputs[i];
    StoreCommonRecord(out, p.name, p.deviceId, p.handle.load(std::memory_order_relaxed));
  }
}
