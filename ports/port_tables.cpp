// Port tables, port open/close with open counts, the settings store readers and the port-list
// records. Main thread only, except FindInputPortByHandle (MIDI input thread), which only reads the
// table that never changes shape after BuildPortTables.
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

}  // namespace

bool BuildPortTables(Ports& ports) {
  uint32_t outs = platform::MidiOutCount();
  if (outs > kMaxPorts) outs = kMaxPorts;
  if (outs > 0) {
    ports.outputs.reset(new (std::nothrow) OutputPort[outs]);
    ports.activity.reset(new (std::nothrow) std::atomic<uint8_t>[static_cast<size_t>(outs) * kActivityPerPort]);
    if (!ports.outputs || !ports.activity) return false;
    for (size_t i = 0; i < static_cast<size_t>(outs) * kActivityPerPort; ++i) ports.activity[i].store(0);
    for (uint32_t id = 0; id < outs; ++id) {
      OutputPort& port = ports.outputs[id];
      char name[256] = {};
      if (platform::MidiOutName(id, name, sizeof name) != platform::kMidiOk) name[0] = 0;
      CopyName(port.name, name);
      port.deviceId = id;
      port.activity = &ports.activity[ActivityIndex(id, 0, 0)];
      port.activityEvent = ports.activityEvent;
      port.stage.shared = &ports.stages;
      std::unique_ptr<KeyLedger[]> keys(new (std::nothrow) KeyLedger[kActivityPerPort]);
      if (!keys) return false;
      EngineLock lock(port.stage.lock);
      port.stage.keys = std::move(keys);
    }
  }
  ports.outputCount = static_cast<int32_t>(outs);

  uint32_t ins = platform::MidiInCount();
  if (ins > kMaxPorts) ins = kMaxPorts;
  if (ins > 0) {
    ports.inputs.reset(new (std::nothrow) InputPort[ins]);
    if (!ports.inputs) return false;
    for (uint32_t id = 0; id < ins; ++id) {
      char name[256] = {};
      if (platform::MidiInName(id, name, sizeof name) != platform::kMidiOk) name[0] = 0;
      CopyName(ports.inputs[id].name, name);
      ports.inputs[id].deviceId = id;
    }
  }
  ports.inputCount = static_cast<int32_t>(ins);
  return true;
}

int FindOutputPortByDevice(const Ports& ports, uint32_t deviceId) {
  for (int i = 0; i < ports.outputCount; ++i)
    if (ports.outputs[i].deviceId == deviceId) return i;
  return -1;
}

int FindInputPortByDevice(const Ports& ports, uint32_t deviceId) {
  for (int i = 0; i < ports.inputCount; ++i)
    if (ports.inputs[i].deviceId == deviceId) return i;
  return -1;
}

int FindInputPortByHandle(const Ports& ports, platform::MidiHandle handle) {
  for (int i = 0; i < ports.inputCount; ++i)
    if (ports.inputs[i].handle.load(std::memory_order_acquire) == handle) return i;
  return -1;
}

int InputPort::Open(platform::MidiInCallback callback, uintptr_t instance) {
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
  char key[32];
  for (int n = 0; n < ports.outputCount; ++n) {
    snprintf(key, sizeof key, "Dev%d\\ExclDly", n);
    ports.outputs[n].sysexDelayMs.store(ReadSetting(key, 0), std::memory_order_relaxed);
    snprintf(key, sizeof key, "Dev%d\\ShrtRes", n);
    ports.outputs[n].shortReset = ReadSetting(key, 0) != 0 ? 1 : 0;
  }
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
