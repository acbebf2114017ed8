// The metronome's part in a playback: whether it counts in and clicks. The scheduler calls these at
// fixed points of a start and of each wake-up; until the metronome is built they do nothing.
//
// Threads: ResetClickState and BeginCountIn run on the main thread inside a start (no wake-up runs
// then); MetronomeOn and MetronomeStep on the timer thread inside a wake-up.
#pragma once

#include <cstdint>

struct Engine;

// At every start: the click state becomes "none" (no click sounding is remembered).
void ResetClickState(Engine& engine);
// At a start: switches the metronome on when the playback records and a metronome port is set, and
// returns the count-in length in ticks (the main image's ticks per bar), else switches it off and
// returns 0. A bar of 0 ticks gives no count-in.
int32_t BeginCountIn(Engine& engine, bool recording);
// Whether the metronome clicks in this playback.
bool MetronomeOn(const Engine& engine);
// At each new position step while the metronome is on.
void MetronomeStep(Engine& engine, int32_t step);
