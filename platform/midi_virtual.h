// The virtual MIDI service (midi_virtual.cpp), for midi.cpp only (engine code uses midi.h).
// Main thread, while nothing else uses the layer.
#pragma once

#include "platform/midi.h"
#include "platform/midi_common.h"

namespace platform::virtual_midi {

// Longest message a FIFO line may carry; longer lines are ignored.
constexpr size_t kMaxLineBytes = 65536;

// Starts the service on `s` (which has none running), with the devices `config` names.
void Start(midi_common::MidiServiceState& s, const VirtualMidiConfig& config);
// One line of the control FIFO (midi.h's VirtualControl), on the running service. Any thread.
bool Control(midi_common::MidiServiceState& s, const char* line, size_t length);

}  // namespace platform::virtual_midi
