// The alsa service (posix/midi_alsa.cpp), for midi.cpp only (engine code uses midi.h). Built only when
// RtMidi is found (TOVU_HAVE_RTMIDI). Main thread, while nothing else uses the layer.
#pragma once

#include <string>

#include "platform/midi_common.h"

namespace platform::alsa_midi {

// Starts the service on `s` (which has none running). False, with the reason in `why` and nothing
// left running, when it cannot be had.
bool Start(midi_common::MidiServiceState& s, std::string* why);

}  // namespace platform::alsa_midi
