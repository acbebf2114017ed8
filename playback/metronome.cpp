// The metronome's hooks into a playback. Nothing clicks yet: no start counts in.
#include "playback/metronome.h"

#include "host/engine.h"

void ResetClickState(Engine&) {}
int32_t BeginCountIn(Engine&, bool) { return 0; }
bool MetronomeOn(const Engine&) { return false; }
void MetronomeStep(Engine&, int32_t) {}
