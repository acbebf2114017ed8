// The Tovu client library. See tovu_client.h.
#include "client/tovu_client.h"

#include <algorithm>
#include <cstring>

#include "platform/bus_client.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/wire.h"

namespace tovu {

namespace {

using platform::FrameHeader;

int64_t NowMs() { return platform::MonotonicNs() / 1000000; }


bool WriteFrame(Client& c, const FrameHeader& h, const void* payload, uint32_t cb) {
  if (c.fd < 0) return false;
  std::vector<uint8_t> frame;
  platform::AppendFrame(frame, h, payload, cb);
  if (!platform::WriteAll(c.fd, frame.data(), frame.size())) {
    Disconnect(c);
    return false;
  }
  return true;
}

// Handles one frame from the engine. SENDs are answered at once (also while we wait for a reply).
void HandleFrame(Client& c, const FrameHeader& h, std::vector<uint8_t>&& payload) {
  switch (h.kind) {
    case platform::kFrameHello:
      c.engineWindow = h.wParam;
      c.window = h.lParam;
      return;
    case platform::kFrameReply:
      if (std::find(c.repliesWanted.begin(), c.repliesWanted.end(), h.id) != c.repliesWanted.end())
        c.repliesGot.emplace_back(h.id, static_cast<int32_t>(h.lParam));
      return;
    case platform::kFramePost:
    case platform::kFrameSend: {
      Message m;
      m.msg = h.msg;
      m.wParam = h.wParam;
      m.lParam = h.lParam;
      m.dwData = h.dwData;
      m.payload = std::move(payload);
      m.sent = h.kind == platform::kFrameSend;
      int32_t result = 0;
      if (m.sent && c.windowProc) result = c.windowProc(m);
      c.inbox.push_back(std::move(m));
      if (h.kind == platform::kFrameSend && c.fd >= 0) {
        FrameHeader r;
        r.kind = platform::kFrameReply;
        r.id = h.id;
        r.lParam = static_cast<uint32_t>(result);
        // A reply that cannot be written (the engine is closing and no longer reads) does not end
        // the connection here: what the engine wrote before it went is still read and delivered.
        std::vector<uint8_t> frame;
        platform::AppendFrame(frame, r, nullptr, 0);
        platform::WriteAll(c.fd, frame.data(), frame.size());
      }
      return;
    }
    default:
      return;
  }
}

// Reads once (waiting up to timeoutMs) and handles every complete frame. False when disconnected.
bool ReadOnce(Client& c, int timeoutMs) {
  if (c.fd < 0) return false;
  // Straight into the connection's buffer: a window procedure that sends from inside a read nests
  // this function, and no level keeps a read buffer on the stack.
  constexpr size_t kChunk = 65536;
  size_t had = c.in.size();
  c.in.resize(had + kChunk);
  long n = platform::ReadSome(c.fd, c.in.data() + had, kChunk, timeoutMs);
  c.in.resize(had + static_cast<size_t>(n < 0 ? 0 : n));
  if (n < 0) {
    Disconnect(c);
    return false;
  }
  while (c.in.size() >= platform::kFrameHeaderSize) {
    FrameHeader h = platform::DecodeHeader(c.in.data());
    if (!platform::FrameSizeValid(h.size) || h.cbData != h.size - platform::kFrameMinSize) {
      Disconnect(c);
      return false;
    }
    size_t total = 4 + static_cast<size_t>(h.size);
    if (c.in.size() < total) break;
    std::vector<uint8_t> payload(c.in.begin() + static_cast<ptrdiff_t>(platform::kFrameHeaderSize),
                                 c.in.begin() + static_cast<ptrdiff_t>(total));
    // The frame leaves the buffer before it is handled: a window procedure that sends a command
    // reads on from here (nested) and must not see this frame again.
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<ptrdiff_t>(total));
    HandleFrame(c, h, std::move(payload));
    if (c.fd < 0) return false;
  }
  return true;
}

bool SendFrame(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData, const void* data,
               uint32_t size, int32_t* result, int timeoutMs) {
  FrameHeader h;
  h.kind = platform::kFrameSend;
  h.id = c.nextSendId++;
  if (c.nextSendId == 0) c.nextSendId = 1;
  h.hwnd = c.engineWindow;
  h.msg = msg;
  h.wParam = wParam;
  h.lParam = lParam;
  h.dwData = dwData;
  c.repliesWanted.push_back(h.id);
  bool ok = WriteFrame(c, h, data, size);
  int64_t deadline = NowMs() + timeoutMs;
  bool got = false;
  while (ok) {
    auto it = std::find_if(c.repliesGot.begin(), c.repliesGot.end(), [&](auto& r) { return r.first == h.id; });
    if (it != c.repliesGot.end()) {
      if (result) *result = it->second;
      c.repliesGot.erase(it);
      got = true;
      break;
    }
    int64_t left = deadline - NowMs();
    if (left <= 0 || !ReadOnce(c, static_cast<int>(left))) break;
  }
  c.repliesWanted.erase(std::remove(c.repliesWanted.begin(), c.repliesWanted.end(), h.id), c.repliesWanted.end());
  return got;
}

// The copy-data messages of one type in the inbox, in arrival order, removed from it.
std::vector<Message> TakeCopyData(Client& c, uint32_t type) {
  std::vector<Message> found;
  for (auto it = c.inbox.begin(); it != c.inbox.end();) {
    if (it->msg == kWmCopyData && (it->dwData & 0xFFFF) == type) {
      found.push_back(std::move(*it));
      it = c.inbox.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

// The engine's own lines among what its standard error carried ("tovu: ..." without that prefix,
// "tovu-engine: ..." and "Error: ..." whole); a library the engine uses may add lines of its own,
// which are left out.
std::string EngineLines(const std::string& text) {
  std::string lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (line.rfind("tovu: ", 0) == 0) line = line.substr(6);
    else if (line.rfind("tovu-engine: ", 0) != 0 && line.rfind("Error: ", 0) != 0) line.clear();
    if (!line.empty()) lines += (lines.empty() ? "" : "\n") + line;
    at = end + 1;
  }
  return lines;
}

std::string NameField(const uint8_t* p) { return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), 64)); }

}  // namespace

bool Connect(Client& c, const ConnectOptions& options) {
  std::string path = options.socketPath.empty() ? platform::BusSocketPath() : options.socketPath;
  std::string engine = options.enginePath.empty() ? platform::EngineProgramPath() : options.enginePath;
  int64_t deadline = NowMs() + options.timeoutMs;
  int startupPipe = -1;
  int starts = 0;
  bool mayStart = options.startEngine;
  bool engineExited = false;
  std::string startupText;
  c.connectError.clear();
  c.engineLines.clear();
  for (;;) {
    int fd = platform::BusConnect(path);
    if (fd == platform::kBusRefused) {  // not ours: neither talk to it nor start one there
      c.connectError = "the engine socket " + path + " is refused: its directory " + platform::DirectoryOf(path) +
                       " must belong to you and be closed to others (chmod 700), and an engine answering there "
                       "must run as you";
      break;
    }
    if (fd < 0) {
      if (mayStart && starts < 2) {
        platform::CloseFd(startupPipe);
        startupText.clear();
        engineExited = false;
        startupPipe = platform::StartEngineProcess(engine);
        ++starts;
        mayStart = false;
      } else if (starts == 0 || NowMs() >= deadline) {
        break;
      }
      // A started engine that has already exited closed its standard error: no use waiting.
      if (startupPipe >= 0 && !engineExited) engineExited = platform::ReadPipeText(startupPipe, 0, &startupText);
      if (engineExited && !mayStart) break;
      platform::SleepMs(5);
      continue;
    }
    c.fd = fd;
    c.in.clear();
    c.window = 0;
    while (c.window == 0 && c.fd >= 0) {
      int64_t left = deadline - NowMs();
      if (left <= 0 || !ReadOnce(c, static_cast<int>(left))) break;
    }
    if (c.window != 0) {
      c.startupPipe = startupPipe;
      c.engineLines = EngineLines(startupText);
      return true;
    }
    bool closedBeforeHello = c.fd < 0;
    platform::CloseFd(c.fd);
    c.fd = -1;
    // An engine that was closing accepted us and went away without a HELLO: try again, starting a
    // fresh engine when allowed.
    if (!closedBeforeHello || NowMs() >= deadline) break;
    mayStart = options.startEngine;
    platform::SleepMs(5);
  }
  if (c.connectError.empty()) {
    if (startupPipe >= 0 && !engineExited) platform::ReadPipeText(startupPipe, 50, &startupText);
    std::string lines = EngineLines(startupText);
    if (!lines.empty())
      c.connectError = "the engine started and stopped: " + lines;
    else if (starts > 0 && engineExited)
      c.connectError = "no engine answers at " + path + ", and " + engine + " could not be started";
    else if (starts > 0)
      c.connectError = "no engine answers at " + path + ": the one started (" + engine + ") did not answer in time";
    else
      c.connectError = "no engine answers at " + path;
  }
  platform::CloseFd(startupPipe);
  return false;
}

void Disconnect(Client& c) {
  platform::CloseFd(c.fd);
  c.fd = -1;
  platform::CloseFd(c.startupPipe);
  c.startupPipe = -1;
}

bool Connected(const Client& c) { return c.fd >= 0; }

bool Post(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  FrameHeader h;
  h.kind = platform::kFramePost;
  h.hwnd = c.engineWindow;
  h.msg = msg;
  h.wParam = wParam;
  h.lParam = lParam;
  return WriteFrame(c, h, nullptr, 0);
}

bool Send(Client& c, uint32_t msg, uint32_t wParam, uint32_t lParam, int32_t* result, int timeoutMs) {
  return SendFrame(c, msg, wParam, lParam, 0, nullptr, 0, result, timeoutMs);
}

bool SendCopyData(Client& c, uint16_t type, uint16_t argument, const void* data, uint32_t size, int32_t* result,
                  int timeoutMs) {
  return SendFrame(c, kWmCopyData, c.window, 0, static_cast<uint32_t>(type) | static_cast<uint32_t>(argument) << 16,
                   data, size, result, timeoutMs);
}

bool PostCopyData(Client& c, uint16_t type, uint16_t argument, const void* data, uint32_t size) {
  FrameHeader h;
  h.kind = platform::kFramePost;
  h.hwnd = c.engineWindow;
  h.msg = kWmCopyData;
  h.wParam = c.window;
  h.dwData = static_cast<uint32_t>(type) | static_cast<uint32_t>(argument) << 16;
  return WriteFrame(c, h, data, size);
}

int32_t Command(Client& c, uint32_t code, uint32_t lParam) {
  int32_t result = -1;
  if (!Send(c, kEngineCommand, code, lParam, &result)) return -1;
  return result;
}

bool PumpMessages(Client& c, int timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    int64_t left = deadline - NowMs();
    if (!ReadOnce(c, static_cast<int>(std::max<int64_t>(left, 0)))) return false;
    if (left <= 0) return true;
  }
}

bool WaitForMessage(Client& c, const std::function<bool(const Message&)>& match, int timeoutMs, Message* out) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    for (auto it = c.inbox.begin(); it != c.inbox.end(); ++it)
      if (match(*it)) {
        if (out) *out = std::move(*it);
        c.inbox.erase(it);
        return true;
      }
    int64_t left = deadline - NowMs();
    if (left <= 0 || !ReadOnce(c, static_cast<int>(left))) return false;
  }
}

bool WaitForNotification(Client& c, uint32_t code, int timeoutMs, uint32_t* lParam) {
  Message m;
  if (!WaitForMessage(c, [&](const Message& x) { return x.msg == kEngineCommand && x.wParam == code; }, timeoutMs, &m))
    return false;
  if (lParam) *lParam = m.lParam;
  return true;
}

bool AsNotification(const Message& m, NotificationInfo* info) {
  if (m.msg != kEngineCommand || m.sent) return false;
  if (info) *info = {m.wParam, m.lParam};
  return true;
}

std::vector<NotificationInfo> TakeNotifications(Client& c) {
  std::vector<NotificationInfo> found;
  for (auto it = c.inbox.begin(); it != c.inbox.end();) {
    NotificationInfo info;
    if (AsNotification(*it, &info)) {
      found.push_back(info);
      it = c.inbox.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

std::vector<Message> TakeInbox(Client& c) {
  std::vector<Message> all(std::make_move_iterator(c.inbox.begin()), std::make_move_iterator(c.inbox.end()));
  c.inbox.clear();
  return all;
}

int32_t Register(Client& c) {
  int32_t r = Command(c, 0, c.window);
  if (r == 0) {
    if (c.startupPipe >= 0) {
      std::string text;
      platform::ReadPipeText(c.startupPipe, 0, &text);
      std::string lines = EngineLines(text);
      if (!lines.empty()) c.engineLines += (c.engineLines.empty() ? "" : "\n") + lines;
    }
    platform::CloseFd(c.startupPipe);
    c.startupPipe = -1;
  }
  return r;
}

int32_t Unregister(Client& c) { return Command(c, 1, c.window); }

std::vector<OutputPortInfo> DecodeOutputPorts(const std::vector<uint8_t>& payload) {
  std::vector<OutputPortInfo> ports;
  for (size_t at = 0; at + 80 <= payload.size(); at += 80) {
    const uint8_t* p = payload.data() + at;
    OutputPortInfo info;
    info.name = NameField(p);
    info.deviceId = platform::LoadLe32(p + 64);
    info.handle = platform::LoadLe32(p + 68);
    info.sysexDelayMs = static_cast<int32_t>(platform::LoadLe32(p + 72));
    info.shortReset = platform::LoadLe32(p + 76);
    ports.push_back(info);
  }
  return ports;
}

std::vector<InputPortInfo> DecodeInputPorts(const std::vector<uint8_t>& payload) {
  std::vector<InputPortInfo> ports;
  for (size_t at = 0; at + 72 <= payload.size(); at += 72) {
    const uint8_t* p = payload.data() + at;
    ports.push_back({NameField(p), platform::LoadLe32(p + 64), platform::LoadLe32(p + 68)});
  }
  return ports;
}

// Sends a port-list command (answered with a copy-data message of the same number during the send)
// and hands back its result and the answer's payload (empty when none came).
// Sends command `code` naming this window and keeps the copy-data answer of the same type that
// arrived during the call (port lists, the metronome settings).
static int32_t CommandWithAnswer(Client& c, uint32_t code, std::vector<uint8_t>* payload) {
  TakeCopyData(c, code);
  int32_t r = Command(c, code, c.window);
  auto answers = TakeCopyData(c, code);
  payload->clear();
  if (!answers.empty()) *payload = std::move(answers.back().payload);
  return r;
}

int32_t RequestOutputPorts(Client& c, std::vector<OutputPortInfo>* ports) {
  std::vector<uint8_t> payload;
  int32_t r = CommandWithAnswer(c, 2, &payload);
  if (ports) *ports = DecodeOutputPorts(payload);
  return r;
}

int32_t RequestInputPorts(Client& c, std::vector<InputPortInfo>* ports) {
  std::vector<uint8_t> payload;
  int32_t r = CommandWithAnswer(c, 24, &payload);
  if (ports) *ports = DecodeInputPorts(payload);
  return r;
}

int32_t ReloadSettings(Client& c) { return Command(c, 8, 0); }

bool CloseEngine(Client& c) { return Post(c, kWmClose, 0, 0); }

int32_t SendShort(Client& c, uint32_t packedEvent) { return Command(c, 18, packedEvent); }
int32_t Panic(Client& c) { return Command(c, 31, 0); }
int32_t AuditionHoldTime(Client& c) { return Command(c, 3, 0); }
int32_t SetAuditionHoldTime(Client& c, int32_t ms) { return Command(c, 4, static_cast<uint32_t>(ms)); }

static std::vector<uint8_t> PackEvents(const std::vector<uint32_t>& events) {
  std::vector<uint8_t> bytes(events.size() * 4);
  for (size_t i = 0; i < events.size(); ++i) platform::StoreLe32(bytes.data() + 4 * i, events[i]);
  return bytes;
}

bool SendShortList(Client& c, const std::vector<uint32_t>& events) {
  auto bytes = PackEvents(events);
  return SendCopyData(c, 15, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool Audition(Client& c, const std::vector<uint32_t>& events) {
  auto bytes = PackEvents(events);
  return SendCopyData(c, 16, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool SendSysex(Client& c, uint8_t portIndex, const std::vector<uint8_t>& bytes) {
  return SendCopyData(c, 17, portIndex, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<uint8_t> EncodeOpenPortsRequest(const OpenPortsRequest& r) {
  std::vector<uint8_t> b(1080, 0);
  size_t n = std::min<size_t>(r.outputDevices.size(), 256);
  int32_t count = r.outputCountOverride >= 0 ? r.outputCountOverride : static_cast<int32_t>(n);
  platform::StoreLe32(b.data() + 4, static_cast<uint32_t>(count));
  for (size_t i = 0; i < n; ++i) platform::StoreLe32(b.data() + 8 + 4 * i, r.outputDevices[i]);
  platform::StoreLe32(b.data() + 1032, static_cast<uint32_t>(r.inputDevice));
  platform::StoreLe32(b.data() + 1064, r.channelMask);
  platform::StoreLe32(b.data() + 1068, r.inputFlags);
  return b;
}

bool DecodeOpenPortsReply(const std::vector<uint8_t>& p, OpenPortsReply* reply) {
  if (p.size() < 1080) return false;
  reply->window = platform::LoadLe32(p.data());
  reply->outputCount = static_cast<int32_t>(platform::LoadLe32(p.data() + 4));
  for (int i = 0; i < 256; ++i) reply->outputResults[i] = static_cast<int32_t>(platform::LoadLe32(p.data() + 8 + 4 * i));
  reply->inputResult = static_cast<int32_t>(platform::LoadLe32(p.data() + 1032));
  return true;
}

bool OpenPorts(Client& c, const OpenPortsRequest& request, OpenPortsReply* reply) {
  TakeCopyData(c, 13);
  auto bytes = EncodeOpenPortsRequest(request);
  if (!SendCopyData(c, 13, 0, bytes.data(), static_cast<uint32_t>(bytes.size()))) return false;
  auto answers = TakeCopyData(c, 13);
  if (answers.empty()) return false;
  return reply ? DecodeOpenPortsReply(answers.back().payload, reply) : true;
}

bool ClosePorts(Client& c) { return SendCopyData(c, 14, 0, nullptr, 0); }

bool LoadSong(Client& c, const std::vector<uint8_t>& image) {
  return SendCopyData(c, 19, 0, image.data(), static_cast<uint32_t>(image.size()));
}

bool LoadNextSong(Client& c, const std::vector<uint8_t>& image) {
  return SendCopyData(c, 20, 0, image.data(), static_cast<uint32_t>(image.size()));
}

std::vector<uint8_t> EncodeStartRequest(const StartRequest& r) {
  std::vector<uint8_t> b(32);
  const int32_t fields[8] = {r.startTick, r.loopStart, r.loopEnd,    r.loopOn,
                             r.sysexMode, r.setupSysex, r.recordOn, r.startParam};
  for (int i = 0; i < 8; ++i) platform::StoreLe32(b.data() + 4 * i, static_cast<uint32_t>(fields[i]));
  return b;
}

bool Start(Client& c, const StartRequest& request) {
  std::vector<uint8_t> b = EncodeStartRequest(request);
  return SendCopyData(c, 21, 0, b.data(), static_cast<uint32_t>(b.size()));
}

bool Continue(Client& c, const StartRequest& request) {
  std::vector<uint8_t> b = EncodeStartRequest(request);
  return SendCopyData(c, 22, 0, b.data(), static_cast<uint32_t>(b.size()));
}

int32_t Stop(Client& c) { return Command(c, 5, c.window); }

bool SetTempoFactor(Client& c, double factor) {
  uint8_t b[8];
  memcpy(b, &factor, 8);  // little-endian IEEE double on every machine we build for
  return SendCopyData(c, 23, 0, b, 8);
}

bool SetInputFilter(Client& c, uint32_t channelMask, uint32_t inputFlags) {
  uint8_t b[8];
  platform::StoreLe32(b, channelMask);
  platform::StoreLe32(b + 4, inputFlags);
  return SendCopyData(c, 25, 0, b, 8);
}

static std::vector<uint8_t> FourFields(int32_t a, int32_t b, int32_t c, int32_t d) {
  std::vector<uint8_t> bytes(16);
  platform::StoreLe32(bytes.data(), static_cast<uint32_t>(a));
  platform::StoreLe32(bytes.data() + 4, static_cast<uint32_t>(b));
  platform::StoreLe32(bytes.data() + 8, static_cast<uint32_t>(c));
  platform::StoreLe32(bytes.data() + 12, static_cast<uint32_t>(d));
  return bytes;
}

std::vector<uint8_t> EncodeMetronomeSettings(const MetronomeSettings& s) {
  return FourFields(s.device, s.channel, s.measureNote, s.beatNote);
}

bool DecodeMetronomeSettings(const std::vector<uint8_t>& payload, MetronomeSettings* s) {
  if (payload.size() < 16) return false;
  s->device = static_cast<int32_t>(platform::LoadLe32(payload.data()));
  s->channel = static_cast<int32_t>(platform::LoadLe32(payload.data() + 4));
  s->measureNote = static_cast<int32_t>(platform::LoadLe32(payload.data() + 8));
  s->beatNote = static_cast<int32_t>(platform::LoadLe32(payload.data() + 12));
  return true;
}

bool SetMetronome(Client& c, const MetronomeSettings& settings) {
  auto bytes = EncodeMetronomeSettings(settings);
  return SendCopyData(c, 27, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool RequestMetronomeSettings(Client& c, MetronomeSettings* settings) {
  std::vector<uint8_t> payload;
  CommandWithAnswer(c, 26, &payload);
  return DecodeMetronomeSettings(payload, settings);
}

std::vector<uint8_t> EncodeThruSettings(const ThruSettings& s) {
  return FourFields(s.device, s.channel, s.transpose, s.velocityOffset);
}

bool SetThru(Client& c, const ThruSettings& settings) {
  auto bytes = EncodeThruSettings(settings);
  return SendCopyData(c, 29, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

}  // namespace tovu
