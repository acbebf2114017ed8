// The take recorder's part in a playback. The scheduler calls these at fixed points of a start, of
// each wake-up and of the stop; until the recorder is built they do nothing.
//
// Threads: ArmRecording and DeliverTake run on the main thread (inside a start and a stop);
// EchoRecorded and RecordAt on the timer thread inside a wake-up.
#pragma once

#include <cstdint>

struct Engine;

constexpr int32_t kNoRecordedTick = 0x7FFFFFFF;

// At a recording start, right after the clock is anchored and before the first wake-up: the take
// begins at `recordStartTick` with `countInLength` ticks counted in; system-exclusive input is
// captured when `captureSysex` is set. The recording client is already set.
void ArmRecording(Engine& engine, int32_t recordStartTick, int32_t countInLength, bool captureSysex);
// At each wake-up of a recording: echoes through thru the entries of earlier loop passes recorded
// in [from, to) and returns the tick of the next one (kNoRecordedTick when none).
int32_t EchoRecorded(Engine& engine, int32_t from, int32_t to);
// Appends a packed event at `tick` to the take (the end marker of each loop pass).
void RecordAt(Engine& engine, uint32_t word, int32_t tick);
// At the stop of a recording playback: hands the take to `window` (copy-data type 28) and frees
// the recording.
void DeliverTake(Engine& engine, uint32_t window);
