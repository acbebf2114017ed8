// The jack service (posix/midi_jack.cpp), for midi.cpp only (engine code uses midi.h), and what JACK
// clients in tests share with it. Built only when libjack is found (TOVU_HAVE_JACK).
#pragma once

#include <string>

#include "platform/midi_common.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace platform::jack_midi {

// Starts the service on `s` (which has none running). False, with the reason in `why` and nothing
// left running, when it cannot be had. Main thread, while nothing else uses the layer.
bool Start(midi_common::MidiServiceState& s, std::string* why);

// libjack lets the clients of a port buffer take turns (the writer in a cycle before its readers,
// the next cycle after them) through its own semaphores, which ThreadSanitizer cannot see: with two
// clients in one process, as in the tests, it would take their turns for races. Every client calls
// these around its use of a JACK port buffer in its process callback; outside ThreadSanitizer
// builds they are nothing.
inline void JackBufferTake(void* buffer) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(buffer);
#else
  (void)buffer;
#endif
}
inline void JackBufferLeave(void* buffer) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(buffer);
#else
  (void)buffer;
#endif
}

}  // namespace platform::jack_midi
