// The winmm service (win32/midi_winmm.cpp), for midi.cpp only (engine code uses midi.h).
// Main thread, while nothing else uses the layer.
#pragma once

#include <string>

#include "platform/midi_common.h"

namespace platform::winmm_midi {

// Starts the service on `s` (which has none running) with the system's WinMM devices as they are
// now; their order and numbers stay fixed until it stops. False, with the reason in *why, when it
// cannot start (no devices at all is a start with none).
bool Start(midi_common::MidiServiceState& s, std::string* why);

}  // namespace platform::winmm_midi
