// What play and record show while the engine plays: the position (bar.beat.sixteenth, the time and
// the length; "song k/n" in a playlist; "count-in n/N  beat b" before the start) and the notes
// sounding per port and channel, from the engine's position messages and activity reports. On a
// terminal one line is redrawn in place, fitted to the terminal's width (the notes by name, else
// counted per channel, else per port, else cut); otherwise a plain line is printed when the beat or
// the notes change, once the step's activity report has come (the engine sends the position of a
// step before the report of the notes struck on it). RunPlayback drives a started playback to its
// end and keeps the display current.
//
// Threads: the main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/smf.h"
#include "tools/ctl/session.h"

namespace ctl {

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
  // A plain line waits for its step's notes: the line of `pendingTick`, printed once another step
  // is shown (or at the end).
  bool havePending = false;
  int32_t pendingTick = 0;
  std::string pendingLine, pendingKey;
  int columns = 0;  // the terminal's width; 0: asked of the terminal at each redraw

  size_t SongAt(int32_t t) const;
  // The sounding notes: by name (detail 0: "  Synth: ch1 C4 E4"), counted per channel (1:
  // "  Synth: ch1 2"), or per port (2: "  Synth: 2 notes").
  std::string Notes(int detail = 0) const;
  // The position and as much of the notes as fits in `width` columns (the notes cut with "..." when
  // even their counts do not fit).
  std::string Fit(const std::string& position, size_t width) const;
  // "3.2.1  0:05.250 / 0:20.750", "count-in 2/2  beat 3", "song 2/3  1.1.1  0:00.000 / 0:12.000".
  std::string Position(std::string* beatKey) const;
  void Print(const std::string& line, const std::string& key, bool final);
  void Show(bool final = false);
  // A line of its own between the positions (a port that went or came back): on a terminal the
  // position line is cleared for it and drawn again below it.
  void Note(const std::string& text);
  // Takes the position messages and activity reports out of the inbox and shows what changed.
  void Absorb(tovu::Client& c);
};

// How a playback ended: by itself (notification 12 before 5), by the stop this tool sent, refused
// (notification 10), stopped by someone else (notification 5 alone: another client's command 5),
// with the engine closing (5 and then 14 with lParam 1, or the connection gone, after WM_CLOSE from
// tovu-ctl close or any other program), or lost (no stop came).
enum class Ending { Ended, Stopped, Refused, StoppedOutside, EngineClosed, Lost };

// What a failure says for an ending that neither this tool nor the song asked for ("" otherwise):
// why, and where the playback was.
std::string EndingText(Ending ending, const Display& display);

// Runs a started playback until it ends, is stopped, or is refused. `stopAt` (when set) stops it
// once the position reaches that tick. Ctrl-C stops it too. `onPosition` runs after each read.
Ending RunPlayback(Session& s, Display& display, uint32_t* errorCode, int32_t stopAt = INT32_MAX,
                   const std::function<bool()>& onPosition = nullptr);

}  // namespace ctl
