// The payload records' encoders and decoders. See payloads.h.
//
// Threads: pure functions on values; any thread.
#include "protocol/payloads.h"

#include <algorithm>
#include <cstring>

#include "platform/wire.h"

namespace tovu {

using namespace protocol;

namespace {

constexpr uint32_t kWord = 4;  // every field is one little-endian 32-bit word

int32_t LoadI32(const uint8_t* p) { return static_cast<int32_t>(platform::LoadLe32(p)); }
void StoreI32(uint8_t* p, int32_t value) { platform::StoreLe32(p, static_cast<uint32_t>(value)); }

std::string NameField(const uint8_t* p) {
  const char* name = reinterpret_cast<const char*>(p);
  return std::string(name, strnlen(name, kPortNameSize));
}

// The 16-byte settings payloads (metronome, thru): four fields in order.
std::vector<uint8_t> FourFields(int32_t a, int32_t b, int32_t c, int32_t d) {
  std::vector<uint8_t> bytes(4 * kWord);
  const int32_t fields[4] = {a, b, c, d};
  for (uint32_t i = 0; i < 4; ++i) StoreI32(bytes.data() + kWord * i, fields[i]);
  return bytes;
}

}  // namespace

std::vector<OutputPortInfo> DecodeOutputPorts(const std::vector<uint8_t>& payload) {
  std::vector<OutputPortInfo> ports;
  for (size_t at = 0; at + kOutputRecordSize <= payload.size(); at += kOutputRecordSize) {
    const uint8_t* p = payload.data() + at;
    OutputPortInfo info;
    info.name = NameField(p);
    info.deviceId = platform::LoadLe32(p + kPortDeviceIdOffset);
    info.handle = platform::LoadLe32(p + kPortHandleOffset);
    info.sysexDelayMs = LoadI32(p + kPortSysexDelayOffset);
    info.shortReset = platform::LoadLe32(p + kPortShortResetOffset);
    ports.push_back(info);
  }
  return ports;
}

std::vector<InputPortInfo> DecodeInputPorts(const std::vector<uint8_t>& payload) {
  std::vector<InputPortInfo> ports;
  for (size_t at = 0; at + kInputRecordSize <= payload.size(); at += kInputRecordSize) {
    const uint8_t* p = payload.data() + at;
    ports.push_back({NameField(p), platform::LoadLe32(p + kPortDeviceIdOffset), platform::LoadLe32(p + kPortHandleOffset)});
  }
  return ports;
}

std::vector<uint8_t> EncodeOpenPortsRequest(const OpenPortsRequest& r) {
  std::vector<uint8_t> b(kOpenPortsSize, 0);
  size_t n = std::min<size_t>(r.outputDevices.size(), kOpenPortsMaxOutputs);
  int32_t count = r.outputCountOverride >= 0 ? r.outputCountOverride : static_cast<int32_t>(n);
  StoreI32(b.data() + kOpenPortsCountOffset, count);
  for (size_t i = 0; i < n; ++i) platform::StoreLe32(b.data() + kOpenPortsOutputsOffset + kWord * i, r.outputDevices[i]);
  StoreI32(b.data() + kOpenPortsInputOffset, r.inputDevice);
  platform::StoreLe32(b.data() + kOpenPortsChannelMaskOffset, r.channelMask);
  platform::StoreLe32(b.data() + kOpenPortsInputFlagsOffset, r.inputFlags);
  return b;
}

bool DecodeOpenPortsReply(const std::vector<uint8_t>& p, OpenPortsReply* reply) {
  if (p.size() < kOpenPortsSize) return false;
  reply->window = platform::LoadLe32(p.data() + kOpenPortsWindowOffset);
  reply->outputCount = LoadI32(p.data() + kOpenPortsCountOffset);
  for (int i = 0; i < kOpenPortsMaxOutputs; ++i)
    reply->outputResults[i] = LoadI32(p.data() + kOpenPortsOutputsOffset + kWord * i);
  reply->inputResult = LoadI32(p.data() + kOpenPortsInputOffset);
  return true;
}

std::vector<uint8_t> EncodeStartRequest(const StartRequest& r) {
  std::vector<uint8_t> b(kStartRequestSize);
  StoreI32(b.data() + kStartTickOffset, r.startTick);
  StoreI32(b.data() + kStartLoopStartOffset, r.loopStart);
  StoreI32(b.data() + kStartLoopEndOffset, r.loopEnd);
  StoreI32(b.data() + kStartLoopOnOffset, r.loopOn);
  StoreI32(b.data() + kStartSysexModeOffset, r.sysexMode);
  StoreI32(b.data() + kStartSetupSysexOffset, r.setupSysex);
  StoreI32(b.data() + kStartRecordOnOffset, r.recordOn);
  StoreI32(b.data() + kStartParamOffset, r.startParam);
  return b;
}

bool DecodeStartRequest(const uint8_t* p, size_t size, StartRequest* r) {
  if (!p || size < kStartRequestSize) return false;
  r->startTick = LoadI32(p + kStartTickOffset);
  r->loopStart = LoadI32(p + kStartLoopStartOffset);
  r->loopEnd = LoadI32(p + kStartLoopEndOffset);
  r->loopOn = LoadI32(p + kStartLoopOnOffset);
  r->sysexMode = LoadI32(p + kStartSysexModeOffset);
  r->setupSysex = LoadI32(p + kStartSetupSysexOffset);
  r->recordOn = LoadI32(p + kStartRecordOnOffset);
  r->startParam = LoadI32(p + kStartParamOffset);
  return true;
}

std::vector<uint8_t> EncodeEventList(const std::vector<uint32_t>& events) {
  std::vector<uint8_t> bytes(events.size() * kPackedEventSize);
  for (size_t i = 0; i < events.size(); ++i) platform::StoreLe32(bytes.data() + kPackedEventSize * i, events[i]);
  return bytes;
}

std::vector<uint8_t> EncodeTempoFactor(double factor) {
  static_assert(sizeof factor == kTempoFactorSize);
  std::vector<uint8_t> bytes(kTempoFactorSize);
  memcpy(bytes.data(), &factor, kTempoFactorSize);  // little-endian IEEE double on every machine we build for
  return bytes;
}

bool DecodeTempoFactor(const uint8_t* p, size_t size, double* factor) {
  if (!p || size < kTempoFactorSize) return false;
  memcpy(factor, p, kTempoFactorSize);
  return true;
}

bool DecodeInputFilter(const uint8_t* p, size_t size, uint32_t* channelMask, uint32_t* inputFlags) {
  if (!p || size < kInputFilterSize) return false;
  *channelMask = platform::LoadLe32(p + kFilterChannelMaskOffset);
  *inputFlags = platform::LoadLe32(p + kFilterFlagsOffset);
  return true;
}

std::vector<uint8_t> EncodeInputFilter(uint32_t channelMask, uint32_t inputFlags) {
  std::vector<uint8_t> bytes(kInputFilterSize);
  platform::StoreLe32(bytes.data() + kFilterChannelMaskOffset, channelMask);
  platform::StoreLe32(bytes.data() + kFilterFlagsOffset, inputFlags);
  return bytes;
}

std::vector<uint8_t> EncodeMetronomeSettings(const MetronomeSettings& s) {
  static_assert(kMetronomeDeviceOffset == 0 && kMetronomeChannelOffset == kWord &&
                kMetronomeMeasureNoteOffset == 2 * kWord && kMetronomeBeatNoteOffset == 3 * kWord &&
                kMetronomeSettingsSize == 4 * kWord);
  return FourFields(s.device, s.channel, s.measureNote, s.beatNote);
}

bool DecodeMetronomeSettings(const std::vector<uint8_t>& payload, MetronomeSettings* s) {
  return DecodeMetronomeSettings(payload.data(), payload.size(), s);
}

bool DecodeMetronomeSettings(const uint8_t* p, size_t size, MetronomeSettings* s) {
  if (!p || size < kMetronomeSettingsSize) return false;
  s->device = LoadI32(p + kMetronomeDeviceOffset);
  s->channel = LoadI32(p + kMetronomeChannelOffset);
  s->measureNote = LoadI32(p + kMetronomeMeasureNoteOffset);
  s->beatNote = LoadI32(p + kMetronomeBeatNoteOffset);
  return true;
}

std::vector<uint8_t> EncodeThruSettings(const ThruSettings& s) {
  static_assert(kThruDeviceOffset == 0 && kThruChannelOffset == kWord && kThruTransposeOffset == 2 * kWord &&
                kThruVelocityOffsetOffset == 3 * kWord && kThruSettingsSize == 4 * kWord);
  return FourFields(s.device, s.channel, s.transpose, s.velocityOffset);
}

bool DecodeThruSettings(const uint8_t* p, size_t size, ThruSettings* s) {
  if (!p || size < kThruSettingsSize) return false;
  s->device = LoadI32(p + kThruDeviceOffset);
  s->channel = LoadI32(p + kThruChannelOffset);
  s->transpose = LoadI32(p + kThruTransposeOffset);
  s->velocityOffset = LoadI32(p + kThruVelocityOffsetOffset);
  return true;
}

std::vector<uint8_t> EncodePortStates(const PortStates& s) {
  std::vector<uint8_t> out(kPortStatesHeaderSize + s.outputs.size() + s.inputs.size());
  platform::StoreLe32(out.data(), static_cast<uint32_t>(s.outputs.size()));
  platform::StoreLe32(out.data() + 4, static_cast<uint32_t>(s.inputs.size()));
  std::copy(s.outputs.begin(), s.outputs.end(), out.begin() + kPortStatesHeaderSize);
  std::copy(s.inputs.begin(), s.inputs.end(), out.begin() + kPortStatesHeaderSize + s.outputs.size());
  return out;
}

bool DecodePortStates(const std::vector<uint8_t>& payload, PortStates* s) {
  if (payload.size() < kPortStatesHeaderSize) return false;
  const size_t outputs = platform::LoadLe32(payload.data());
  const size_t inputs = platform::LoadLe32(payload.data() + 4);
  if (outputs > kMaxPortStates || inputs > kMaxPortStates || payload.size() < kPortStatesHeaderSize + outputs + inputs)
    return false;
  const uint8_t* at = payload.data() + kPortStatesHeaderSize;
  s->outputs.assign(at, at + outputs);
  s->inputs.assign(at + outputs, at + outputs + inputs);
  return true;
}

std::vector<uint8_t> EncodeSyncOutSettings(const SyncOutSettings& s) {
  size_t count = std::min<size_t>(s.ports.size(), kSyncOutMaxPorts);
  std::vector<uint8_t> out(kSyncOutHeaderSize + count * kSyncOutEntrySize, 0);
  platform::StoreLe32(out.data() + kSyncOutFlagsOffset, s.flags);
  StoreI32(out.data() + kSyncOutRateOffset, s.timecodeRate);
  platform::StoreLe32(out.data() + kSyncOutIdleTempoOffset, s.idleTempoMilli);
  platform::StoreLe32(out.data() + kSyncOutCountOffset, static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    uint8_t* entry = out.data() + kSyncOutHeaderSize + i * kSyncOutEntrySize;
    platform::StoreLe32(entry, s.ports[i].device);
    platform::StoreLe32(entry + kWord, s.ports[i].what);
  }
  return out;
}

bool DecodeSyncOutSettings(const uint8_t* p, size_t size, SyncOutSettings* s) {
  if (!p || size < kSyncOutHeaderSize) return false;
  uint32_t count = std::min(platform::LoadLe32(p + kSyncOutCountOffset), kSyncOutMaxPorts);
  if ((size - kSyncOutHeaderSize) / kSyncOutEntrySize < count) return false;
  s->flags = platform::LoadLe32(p + kSyncOutFlagsOffset);
  s->timecodeRate = LoadI32(p + kSyncOutRateOffset);
  s->idleTempoMilli = platform::LoadLe32(p + kSyncOutIdleTempoOffset);
  s->ports.clear();
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = p + kSyncOutHeaderSize + i * kSyncOutEntrySize;
    s->ports.push_back({platform::LoadLe32(entry), platform::LoadLe32(entry + kWord)});
  }
  return true;
}

std::vector<uint8_t> EncodeClockIn(int32_t device) {
  std::vector<uint8_t> b(kClockInSize);
  StoreI32(b.data(), device);
  return b;
}

}  // namespace tovu
