// The client library's requests: each one encodes its payload (messages.h), hands it to the
// transport (transport.h) and decodes the answer that arrived during the call. See tovu_client.h.
#include "client/tovu_client.h"

namespace tovu {

namespace {

// Sends a copy-data request with its payload; true when the engine took it.
bool SendPayload(Client& c, uint32_t type, const std::vector<uint8_t>& bytes, uint16_t argument = 0) {
  return SendCopyData(c, static_cast<uint16_t>(type), argument, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Sends command `code` naming this window and keeps the copy-data answer of the same type that
// arrived during the call (port lists, the metronome settings): its result, and the answer's
// payload (empty when none came).
int32_t CommandWithAnswer(Client& c, uint32_t code, std::vector<uint8_t>* payload) {
  TakeCopyData(c, code);
  int32_t r = Command(c, code, c.window);
  auto answers = TakeCopyData(c, code);
  payload->clear();
  if (!answers.empty()) *payload = std::move(answers.back().payload);
  return r;
}

// A port-list command and its answer's records (none when no answer came).
template <typename Info>
int32_t RequestPorts(Client& c, uint32_t code, std::vector<Info> (*decode)(const std::vector<uint8_t>&),
                     std::vector<Info>* ports) {
  std::vector<uint8_t> payload;
  int32_t r = CommandWithAnswer(c, code, &payload);
  if (ports) *ports = decode(payload);
  return r;
}

}  // namespace

int32_t Register(Client& c) {
  int32_t r = Command(c, kCommandRegister, c.window);
  if (r == kResultDone) KeepEngineLines(c);
  return r;
}

int32_t Unregister(Client& c) { return Command(c, kCommandUnregister, c.window); }

int32_t RequestOutputPorts(Client& c, std::vector<OutputPortInfo>* ports) {
  static_assert(kCopyOutputPorts == kCommandOutputPorts, "the answer carries the command's number");
  return RequestPorts(c, kCommandOutputPorts, DecodeOutputPorts, ports);
}

int32_t RequestInputPorts(Client& c, std::vector<InputPortInfo>* ports) {
  static_assert(kCopyInputPorts == kCommandInputPorts, "the answer carries the command's number");
  return RequestPorts(c, kCommandInputPorts, DecodeInputPorts, ports);
}

bool RequestPortStates(Client& c, PortStates* states) {
  static_assert(kCopyPortStates == kCommandPortStates, "the answer carries the command's number");
  std::vector<uint8_t> payload;
  CommandWithAnswer(c, kCommandPortStates, &payload);
  return DecodePortStates(payload, states);
}

int32_t ReloadSettings(Client& c) { return Command(c, kCommandReloadSettings, 0); }

bool CloseEngine(Client& c) { return Post(c, kWmClose, 0, 0); }

int32_t SendShort(Client& c, uint32_t packedEvent) { return Command(c, kCommandSendShort, packedEvent); }
int32_t Panic(Client& c) { return Command(c, kCommandPanic, 0); }
int32_t AuditionHoldTime(Client& c) { return Command(c, kCommandAuditionHoldTime, 0); }
int32_t SetAuditionHoldTime(Client& c, int32_t ms) {
  return Command(c, kCommandSetAuditionHoldTime, static_cast<uint32_t>(ms));
}

bool SendShortList(Client& c, const std::vector<uint32_t>& events) {
  return SendPayload(c, kCopyShortList, EncodeEventList(events));
}

bool Audition(Client& c, const std::vector<uint32_t>& events) {
  return SendPayload(c, kCopyAudition, EncodeEventList(events));
}

bool SendSysex(Client& c, uint8_t portIndex, const std::vector<uint8_t>& bytes) {
  return SendPayload(c, kCopySysex, bytes, portIndex);
}

bool OpenPorts(Client& c, const OpenPortsRequest& request, OpenPortsReply* reply) {
  TakeCopyData(c, kCopyOpenPorts);
  if (!SendPayload(c, kCopyOpenPorts, EncodeOpenPortsRequest(request))) return false;
  auto answers = TakeCopyData(c, kCopyOpenPorts);
  if (answers.empty()) return false;
  return reply ? DecodeOpenPortsReply(answers.back().payload, reply) : true;
}

bool ClosePorts(Client& c) { return SendCopyData(c, kCopyClosePorts, 0, nullptr, 0); }

bool LoadSong(Client& c, const std::vector<uint8_t>& image) { return SendPayload(c, kCopyLoadSong, image); }

bool LoadNextSong(Client& c, const std::vector<uint8_t>& image) { return SendPayload(c, kCopyLoadNextSong, image); }

bool Start(Client& c, const StartRequest& request) { return SendPayload(c, kCopyStart, EncodeStartRequest(request)); }

bool Continue(Client& c, const StartRequest& request) {
  return SendPayload(c, kCopyContinue, EncodeStartRequest(request));
}

int32_t Stop(Client& c) { return Command(c, kCommandStop, c.window); }

bool SetTempoFactor(Client& c, double factor) { return SendPayload(c, kCopyTempoFactor, EncodeTempoFactor(factor)); }

bool SetInputFilter(Client& c, uint32_t channelMask, uint32_t inputFlags) {
  return SendPayload(c, kCopyInputFilter, EncodeInputFilter(channelMask, inputFlags));
}

bool SetMetronome(Client& c, const MetronomeSettings& settings) {
  return SendPayload(c, kCopySetMetronome, EncodeMetronomeSettings(settings));
}

bool RequestMetronomeSettings(Client& c, MetronomeSettings* settings) {
  static_assert(kCopyMetronomeSettings == kCommandMetronomeSettings, "the answer carries the command's number");
  std::vector<uint8_t> payload;
  CommandWithAnswer(c, kCommandMetronomeSettings, &payload);
  return DecodeMetronomeSettings(payload, settings);
}

bool SetThru(Client& c, const ThruSettings& settings) {
  return SendPayload(c, kCopySetThru, EncodeThruSettings(settings));
}

bool SetSyncOut(Client& c, const SyncOutSettings& settings) {
  return SendPayload(c, kCopySetSyncOut, EncodeSyncOutSettings(settings));
}

bool SetClockIn(Client& c, int32_t device) {
  return SendPayload(c, kCopyClockIn, EncodeClockIn(device));
}

bool RequestSyncOutSettings(Client& c, SyncOutSettings* settings) {
  static_assert(kCopySyncOutSettings == kCommandSyncOutSettings, "the answer carries the command's number");
  std::vector<uint8_t> payload;
  CommandWithAnswer(c, kCommandSyncOutSettings, &payload);
  return DecodeSyncOutSettings(payload.data(), payload.size(), settings);
}

}  // namespace tovu
