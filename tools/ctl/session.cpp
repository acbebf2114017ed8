// The engine side and ports by name (see session.h).
#include "tools/ctl/session.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "tools/ctl/common.h"

namespace ctl {

namespace {

template <typename Info>
bool FindPort(const std::vector<Info>& ports, const std::string& spec, const char* kind, size_t* index,
              std::string* error) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
  };
  if (!spec.empty() && spec.find_first_not_of("0123456789") == std::string::npos) {  // a device id
    for (size_t i = 0; i < ports.size() && spec.size() < 6; ++i)
      if (ports[i].deviceId == std::stoul(spec)) return *index = i, true;
    *error = std::string("no ") + kind + " device " + spec + " (tovu-ctl ports lists them)";
    return false;
  }
  std::string want = lower(spec);
  std::vector<size_t> partial;
  for (size_t i = 0; i < ports.size(); ++i) {
    std::string name = lower(ports[i].name);
    if (name == want) return *index = i, true;
    if (!want.empty() && name.find(want) != std::string::npos) partial.push_back(i);
  }
  if (partial.size() == 1) return *index = partial[0], true;
  if (partial.empty()) {
    *error = std::string("no ") + kind + " port " + spec + " (tovu-ctl ports lists them)";
  } else {
    *error = std::string(kind) + " port " + spec + " is ambiguous: it names";
    for (size_t i : partial) *error += std::string(i == partial[0] ? " \"" : ", \"") + ports[i].name + "\"";
  }
  return false;
}

}  // namespace

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    out.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

std::string ServiceReason(const tovu::Client& c, bool outputs) {
  if (!c.engineLines.empty()) return "; the engine said: " + c.engineLines;
  const char* value = getenv("TOVU_MIDI");
  std::string v = value ? value : "";
  for (char& ch : v) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  if (v == "virtual")
    return outputs ? "; TOVU_MIDI=virtual, and TOVU_VIRTUAL_OUTPUTS gives none"
                   : "; TOVU_MIDI=virtual, and TOVU_VIRTUAL_INPUTS gives none";
  if (v == "none") return "; TOVU_MIDI=none: the engine uses no MIDI service";
#ifdef _WIN32
  // Windows has one real service, the system's own MIDI devices (WinMM), and it is the default.
  const char* device = outputs ? "MIDI output device" : "MIDI input device";
  if (v.empty() || v == "winmm")
    return std::string("; the engine uses Windows' own MIDI devices (WinMM)") + (v.empty() ? " with TOVU_MIDI unset" : "") +
           ", and Windows lists no " + device +
           " (connect one or install its driver, then start the engine again; TOVU_MIDI=virtual gives devices of "
           "the engine's own)";
  return "; TOVU_MIDI=" + v + " names no MIDI service on Windows (winmm, virtual or none), so the engine uses none";
#else
  const char* what = outputs ? "MIDI input for it to play to" : "MIDI output for it to record from";
  if (v.empty())
    return std::string("; with TOVU_MIDI unset the engine uses JACK when a JACK server answers, else the ALSA "
                       "sequencer when /dev/snd/seq opens, else no MIDI service, and it found no ") + what +
           " (start a JACK server or load the ALSA sequencer and a synthesizer, then start the engine again)";
  if (v == "jack") return std::string("; TOVU_MIDI=jack: no other JACK client offers a ") + what;
  if (v == "alsa") return std::string("; TOVU_MIDI=alsa: no ALSA sequencer client offers a ") + what;
  return "; TOVU_MIDI=" + v + " names no MIDI service on Linux (jack, alsa, virtual or none), so the engine uses none";
#endif
}

bool StartSession(Session& s, bool startEngine) {
  tovu::ConnectOptions options;
  options.startEngine = startEngine;
  if (!tovu::Connect(s.client, options)) {
    Failure(s.client.connectError);
    return false;
  }
  if (tovu::Register(s.client) != 0) {
    Failure("the engine refused the registration");
    return false;
  }
  s.registered = true;
  tovu::RequestOutputPorts(s.client, &s.outputs);
  tovu::RequestInputPorts(s.client, &s.inputs);
  return true;
}

bool ResolveOutputs(Session& s, const std::vector<std::string>& specs, std::vector<uint8_t>* indices) {
  if (s.outputs.empty()) return Failure("the engine has no output ports" + ServiceReason(s.client, true)) == 0;
  if (specs.empty()) indices->push_back(0);
  for (const std::string& spec : specs) {
    size_t i;
    std::string error;
    if (!FindPort(s.outputs, spec, "output", &i, &error)) return Failure(error) == 0;
    indices->push_back(static_cast<uint8_t>(i));
  }
  return true;
}

bool ChooseSyncOut(Session& s, const std::vector<std::string>& clockSpecs, const std::vector<std::string>& timecodeSpecs,
                   int32_t rate, uint32_t flags, uint32_t idleTempoMilli, SyncOutScope* scope) {
  tovu::SyncOutSettings settings;
  if (!tovu::RequestSyncOutSettings(s.client, &settings))
    return Failure("this engine sends no MIDI clock or time code (it is older than sync out)") == 0;
  scope->before = settings;
  auto add = [&](const std::vector<std::string>& specs, uint32_t what) {
    if (specs.empty()) return true;
    std::vector<uint8_t> indices;
    if (!ResolveOutputs(s, specs, &indices)) return false;
    for (uint8_t i : indices) {
      uint32_t device = s.outputs[i].deviceId;
      auto same = std::find_if(settings.ports.begin(), settings.ports.end(),
                               [device](const tovu::SyncOutSettings::Port& p) { return p.device == device; });
      if (same != settings.ports.end())
        same->what |= what;
      else
        settings.ports.push_back({device, what});
    }
    return true;
  };
  if (!add(clockSpecs, tovu::kSyncOutClock) || !add(timecodeSpecs, tovu::kSyncOutTimecode)) return false;
  if (!timecodeSpecs.empty()) settings.timecodeRate = rate;
  settings.flags |= flags;
  if (idleTempoMilli) settings.idleTempoMilli = idleTempoMilli;
  if (!tovu::SetSyncOut(s.client, settings)) return Failure("the engine did not take the sync-out settings") == 0;
  scope->session = &s;
  // The transport's timebase is the server's to grant: the settings read back say whether it did.
  tovu::SyncOutSettings now;
  if ((flags & tovu::kSyncJackTransport) &&
      (!tovu::RequestSyncOutSettings(s.client, &now) || !(now.flags & tovu::kSyncJackTransport)))
    return Failure("the engine cannot drive the JACK transport (it is not on JACK, or the server refused it "
                   "the timebase)") == 0;
  return true;
}

bool ParseTimecodeRate(const std::string& text, int32_t* rate) {
  static const std::pair<const char*, int32_t> kRates[] = {{"24", 0}, {"25", 1}, {"29.97", 2}, {"2997", 2}, {"30", 3}};
  for (const auto& [name, code] : kRates)
    if (text == name) return (*rate = code), true;
  return false;
}

bool ResolveInput(Session& s, const std::string& spec, int32_t* device) {
  if (s.inputs.empty()) return Failure("the engine has no input ports" + ServiceReason(s.client, false)) == 0;
  size_t i = 0;
  std::string error;
  if (!spec.empty() && !FindPort(s.inputs, spec, "input", &i, &error)) return Failure(error) == 0;
  *device = static_cast<int32_t>(s.inputs[i].deviceId);
  return true;
}

bool OpenPorts(Session& s, const std::vector<uint8_t>& outputIndices, int32_t input) {
  tovu::OpenPortsRequest request;
  for (uint8_t i : outputIndices) {
    uint32_t id = s.outputs[i].deviceId;
    if (std::find(request.outputDevices.begin(), request.outputDevices.end(), id) == request.outputDevices.end())
      request.outputDevices.push_back(id);
  }
  request.inputDevice = input;
  request.inputFlags = tovu::kInputNotes | tovu::kInputControllers | tovu::kInputPitchBend | tovu::kInputSysex;
  tovu::OpenPortsReply reply;
  if (!tovu::OpenPorts(s.client, request, &reply)) return Failure("the engine did not answer the port opening") == 0;
  for (size_t i = 0; i < request.outputDevices.size(); ++i)
    if (reply.outputResults[i] != 0)
      return Failure("output device " + std::to_string(request.outputDevices[i]) + " cannot be opened: " +
                     MidiResultText(reply.outputResults[i])) == 0;
  if (input >= 0 && reply.inputResult != 0)
    return Failure("input device " + std::to_string(input) + " cannot be opened: " + MidiResultText(reply.inputResult)) == 0;
  return true;
}

bool FollowClockIn(Session& s, int32_t clockDevice, int32_t ownInput, uint8_t output, Session* holder) {
  if (clockDevice != ownInput) {
    // A second client holds the clock's port open; nothing but the clock comes through it.
    if (!StartSession(*holder, false) || !OpenPorts(*holder, {output}, clockDevice)) return false;
    tovu::SetInputFilter(holder->client, 0, 0);
  }
  if (!tovu::SetClockIn(s.client, clockDevice)) return Failure("the engine did not take the clock input") == 0;
  return true;
}

bool FollowJackTransport(Session& s) {
  if (!tovu::SetClockIn(s.client, tovu::protocol::kClockInJackTransport))
    return Failure("the engine did not take the clock input") == 0;
  return true;
}

std::string TransportRefusal(uint32_t code) {
  return code == tovu::protocol::kErrorNoInputPort
             ? "the engine cannot follow the JACK transport: it does not run on JACK, or its server has gone"
             : "";
}

bool TakeFailure(Session& s, uint32_t* code) {
  for (auto it = s.client.inbox.begin(); it != s.client.inbox.end(); ++it) {
    tovu::NotificationInfo n;
    if (tovu::AsNotification(*it, &n) && n.code == tovu::kNotifyFailed) {
      *code = n.lParam;
      s.client.inbox.erase(it);
      return true;
    }
  }
  return false;
}

bool LoadAndCheck(Session& s, const std::vector<uint8_t>& image, bool next) {
  if (image.size() > 64u * 1024 * 1024) return Failure("the song is too large for the engine bus") == 0;
  if (!(next ? tovu::LoadNextSong(s.client, image) : tovu::LoadSong(s.client, image)))
    return Failure("the engine did not take the song") == 0;
  tovu::AuditionHoldTime(s.client);  // a round trip: a refusal of the load has arrived by now
  uint32_t code;
  if (TakeFailure(s, &code)) return Failure("the song was refused: " + ErrorText(code)) == 0;
  return true;
}

tovu::StartRequest MakeStart(int32_t startTick, bool loop, int32_t loopStart, int32_t loopEnd, bool record) {
  tovu::StartRequest r;
  r.startTick = startTick;
  r.loopOn = loop ? 1 : 0;
  r.loopStart = loop ? loopStart : 0;
  r.loopEnd = loop ? loopEnd : tovu::kLoopEndOpen;
  r.sysexMode = tovu::kSysexModeAll;
  r.setupSysex = 1;
  r.recordOn = record ? 1 : 0;
  return r;
}
std::string PortChangeText(Session& s, uint32_t word) {
  const bool input = (word & tovu::kPortChangeInput) != 0;
  const uint32_t index = word & tovu::kPortChangeIndexMask;
  if (index >= (input ? s.inputs.size() : s.outputs.size())) {
    tovu::RequestOutputPorts(s.client, &s.outputs);
    tovu::RequestInputPorts(s.client, &s.inputs);
  }
  std::string name;
  if (input && index < s.inputs.size()) name = " \"" + s.inputs[index].name + "\"";
  if (!input && index < s.outputs.size()) name = " \"" + s.outputs[index].name + "\"";
  const char* what = "has changed";
  switch (tovu::PortChangeOf(word)) {
    case tovu::kPortAdded: what = "is new"; break;
    case tovu::kPortGone: what = "has gone"; break;
    case tovu::kPortBack: what = "is back"; break;
    default: break;
  }
  return std::string(input ? "input " : "output ") + std::to_string(index) + name + " " + what;
}

}  // namespace ctl
