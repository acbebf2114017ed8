// tovu-ctl: the engine from a shell. Plays and records Standard MIDI Files, shows what a file holds,
// and keeps the small verbs for looking at ports, sending messages and silencing the outputs. Built
// on the client library only; `tovu-ctl --help` and `tovu-ctl <verb> --help` describe the verbs,
// which CLI11 parses (one parser per verb, so every verb answers --help and nothing else).
//
// play and record follow one course:
//
//   connect -> register -> ports (list, resolve names, open) -> load song -> start (type 21)
//      -> running: position messages and activity reports redraw the display
//           a playlist: once the position is inside song k, the image of songs k and k+1 is
//             loaded as the next song and continued into (type 22), so song k+1 follows gaplessly
//           Ctrl-C or the tool's own end (record --bars) -> stop (command 5)
//           notification 12 (the song ended) or 5 (stopped)  -> finished
//           notification 10 (refused)                         -> error, status 1
//      -> finished: record waits for the take (type 28) and writes it -> unregister -> exit
//
// Exit statuses: 0 done, 1 a file that cannot be read or written, an engine that cannot be reached
// or a refused request, 2 bad usage, 130 play stopped with Ctrl-C.
//
// Threads: the main thread only; the Ctrl-C handler only sets a flag.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "client/smf.h"
#include "client/take_reader.h"
#include "client/tovu_client.h"
#include "platform/terminal.h"

#ifndef TOVU_VERSION
#define TOVU_VERSION "unknown"
#endif

namespace {

volatile std::sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// ---- Help ----

const char kToolHelp[] =
    "usage: tovu-ctl <verb> [options]        (tovu-ctl <verb> --help for each)\n"
    "\n"
    "  play FILE.mid...  play Standard MIDI Files one after another, showing the position and notes\n"
    "  record OUT.mid    record from a MIDI input into a file, with metronome and count-in\n"
    "  info FILE.mid     show what a file holds (no engine needed)\n"
    "  ports             list the output and input ports\n"
    "  send BYTES...     send one MIDI message, e.g. send 90 3C 64\n"
    "  panic             silence every output port (or the ones named with --out)\n"
    "  close             ask the engine to close\n"
    "\n"
    "The small verbs (ports, open, send, sleep, panic, reload, close) can follow one another in one\n"
    "call, run in order by one client:  tovu-ctl open synth send 90 3C 64 sleep 500 send 80 3C 40\n"
    "Ports are named by device id (tovu-ctl ports) or by their name or a unique part of it.\n"
    "\n"
    "examples:\n"
    "  tovu-ctl ports\n"
    "  tovu-ctl play song.mid --out synth --from 9 --loop 9-16\n"
    "  tovu-ctl play a.mid b.mid c.mid --out fluid\n"
    "  tovu-ctl record take.mid --click drums --count-in 2 --bars 8 --loop --with backing.mid\n"
    "\n"
    "Exit status: 0 done, 1 a file or request failed, 2 bad usage, 130 play stopped with Ctrl-C.\n"
    "The engine is started when none runs (TOVU_ENGINE_BINARY, beside tovu-ctl, or on PATH).\n"
    "tovu-ctl --version prints the version; man tovu-ctl has the whole manual.\n";

const char kPlayDescription[] =
    "Plays Standard MIDI Files (format 0 or 1), one after another without a gap, and returns when the\n"
    "last ends. While they play the position (bar.beat.sixteenth, time / length) and the notes\n"
    "sounding per port and channel are shown: redrawn in place on a terminal, as plain lines\n"
    "otherwise. Ctrl-C stops: the engine releases every sounding note, and the exit status is 130.\n"
    "\n"
    "The files' events are sent as written, with one change: a note-off (8n) goes out as a note-on of\n"
    "velocity 0 (9n), so its release velocity is lost. The engine counts a note as ended only by a\n"
    "velocity-0 note-on; ending notes that way is what lets it release every sounding note at a stop,\n"
    "a loop or a jump, and restore the right ones when playback starts in the middle.\n";

const char kPlayFooter[] =
    "PORT is a device id (tovu-ctl ports) or a name or a unique part of one, without regard to case.\n"
    "The file's port n (meta event 0x21) plays on the n-th --out port, wrapping around.\n"
    "Mute and solo take chN (channel 1-16), tN (track from 1) or a track name.\n"
    "\n"
    "examples:\n"
    "  tovu-ctl play song.mid\n"
    "  tovu-ctl play song.mid --out fluid,drums --from 17.3 --tempo 0.8\n"
    "  tovu-ctl play groove.mid --loop 1-4 --mute ch10\n"
    "  tovu-ctl play intro.mid verse.mid outro.mid --transpose -2 --solo piano\n";

const char kRecordDescription[] =
    "Records what arrives at a MIDI input and writes it as a format 1 file when the take arrives:\n"
    "a tempo track, and a track with the recorded events and a marker (\"pass N\") at each loop pass.\n"
    "Without --with the song is empty, at --bpm in --time-signature with --ppq ticks per quarter.\n"
    "Without --bars recording runs until Ctrl-C. Ctrl-C ends a recording normally: the take is\n"
    "written and the exit status is 0. Nothing recorded: no file is written, status 1.\n";

const char kRecordFooter[] =
    "PORT is a device id (tovu-ctl ports) or a name or a unique part of one.\n"
    "The metronome (--click) plays channel 10, notes 76 (bar) and 77 (beat). With a click the engine\n"
    "counts in one bar before the start; --count-in N counts in N bars, the earlier ones clicked by\n"
    "tovu-ctl itself. Events played during the count-in are not kept.\n"
    "\n"
    "examples:\n"
    "  tovu-ctl record idea.mid\n"
    "  tovu-ctl record waltz.mid --bpm 90 --time-signature 3/4 --click drums --count-in 2 --bars 16\n"
    "  tovu-ctl record verse.mid --in keys --thru synth --click drums --bars 8 --loop --with drums.mid\n";

const char kInfoDescription[] =
    "Shows what tovu-ctl makes of a Standard MIDI File, without an engine: tracks, events per kind,\n"
    "the tempo and time-signature map, and the length in bars and seconds.\n";

int UsageError(const std::string& verb, const std::string& what) {
  std::string v = verb.empty() ? "" : " " + verb;
  fprintf(stderr, "tovu-ctl%s: %s\n(see tovu-ctl%s --help)\n", v.c_str(), what.c_str(), v.c_str());
  return kExitUsage;
}

int Failure(const std::string& what) {
  fprintf(stderr, "tovu-ctl: %s\n", what.c_str());
  return kExitFailed;
}

std::string ErrorText(uint32_t code) {
  switch (code) {
    case tovu::kErrorNotRegistered: return "this client is not registered with the engine";
    case tovu::kErrorSongSlotEmpty: return "no song is loaded";
    case tovu::kErrorNoInputPort: return "recording needs an open input port";
    case tovu::kErrorBadLoop: return "the loop's start is not before its end";
    case tovu::kErrorAlreadyPlaying: return "the engine is already playing (for this or another client)";
    case tovu::kErrorOutOfMemory: return "the engine has no memory for the song, or the recording lost input";
    case tovu::kErrorMalformedSong: return "the engine refused the song image as malformed";
    case tovu::kErrorNoOutputPorts: return "the engine has no output port to play on";
    default: return "unknown reason " + std::to_string(code);
  }
}

std::string MidiResultText(int32_t result) {
  switch (result) {
    case 0: return "done";
    case 1: return "the device reported an error";
    case 2: return "no such device";
    case 4: return "the device is in use";
    case 5: return "the port is not open (bad port)";
    case 6: return "no MIDI driver";
    case 7: return "the device has no memory";
    default: return "device error " + std::to_string(result);
  }
}

// ---- Files ----

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    *error = "cannot read " + path + ": no such file";
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    *error = "cannot read " + path + ": it is a directory, not a MIDI file";
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    *error = "cannot read " + path + ": not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

// Number of bars the song fills (a partial last bar counts).
int64_t BarCount(const tovu::SmfSong& song) {
  tovu::SmfPosition end = tovu::PositionAt(song, song.endImageTick);
  return end.bar - 1 + ((end.beat > 1 || end.sixteenth > 1) ? 1 : 0);
}

std::string Minutes(double seconds) {
  if (seconds < 0) seconds = 0;
  int m = static_cast<int>(seconds / 60);
  char b[32];
  snprintf(b, sizeof b, "%d:%06.3f", m, seconds - m * 60.0);
  return b;
}

// ---- Ports by name ----

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

// What the shell's environment says about the engine's MIDI service, for an engine without ports.
std::string ServiceReason(const tovu::Client& c, bool outputs) {
  if (!c.engineLines.empty()) return "; the engine said: " + c.engineLines;
  const char* value = getenv("TOVU_MIDI");
  std::string v = value ? value : "";
  for (char& ch : v) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  const char* what = outputs ? "MIDI input for it to play to" : "MIDI output for it to record from";
  if (v.empty())
    return std::string("; with TOVU_MIDI unset the engine uses JACK when a JACK server answers, else the ALSA "
                       "sequencer when /dev/snd/seq opens, else no MIDI service, and it found no ") + what +
           " (start a JACK server or load the ALSA sequencer and a synthesizer, then start the engine again)";
  if (v == "virtual")
    return outputs ? "; TOVU_MIDI=virtual, and TOVU_VIRTUAL_OUTPUTS gives none"
                   : "; TOVU_MIDI=virtual, and TOVU_VIRTUAL_INPUTS gives none";
  if (v == "none") return "; TOVU_MIDI=none: the engine uses no MIDI service";
  if (v == "jack") return std::string("; TOVU_MIDI=jack: no other JACK client offers a ") + what;
  if (v == "alsa") return std::string("; TOVU_MIDI=alsa: no ALSA sequencer client offers a ") + what;
  return "; TOVU_MIDI=" + v + " names no MIDI service, so the engine uses none";
}

// ---- The engine side ----

struct Session {
  tovu::Client client;
  bool registered = false;
  std::vector<tovu::OutputPortInfo> outputs;
  std::vector<tovu::InputPortInfo> inputs;
  ~Session() {
    if (registered) tovu::Unregister(client);
    tovu::Disconnect(client);
  }
};

bool StartSession(Session& s, bool startEngine = true) {
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

// Port-table indices of output specs (the first output when there are none).
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

// A failure that the engine reported for a request already sent (notification 10), if any.
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

bool LoadAndCheck(Session& s, const std::vector<uint8_t>& image, bool next = false) {
  if (image.size() > 64u * 1024 * 1024) return Failure("the song is too large for the engine bus") == 0;
  if (!(next ? tovu::LoadNextSong(s.client, image) : tovu::LoadSong(s.client, image)))
    return Failure("the engine did not take the song") == 0;
  tovu::AuditionHoldTime(s.client);  // a round trip: a refusal of the load has arrived by now
  uint32_t code;
  if (TakeFailure(s, &code)) return Failure("the song was refused: " + ErrorText(code)) == 0;
  return true;
}

// Every sysex is sent, setup included, so that the devices receive the whole file.
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

// ---- Playlists: songs laid one after another in image ticks ----

// Appends `from` to `into` with its ticks moved by `offset`: its sysex messages and parameter
// records follow the ones already there, its time signature is stated at its start.
void AppendSong(tovu::SongBuilder& into, const tovu::SongBuilder& from, int32_t offset) {
  into.TimeSignature(offset, from.timeSigNumerator, from.timeSigDenominatorPower);
  uint32_t rpnBase = static_cast<uint32_t>(into.rpnRecords.size());
  uint32_t nrpnBase = static_cast<uint32_t>(into.nrpnRecords.size());
  for (const tovu::SongBuilder::Entry& e : from.events) {
    tovu::SongBuilder::Entry moved{e.tick + offset, e.word, -1};
    if (e.sysex >= 0) {
      moved.sysex = static_cast<int32_t>(into.sysexMessages.size());
      into.sysexMessages.push_back(from.sysexMessages[static_cast<size_t>(e.sysex)]);
    } else if ((e.word & 0xFF) == 0xF4 || (e.word & 0xFF) == 0xF5) {
      uint32_t base = (e.word & 0xFF) == 0xF4 ? rpnBase : nrpnBase;
      moved.word = (e.word & 0xFF) | (((e.word >> 8) + base) & 0xFFFFFF) << 8;
    }
    into.events.push_back(moved);
  }
  into.rpnRecords.insert(into.rpnRecords.end(), from.rpnRecords.begin(), from.rpnRecords.end());
  into.nrpnRecords.insert(into.nrpnRecords.end(), from.nrpnRecords.begin(), from.nrpnRecords.end());
  auto merge = [](std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
    for (uint16_t p : b)
      if (std::find(a.begin(), a.end(), p) == a.end()) a.push_back(p);
  };
  if (from.hasRpnList) into.SetRpnList((merge(into.rpnList, from.rpnList), into.rpnList));
  if (from.hasNrpnList) into.SetNrpnList((merge(into.nrpnList, from.nrpnList), into.nrpnList));
  into.End(offset + from.endTick);
}

// The image that plays songs `first` and `first + 1` (or `first` alone) at their playlist ticks.
std::vector<uint8_t> PlaylistImage(const std::vector<tovu::SmfSong>& songs, const std::vector<int32_t>& offsets,
                                   size_t first) {
  tovu::SongBuilder b;
  b.ticksPerQuarter = songs[first].song.ticksPerQuarter;
  b.timeSigNumerator = songs[first].song.timeSigNumerator;
  b.timeSigDenominatorPower = songs[first].song.timeSigDenominatorPower;
  b.setupSysexCount = first == 0 ? songs[0].song.setupSysexCount : 0;
  for (size_t k = first; k < songs.size() && k <= first + 1; ++k) AppendSong(b, songs[k].song, offsets[k]);
  return b.Build();
}

// The sixteenth-note steps of a song (its own ticks) through which no note sounds, each after the
// silence began: a continue switches at one of them, since a switch strikes again the notes held
// across it and sends again the events at its very tick.
std::vector<int32_t> SilentSteps(const tovu::SongBuilder& song) {
  int32_t step = std::max<int32_t>(1, static_cast<int32_t>(song.ticksPerQuarter / 4));
  std::vector<tovu::SongBuilder::Entry> events = song.events;
  std::stable_sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.tick < b.tick; });
  std::vector<uint8_t> held(256 * tovu::kActivityPerPort, 0);
  std::vector<int32_t> steps;
  int sounding = 0;
  int32_t silentFrom = 0;
  for (size_t i = 0; i <= events.size(); ++i) {
    bool last = i == events.size();
    uint32_t w = last ? 0 : events[i].word;
    bool on = !last && (w & 0xF0) == 0x90 && (w >> 16 & 0x7F) != 0;
    bool off = !last && ((w & 0xF0) == 0x80 || ((w & 0xF0) == 0x90 && (w >> 16 & 0x7F) == 0));
    if (!on && !off && !last) continue;
    if (last || (on && sounding == 0)) {  // a silence ends here: the whole steps inside it
      // Not a step on the release itself: a switch at an event's tick sends that event again.
      int32_t end = last ? song.endTick : events[i].tick;
      for (int32_t s = silentFrom / step * step + step; s + step <= end && steps.size() < 100000; s += step)
        steps.push_back(s);
      if (last) break;
    }
    uint8_t& h = held[(w >> 24 & 0xFF) * tovu::kActivityPerPort + (w & 0x0F) * 128 + (w >> 8 & 0x7F)];
    if (on) {
      sounding += h < 255, h += h < 255;
    } else if (h > 0) {
      --h, --sounding;
      if (sounding == 0) silentFrom = events[i].tick;
    }
  }
  return steps;
}

// ---- The display ----

struct Display {
  bool terminal = false;
  std::vector<const tovu::SmfSong*> songs;  // a playlist's songs, at `offsets`
  std::vector<int32_t> offsets{0};
  std::vector<std::string> portNames;  // by output port index
  std::vector<uint8_t> ports;          // output port indices shown
  double totalSeconds = -1;            // shown after the time; negative: none (open-ended recording)
  int countInBars = 1;                 // bars counted in, the engine's last among them
  // The engine's count-in bar, which its positions do not show (they read 0 until the start): from
  // the start request on, for countInMs, "count-in N/N  beat b" is shown by the clock.
  std::chrono::steady_clock::time_point countInStart;
  double countInMs = 0, beatMs = 0;
  int32_t tick = 0;
  bool haveTick = false;
  std::vector<uint8_t> activity;
  std::string lastPlain;  // bar.beat and notes of the last plain line
  std::string lastLine;

  size_t SongAt(int32_t t) const {
    size_t k = 0;
    while (k + 1 < offsets.size() && t >= offsets[k + 1]) ++k;
    return k;
  }

  std::string Notes() const {
    static const char* kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    std::string out;
    for (uint8_t p : ports) {
      std::string port;
      for (int ch = 0; ch < 16; ++ch) {
        std::string notes;
        for (int n = 0; n < 128; ++n) {
          size_t at = static_cast<size_t>(p) * tovu::kActivityPerPort + ch * 128 + n;
          if (at < activity.size() && activity[at] > 0)
            notes += std::string(" ") + kNames[n % 12] + std::to_string(n / 12 - 1);
        }
        if (!notes.empty()) port += " ch" + std::to_string(ch + 1) + notes;
      }
      if (!port.empty()) out += "  " + (p < portNames.size() ? portNames[p] : "port " + std::to_string(p)) + ":" + port;
    }
    return out;
  }

  // "3.2.1  0:05.250 / 0:20.750", "count-in 2/2  beat 3", "song 2/3  1.1.1  0:00.000 / 0:12.000".
  std::string Position(std::string* beatKey) const {
    size_t k = SongAt(tick);
    const tovu::SmfSong& song = *songs[k];
    tovu::SmfPosition p = tovu::PositionAt(song, tick - offsets[k]);
    std::string line;
    if (tick < 0) {
      line = "count-in " + std::to_string(countInBars) + "/" + std::to_string(countInBars) + "  beat " +
             std::to_string(p.beat);
      *beatKey = line;
      return line;
    }
    if (songs.size() > 1) line = "song " + std::to_string(k + 1) + "/" + std::to_string(songs.size()) + "  ";
    line += tovu::FormatPosition(p);
    double total = songs.size() > 1 ? song.lengthUs / 1e6 : totalSeconds;
    if (total >= 0) line += " / " + Minutes(total);
    *beatKey = std::to_string(k) + ":" + std::to_string(p.bar) + "." + std::to_string(p.beat);
    return line;
  }

  void Print(const std::string& line, const std::string& key, bool final) {
    if (terminal) {
      printf("\r\033[K%s%s", line.c_str(), final ? "\n" : "");
      fflush(stdout);
      return;
    }
    // Plain lines: one when the beat or the sounding notes change (and the last position), so that
    // logs stay readable.
    if ((key == lastPlain && !final) || line == lastLine) return;
    lastPlain = key;
    lastLine = line;
    printf("%s\n", line.c_str());
    fflush(stdout);
  }

  void Show(bool final = false) {
    if (countInMs > 0) {
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - countInStart).count();
      if (ms < countInMs && !final) {
        std::string line = "count-in " + std::to_string(countInBars) + "/" + std::to_string(countInBars) + "  beat " +
                           std::to_string(static_cast<int>(ms / beatMs) + 1);
        Print(line, line, false);
        return;
      }
    }
    if (!haveTick) return;
    std::string key;
    std::string line = Position(&key);
    std::string notes = Notes();
    Print(line + notes, key + notes, final);
  }

  // Takes the position messages and activity reports out of the inbox and shows what changed.
  void Absorb(tovu::Client& c) {
    bool changed = false;
    for (auto it = c.inbox.begin(); it != c.inbox.end();) {
      if (it->msg == tovu::kPositionMessage) {
        tick = static_cast<int32_t>(it->lParam);
        haveTick = true;
        changed = true;
      } else if (tovu::IsCopyData(*it, tovu::kCopyActivity)) {
        activity = std::move(it->payload);
        changed = true;
      } else {
        ++it;
        continue;
      }
      it = c.inbox.erase(it);
    }
    if (changed) Show();
  }
};

enum class Ending { Ended, Stopped, Refused, Lost };

// Runs a started playback until it ends, is stopped, or is refused. `stopAt` (when set) stops it
// once the position reaches that tick. Ctrl-C stops it too. `onPosition` runs after each read.
Ending RunPlayback(Session& s, Display& display, uint32_t* errorCode, int32_t stopAt = INT32_MAX,
                   const std::function<bool()>& onPosition = nullptr) {
  bool stopSent = false;
  auto stopSentAt = std::chrono::steady_clock::now();
  for (;;) {
    // Back as soon as something arrives (a position asks for an answer at once), or after 20 ms.
    tovu::Message m;
    if (!s.client.inbox.empty()) {
      if (!tovu::PumpMessages(s.client, 20)) return Ending::Lost;
    } else if (tovu::WaitForMessage(s.client, [](const tovu::Message&) { return true; }, 20, &m)) {
      s.client.inbox.push_front(std::move(m));
    } else if (!tovu::Connected(s.client)) {
      return Ending::Lost;
    }
    display.Absorb(s.client);
    if (display.countInMs > 0) display.Show();
    for (const tovu::NotificationInfo& n : tovu::TakeNotifications(s.client)) {
      if (n.code == tovu::kNotifyFailed) {
        *errorCode = n.lParam;
        return Ending::Refused;
      }
      if (n.code == tovu::kNotifyStopped && n.lParam == tovu::kNotifyOwn)
        return stopSent ? Ending::Stopped : Ending::Ended;
      if (n.code == tovu::kNotifyPortsClosed && n.lParam == tovu::kPortsClosedShutdown) return Ending::Lost;
    }
    if (onPosition && !stopSent && !onPosition()) gInterrupted = 1;
    bool reached = display.haveTick && display.tick >= stopAt;
    if ((gInterrupted || reached) && !stopSent) {
      stopSent = true;
      stopSentAt = std::chrono::steady_clock::now();
      tovu::Stop(s.client);
    }
    // The start and continue answers (1626) need nothing more.
    for (auto it = s.client.inbox.begin(); it != s.client.inbox.end();)
      it = it->msg == tovu::kStartMessage ? s.client.inbox.erase(it) : it + 1;
    if (stopSent && std::chrono::steady_clock::now() - stopSentAt > std::chrono::seconds(5)) return Ending::Lost;
  }
}

// ---- Parsing helpers ----

// Runs a CLI11 parser over `args`; -1 when parsed, else the exit status (0 after --help).
int Parse(CLI::App& app, const std::string& verb, std::vector<std::string> args) {
  std::reverse(args.begin(), args.end());  // CLI11 takes the arguments last first
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    return UsageError(verb, e.what());
  }
  return -1;
}

void Configure(CLI::App& app, const char* footer) {
  app.footer(footer);
  app.get_formatter()->column_width(30);
}

// "BAR" or "BAR.BEAT", both from 1.
bool ParseBarBeat(const std::string& text, int64_t* bar, int64_t* beat) {
  size_t dot = text.find('.');
  auto number = [](const std::string& t, int64_t* v) {
    if (t.empty() || t.size() > 7 || t.find_first_not_of("0123456789") != std::string::npos) return false;
    *v = std::stoll(t);
    return *v >= 1;
  };
  *beat = 1;
  return number(text.substr(0, dot), bar) && (dot == std::string::npos || number(text.substr(dot + 1), beat));
}

// A mute or solo spec against a file's tracks: channel (bit in *channels) or track (index).
bool ParsePart(const std::string& spec, const tovu::SmfSong& song, uint32_t* channels, std::vector<bool>* tracks,
               std::string* error) {
  std::string s = spec;
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  auto digits = [](const std::string& t) { return !t.empty() && t.size() < 5 && t.find_first_not_of("0123456789") == std::string::npos; };
  std::string rest;
  if (s.rfind("ch", 0) == 0 && digits(s.substr(2))) {
    int ch = std::stoi(s.substr(2));
    if (ch < 1 || ch > 16) return *error = "channel " + spec.substr(2) + " (channels are 1-16)", false;
    *channels |= 1u << (ch - 1);
    return true;
  }
  tracks->resize(song.tracks.size(), false);
  if ((s.rfind("t", 0) == 0 && digits(rest = s.substr(1))) || (s.rfind("track", 0) == 0 && digits(rest = s.substr(5)))) {
    size_t t = static_cast<size_t>(std::stoul(rest));
    if (t < 1 || t > song.tracks.size())
      return *error = "track " + rest + " (the file has " + std::to_string(song.tracks.size()) + ")", false;
    (*tracks)[t - 1] = true;
    return true;
  }
  std::vector<size_t> found;
  for (size_t i = 0; i < song.tracks.size(); ++i) {
    std::string name = song.tracks[i].name;
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (!s.empty() && name.find(s) != std::string::npos) found.push_back(i);
  }
  if (found.size() != 1) {
    *error = found.empty() ? "no track named " + spec + " (mute and solo take chN, tN or a track name)"
                           : "the track name " + spec + " is ambiguous";
    return false;
  }
  (*tracks)[found[0]] = true;
  return true;
}

// ---- info ----

int Info(const std::vector<std::string>& args) {
  CLI::App app{kInfoDescription, "tovu-ctl info"};
  Configure(app, "example:\n  tovu-ctl info song.mid\n");
  std::string file;
  app.add_option("FILE", file, "a Standard MIDI File")->required();
  if (int status = Parse(app, "info", args); status >= 0) return status;
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(file, &bytes, &error)) return Failure(error);
  tovu::SmfSong song;
  if (!tovu::ImportSmf(bytes.data(), bytes.size(), {}, &song, &error)) return Failure(file + ": " + error);
  printf("%s: format %u, %zu track%s, %u ticks per quarter note", file.c_str(), song.format, song.tracks.size(),
         song.tracks.size() == 1 ? "" : "s", song.division);
  if (song.retimed) printf(" (re-timed at %u for whole-number tempos)", song.ticksPerQuarter);
  printf("\n");
  for (size_t i = 0; i < song.tracks.size(); ++i)
    printf("  track %zu: %zu events, ends at tick %lld%s%s\n", i + 1, song.tracks[i].events,
           static_cast<long long>(song.tracks[i].endTick), song.tracks[i].name.empty() ? "" : ", named ",
           song.tracks[i].name.c_str());
  const tovu::SmfCounts& c = song.counts;
  printf("events: %zu note-on, %zu note-off, %zu controller, %zu program, %zu pitch bend, %zu channel pressure, "
         "%zu poly pressure, %zu sysex, %zu tempo, %zu time signature, %zu port, %zu other meta\n",
         c.noteOn, c.noteOff, c.controller, c.program, c.pitchBend, c.channelPressure, c.polyPressure, c.sysex, c.tempo,
         c.timeSignature, c.port, c.otherMeta);
  if (c.banks || c.rpns || c.nrpns)
    printf("kept for starts in the middle: %zu bank selections, %zu RPN and %zu NRPN writes\n", c.banks, c.rpns, c.nrpns);
  printf("tempo map:\n");
  for (const tovu::SmfTempo& t : song.tempos)
    printf("  %-12s %8.3f bpm (%u us per quarter)\n",
           tovu::FormatPosition(tovu::PositionAt(song, t.imageTick)).c_str(), 60e6 / t.usPerQuarter, t.usPerQuarter);
  printf("time signatures:\n");
  for (const tovu::SmfTimeSignature& s : song.timeSigs)
    printf("  %-12s %u/%u\n", tovu::FormatPosition(tovu::PositionAt(song, s.imageTick)).c_str(), s.numerator,
           1u << s.denominatorPower);
  tovu::SmfPosition end = tovu::PositionAt(song, song.endImageTick);
  long long bars = BarCount(song);
  printf("length: %lld bar%s (ends at %lld.%lld.%lld), %.3f s\n", bars, bars == 1 ? "" : "s",
         static_cast<long long>(end.bar), static_cast<long long>(end.beat), static_cast<long long>(end.sixteenth),
         song.lengthUs / 1e6);
  return 0;
}

// ---- play ----

int Play(const std::vector<std::string>& args) {
  CLI::App app{kPlayDescription, "tovu-ctl play"};
  Configure(app, kPlayFooter);
  std::vector<std::string> files, outs, mutes, solos;
  std::string from, loop;
  double tempo = 1.0;
  int transpose = 0;
  app.add_option("FILE", files, "Standard MIDI Files, played one after another")->required();
  app.add_option("--out", outs, "output ports, e.g. 1,drums (default: the first output)")->delimiter(',')->allow_extra_args(false)->type_name("PORT,...");
  app.add_option("--from", from, "start at this bar (and beat), counted from 1; the controllers, programs, banks and "
                 "parameters in force are sent first")->type_name("BAR[.BEAT]");
  app.add_option("--loop", loop, "loop from the first bar to the end of the second, until Ctrl-C")->type_name("BAR-BAR");
  app.add_option("--tempo", tempo, "play faster (2) or slower (0.5)")->check(CLI::Range(0.01, 100.0))->type_name("FACTOR");
  app.add_option("--transpose", transpose, "semitones up (or down, negative) for every channel but 10, the drums")
      ->check(CLI::Range(-48, 48))->type_name("N");
  app.add_option("--mute", mutes, "leave out the notes of a channel or track (repeatable)")->allow_extra_args(false)->type_name("chN|tN|NAME");
  app.add_option("--solo", solos, "play only the notes of these channels and tracks (repeatable)")->allow_extra_args(false)->type_name("chN|tN|NAME");
  if (int status = Parse(app, "play", args); status >= 0) return status;
  if (!loop.empty() && files.size() > 1) return UsageError("play", "--loop plays one file, not a playlist");
  int64_t bar, beat, firstBar = 0, lastBar = 0;
  if (!from.empty() && !ParseBarBeat(from, &bar, &beat))
    return UsageError("play", "--from needs BAR or BAR.BEAT, counted from 1");
  if (!loop.empty()) {
    size_t dash = loop.find('-');
    int64_t unused;
    if (dash == std::string::npos || loop.find('.') != std::string::npos ||
        !ParseBarBeat(loop.substr(0, dash), &firstBar, &unused) || !ParseBarBeat(loop.substr(dash + 1), &lastBar, &unused) ||
        lastBar < firstBar)
      return UsageError("play", "--loop needs BAR-BAR with the first bar not after the second");
  }

  // Every file is read and checked before the engine is asked for anything.
  std::vector<std::vector<uint8_t>> bytes(files.size());
  std::vector<tovu::SmfSong> songs(files.size());
  std::vector<tovu::SmfImportOptions> options(files.size());
  std::string error;
  uint32_t resolution = 0;
  bool sameResolution = true;
  for (size_t k = 0; k < files.size(); ++k) {
    if (!ReadWholeFile(files[k], &bytes[k], &error)) return Failure(error);
    if (!tovu::ImportSmf(bytes[k].data(), bytes[k].size(), {}, &songs[k], &error)) return Failure(files[k] + ": " + error);
    if (k > 0 && songs[k].ticksPerQuarter != resolution) sameResolution = false;
    resolution = std::max(resolution, songs[k].ticksPerQuarter);
    options[k].transpose = transpose;
    uint32_t soloChannels = 0;
    std::vector<bool> soloTracks;
    for (const std::string& m : mutes)
      if (!ParsePart(m, songs[k], &options[k].mutedChannels, &options[k].mutedTracks, &error))
        return UsageError("play", "--mute " + m + " in " + files[k] + ": " + error);
    for (const std::string& m : solos)
      if (!ParsePart(m, songs[k], &soloChannels, &soloTracks, &error))
        return UsageError("play", "--solo " + m + " in " + files[k] + ": " + error);
    if (soloChannels) options[k].mutedChannels |= ~soloChannels & 0xFFFF;
    if (std::find(soloTracks.begin(), soloTracks.end(), true) != soloTracks.end()) {
      options[k].mutedTracks.resize(songs[k].tracks.size(), false);
      for (size_t t = 0; t < soloTracks.size(); ++t)
        if (!soloTracks[t]) options[k].mutedTracks[t] = true;
    }
  }
  // One image holds two songs at a time: they share the finest resolution among them, and the
  // positions below are reckoned in it.
  if (!sameResolution)
    for (size_t k = 0; k < files.size(); ++k) {
      options[k].ticksPerQuarter = resolution;
      if (!tovu::ImportSmf(bytes[k].data(), bytes[k].size(), options[k], &songs[k], &error))
        return Failure(files[k] + ": " + error);
    }

  const tovu::SmfSong& first = songs[0];
  int64_t bars = BarCount(first);
  int32_t startTick = 0, loopStart = 0, loopEnd = 0;
  if (!from.empty()) {
    startTick = tovu::TickOfBar(first, bar, beat);
    tovu::SmfPosition p = tovu::PositionAt(first, startTick);
    if (bar > bars || startTick >= first.endImageTick)
      return UsageError("play", "--from " + from + " lies past the end of " + files[0] + ", which has " +
                                    std::to_string(bars) + " bar" + (bars == 1 ? "" : "s"));
    if (p.bar != bar || p.beat != beat)
      return UsageError("play", "--from " + from + ": bar " + std::to_string(bar) + " of " + files[0] + " has no beat " +
                                    std::to_string(beat));
  }
  if (!loop.empty()) {
    if (lastBar > bars)
      return UsageError("play", "--loop " + loop + " reaches past the end of " + files[0] + ", which has " +
                                    std::to_string(bars) + " bar" + (bars == 1 ? "" : "s"));
    loopStart = tovu::TickOfBar(first, firstBar);
    loopEnd = std::min(tovu::TickOfBar(first, lastBar + 1), first.endImageTick);
    if (from.empty()) startTick = loopStart;
  }

  Session s;
  if (!StartSession(s)) return kExitFailed;
  std::vector<uint8_t> indices;
  if (!ResolveOutputs(s, outs, &indices)) return kExitFailed;
  std::vector<int32_t> offsets;
  int64_t at = 0;
  for (size_t k = 0; k < files.size(); ++k) {
    options[k].outputPortIndices = indices;
    if (!tovu::ImportSmf(bytes[k].data(), bytes[k].size(), options[k], &songs[k], &error))  // mapped, muted, moved
      return Failure(files[k] + ": " + error);
    offsets.push_back(static_cast<int32_t>(at));
    at += songs[k].endImageTick;
    if (at > 0x7FFFFF00) return Failure("the playlist is too long for one song image");
  }
  if (!OpenPorts(s, indices, -1)) return kExitFailed;
  if (!LoadAndCheck(s, PlaylistImage(songs, offsets, 0))) return kExitFailed;
  if (tempo != 1.0) tovu::SetTempoFactor(s.client, tempo);

  Display display;
  display.terminal = platform::StdoutIsTerminal();
  for (const tovu::SmfSong& song : songs) display.songs.push_back(&song);
  display.offsets = offsets;
  for (const tovu::OutputPortInfo& o : s.outputs) display.portNames.push_back(o.name);
  display.ports = indices;
  std::sort(display.ports.begin(), display.ports.end());
  display.ports.erase(std::unique(display.ports.begin(), display.ports.end()), display.ports.end());
  display.totalSeconds = first.lengthUs / 1e6;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  tovu::Start(s.client, MakeStart(startTick, !loop.empty(), loopStart, loopEnd, false));
  // Once song k plays, the image of songs k and k+1 becomes the next song and is continued into at
  // the first step of song k where no note sounds: up to the switch it holds the same events as the
  // image playing, so nothing changes there (a note held across a switch would be struck again),
  // and song k+1 follows song k without a gap.
  size_t queued = 1;  // the image of songs 0 and 1 is the one loaded
  bool loadFailed = false;
  // The switch is asked for when the position reports a silent step, so that it lands inside the
  // silence; when none was seen, two beats before the song's end (a late machine may strike a
  // held note again, but the next song still follows).
  std::vector<std::vector<int32_t>> silent(songs.size());
  for (size_t k = 1; k + 1 < songs.size(); ++k) silent[k] = SilentSteps(songs[k].song);
  auto advance = [&]() {
    if (queued + 1 >= songs.size() || !display.haveTick || display.tick < offsets[queued]) return true;
    int32_t local = display.tick - offsets[queued];
    bool quiet = std::binary_search(silent[queued].begin(), silent[queued].end(), local);
    bool late = display.tick >= offsets[queued + 1] - 2 * static_cast<int32_t>(songs[queued].ticksPerQuarter);
    if (!quiet && !late) return true;
    if (!LoadAndCheck(s, PlaylistImage(songs, offsets, queued), true)) return !(loadFailed = true);
    tovu::Continue(s.client, MakeStart(0, false, 0, 0, false));
    ++queued;
    return true;
  };
  uint32_t code = 0;
  Ending ending = RunPlayback(s, display, &code, INT32_MAX, advance);
  display.Show(true);
  if (loadFailed) return kExitFailed;
  switch (ending) {
    case Ending::Refused: return Failure("the engine refused to play: " + ErrorText(code));
    case Ending::Lost: return Failure("the engine went away or did not stop");
    case Ending::Stopped: return kExitInterrupted;
    case Ending::Ended: return 0;
  }
  return 0;
}

// ---- record ----

// An empty song at `bpm` in numerator/2^power, for recording without a backing file.
tovu::SmfSong EmptySong(uint32_t ppq, uint32_t bpm, uint32_t numerator, uint32_t power) {
  tovu::SmfSong song;
  song.format = 1;
  song.division = ppq;
  song.ticksPerQuarter = ppq;
  tovu::SmfTempo t;
  t.usPerQuarter = static_cast<uint32_t>(std::llround(60e6 / bpm));
  t.imageTempo = bpm;
  song.tempos = {t};
  tovu::SmfTimeSignature sig;
  sig.numerator = numerator;
  sig.denominatorPower = power;
  song.timeSigs = {sig};
  song.song.ticksPerQuarter = ppq;
  song.song.timeSigNumerator = static_cast<uint8_t>(numerator);
  song.song.timeSigDenominatorPower = static_cast<uint8_t>(power);
  song.song.Tempo(0, bpm);
  song.song.End(0);
  return song;
}

// Clicks `bars` bars of count-in on the click port before the engine's own bar, as the metronome
// does (bar note, then beat notes, each held for a sixteenth), showing "count-in n/N".
void ClickCountIn(Session& s, Display& display, uint8_t port, int bars, const tovu::SmfSong& song) {
  const tovu::SmfTimeSignature& sig = song.timeSigs[0];
  double beatMs = 60000.0 / song.tempos[0].imageTempo * 4.0 / (1u << sig.denominatorPower);
  auto start = std::chrono::steady_clock::now();
  auto waitUntil = [&](double ms) {
    for (;;) {
      double now = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (now >= ms || gInterrupted) return;
      tovu::PumpMessages(s.client, static_cast<int>(std::min(20.0, std::ceil(ms - now))));
    }
  };
  double t = 0;
  for (int b = 0; b < bars && !gInterrupted; ++b)
    for (uint32_t beat = 0; beat < sig.numerator && !gInterrupted; ++beat, t += beatMs) {
      waitUntil(t);
      uint32_t note = beat == 0 ? 76 : 77;
      tovu::SendShort(s.client, tovu::PackEvent(0x99, note, beat == 0 ? 126 : 100, port));
      std::string line = "count-in " + std::to_string(b + 1) + "/" + std::to_string(display.countInBars) + "  beat " +
                         std::to_string(beat + 1);
      display.Print(line, line, false);
      waitUntil(t + beatMs / 4);
      tovu::SendShort(s.client, tovu::PackEvent(0x99, note, 0, port));
    }
  waitUntil(t);
}

int Record(const std::vector<std::string>& args) {
  CLI::App app{kRecordDescription, "tovu-ctl record"};
  Configure(app, kRecordFooter);
  std::string file, in, thru, click, with, timeSignature = "4/4";
  std::vector<std::string> outs;
  int countIn = 0, bars = 0;
  bool loop = false;
  uint32_t bpm = 120, ppq = 480;
  app.add_option("OUT", file, "the Standard MIDI File to write")->required();
  app.add_option("--in", in, "input port (default: the first input)")->type_name("PORT");
  app.add_option("--thru", thru, "echo the input to this output port while recording")->type_name("PORT");
  app.add_option("--click", click, "metronome on this output port")->type_name("PORT");
  app.add_option("--count-in", countIn, "count in N bars (1 when N is left out); needs --click")
      ->expected(0, 1)->default_str("1")->check(CLI::Range(1, 16))->type_name("[N]");
  app.add_option("--bars", bars, "stop after N bars; with --loop, loop them until Ctrl-C")->check(CLI::Range(1, 100000))->type_name("N");
  app.add_flag("--loop", loop, "loop the --bars, each pass a marker in the file");
  app.add_option("--with", with, "play this file as the backing, on --out")->type_name("FILE");
  app.add_option("--out", outs, "output ports for the backing (default: the first output)")->delimiter(',')->allow_extra_args(false)->type_name("PORT,...");
  auto* bpmOption = app.add_option("--bpm", bpm, "tempo without --with (default 120)")->check(CLI::Range(1, 999))->type_name("N");
  auto* sigOption = app.add_option("--time-signature", timeSignature, "time signature without --with (default 4/4)")->type_name("N/D");
  auto* ppqOption = app.add_option("--ppq", ppq, "ticks per quarter note of the file without --with (default 480; a "
                                   "multiple of 4)")->check(CLI::Range(4, 32764))->type_name("N");
  if (int status = Parse(app, "record", args); status >= 0) return status;
  if (app.count("--count-in") && countIn == 0) countIn = 1;
  if (loop && bars == 0) return UsageError("record", "--loop needs --bars N");
  if (countIn > 0 && click.empty()) return UsageError("record", "--count-in needs --click PORT");
  if (!click.empty() && countIn == 0) countIn = 1;  // a click always counts in the engine's bar
  if (!with.empty() && (bpmOption->count() || sigOption->count() || ppqOption->count()))
    return UsageError("record", "--bpm, --time-signature and --ppq are the backing file's own with --with");
  if (ppq % 4 != 0) return UsageError("record", "--ppq needs a multiple of 4");
  uint32_t numerator = 0, denominator = 0, power = 0;
  if (sscanf(timeSignature.c_str(), "%u/%u", &numerator, &denominator) != 2 || numerator < 1 || numerator > 64 ||
      timeSignature.find_first_not_of("0123456789/") != std::string::npos)
    return UsageError("record", "--time-signature needs N/D, like 3/4 or 6/8");
  while (power < 7 && (1u << power) != denominator) ++power;
  if (power == 7) return UsageError("record", "--time-signature: the denominator is 1, 2, 4, 8, 16, 32 or 64");
  if (std::filesystem::is_directory(file)) return Failure("cannot write " + file + ": it is a directory");

  std::vector<uint8_t> backing;
  std::string error;
  if (!with.empty() && !ReadWholeFile(with, &backing, &error)) return Failure(error);
  tovu::SmfSong song;
  if (!with.empty() && !tovu::ImportSmf(backing.data(), backing.size(), {}, &song, &error))
    return Failure(with + ": " + error);

  Session s;
  if (!StartSession(s)) return kExitFailed;
  tovu::SmfImportOptions importOptions;
  // An open-ports request without an output opens nothing, the input neither: --out (or the first
  // output) is opened even without a backing file.
  if (!ResolveOutputs(s, outs, &importOptions.outputPortIndices)) return kExitFailed;
  std::vector<uint8_t> thruIndex, clickIndex;
  if (!thru.empty() && !ResolveOutputs(s, {thru}, &thruIndex)) return kExitFailed;
  if (!click.empty() && !ResolveOutputs(s, {click}, &clickIndex)) return kExitFailed;
  if (!with.empty())
    tovu::ImportSmf(backing.data(), backing.size(), importOptions, &song, &error);
  else
    song = EmptySong(ppq, bpm, numerator, power);
  int32_t input = -1;
  if (!ResolveInput(s, in, &input)) return kExitFailed;
  std::vector<uint8_t> open = importOptions.outputPortIndices;
  open.insert(open.end(), clickIndex.begin(), clickIndex.end());  // the earlier count-in bars are sent by us
  if (!OpenPorts(s, open, input)) return kExitFailed;
  if (!LoadAndCheck(s, song.song.Build())) return kExitFailed;
  // The metronome and thru are the engine's, not this client's: put them back afterwards.
  tovu::MetronomeSettings metronomeBefore;
  bool haveMetronome = !clickIndex.empty() && tovu::RequestMetronomeSettings(s.client, &metronomeBefore);
  if (!clickIndex.empty())
    tovu::SetMetronome(s.client, {static_cast<int32_t>(s.outputs[clickIndex[0]].deviceId), 9, 76, 77});
  if (!thruIndex.empty())
    tovu::SetThru(s.client, {static_cast<int32_t>(s.outputs[thruIndex[0]].deviceId), tovu::kThruOwnChannel, 0, 0});

  int32_t loopEnd = bars > 0 ? tovu::TickOfBar(song, bars + 1) : 0;
  Display display;
  display.terminal = platform::StdoutIsTerminal();
  display.songs = {&song};
  for (const tovu::OutputPortInfo& o : s.outputs) display.portNames.push_back(o.name);
  display.ports = importOptions.outputPortIndices;
  display.countInBars = std::max(countIn, 1);
  if (bars > 0) display.totalSeconds = tovu::PositionAt(song, loopEnd).seconds;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  if (countIn > 1) ClickCountIn(s, display, clickIndex[0], countIn - 1, song);
  Ending ending = Ending::Stopped;
  uint32_t code = 0;
  if (!gInterrupted) {
    if (!clickIndex.empty()) {
      const tovu::SmfTimeSignature& sig = song.timeSigs[0];
      display.beatMs = 60000.0 / song.tempos[0].imageTempo * 4.0 / (1u << sig.denominatorPower);
      display.countInMs = display.beatMs * sig.numerator;
      display.countInStart = std::chrono::steady_clock::now();
    }
    tovu::Start(s.client, MakeStart(0, loop, 0, loopEnd, true));
    ending = RunPlayback(s, display, &code, bars > 0 && !loop ? loopEnd : INT32_MAX);
    display.Show(true);
  }
  auto restore = [&] {
    if (!clickIndex.empty()) tovu::SetMetronome(s.client, haveMetronome ? metronomeBefore : tovu::MetronomeSettings{});
    if (!thruIndex.empty()) tovu::SetThru(s.client, tovu::ThruSettings{});
  };
  if (ending == Ending::Refused) return restore(), Failure("the engine refused to record: " + ErrorText(code));
  if (ending == Ending::Lost) return Failure("the engine went away or did not stop");

  // The stop sends the take (when anything was recorded) before it handles anything else, so after
  // one round trip it is here or it is not coming.
  tovu::AuditionHoldTime(s.client);
  tovu::Message take;
  bool got = tovu::WaitForMessage(
      s.client, [](const tovu::Message& m) { return tovu::IsCopyData(m, tovu::kCopyTake); }, 0, &take);
  uint32_t lost = 0;
  bool inputLost = TakeFailure(s, &lost) && lost == tovu::kErrorOutOfMemory;
  restore();
  if (!got) return Failure("nothing was recorded; " + file + " not written");
  tovu::Take parsed;
  if (!tovu::ReadTake(take.payload, &parsed, &error)) return Failure("bad take: " + error);
  tovu::TakeExportOptions exportOptions = tovu::ExportOptionsFor(song);
  exportOptions.loopStart = 0;
  size_t dropped = 0;
  std::vector<uint8_t> bytes = tovu::ExportTakeSmf(parsed, exportOptions, &dropped);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Failure("cannot write " + file);
  size_t events = 0;
  for (const tovu::TakeEvent& e : parsed.events) events += !tovu::IsEndMarker(e.event);
  printf("wrote %s: %zu events recorded, %zu left out (count-in or system messages)\n", file.c_str(), events, dropped);
  if (inputLost) return Failure("the recording lost input: the take is cut short");
  return 0;
}

// ---- The small verbs ----

// One verb of a chain and its parsed arguments.
struct SmallVerb {
  std::string verb;
  std::vector<std::string> args;
  std::vector<std::string> outs;  // --out, or open's list
  std::vector<uint8_t> bytes;     // send
  int sleepMs = 0;
};

bool IsSmallVerb(const std::string& word) {
  static const char* kVerbs[] = {"ports", "open", "send", "sleep", "panic", "reload", "close"};
  return std::any_of(std::begin(kVerbs), std::end(kVerbs), [&](const char* v) { return word == v; });
}

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
    app.description("Lists the engine's output and input ports: device id, name, and whether a client has it open.\n");
    Configure(app, "example:\n  tovu-ctl ports\n");
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

void ListPorts(Session& s) {
  auto state = [](uint32_t handle) { return handle ? "open" : "closed"; };
  printf("outputs (device, name, state):\n");
  if (s.outputs.empty()) printf("  none%s\n", ServiceReason(s.client, true).c_str());
  for (const tovu::OutputPortInfo& o : s.outputs) {
    printf("  %-3u %-32s %s", o.deviceId, ("\"" + o.name + "\"").c_str(), state(o.handle));
    if (o.sysexDelayMs > 0) printf(", %d ms after each sysex", o.sysexDelayMs);
    if (o.shortReset) printf(", short reset");
    printf("\n");
  }
  printf("inputs (device, name, state):\n");
  if (s.inputs.empty()) printf("  none\n");
  for (const tovu::InputPortInfo& i : s.inputs)
    printf("  %-3u %-32s %s\n", i.deviceId, ("\"" + i.name + "\"").c_str(), state(i.handle));
}

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
      if (message[0] == 0xF0)
        tovu::SendSysex(s.client, port, message);
      else
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

int Run(int argc, char** argv) {
  if (argc < 2) {
    fputs(kToolHelp, stderr);
    return kExitUsage;
  }
  std::string verb = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (verb == "--help" || verb == "-h" || verb == "help") return fputs(kToolHelp, stdout), 0;
  if (verb == "--version" || verb == "-V") return printf("tovu-ctl %s\n", TOVU_VERSION), 0;
  if (verb == "info") return Info(args);
  if (verb == "play") return Play(args);
  if (verb == "record") return Record(args);
  if (IsSmallVerb(verb)) return SmallVerbs(std::vector<std::string>(argv + 1, argv + argc));
  return UsageError("", "unknown verb " + verb);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    return Failure(std::string("unexpected failure: ") + e.what());
  }
}
