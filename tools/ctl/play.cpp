// tovu-ctl play: Standard MIDI Files played one after another through the engine.
//
//   connect -> register -> ports (list, resolve names, open) -> load song -> start (type 21)
//      -> running: position messages and activity reports redraw the display
//           a playlist: once the position is inside song k, the image of songs k and k+1 is
//             loaded as the next song and continued into (type 22), so song k+1 follows gaplessly
//           Ctrl-C -> stop (command 5)
//           notification 12 (the song ended) or 5 (stopped)  -> finished
//           notification 10 (refused)                         -> error, status 1
//      -> finished: unregister -> exit (0 ended, 130 stopped with Ctrl-C)
//
// Threads: the main thread only.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>

#include "client/smf.h"
#include "platform/terminal.h"
#include "tools/ctl/common.h"
#include "tools/ctl/display.h"
#include "tools/ctl/session.h"

namespace ctl {

namespace {

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

}  // namespace

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
  CatchInterrupts();
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

}  // namespace ctl
