// The arithmetic of MIDI time code: frames of a rate, their labels (hours, minutes, seconds,
// frames; drop-frame labels at 29.97 frames a second), the quarter-frame messages (0xF1) and the
// full-frame message (a universal real-time system-exclusive message).
//
// Frames are counted from 0 at time 0 at the rate's real speed (30000/1001 a second at 29.97), and
// a quarter frame q lies at q / 4 frames. Quarter frames go in groups of eight, one piece each:
// piece 0 on an even frame, and all eight of a group carry the label of the frame that piece 0
// began, so a receiver that has taken a whole group knows the time two frames after that label.
//
// Threads: none of their own; any thread.
#pragma once

#include <cstdint>

namespace midisync {

// The rates, numbered as the time code's own rate bits.
enum MtcRate : int32_t { kMtc24 = 0, kMtc25 = 1, kMtc2997Drop = 2, kMtc30 = 3 };
constexpr uint8_t kQuarterFrame = 0xF1;
constexpr uint32_t kFullFrameSize = 10;

struct Timecode {
  int32_t hours = 0;  // 0-23 (a day wraps)
  int32_t minutes = 0;
  int32_t seconds = 0;
  int32_t frames = 0;
};

// A rate as its number, anything else as 25 frames a second.
MtcRate MtcRateOf(int32_t code);
// Milliseconds per frame: 1000/24, 40, 1001/30, 1000/30.
double MtcFrameMs(MtcRate rate);
// The label of frame n (n >= 0), and the frame a label names (its inverse).
Timecode TimecodeOfFrame(int64_t frame, MtcRate rate);
int64_t FrameOfTimecode(const Timecode& code, MtcRate rate);
// The data byte of quarter frame q (q >= 0): the piece q mod 8 of the label of frame 2 x (q / 8).
uint8_t QuarterFrameData(int64_t quarter, MtcRate rate);
// The full-frame message that puts a receiver at frame n: F0 7F 7F 01 01 hr mn sc fr F7.
void FullFrameMessage(int64_t frame, MtcRate rate, uint8_t out[kFullFrameSize]);

}  // namespace midisync
