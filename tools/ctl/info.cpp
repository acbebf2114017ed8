// tovu-ctl info: what a Standard MIDI File holds, read without an engine.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "client/smf.h"
#include "tools/ctl/common.h"

namespace ctl {

namespace {

const char kInfoDescription[] =
    "Shows what tovu-ctl makes of a Standard MIDI File, without an engine: tracks, events per kind,\n"
    "the tempo and time-signature map, and the length in bars and seconds.\n";

}  // namespace

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

}  // namespace ctl
