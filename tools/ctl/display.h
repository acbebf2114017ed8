// What play and record show while the engine plays: the position (bar.beat.sixteenth, the time and
// the length; "song k/n" in a playlist; "count-in n/N  beat b" before the start) and the notes
// sounding per port and channel, from the engine's position messages and activity reports. On a
// terminal one line is redrawn in place; otherwise a plain line is printed when the beat or the
// notes change. RunPlayback drives a started playback to its end and keeps the display current.
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

  size_t SongAt(int32_t t) const;
  std::string Notes() const;
  // "3.2.1  0:05.250 / 0:20.750", "count-in 2/2  beat 3", "song 2/3  1.1.1  0:00.000 / 0:12.000".
  std::string Position(std::string* beatKey) const;
  void Print(const std::string& line, const std::string& key, bool final);
  void Show(bool final = false);
  // Takes the position messages and activity reports out of the inbox and shows what changed.
  void Absorb(tovu::Client& c);
};

enum class Ending { Ended, Stopped, Refused, Lost };

// Runs a started playback until it ends, is stopped, or is refused. `stopAt` (when set) stops it
// once the position reaches that tick. Ctrl-C stops it too. `onPosition` runs after each read.
Ending RunPlayback(Session& s, Display& display, uint32_t* errorCode, int32_t stopAt = INT32_MAX,
                   const std::function<bool()>& onPosition = nullptr);

}  // namespace ctl
