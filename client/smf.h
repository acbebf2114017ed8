// Standard MIDI Files: reading one into a song image, and writing a recorded take as one.
//
// Import (ImportSmf) reads formats 0 and 1 with a ticks-per-quarter division; format 2 and SMPTE
// divisions are refused. Chunks of types other than MTrk are skipped, and a header whose track
// count includes them is taken as it is meant. Every byte of the file is untrusted: each refusal
// names the track and the byte offset in the file where reading stopped, and no input makes the
// reader leave the buffer.
// What the song image gets:
//   - channel messages as written, running status resolved; a note-off (0x8n) becomes a note-on of
//     velocity 0, which is how a song image releases a note (the device sees the same note end);
//   - bank select: controller 0 directly followed by controller 32 on the same channel and tick
//     becomes one 14-bit bank event, a lone controller 0 or 32 a bank MSB or LSB event (the same
//     bytes go out, and the engine restores the bank when playback starts in the middle);
//   - RPN and NRPN writes written as the full four controllers (101/100 or 99/98, then 6 and 38, in
//     that order on one channel and tick) become parameter references, and every such parameter is
//     listed for chasing; shorter forms stay plain controllers, so the bytes sent never change;
//   - system exclusive: an F0 event is sent as F0 followed by its data, an F7 (escape) event as its
//     data alone; both as sysex records, all of them sent when playback passes or starts after them;
//   - tempo (meta 0x51), time signature (meta 0x58), end of track (meta 0x2F; a track without one
//     ends where its chunk ends), and port (meta 0x21): file port p plays on
//     outputPortIndices[p % count], port 0 on the first; other meta events are counted and skipped.
// The song ends at the latest end of track. Tracks are merged by tick, ties in track order.
//
// Timing. The song image carries tempos as whole quarter notes per minute, and its ticks per quarter
// must be a multiple of 4 for the engine's clock to keep the file's speed. A file whose division is
// a multiple of 4 and whose tempos are all whole numbers of beats per minute keeps its ticks as they
// are. Any other file is re-timed: the image gets a fine resolution (at least 7680 ticks per
// quarter), each tempo is rounded to a whole number, and every event's tick is placed from its exact
// time in the file, measured against the engine's time of the preceding tempo event, so that each
// event plays within half an image tick of its file time and no rounding accumulates. The song's
// tempo map (`tempos`) relates image ticks, file ticks and time for both directions.
//
// Export (ExportTakeSmf) writes a take (client/take_reader.h) as a format 1 file: a first track with the
// tempo and time signature of the song it was recorded against, a second with the recorded events
// (or one per channel) and a marker (meta 0x06, "pass N") at the start of each loop pass, the passes
// laid one after the other. MergeTakeSmf adds a take to the song file it was recorded against.
//
// Threads: pure functions on values; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/song_builder.h"
#include "client/take_reader.h"

namespace tovu {

// A tempo change as the import placed it. `usPerQuarter` is the file's, `imageTempo` the whole
// quarter notes per minute the image carries; `timeUs` is the exact file time of the change.
struct SmfTempo {
  int64_t fileTick = 0;
  int32_t imageTick = 0;
  uint32_t usPerQuarter = 500000;
  uint32_t imageTempo = 120;
  double timeUs = 0;
  double engineTimeUs = 0;  // the engine's time of imageTick, from the image's own tempo map
};

struct SmfTimeSignature {
  int64_t fileTick = 0;
  int32_t imageTick = 0;
  uint32_t numerator = 4;
  uint32_t denominatorPower = 2;
};

struct SmfTrack {
  std::string name;    // from meta 0x03, empty when none
  size_t events = 0;   // events read (meta events included)
  int64_t endTick = 0; // tick of its end of track
};

// Events per kind, as the file holds them.
struct SmfCounts {
  size_t noteOn = 0, noteOff = 0, polyPressure = 0, controller = 0, program = 0, channelPressure = 0,
         pitchBend = 0, sysex = 0, tempo = 0, timeSignature = 0, port = 0, otherMeta = 0;
  size_t banks = 0, rpns = 0, nrpns = 0;  // selections turned into bank events and references
};

struct SmfImportOptions {
  // Output port index for each file port (meta 0x21), by file port modulo the count; empty = 0.
  std::vector<uint8_t> outputPortIndices;
  // The image's ticks per quarter (a multiple of 4); 0 lets the import choose (see Timing). Songs
  // that are to play one after another in one image share a resolution this way.
  uint32_t ticksPerQuarter = 0;
  // Semitones added to the notes (note-on, note-off, poly pressure) of every channel but 10, the
  // drums; a note moved outside 0-127 is left out, its release with it.
  int32_t transpose = 0;
  // Notes and poly pressure of these channels (bit n = channel n + 1) and tracks (index from 0)
  // are left out; their controllers, programs and the rest still play.
  uint32_t mutedChannels = 0;
  std::vector<bool> mutedTracks;
};

struct SmfSong {
  uint32_t format = 0;
  uint32_t division = 0;         // the file's ticks per quarter
  uint32_t ticksPerQuarter = 0;  // the image's
  bool retimed = false;          // ticks were re-placed (see Timing above)
  std::vector<SmfTrack> tracks;
  SmfCounts counts;
  std::vector<SmfTempo> tempos;             // at least one, the first at tick 0
  std::vector<SmfTimeSignature> timeSigs;   // at least one, the first at tick 0
  int64_t endFileTick = 0;
  int32_t endImageTick = 0;
  double lengthUs = 0;
  SongBuilder song;  // ready to Build()
};

// Reads a file. False with a message in `error` ("track 2 at byte 93: ...") when it is refused.
bool ImportSmf(const uint8_t* data, size_t size, const SmfImportOptions& options, SmfSong* out,
               std::string* error);

// Where an image tick lies in the file's terms: bar, beat and sixteenth (all from 1; negative
// bars count in before the start) by the time signatures in force, and the time from tick 0.
struct SmfPosition {
  int64_t bar = 1, beat = 1, sixteenth = 1;
  double seconds = 0;
};
SmfPosition PositionAt(const SmfSong& song, int32_t imageTick);
// The file tick an image tick stands for (a fraction where the song was re-timed; the same tick
// where it was not).
double FileTickAt(const SmfSong& song, int32_t imageTick);
// The image tick at which a bar (from 1) and beat (from 1) begin.
int32_t TickOfBar(const SmfSong& song, int64_t bar, int64_t beat = 1);
// "12.3.2  0:23.456"
std::string FormatPosition(const SmfPosition& position);

// What a take is exported against: the song's resolution, tempo and time signature changes (image
// ticks; tempo in microseconds per quarter) and the loop start that every pass after the first
// begins at.
struct TakeExportOptions {
  uint32_t ticksPerQuarter = 480;
  std::vector<std::pair<int32_t, uint32_t>> tempos{{0, 500000}};
  std::vector<SmfTimeSignature> timeSigs{SmfTimeSignature{}};
  int32_t loopStart = 0;
  // One track per channel (named "channel N", in channel order) and one for the system-exclusive
  // messages, instead of one track for everything; the pass markers then go to the tempo track.
  bool splitChannels = false;
};
// The file bytes. Events recorded before the start (during the count-in) are dropped; system
// messages other than sysex (clock, active sensing) have no place in a file and are dropped too. The
// file holds whole notes: a release whose note-on was not recorded (it fell in the count-in) is
// dropped, and a note still held at the take's end (and a sustain, sostenuto or soft pedal still
// down) is released at its end by a velocity-0 note-on (the pedal by its controller at 0).
// `dropped` (optional) counts what was left out.
std::vector<uint8_t> ExportTakeSmf(const Take& take, const TakeExportOptions& options, size_t* dropped = nullptr);
// The song file the take was recorded against (`songFile`, read as `song`), with the take added as
// new tracks at its place in the song: "take" (or "take, pass N", one per loop pass, each at the
// loop's place), split by channel as ExportTakeSmf splits. The song's own track chunks are kept as
// they are (other chunks are left out), its division too; the file becomes format 1. Each track
// holds whole notes, closed at its pass's end. False (with a reason) only when the song file has no
// header or the tracks would be too many.
bool MergeTakeSmf(const Take& take, const std::vector<uint8_t>& songFile, const SmfSong& song,
                  const TakeExportOptions& options, std::vector<uint8_t>* out, size_t* dropped = nullptr,
                  std::string* error = nullptr);

// The tempo and time-signature map of an imported song, for exporting a take recorded against it.
TakeExportOptions ExportOptionsFor(const SmfSong& song);

}  // namespace tovu
