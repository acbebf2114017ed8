// tovu-ctl play: Standard MIDI Files played one after another through the engine.
//
//   connect -> register -> ports (list, resolve names, open) -> load the song (a playlist is one
//   image, its songs laid one after another, --gap apart) -> start (type 21)
//      -> running: position messages and activity reports redraw the display
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
    "Plays Standard MIDI Files (format 0 or 1), one after another without a gap (--gap puts\n"
    "silence between them), and returns when the last ends. While they play the position\n"
    "(bar.beat.sixteenth, time / length) and the notes sounding per port and channel are shown:\n"
    "redrawn in place on a terminal, as plain lines otherwise. Ctrl-C stops: the engine releases\n"
    "every sounding note, and the exit status is 130. A port whose device goes away (or comes\n"
    "back) meanwhile is named on a line of its own; the playback carries on.\n"
    "\n"
    "The files' events are sent as written, with one change: a note-off (8n) goes out as a note-on of\n"
    "velocity 0 (9n), so its release velocity is lost. The engine counts a note as ended only by a\n"
    "velocity-0 note-on; ending notes that way is what lets it release every sounding note at a stop,\n"
    "a loop or a jump, and restore the right ones when playback starts in the middle. In a playlist,\n"
    "what a file leaves sounding at its end (notes, pedals) is released there, as at its end alone.\n"
    "\n"
    "--clock-out drives other devices with MIDI clock (24 pulses a quarter note at the song's tempo):\n"
    "a start from the middle sends the song position of the next sixteenth and continues there, a\n"
    "loop sends stop, the loop start's position and continue, and the end or Ctrl-C sends stop.\n"
    "--mtc-out sends MIDI time code from the song's time. --jack-transport (an engine on JACK) starts,\n"
    "stops and locates the JACK transport with the playback and tells its clients the song's bar,\n"
    "beat, tick, tempo and meter, so that a DAW or a looper follows. All end with the command; the\n"
    "engine's own sync-out settings are put back.\n"
    "\n"
    "--clock-in follows a master's MIDI clock arriving on an input port instead: the song waits at its\n"
    "start (or --from) until the master starts (0xFA from the top, or its song position and continue),\n"
    "runs at the master's pulses, holds at the master's stop and goes where its song position points,\n"
    "with the controllers, programs and held notes there sounding first. The master sets the tempo and\n"
    "the position, so --tempo and --loop do not go with it. --jack-transport-follow (an engine on JACK)\n"
    "follows the JACK transport the same way: whichever JACK client starts, stops or locates it leads,\n"
    "and the song plays from the song time the transport's frame gives, by the song's own tempo map.\n";

const char kPlayFooter[] =
    "PORT is a device id (tovu-ctl ports) or a name or a unique part of one, without regard to case.\n"
    "The file's port n (meta event 0x21) plays on the n-th --out port, wrapping around.\n"
    "Mute and solo take chN (channel 1-16), tN (track from 1) or a track name.\n"
    "\n"
    "examples:\n"
    "  tovu-ctl play song.mid\n"
    "  tovu-ctl play song.mid --out fluid,drums --from 17.3 --tempo 0.8\n"
    "  tovu-ctl play groove.mid --loop 1-4 --mute ch10\n"
    "  tovu-ctl play intro.mid verse.mid outro.mid --transpose -2 --solo piano\n"
    "  tovu-ctl play groove.mid --loop 1-4 --clock-out drums   # a drum machine follows, loop and all\n"
    "  tovu-ctl play song.mid --from 9 --jack-transport         # JACK clients follow from bar 9\n"
    "  tovu-ctl play song.mid --clock-in drums                  # the drum machine leads\n"
    "  tovu-ctl play song.mid --jack-transport-follow           # a DAW's transport leads\n";
// ---- Playlists: one image holding every song, one after another ----

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
}

// At `tick`, releases the notes `song` leaves sounding at its end and lifts the sustain, sostenuto
// and soft pedals it leaves down, as the engine's stop does at the end of a song played alone.
void CloseSong(tovu::SongBuilder& into, const tovu::SongBuilder& song, int32_t tick) {
  std::vector<tovu::SongBuilder::Entry> events = song.events;
  std::stable_sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.tick < b.tick; });
  std::vector<uint16_t> held(256 * tovu::kActivityPerPort, 0);  // by port, channel and note
  std::vector<uint8_t> pedals(256 * 16 * 3, 0);                 // by port, channel and pedal
  const uint32_t kPedals[3] = {64, 66, 67};
  for (const tovu::SongBuilder::Entry& e : events) {
    uint32_t w = e.word, kind = w & 0xF0, port = w >> 24, channel = w & 0x0F, data1 = w >> 8 & 0x7F, data2 = w >> 16 & 0x7F;
    if (kind == 0x90 || kind == 0x80) {
      uint16_t& h = held[port * tovu::kActivityPerPort + channel * 128 + data1];
      if (kind == 0x90 && data2 != 0) ++h;
      else if (h > 0) --h;
    } else if (kind == 0xB0) {
      for (int k = 0; k < 3; ++k)
        if (data1 == kPedals[k]) pedals[(port * 16 + channel) * 3 + k] = data2 >= 64;
    }
  }
  for (uint32_t port = 0; port < 256; ++port)
    for (uint32_t channel = 0; channel < 16; ++channel) {
      for (uint32_t note = 0; note < 128; ++note)
        for (uint16_t n = held[port * tovu::kActivityPerPort + channel * 128 + note]; n > 0; --n)
          into.NoteRelease(tick, port, channel, note);
      for (int k = 0; k < 3; ++k)
        if (pedals[(port * 16 + channel) * 3 + k]) into.Controller(tick, port, channel, kPedals[k], 0);
    }
}

// The image that plays every song at its playlist tick. A song follows the one before it as a file
// follows another: what the earlier one leaves sounding is released at its end, and no note of
// either is ever struck twice (there is no switch between images to strike them again).
std::vector<uint8_t> PlaylistImage(const std::vector<tovu::SmfSong>& songs, const std::vector<int32_t>& offsets) {
  tovu::SongBuilder b;
  b.ticksPerQuarter = songs[0].song.ticksPerQuarter;
  b.timeSigNumerator = songs[0].song.timeSigNumerator;
  b.timeSigDenominatorPower = songs[0].song.timeSigDenominatorPower;
  b.setupSysexCount = songs[0].song.setupSysexCount;
  for (size_t k = 0; k < songs.size(); ++k) {
    AppendSong(b, songs[k].song, offsets[k]);
    if (k + 1 < songs.size()) CloseSong(b, songs[k].song, offsets[k] + songs[k].song.endTick);
  }
  b.End(offsets.back() + songs.back().song.endTick);
  return b.Build();
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
  std::vector<std::string> files, outs, mutes, solos, clockOuts, mtcOuts;
  std::string from, loop, mtcRate = "25", clockIn;
  double tempo = 1.0, gap = 0;
  int transpose = 0;
  bool jackTransport = false, transportFollow = false;
  app.add_option("FILE", files, "Standard MIDI Files, played one after another")->required();
  app.add_option("--out", outs, "output ports, e.g. 1,drums (default: the first output)")->delimiter(',')->allow_extra_args(false)->type_name("PORT,...");
  app.add_option("--from", from, "start at this bar (and beat), counted from 1; the controllers, programs, banks and "
                 "parameters in force are sent first")->type_name("BAR[.BEAT]");
  app.add_option("--loop", loop, "loop from the first bar to the end of the second, until Ctrl-C")->type_name("BAR-BAR");
  app.add_option("--tempo", tempo, "play faster (2) or slower (0.5)")->check(CLI::Range(0.01, 100.0))->type_name("FACTOR");
  app.add_option("--transpose", transpose, "semitones up (or down, negative) for every channel but 10, the drums")
      ->check(CLI::Range(-48, 48))->type_name("N");
  app.add_option("--gap", gap, "seconds of silence between the files of a playlist (default 0)")
      ->check(CLI::Range(0.0, 3600.0))->type_name("SECONDS");
  app.add_option("--mute", mutes, "leave out the notes of a channel or track (repeatable)")->allow_extra_args(false)->type_name("chN|tN|NAME");
  app.add_option("--solo", solos, "play only the notes of these channels and tracks (repeatable)")->allow_extra_args(false)->type_name("chN|tN|NAME");
  app.add_option("--clock-out", clockOuts, "send MIDI clock to these ports while playing: start, song position, "
                 "continue and stop with it (repeatable)")->delimiter(',')->allow_extra_args(false)->type_name("PORT,...");
  app.add_option("--mtc-out", mtcOuts, "send MIDI time code to these ports while playing (repeatable)")
      ->delimiter(',')->allow_extra_args(false)->type_name("PORT,...");
  app.add_option("--mtc-rate", mtcRate, "the time code's frames a second: 24, 25 (the default), 29.97 (drop-frame) or 30")
      ->type_name("FPS");
  app.add_flag("--jack-transport", jackTransport, "drive the JACK transport with the playback and serve as its "
               "timebase master (bar, beat, tempo, meter from the song); the engine must run on JACK");
  app.add_option("--clock-in", clockIn, "follow the MIDI clock, start, stop and song position of a master on this "
                 "input port")->type_name("PORT");
  app.add_flag("--jack-transport-follow", transportFollow, "follow the JACK transport: the song starts, stops and "
               "moves with it; the engine must run on JACK");
  if (int status = Parse(app, "play", args); status >= 0) return status;
  if (!clockIn.empty() && (!loop.empty() || tempo != 1.0))
    return UsageError("play", "--clock-in follows the master's tempo and position: no --loop or --tempo with it");
  if (transportFollow && (!loop.empty() || tempo != 1.0 || !clockIn.empty() || jackTransport))
    return UsageError("play", "--jack-transport-follow follows the transport's position: no --loop, --tempo, "
                      "--clock-in or --jack-transport with it");
  int32_t rate = 1;
  if (!ParseTimecodeRate(mtcRate, &rate)) return UsageError("play", "--mtc-rate needs 24, 25, 29.97 or 30");
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
  // One image holds every song: they share the finest resolution among them, and the positions
  // below are reckoned in it.
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
    // The gap at the tempo the song ends in, and at the tempo factor: seconds as a clock counts them.
    if (k + 1 < files.size())
      at += std::llround(gap * tempo * songs[k].tempos.back().imageTempo / 60.0 * songs[k].ticksPerQuarter);
    if (at > 0x7FFFFF00) return Failure("the playlist is too long for one song image");
  }
  SyncOutScope sync;  // ends before the session: the engine's sync-out settings come back
  if ((!clockOuts.empty() || !mtcOuts.empty() || jackTransport) &&
      !ChooseSyncOut(s, clockOuts, mtcOuts, rate, jackTransport ? tovu::kSyncJackTransport : 0, 0, &sync))
    return kExitFailed;
  // A followed clock's port is this client's input, its filter passing nothing but the clock.
  int32_t clockDevice = -1;
  if (!clockIn.empty() && !ResolveInput(s, clockIn, &clockDevice)) return kExitFailed;
  if (!OpenPorts(s, indices, clockDevice)) return kExitFailed;
  if (clockDevice >= 0) {
    tovu::SetInputFilter(s.client, 0, 0);
    if (!FollowClockIn(s, clockDevice, clockDevice, indices[0], nullptr)) return kExitFailed;
  }
  if (transportFollow && !FollowJackTransport(s)) return kExitFailed;
  if (!LoadAndCheck(s, PlaylistImage(songs, offsets))) return kExitFailed;
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
  uint32_t code = 0;
  Ending ending = RunPlayback(s, display, &code);
  display.Show(true);
  switch (ending) {
    case Ending::Refused:
      if (transportFollow && !TransportRefusal(code).empty()) return Failure(TransportRefusal(code));
      return Failure("the engine refused to play: " + ErrorText(code));
    case Ending::StoppedOutside:
    case Ending::EngineClosed:
    case Ending::Lost: return Failure("play " + EndingText(ending, display));
    case Ending::Stopped: return kExitInterrupted;
    case Ending::Ended: return 0;
  }
  return 0;
}

}  // namespace ctl
