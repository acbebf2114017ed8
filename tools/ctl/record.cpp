// tovu-ctl record: a take from a MIDI input written as a Standard MIDI File, with the metronome,
// a count-in, loop passes and a backing file.
//
//   connect -> register -> ports (resolve names, open outputs and the input) -> load the song
//      -> metronome and thru set -> earlier count-in bars clicked by tovu-ctl -> start (type 21,
//      recording) -> running as play does, until Ctrl-C or --bars -> stop (command 5)
//      -> the take (type 28) -> metronome and thru put back -> the file written -> unregister
//
// Threads: the main thread only.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "client/smf.h"
#include "client/take_reader.h"
#include "platform/terminal.h"
#include "tools/ctl/common.h"
#include "tools/ctl/display.h"
#include "tools/ctl/session.h"

namespace ctl {

namespace {

const char kRecordDescription[] =
    "Records what arrives at a MIDI input and writes it as a format 1 file when the take arrives:\n"
    "a tempo track, and a track with the recorded events (one per channel with --split-channels)\n"
    "and a marker (\"pass N\") at each loop pass; with --merge, the --with file with the take added\n"
    "as new tracks. Every note in the file is whole: a note still held at the end is released there,\n"
    "and a release whose note was struck in the count-in is left out.\n"
    "Without --with the song is empty, at --bpm in --time-signature with --ppq ticks per quarter.\n"
    "Without --bars recording runs until Ctrl-C. Ctrl-C ends a recording normally: the take is\n"
    "written and the exit status is 0. Nothing recorded: no file is written, status 1.\n";

const char kRecordFooter[] =
    "PORT is a device id (tovu-ctl ports) or a name or a unique part of one.\n"
    "The metronome (--click) plays the engine's metronome channel and notes (its settings MtrChan,\n"
    "MtrNM and MtrNB; without them channel 10, notes 60 on the bar and 61 on the other beats), or\n"
    "the notes of --click-notes. With a click the engine counts in one bar before the start;\n"
    "--count-in N counts in N bars, the earlier ones clicked by tovu-ctl itself. Events played\n"
    "during the count-in are not kept. The metronome is the engine's: it is put back afterwards.\n"
    "\n"
    "examples:\n"
    "  tovu-ctl record idea.mid\n"
    "  tovu-ctl record waltz.mid --bpm 90 --time-signature 3/4 --click drums --count-in 2 --bars 16\n"
    "  tovu-ctl record verse.mid --in keys --thru synth --click drums --bars 8 --loop --with drums.mid\n"
    "  tovu-ctl record song+keys.mid --with song.mid --merge --split-channels --click drums --click-notes 76,77\n";

// The metronome's channel and notes.
struct Click {
  uint8_t port = 0;  // output port index
  uint32_t channel = 9, barNote = 60, beatNote = 61;
};

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
void ClickCountIn(Session& s, Display& display, const Click& click, int bars, const tovu::SmfSong& song) {
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
      uint32_t note = beat == 0 ? click.barNote : click.beatNote;
      uint32_t status = 0x90 | click.channel;
      tovu::SendShort(s.client, tovu::PackEvent(status, note, beat == 0 ? 126 : 100, click.port));
      std::string line = "count-in " + std::to_string(b + 1) + "/" + std::to_string(display.countInBars) + "  beat " +
                         std::to_string(beat + 1);
      display.Print(line, line, false);
      waitUntil(t + beatMs / 4);
      tovu::SendShort(s.client, tovu::PackEvent(status, note, 0, click.port));
    }
  waitUntil(t);
}

// The engine clicks every bar and beat line that falls on a sixteenth-note step, counted from the
// last time signature; a recording runs on after the song until the stop, which can only follow
// the position of the step at `end` (and, on a busy machine, later still). So that the downbeat at
// `end` and whatever comes after it are not clicked, the image gets a time signature one tick
// before `end` (1/1): from there no line falls on a step. It is the image's alone: the file's
// time signatures and the display's come from the song as read. Not possible at 4 ticks per quarter,
// where every tick is a step.
void SilenceClickFrom(tovu::SongBuilder& image, int32_t end) {
  if (image.ticksPerQuarter / 4 < 2 || end < 1) return;
  image.TimeSignature(end - 1, 1, 0);
  image.sortByTick = true;  // it goes among the song's events
  if (!image.hasEnd || image.endTick < end) image.End(end);
}

// Where and how a take is written: the file, and the song it joins with --merge.
struct TakeOutput {
  std::string file;
  std::string with;               // the --with file's name
  std::vector<uint8_t> backing;   // its bytes
  bool split = false, merge = false;
};

// Writes the take as a file (or adds it to the song's) and says what went in; 0, or the failure.
int WriteTake(const std::vector<uint8_t>& payload, const tovu::SmfSong& song, const TakeOutput& output) {
  tovu::Take take;
  std::string error;
  if (!tovu::ReadTake(payload, &take, &error)) return Failure("bad take: " + error);
  tovu::TakeExportOptions options = tovu::ExportOptionsFor(song);
  options.loopStart = 0;
  options.splitChannels = output.split;
  size_t dropped = 0;
  std::vector<uint8_t> bytes;
  if (!output.merge)
    bytes = tovu::ExportTakeSmf(take, options, &dropped);
  else if (!tovu::MergeTakeSmf(take, output.backing, song, options, &bytes, &dropped, &error))
    return Failure("cannot add the take to " + output.with + ": " + error);
  std::ofstream out(output.file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Failure("cannot write " + output.file);
  size_t events = 0;
  for (const tovu::TakeEvent& e : take.events) events += !tovu::IsEndMarker(e.event);
  printf("wrote %s: %zu events recorded, %zu left out (count-in, system messages, releases of notes not recorded)%s\n",
         output.file.c_str(), events, dropped, output.merge ? (", with the tracks of " + output.with).c_str() : "");
  return 0;
}

// The engine's metronome channel and notes (its settings as `before` reads them, when they came),
// with --click-notes' notes instead when given (`notes[0]` >= 0), on output port `port`.
Click ClickFor(const tovu::MetronomeSettings* before, const int notes[2], uint8_t port) {
  Click click;
  click.port = port;
  if (before) {
    click.channel = static_cast<uint32_t>(before->channel) & 0x0F;  // as the engine reads them
    click.barNote = static_cast<uint32_t>(before->measureNote) & 0x7F;
    click.beatNote = static_cast<uint32_t>(before->beatNote) & 0x7F;
  }
  if (notes[0] >= 0) {
    click.barNote = static_cast<uint32_t>(notes[0]);
    click.beatNote = static_cast<uint32_t>(notes[1]);
  }
  return click;
}

}  // namespace

int Record(const std::vector<std::string>& args) {
  CLI::App app{kRecordDescription, "tovu-ctl record"};
  Configure(app, kRecordFooter);
  std::string file, in, thru, click, with, timeSignature = "4/4", clickNotes, clockIn;
  std::vector<std::string> outs;
  int countIn = 0, bars = 0;
  bool loop = false, split = false, merge = false, transportFollow = false;
  uint32_t bpm = 120, ppq = 480;
  app.add_option("OUT", file, "the Standard MIDI File to write")->required();
  app.add_option("--in", in, "input port (default: the first input)")->type_name("PORT");
  app.add_option("--thru", thru, "echo the input to this output port while recording")->type_name("PORT");
  app.add_option("--click", click, "metronome on this output port")->type_name("PORT");
  app.add_option("--click-notes", clickNotes, "the metronome's bar and beat notes, 0-127 (default: the engine's "
                 "metronome settings)")->type_name("BAR,BEAT");
  app.add_option("--count-in", countIn, "count in N bars (1 when N is left out); needs --click")
      ->expected(0, 1)->default_str("1")->check(CLI::Range(1, 16))->type_name("[N]");
  app.add_option("--bars", bars, "stop after N bars; with --loop, loop them until Ctrl-C")->check(CLI::Range(1, 100000))->type_name("N");
  app.add_flag("--loop", loop, "loop the --bars, each pass a marker in the file");
  app.add_option("--with", with, "play this file as the backing, on --out")->type_name("FILE");
  app.add_option("--out", outs, "output ports for the backing (default: the first output)")->delimiter(',')->allow_extra_args(false)->type_name("PORT,...");
  app.add_option("--clock-in", clockIn, "follow the MIDI clock, start, stop and song position of a master on this "
                 "input port, so that the take lands on its beats")->type_name("PORT");
  app.add_flag("--jack-transport-follow", transportFollow, "follow the JACK transport as --clock-in follows a "
               "clock; the engine must run on JACK");
  app.add_flag("--split-channels", split, "one track per channel in the file (and one for sysex)");
  app.add_flag("--merge", merge, "write the --with file with the take added as new tracks (one per loop pass)");
  auto* bpmOption = app.add_option("--bpm", bpm, "tempo without --with (default 120)")->check(CLI::Range(1, 999))->type_name("N");
  auto* sigOption = app.add_option("--time-signature", timeSignature, "time signature without --with (default 4/4)")->type_name("N/D");
  auto* ppqOption = app.add_option("--ppq", ppq, "ticks per quarter note of the file without --with (default 480; a "
                                   "multiple of 4)")->check(CLI::Range(4, 32764))->type_name("N");
  if (int status = Parse(app, "record", args); status >= 0) return status;
  if (app.count("--count-in") && countIn == 0) countIn = 1;
  if (loop && bars == 0) return UsageError("record", "--loop needs --bars N");
  if (!clockIn.empty() && (loop || countIn > 1))
    return UsageError("record", "--clock-in follows the master's position: no --loop or --count-in over 1 bar with it");
  if (transportFollow && (loop || countIn > 1 || !clockIn.empty()))
    return UsageError("record", "--jack-transport-follow follows the transport's position: no --loop, --count-in over "
                      "1 bar or --clock-in with it");
  if (countIn > 0 && click.empty()) return UsageError("record", "--count-in needs --click PORT");
  if (!click.empty() && countIn == 0) countIn = 1;  // a click always counts in the engine's bar
  if (merge && with.empty()) return UsageError("record", "--merge needs --with FILE, the song the take joins");
  int notes[2] = {-1, -1};
  if (!clickNotes.empty()) {
    std::vector<std::string> parts = SplitList(clickNotes);
    bool ok = parts.size() == 2;
    for (size_t i = 0; ok && i < 2; ++i) {
      ok = !parts[i].empty() && parts[i].size() <= 3 && parts[i].find_first_not_of("0123456789") == std::string::npos;
      if (ok) notes[i] = std::stoi(parts[i]);
      ok = ok && notes[i] <= 127;
    }
    if (!ok) return UsageError("record", "--click-notes needs BAR,BEAT: two note numbers 0-127, like 76,77");
    if (click.empty()) return UsageError("record", "--click-notes needs --click PORT");
  }
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

  TakeOutput output{file, with, {}, split, merge};
  std::vector<uint8_t>& backing = output.backing;
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
  Session clockHolder;  // holds a followed clock's port open when it is not the take's input
  int32_t clockDevice = -1;
  if (!clockIn.empty() &&
      (!ResolveInput(s, clockIn, &clockDevice) || !FollowClockIn(s, clockDevice, input, open[0], &clockHolder)))
    return kExitFailed;
  if (transportFollow && !FollowJackTransport(s)) return kExitFailed;
  int32_t loopEnd = bars > 0 ? tovu::TickOfBar(song, bars + 1) : 0;
  if (!click.empty() && bars > 0 && !loop) SilenceClickFrom(song.song, loopEnd);
  if (!LoadAndCheck(s, song.song.Build())) return kExitFailed;
  // The metronome and thru are the engine's, not this client's: put them back afterwards. The click
  // keeps the engine's channel and notes unless --click-notes gives others.
  tovu::MetronomeSettings metronomeBefore;
  bool haveMetronome = !clickIndex.empty() && tovu::RequestMetronomeSettings(s.client, &metronomeBefore);
  Click metronome = ClickFor(haveMetronome ? &metronomeBefore : nullptr, notes, clickIndex.empty() ? 0 : clickIndex[0]);
  if (!clickIndex.empty())
    tovu::SetMetronome(s.client, {static_cast<int32_t>(s.outputs[metronome.port].deviceId), static_cast<int32_t>(metronome.channel),
                                  static_cast<int32_t>(metronome.barNote), static_cast<int32_t>(metronome.beatNote)});
  if (!thruIndex.empty())
    tovu::SetThru(s.client, {static_cast<int32_t>(s.outputs[thruIndex[0]].deviceId), tovu::kThruOwnChannel, 0, 0});

  Display display;
  display.terminal = platform::StdoutIsTerminal();
  display.songs = {&song};
  for (const tovu::OutputPortInfo& o : s.outputs) display.portNames.push_back(o.name);
  display.ports = importOptions.outputPortIndices;
  display.countInBars = std::max(countIn, 1);
  if (bars > 0) display.totalSeconds = tovu::PositionAt(song, loopEnd).seconds;
  CatchInterrupts();
  if (countIn > 1) ClickCountIn(s, display, metronome, countIn - 1, song);
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
  if (ending == Ending::Refused && transportFollow && !TransportRefusal(code).empty())
    return restore(), Failure(TransportRefusal(code));
  if (ending == Ending::Refused) return restore(), Failure("the engine refused to record: " + ErrorText(code));
  if (ending == Ending::Lost) return Failure("record " + EndingText(ending, display));
  // Stopped from outside: what was recorded is still written, and then the reason is given.
  std::string outside = EndingText(ending, display);

  // The stop sends the take (when anything was recorded) before it handles anything else, so after
  // one round trip it is here or it is not coming.
  tovu::AuditionHoldTime(s.client);
  tovu::Message take;
  bool got = tovu::WaitForMessage(
      s.client, [](const tovu::Message& m) { return tovu::IsCopyData(m, tovu::kCopyTake); }, 0, &take);
  uint32_t lost = 0;
  bool inputLost = TakeFailure(s, &lost) && lost == tovu::kErrorOutOfMemory;
  restore();
  if (!got) return Failure("nothing was recorded; " + file + " not written" + (outside.empty() ? "" : "; record " + outside));
  if (int status = WriteTake(take.payload, song, output); status != 0) return status;
  if (inputLost) return Failure("the recording lost input: the take is cut short");
  if (!outside.empty()) return Failure("record " + outside);
  return 0;
}

}  // namespace ctl
