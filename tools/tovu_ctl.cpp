// tovu-ctl: the engine from a shell. Plays and records Standard MIDI Files, shows what a file holds,
// and keeps the small verbs for looking at ports and sending single words. Built on the client
// library only; `tovu-ctl --help` and `tovu-ctl <verb> --help` describe the verbs.
//
// play and record follow one course:
//
//   connect -> register -> ports (list, open) -> load song -> start (type 21)
//      -> running: position messages and activity reports redraw the display
//           Ctrl-C or the tool's own end (record --bars) -> stop (command 5)
//           notification 12 (the song ended) or 5 (stopped)  -> finished
//           notification 10 (refused)                         -> error, status 1
//      -> finished: record waits for the take (type 28) and writes it -> unregister -> exit
//
// Exit statuses: 0 done, 1 a file that cannot be read or written, an engine that cannot be reached
// or a refused request, 2 bad usage, 130 play stopped with Ctrl-C.
//
// Threads: the main thread only; the Ctrl-C handler only sets a flag.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "client/smf.h"
#include "client/take_reader.h"
#include "client/tovu_client.h"
#include "platform/terminal.h"

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
    "  play FILE.mid     play a Standard MIDI File, showing the position and the sounding notes\n"
    "  record OUT.mid    record from a MIDI input into a file, with metronome and count-in\n"
    "  info FILE.mid     show what a file holds (no engine needed)\n"
    "  ports             list the output and input ports\n"
    "  close             ask the engine to close\n"
    "\n"
    "Small verbs, run in order by one client:  ports, open <id,id,...>, send <hex word>,\n"
    "sleep <ms>, panic, reload\n"
    "\n"
    "examples:\n"
    "  tovu-ctl ports\n"
    "  tovu-ctl play song.mid --out 1 --from 9 --loop 9-16\n"
    "  tovu-ctl record take.mid --click 0 --count-in --bars 8 --loop --with backing.mid\n"
    "  tovu-ctl open 0 send 00643C90 sleep 500 send 00003C90\n"
    "\n"
    "Exit status: 0 done, 1 a file or request failed, 2 bad usage, 130 play stopped with Ctrl-C.\n"
    "The engine is started when none runs (TOVU_ENGINE_BINARY, beside tovu-ctl, or on PATH).\n";

const char kPlayHelp[] =
    "usage: tovu-ctl play FILE.mid [--out ID[,ID...]] [--from BAR[.BEAT]] [--loop BAR-BAR] [--tempo FACTOR]\n"
    "\n"
    "Plays a Standard MIDI File (format 0 or 1) and returns when it ends. While it plays the position\n"
    "(bar.beat.sixteenth and time) and the notes sounding per channel are shown: redrawn in place on a\n"
    "terminal, as plain lines otherwise. Ctrl-C stops: the engine releases every sounding note, and\n"
    "the exit status is 130. The file's events are sent as written, and nothing else is added.\n"
    "\n"
    "  --out ID[,ID...]   output devices (ids from `tovu-ctl ports`); the file's port n (meta event\n"
    "                     0x21) plays on the n-th of them, wrapping around. Default: the first output.\n"
    "  --from BAR[.BEAT]  start there (bars and beats from 1); the controllers, programs, banks and\n"
    "                     parameters in force are sent first\n"
    "  --loop BAR-BAR     loop from the first bar to the end of the second, until Ctrl-C\n"
    "  --tempo FACTOR     play faster (2) or slower (0.5)\n"
    "\n"
    "examples:\n"
    "  tovu-ctl play song.mid\n"
    "  tovu-ctl play song.mid --out 1,2 --from 17.3 --tempo 0.8\n"
    "  tovu-ctl play groove.mid --loop 1-4\n";

const char kRecordHelp[] =
    "usage: tovu-ctl record OUT.mid [--in ID] [--thru ID] [--click ID] [--count-in] [--bars N [--loop]]\n"
    "                               [--with FILE.mid] [--out ID[,ID...]]\n"
    "\n"
    "Records what arrives at a MIDI input and writes it as a format 1 file when the take arrives:\n"
    "a tempo track, and a track with the recorded events and a marker (\"pass N\") at each loop pass.\n"
    "Without --with the song is 4/4 at 120 beats per minute.\n"
    "\n"
    "  --in ID        input device (default: the first input)\n"
    "  --thru ID      echo the input to this output device while recording\n"
    "  --click ID     metronome on this output device (channel 10, notes 76 and 77). The engine then\n"
    "                 counts in one bar before the start; events played then are not kept\n"
    "  --count-in     ask for the one-bar count-in (needs --click, which always counts in)\n"
    "  --bars N       stop after N bars; with --loop, loop those bars until Ctrl-C, each pass a marker\n"
    "  --with FILE    play this file as the backing, on --out (default: the first output)\n"
    "Without --bars recording runs until Ctrl-C. Ctrl-C ends a recording normally: the take is written\n"
    "and the exit status is 0. Nothing recorded: no file is written, status 1.\n"
    "\n"
    "examples:\n"
    "  tovu-ctl record idea.mid\n"
    "  tovu-ctl record verse.mid --in 0 --thru 1 --click 0 --count-in --bars 8 --loop --with drums.mid\n";

const char kInfoHelp[] =
    "usage: tovu-ctl info FILE.mid\n"
    "\n"
    "Shows what tovu-ctl makes of a Standard MIDI File, without an engine: tracks, events per kind,\n"
    "the tempo and time-signature map, and the length in bars and seconds.\n"
    "\n"
    "example:\n"
    "  tovu-ctl info song.mid\n";

int UsageError(const char* verb, const std::string& what) {
  fprintf(stderr, "tovu-ctl%s%s: %s\n(see tovu-ctl%s%s --help)\n", verb[0] ? " " : "", verb, what.c_str(),
          verb[0] ? " " : "", verb);
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
    case tovu::kErrorOutOfMemory: return "the engine has no memory for the song";
    case tovu::kErrorMalformedSong: return "the engine refused the song image as malformed";
    case tovu::kErrorNoOutputPorts: return "the engine has no output port to play on";
    default: return "unknown reason";
  }
}

std::string MidiResultText(int32_t result) {
  switch (result) {
    case 0: return "done";
    case 1: return "unspecified error";
    case 2: return "bad device id";
    case 4: return "device already in use";
    case 5: return "invalid handle";
    case 6: return "no driver";
    case 7: return "no memory";
    default: return "result " + std::to_string(result);
  }
}

// ---- Arguments ----

bool ParseUnsigned(const std::string& text, long long max, long long* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
  *value = std::stoll(text);
  return *value <= max;
}

bool ParseIdList(const std::string& text, std::vector<uint32_t>* ids) {
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    long long v;
    if (!ParseUnsigned(text.substr(start, comma - start), 0x7FFF, &v)) return false;
    ids->push_back(static_cast<uint32_t>(v));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

struct Options {
  std::string file;
  std::vector<uint32_t> outs;
  bool haveFrom = false;
  long long fromBar = 1, fromBeat = 1;
  bool haveLoop = false;
  long long loopFirst = 0, loopLast = 0;
  double tempo = 1.0;
  // record
  long long in = -1, thru = -1, click = -1;
  bool countIn = false;
  long long bars = 0;
  bool loop = false;
  std::string with;
};

// Parses the options of play or record; returns -1 when parsed, else the exit status.
int ParseOptions(const char* verb, int argc, char** argv, Options* o) {
  bool record = strcmp(verb, "record") == 0;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    long long n;
    if (a == "--out") {
      if (!value(&v) || !ParseIdList(v, &o->outs)) return UsageError(verb, "--out needs device ids like 0 or 0,1");
    } else if (!record && a == "--from") {
      if (!value(&v)) return UsageError(verb, "--from needs BAR or BAR.BEAT");
      size_t dot = v.find('.');
      long long beat = 1;
      if (!ParseUnsigned(v.substr(0, dot), 1000000, &n) || n < 1 ||
          (dot != std::string::npos && (!ParseUnsigned(v.substr(dot + 1), 1000, &beat) || beat < 1)))
        return UsageError(verb, "--from needs BAR or BAR.BEAT, counted from 1");
      o->haveFrom = true;
      o->fromBar = n;
      o->fromBeat = beat;
    } else if (!record && a == "--loop") {
      size_t dash;
      if (!value(&v) || (dash = v.find('-')) == std::string::npos || !ParseUnsigned(v.substr(0, dash), 1000000, &o->loopFirst) ||
          !ParseUnsigned(v.substr(dash + 1), 1000000, &o->loopLast) || o->loopFirst < 1 || o->loopLast < o->loopFirst)
        return UsageError(verb, "--loop needs BAR-BAR with the first bar not after the second");
      o->haveLoop = true;
    } else if (!record && a == "--tempo") {
      char* end = nullptr;
      if (!value(&v)) return UsageError(verb, "--tempo needs a factor");
      o->tempo = strtod(v.c_str(), &end);
      if (end == v.c_str() || *end || !(o->tempo >= 0.01 && o->tempo <= 100))
        return UsageError(verb, "--tempo needs a factor from 0.01 to 100");
    } else if (record && (a == "--in" || a == "--thru" || a == "--click")) {
      long long* target = a == "--in" ? &o->in : a == "--thru" ? &o->thru : &o->click;
      if (!value(&v) || !ParseUnsigned(v, 0x7FFF, target)) return UsageError(verb, a + " needs a device id");
    } else if (record && a == "--count-in") {
      o->countIn = true;
    } else if (record && a == "--bars") {
      if (!value(&v) || !ParseUnsigned(v, 100000, &o->bars) || o->bars < 1) return UsageError(verb, "--bars needs a count from 1");
    } else if (record && a == "--loop") {
      o->loop = true;
    } else if (record && a == "--with") {
      if (!value(&o->with)) return UsageError(verb, "--with needs a file");
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError(verb, "unknown option " + a);
    } else if (o->file.empty()) {
      o->file = a;
    } else {
      return UsageError(verb, "one file only (" + a + ")");
    }
  }
  if (o->file.empty()) return UsageError(verb, "which file?");
  if (record && o->loop && o->bars == 0) return UsageError(verb, "--loop needs --bars N");
  if (record && o->countIn && o->click < 0) return UsageError(verb, "--count-in needs --click ID");
  return -1;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
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

bool LoadSmf(const std::string& path, const tovu::SmfImportOptions& options, tovu::SmfSong* song) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error)) {
    Failure(error);
    return false;
  }
  if (!tovu::ImportSmf(bytes.data(), bytes.size(), options, song, &error)) {
    Failure(path + ": " + error);
    return false;
  }
  return true;
}

// ---- info ----

int Info(int argc, char** argv) {
  if (argc != 3 || std::string(argv[2]) == "--help") {
    fputs(kInfoHelp, argc == 3 ? stdout : stderr);
    return argc == 3 ? 0 : kExitUsage;
  }
  tovu::SmfSong song;
  if (!LoadSmf(argv[2], {}, &song)) return kExitFailed;
  printf("%s: format %u, %zu track%s, %u ticks per quarter note", argv[2], song.format, song.tracks.size(),
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
  long long bars = end.bar - 1 + ((end.beat > 1 || end.sixteenth > 1) ? 1 : 0);
  printf("length: %lld bar%s (ends at %lld.%lld.%lld), %.3f s\n", bars, bars == 1 ? "" : "s",
         static_cast<long long>(end.bar), static_cast<long long>(end.beat), static_cast<long long>(end.sixteenth),
         song.lengthUs / 1e6);
  return 0;
}

// ---- The engine side of play and record ----

struct Session {
  tovu::Client client;
  bool registered = false;
  ~Session() {
    if (registered) tovu::Unregister(client);
    tovu::Disconnect(client);
  }
};

bool StartSession(Session& s) {
  if (!tovu::Connect(s.client)) {
    Failure("no engine answers and none could be started");
    return false;
  }
  if (tovu::Register(s.client) != 0) {
    Failure("the engine refused the registration");
    return false;
  }
  s.registered = true;
  return true;
}

// The port indices of the given output device ids (the first output when none are given).
bool OutputIndices(Session& s, std::vector<uint32_t>* devices, std::vector<uint8_t>* indices) {
  std::vector<tovu::OutputPortInfo> outs;
  tovu::RequestOutputPorts(s.client, &outs);
  if (devices->empty()) {
    if (outs.empty()) return Failure("the engine has no output ports") == 0;
    devices->push_back(outs[0].deviceId);
  }
  for (uint32_t id : *devices) {
    auto it = std::find_if(outs.begin(), outs.end(), [&](auto& o) { return o.deviceId == id; });
    if (it == outs.end()) return Failure("no output device " + std::to_string(id) + " (see tovu-ctl ports)") == 0;
    indices->push_back(static_cast<uint8_t>(it - outs.begin()));
  }
  return true;
}

bool OpenPorts(Session& s, const std::vector<uint32_t>& outputs, int32_t input) {
  tovu::OpenPortsRequest request;
  for (uint32_t id : outputs)
    if (std::find(request.outputDevices.begin(), request.outputDevices.end(), id) == request.outputDevices.end())
      request.outputDevices.push_back(id);
  request.inputDevice = input;
  request.inputFlags = 0xF;  // notes, controllers, pitch bend, system exclusive
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

bool LoadAndCheck(Session& s, const std::vector<uint8_t>& image) {
  if (image.size() > 64u * 1024 * 1024) return Failure("the song is too large for the engine bus") == 0;
  if (!tovu::LoadSong(s.client, image)) return Failure("the engine did not take the song") == 0;
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
  r.loopEnd = loop ? loopEnd : 0x7FFFFFFF;
  r.sysexMode = 1;
  r.setupSysex = 1;
  r.recordOn = record ? 1 : 0;
  return r;
}

// ---- The display ----

struct Display {
  bool terminal = false;
  const tovu::SmfSong* song = nullptr;
  std::vector<uint8_t> ports;  // output port indices shown
  int32_t tick = 0;
  bool haveTick = false;
  std::vector<uint8_t> activity;
  std::string lastPlain;  // bar.beat and notes of the last plain line
  std::string lastLine;

  std::string Notes() const {
    static const char* kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    std::string out;
    for (int ch = 0; ch < 16; ++ch) {
      std::string notes;
      for (uint8_t p : ports)
        for (int n = 0; n < 128; ++n) {
          size_t at = static_cast<size_t>(p) * 2048 + ch * 128 + n;
          if (at < activity.size() && activity[at] > 0)
            notes += std::string(notes.empty() ? "" : " ") + kNames[n % 12] + std::to_string(n / 12 - 1);
        }
      if (!notes.empty()) out += "  ch" + std::to_string(ch + 1) + ": " + notes;
    }
    return out;
  }

  void Show(bool final = false) {
    if (!haveTick) return;
    tovu::SmfPosition p = tovu::PositionAt(*song, tick);
    std::string line = tovu::FormatPosition(p);
    if (terminal) {
      std::string full = line + Notes();
      printf("\r\033[K%s%s", full.c_str(), final ? "\n" : "");
      fflush(stdout);
      return;
    }
    // Plain lines: one when the beat or the sounding notes change (and the last position), so that
    // logs stay readable.
    std::string notes = Notes();
    std::string key = std::to_string(p.bar) + "." + std::to_string(p.beat) + notes;
    std::string full = line + notes;
    if ((key == lastPlain && !final) || full == lastLine) return;
    lastPlain = key;
    lastLine = full;
    printf("%s\n", full.c_str());
    fflush(stdout);
  }

  // Takes the position messages and activity reports out of the inbox; true when one changed.
  void Absorb(tovu::Client& c) {
    bool changed = false;
    for (auto it = c.inbox.begin(); it != c.inbox.end();) {
      if (it->msg == tovu::kPositionMessage) {
        tick = static_cast<int32_t>(it->lParam);
        haveTick = true;
        changed = true;
      } else if (it->msg == tovu::kWmCopyData && (it->dwData & 0xFFFF) == 30) {
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
// once the position reaches that tick. Ctrl-C stops it too.
Ending RunPlayback(Session& s, Display& display, uint32_t* errorCode, int32_t stopAt = INT32_MAX) {
  bool stopSent = false;
  int64_t stopWaitedMs = 0;
  for (;;) {
    if (!tovu::PumpMessages(s.client, 20)) return Ending::Lost;
    display.Absorb(s.client);
    for (const tovu::NotificationInfo& n : tovu::TakeNotifications(s.client)) {
      if (n.code == tovu::kNotifyFailed) {
        *errorCode = n.lParam;
        return Ending::Refused;
      }
      if (n.code == tovu::kNotifyStopped && n.lParam == 1) return stopSent ? Ending::Stopped : Ending::Ended;
      if (n.code == tovu::kNotifyPortsClosed && n.lParam == 1) return Ending::Lost;
    }
    bool reached = display.haveTick && display.tick >= stopAt;
    if ((gInterrupted || reached) && !stopSent) {
      stopSent = true;
      tovu::Stop(s.client);
    }
    if (stopSent && (stopWaitedMs += 20) > 5000) return Ending::Lost;
  }
}

int Play(int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc; ++i)
    if (std::string(argv[i]) == "--help") return fputs(kPlayHelp, stdout), 0;
  int status = ParseOptions("play", argc, argv, &o);
  if (status >= 0) return status;
  std::vector<uint8_t> fileBytes;
  std::string error;
  if (!ReadWholeFile(o.file, &fileBytes, &error)) return Failure(error);
  tovu::SmfSong song;
  if (!tovu::ImportSmf(fileBytes.data(), fileBytes.size(), {}, &song, &error)) return Failure(o.file + ": " + error);

  Session s;
  if (!StartSession(s)) return kExitFailed;
  tovu::SmfImportOptions importOptions;
  if (!OutputIndices(s, &o.outs, &importOptions.outputPortIndices)) return kExitFailed;
  tovu::ImportSmf(fileBytes.data(), fileBytes.size(), importOptions, &song, &error);  // the same file, mapped
  if (!OpenPorts(s, o.outs, -1)) return kExitFailed;
  if (!LoadAndCheck(s, song.song.Build())) return kExitFailed;
  if (o.tempo != 1.0) tovu::SetTempoFactor(s.client, o.tempo);

  int32_t startTick = o.haveFrom ? tovu::TickOfBar(song, o.fromBar, o.fromBeat) : 0;
  int32_t loopStart = o.haveLoop ? tovu::TickOfBar(song, o.loopFirst) : 0;
  int32_t loopEnd = o.haveLoop ? tovu::TickOfBar(song, o.loopLast + 1) : 0;
  if (o.haveLoop && !o.haveFrom) startTick = loopStart;
  Display display;
  display.terminal = platform::StdoutIsTerminal();
  display.song = &song;
  display.ports = importOptions.outputPortIndices;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  tovu::Start(s.client, MakeStart(startTick, o.haveLoop, loopStart, loopEnd, false));
  uint32_t code = 0;
  Ending ending = RunPlayback(s, display, &code);
  display.Show(true);
  switch (ending) {
    case Ending::Refused: return Failure("the engine refused to play: " + ErrorText(code));
    case Ending::Lost: return Failure("the engine went away or did not stop");
    case Ending::Stopped: return kExitInterrupted;
    case Ending::Ended: return 0;
  }
  return 0;
}

// ---- record ----

int Record(int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc; ++i)
    if (std::string(argv[i]) == "--help") return fputs(kRecordHelp, stdout), 0;
  int status = ParseOptions("record", argc, argv, &o);
  if (status >= 0) return status;
  std::vector<uint8_t> backing;
  std::string error;
  if (!o.with.empty() && !ReadWholeFile(o.with, &backing, &error)) return Failure(error);

  Session s;
  if (!StartSession(s)) return kExitFailed;
  tovu::SmfSong song;
  tovu::SmfImportOptions importOptions;
  // An open-ports request without an output opens nothing, the input neither: --out (or the first
  // output) is opened even without a backing file.
  if (!OutputIndices(s, &o.outs, &importOptions.outputPortIndices)) return kExitFailed;
  if (!o.with.empty()) {
    if (!tovu::ImportSmf(backing.data(), backing.size(), importOptions, &song, &error)) return Failure(o.with + ": " + error);
  } else {
    // 4/4 at 120 beats per minute, nothing to play: recording runs past the end of the song.
    static const uint8_t kEmpty[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0,
                                     'M', 'T', 'r', 'k', 0, 0, 0, 4, 0, 0xFF, 0x2F, 0};
    tovu::ImportSmf(kEmpty, sizeof kEmpty, {}, &song, &error);
  }
  if (o.in < 0) {
    std::vector<tovu::InputPortInfo> ins;
    tovu::RequestInputPorts(s.client, &ins);
    if (ins.empty()) return Failure("the engine has no input ports");
    o.in = ins[0].deviceId;
  }
  if (!OpenPorts(s, o.outs, static_cast<int32_t>(o.in))) return kExitFailed;
  if (!LoadAndCheck(s, song.song.Build())) return kExitFailed;
  // The metronome and thru are the engine's, not this client's: put them back afterwards.
  tovu::MetronomeSettings metronomeBefore;
  bool haveMetronome = o.click >= 0 && tovu::RequestMetronomeSettings(s.client, &metronomeBefore);
  if (o.click >= 0) tovu::SetMetronome(s.client, {static_cast<int32_t>(o.click), 9, 76, 77});
  if (o.thru >= 0) tovu::SetThru(s.client, {static_cast<int32_t>(o.thru), -1, 0, 0});

  int32_t loopEnd = o.bars > 0 ? tovu::TickOfBar(song, o.bars + 1) : 0;
  Display display;
  display.terminal = platform::StdoutIsTerminal();
  display.song = &song;
  display.ports = importOptions.outputPortIndices;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  tovu::Start(s.client, MakeStart(0, o.loop, 0, loopEnd, true));
  uint32_t code = 0;
  Ending ending = RunPlayback(s, display, &code, o.bars > 0 && !o.loop ? loopEnd : INT32_MAX);
  display.Show(true);
  if (ending == Ending::Refused) return Failure("the engine refused to record: " + ErrorText(code));
  if (ending == Ending::Lost) return Failure("the engine went away or did not stop");

  // The stop sends the take (when anything was recorded) before it handles anything else, so after
  // one round trip it is here or it is not coming.
  tovu::AuditionHoldTime(s.client);
  tovu::Message take;
  bool got = tovu::WaitForMessage(
      s.client, [](const tovu::Message& m) { return m.msg == tovu::kWmCopyData && (m.dwData & 0xFFFF) == 28; }, 0, &take);
  if (o.click >= 0) tovu::SetMetronome(s.client, haveMetronome ? metronomeBefore : tovu::MetronomeSettings{});
  if (o.thru >= 0) tovu::SetThru(s.client, tovu::ThruSettings{});
  if (!got) return Failure("nothing was recorded; " + o.file + " not written");
  tovu::Take parsed;
  if (!tovu::ReadTake(take.payload, &parsed, &error)) return Failure("bad take: " + error);
  tovu::TakeExportOptions exportOptions = tovu::ExportOptionsFor(song);
  exportOptions.loopStart = 0;
  size_t dropped = 0;
  std::vector<uint8_t> bytes = tovu::ExportTakeSmf(parsed, exportOptions, &dropped);
  std::ofstream out(o.file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Failure("cannot write " + o.file);
  size_t events = 0;
  for (const tovu::TakeEvent& e : parsed.events) events += !tovu::IsEndMarker(e.event);
  printf("wrote %s: %zu events recorded, %zu left out (count-in or system messages)\n", o.file.c_str(), events, dropped);
  return 0;
}

// ---- The small verbs ----

int ListPorts(tovu::Client& c) {
  std::vector<tovu::OutputPortInfo> outs;
  std::vector<tovu::InputPortInfo> ins;
  int32_t ro = tovu::RequestOutputPorts(c, &outs);
  int32_t ri = tovu::RequestInputPorts(c, &ins);
  printf("output ports (command 2 result %d):\n", ro);
  for (size_t i = 0; i < outs.size(); ++i)
    printf("  %zu: device %u \"%s\" %s, sysex delay %d ms, short reset %u\n", i, outs[i].deviceId,
           outs[i].name.c_str(), outs[i].handle ? "open" : "closed", outs[i].sysexDelayMs, outs[i].shortReset);
  printf("input ports (command 24 result %d):\n", ri);
  for (size_t i = 0; i < ins.size(); ++i)
    printf("  %zu: device %u \"%s\" %s\n", i, ins[i].deviceId, ins[i].name.c_str(), ins[i].handle ? "open" : "closed");
  return 0;
}

int RunVerbs(tovu::Client& c, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string verb = argv[i];
    bool hasArg = i + 1 < argc;
    if (verb == "ports") {
      ListPorts(c);
    } else if (verb == "open" && hasArg) {
      tovu::OpenPortsRequest request;
      if (!ParseIdList(argv[++i], &request.outputDevices)) return UsageError("", "open needs device ids like 0,1");
      tovu::OpenPortsReply reply;
      if (!tovu::OpenPorts(c, request, &reply)) return Failure("no open-ports reply");
      printf("open results:");
      for (int j = 0; j < reply.outputCount && j < 256; ++j) printf(" %d", reply.outputResults[j]);
      printf("\n");
    } else if (verb == "send" && hasArg) {
      printf("send %s: %d\n", argv[i + 1], tovu::SendShort(c, static_cast<uint32_t>(strtoul(argv[i + 1], nullptr, 16))));
      ++i;
    } else if (verb == "sleep" && hasArg) {
      tovu::PumpMessages(c, atoi(argv[++i]));
    } else if (verb == "panic") {
      printf("panic: %d\n", tovu::Panic(c));
    } else if (verb == "reload") {
      printf("reload: %d\n", tovu::ReloadSettings(c));
    } else {
      return UsageError("", "unknown verb or missing argument: " + verb);
    }
  }
  return 0;
}

int SmallVerbs(int argc, char** argv) {
  bool closeOnly = std::string(argv[1]) == "close";
  tovu::ConnectOptions options;
  options.startEngine = !closeOnly;
  tovu::Client c;
  if (!tovu::Connect(c, options)) return Failure("no engine answers");
  if (closeOnly) {
    int status = tovu::CloseEngine(c) ? 0 : kExitFailed;
    tovu::Disconnect(c);
    return status;
  }
  if (tovu::Register(c) != 0) {
    tovu::Disconnect(c);
    return Failure("registration refused");
  }
  int status = RunVerbs(c, argc, argv);
  tovu::Unregister(c);
  tovu::Disconnect(c);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(kToolHelp, stderr);
    return kExitUsage;
  }
  std::string verb = argv[1];
  if (verb == "--help" || verb == "-h" || verb == "help") return fputs(kToolHelp, stdout), 0;
  if (verb == "info") return Info(argc, argv);
  if (verb == "play") return Play(argc, argv);
  if (verb == "record") return Record(argc, argv);
  return SmallVerbs(argc, argv);
}
