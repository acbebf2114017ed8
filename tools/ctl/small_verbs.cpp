// tovu-ctl's small verbs (ports, open, send, sleep, panic, reload, close), which can follow one
// another in one call and run in order by one client: every port the chain names is opened once,
// before the first verb that uses ports.
//
// Threads: the main thread only.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "tools/ctl/common.h"
#include "tools/ctl/session.h"

namespace ctl {

namespace {

// One verb of a chain and its parsed arguments.
struct SmallVerb {
  std::string verb;
  std::vector<std::string> args;
  std::vector<std::string> outs;  // --out, or open's list
  std::vector<uint8_t> bytes;     // send
  int sleepMs = 0;
  bool watch = false;  // ports --watch
};

}  // namespace

bool IsSmallVerb(const std::string& word) {
  static const char* kVerbs[] = {"ports", "open", "send", "sleep", "panic", "reload", "close"};
  return std::any_of(std::begin(kVerbs), std::end(kVerbs), [&](const char* v) { return word == v; });
}

namespace {

// The bytes of one MIDI message as a musician writes them: hex bytes separated by spaces (in one
// argument or several), each with or without 0x. A status byte first, then as many data bytes as
// it takes; a system-exclusive message runs from F0 to F7.
bool ParseMessage(const std::vector<std::string>& words, std::vector<uint8_t>* bytes, std::string* error) {
  for (const std::string& word : words) {
    size_t at = 0;
    while (at < word.size()) {
      size_t begin = word.find_first_not_of(" \t,", at);
      if (begin == std::string::npos) break;
      size_t end = word.find_first_of(" \t,", begin);
      std::string token = word.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
      at = end == std::string::npos ? word.size() : end;
      if (token.size() > 2 && (token.rfind("0x", 0) == 0 || token.rfind("0X", 0) == 0)) token = token.substr(2);
      if (token.empty() || token.size() > 2 || token.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return *error = "\"" + token + "\" is not a byte: write each byte as two hex digits, like 90 3C 64", false;
      bytes->push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
  }
  if (bytes->empty()) return *error = "no bytes to send", false;
  uint8_t status = (*bytes)[0];
  if (status < 0x80) return *error = "the message starts without a status byte (80-FF)", false;
  for (size_t i = 1; i < bytes->size(); ++i)
    if ((*bytes)[i] >= 0x80 && !(status == 0xF0 && i + 1 == bytes->size() && (*bytes)[i] == 0xF7))
      return *error = "byte " + std::to_string(i + 1) + " is not a data byte (00-7F)", false;
  if (status == 0xF0) {
    if (bytes->back() != 0xF7 || bytes->size() < 2) return *error = "a system-exclusive message ends with F7", false;
    return true;
  }
  size_t want = 1;
  if (status < 0xF0) want = (status & 0xE0) == 0xC0 ? 2 : 3;
  else if (status == 0xF2) want = 3;
  else if (status == 0xF1 || status == 0xF3) want = 2;
  else if (status == 0xF7 || status == 0xF4 || status == 0xF5) return *error = "no message starts with that status byte", false;
  if (bytes->size() != want) {
    char b[96];
    snprintf(b, sizeof b, "a message with status %02X has %zu bytes, not %zu", status, want, bytes->size());
    return *error = b, false;
  }
  return true;
}

// Parses one verb of a chain; -1 when parsed, else the exit status.
int ParseSmallVerb(SmallVerb* v) {
  CLI::App app{"", "tovu-ctl " + v->verb};
  std::vector<std::string> bytes;
  std::string list;
  if (v->verb == "ports") {
    app.description("Lists the engine's output and input ports: device id, name, and whether a client has it open\n"
                    "or its device has gone (absent: the port keeps its id and comes back with its device).\n"
                    "--watch then prints each change as it happens (a new port, one that went, one that came\n"
                    "back) until Ctrl-C.\n");
    Configure(app, "examples:\n  tovu-ctl ports\n  tovu-ctl ports --watch\n");
    app.add_flag("--watch", v->watch, "print the changes of the port lists as they happen, until Ctrl-C");
  } else if (v->verb == "open") {
    app.description("Opens output ports for the verbs that follow in the same call (send, panic).\n");
    Configure(app, "example:\n  tovu-ctl open synth,drums send 90 3C 64 sleep 500 send 80 3C 40\n");
    app.add_option("PORTS", list, "device ids or names, separated by commas")->required();
  } else if (v->verb == "send") {
    app.description("Sends one MIDI message now: hex bytes, a status byte first (90 3C 64 is a middle C). A\n"
                    "system-exclusive message runs from F0 to F7. The port is --out, else the first port named\n"
                    "by an earlier open, else the first output.\n");
    Configure(app, "examples:\n  tovu-ctl send 90 3C 64 sleep 500 send 80 3C 40\n  tovu-ctl send --out drums C9 10\n"
                   "  tovu-ctl send F0 7E 7F 09 01 F7\n");
    app.add_option("BYTES", bytes, "the message, e.g. 90 3C 64")->required();
    app.add_option("--out", v->outs, "output port")->allow_extra_args(false)->type_name("PORT");
  } else if (v->verb == "sleep") {
    app.description("Waits, between the verbs of one call.\n");
    Configure(app, "example:\n  tovu-ctl send 90 3C 64 sleep 500 send 80 3C 40\n");
    app.add_option("MS", v->sleepMs, "milliseconds")->required()->check(CLI::Range(0, 3600000));
  } else if (v->verb == "panic") {
    app.description("Silences output ports: a note-off for every note on every channel, then the controllers\n"
                    "reset (pitch bend centred, modulation 0, volume 127, pan 64, pedals up, reset all\n"
                    "controllers). Every output port, or the ones named.\n");
    Configure(app, "examples:\n  tovu-ctl panic\n  tovu-ctl panic --out synth\n");
    app.add_option("--out", v->outs, "output ports")->delimiter(',')->allow_extra_args(false)->type_name("PORT,...");
  } else if (v->verb == "reload") {
    app.description("Makes the engine read its settings store again (sysex delays, short resets, the metronome).\n");
    Configure(app, "example:\n  tovu-ctl reload\n");
  } else {
    app.description("Asks the engine to close. It stops what plays and tells its clients first.\n");
    Configure(app, "example:\n  tovu-ctl close\n");
  }
  if (int status = Parse(app, v->verb, v->args); status >= 0) return status;
  if (v->verb == "open") v->outs = SplitList(list);
  if (v->verb == "send" && v->outs.size() > 1) return UsageError("send", "one --out port for one message");
  std::string error;
  if (v->verb == "send" && !ParseMessage(bytes, &v->bytes, &error)) return UsageError("send", error);
  return -1;
}

// The ports in aligned columns: the name column as wide as the longest name needs (32 at least).
// An engine that knows which ports' devices have gone shows those as absent; an older one gives no
// states, and its ports show as open or closed.
void ListPorts(Session& s) {
  tovu::PortStates states;
  if (!tovu::RequestPortStates(s.client, &states)) states = {};
  auto absent = [](const std::vector<uint8_t>& table, size_t i) { return i < table.size() && table[i] == tovu::kPortAbsent; };
  auto state = [](uint32_t handle, bool gone) { return gone ? "absent (its device has gone)" : handle ? "open" : "closed"; };
  int width = 32;
  for (const tovu::OutputPortInfo& o : s.outputs) width = std::max(width, static_cast<int>(o.name.size()) + 2);
  for (const tovu::InputPortInfo& i : s.inputs) width = std::max(width, static_cast<int>(i.name.size()) + 2);
  printf("outputs (device, name, state):\n");
  if (s.outputs.empty()) printf("  none%s\n", ServiceReason(s.client, true).c_str());
  for (size_t k = 0; k < s.outputs.size(); ++k) {
    const tovu::OutputPortInfo& o = s.outputs[k];
    printf("  %-3u %-*s %s", o.deviceId, width, ("\"" + o.name + "\"").c_str(), state(o.handle, absent(states.outputs, k)));
    if (o.sysexDelayMs > 0) printf(", %d ms after each sysex", o.sysexDelayMs);
    if (o.shortReset) printf(", short reset");
    printf("\n");
  }
  printf("inputs (device, name, state):\n");
  if (s.inputs.empty()) printf("  none%s\n", ServiceReason(s.client, false).c_str());
  for (size_t k = 0; k < s.inputs.size(); ++k) {
    const tovu::InputPortInfo& i = s.inputs[k];
    printf("  %-3u %-*s %s\n", i.deviceId, width, ("\"" + i.name + "\"").c_str(), state(i.handle, absent(states.inputs, k)));
  }
}

// Prints each change of the port tables until Ctrl-C (status 0) or the engine's end (1).
int WatchPorts(Session& s) {
  CatchInterrupts();
  printf("watching for changes (Ctrl-C ends)\n");
  fflush(stdout);
  while (!gInterrupted) {
    if (!tovu::PumpMessages(s.client, 100)) return Failure("the engine went away");
    for (const tovu::NotificationInfo& n : tovu::TakeNotifications(s.client)) {
      if (n.code == tovu::kNotifyPortsClosed && n.lParam == tovu::kPortsClosedShutdown)
        return Failure("the engine was asked to close and has gone");
      if (n.code != tovu::kNotifyPortsChanged) continue;
      printf("%s\n", PortChangeText(s, n.lParam).c_str());
      fflush(stdout);
    }
    s.client.inbox.clear();
  }
  return 0;
}

}  // namespace

int SmallVerbs(const std::vector<std::string>& args) {
  std::vector<SmallVerb> chain;
  for (const std::string& a : args) {
    if (IsSmallVerb(a))
      chain.push_back({a, {}, {}, {}, 0});
    else
      chain.back().args.push_back(a);
  }
  for (SmallVerb& v : chain)
    if (int status = ParseSmallVerb(&v); status >= 0) return status;  // --help anywhere: help only

  bool closeOnly = chain.size() == 1 && chain[0].verb == "close";
  Session s;
  if (closeOnly) {
    tovu::ConnectOptions options;
    options.startEngine = false;
    if (!tovu::Connect(s.client, options)) return Failure(s.client.connectError);
    return tovu::CloseEngine(s.client) ? 0 : kExitFailed;
  }
  if (!StartSession(s)) return kExitFailed;

  // Every port the chain names is opened once, before the first verb that uses ports: opening again
  // later would close the ports first and end what sounds.
  std::vector<uint8_t> open;
  std::vector<uint8_t> defaultPort;
  bool needAll = false, needOne = false;
  for (SmallVerb& v : chain) {
    std::vector<uint8_t> indices;
    if (!v.outs.empty() && !ResolveOutputs(s, v.outs, &indices)) return kExitFailed;
    if (v.verb == "open" && defaultPort.empty() && !indices.empty()) defaultPort = {indices[0]};
    if (v.verb == "panic" && v.outs.empty()) needAll = true;
    if (v.verb == "send" && v.outs.empty()) needOne = true;
    open.insert(open.end(), indices.begin(), indices.end());
  }
  if ((needAll || needOne) && s.outputs.empty())
    return Failure("the engine has no output ports" + ServiceReason(s.client, true));
  if (needOne && defaultPort.empty()) defaultPort = {0};
  if (needOne) open.push_back(defaultPort[0]);
  if (needAll)
    for (size_t i = 0; i < s.outputs.size(); ++i) open.push_back(static_cast<uint8_t>(i));
  bool opened = open.empty();

  for (SmallVerb& v : chain) {
    if (!opened && (v.verb == "open" || v.verb == "send" || v.verb == "panic")) {
      if (!OpenPorts(s, open, -1)) return kExitFailed;
      opened = true;
    }
    std::vector<uint8_t> indices;
    if (!v.outs.empty()) ResolveOutputs(s, v.outs, &indices);
    if (v.verb == "ports") {
      tovu::RequestOutputPorts(s.client, &s.outputs);
      tovu::RequestInputPorts(s.client, &s.inputs);
      ListPorts(s);
      if (v.watch) return WatchPorts(s);
    } else if (v.verb == "send") {
      const std::vector<uint8_t>& message = v.bytes;
      uint8_t port = indices.empty() ? defaultPort[0] : indices[0];
      std::string text;
      for (uint8_t b : message) {
        char h[4];
        snprintf(h, sizeof h, "%s%02X", text.empty() ? "" : " ", b);
        text += h;
      }
      int32_t result = 0;
      uint32_t refused = 0;
      if (message[0] == 0xF0) {
        // A refusal comes as notification 10, posted while the engine handles the message: by the
        // end of the next round trip it is here.
        tovu::SendSysex(s.client, port, message);
        tovu::AuditionHoldTime(s.client);
        if (TakeFailure(s, &refused))
          return Failure("send " + text + " to \"" + s.outputs[port].name + "\" failed: " + ErrorText(refused));
      } else
        result = tovu::SendShort(s.client, tovu::PackEvent(message[0], message.size() > 1 ? message[1] : 0,
                                                          message.size() > 2 ? message[2] : 0, port));
      if (result != 0) return Failure("send " + text + " to \"" + s.outputs[port].name + "\" failed: " + MidiResultText(result));
      printf("sent %s to \"%s\"\n", text.c_str(), s.outputs[port].name.c_str());
    } else if (v.verb == "open") {
      std::string names;
      for (uint8_t i : indices) names += (names.empty() ? "\"" : ", \"") + s.outputs[i].name + "\"";
      printf("opened %s\n", names.c_str());
    } else if (v.verb == "sleep") {
      tovu::PumpMessages(s.client, v.sleepMs);
    } else if (v.verb == "panic") {
      std::vector<uint8_t> silenced = indices;
      if (v.outs.empty())
        for (size_t i = 0; i < s.outputs.size(); ++i) silenced.push_back(static_cast<uint8_t>(i));
      if (tovu::Panic(s.client) != 0) return Failure("the engine did not answer the panic");
      std::string names;
      for (uint8_t i : silenced) names += (names.empty() ? "\"" : ", \"") + s.outputs[i].name + "\"";
      printf("silenced %s\n", names.c_str());
    } else if (v.verb == "reload") {
      if (tovu::ReloadSettings(s.client) != 0) return Failure("the engine could not reload its settings");
      printf("settings reloaded\n");
    } else if (v.verb == "close") {
      tovu::CloseEngine(s.client);
    }
  }
  return 0;
}

}  // namespace ctl
