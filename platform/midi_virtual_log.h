// The virtual outputs' record of what they receive: one text line per open, close and message in
// the log file (`<ns> open out<id>`, `<ns> data out<id> 90 3c 64`, ...), and per device that
// appears or goes away (`<ns> add out<id>`, `<ns> remove in<id>`), and the same events kept
// in memory while the in-process capture is on (midi.h's VirtualCapture*).
//
// Threads: any thread that opens, closes or sends on a virtual device; one line is one write
// (midi_virtual_io.h's WriteLog), so lines from several devices never mix; the capture is guarded by a mutex of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/midi.h"
#include "platform/midi_virtual_io.h"

namespace platform::virtual_midi {

// Writes one event to the log (unless it is kNoLog) and to the capture (when it is on), stamped with
// the monotonic clock now (MonotonicNs). Without a log and capture it does nothing at all. kMidiNoMemory when a long
// line cannot be made, else kMidiOk (the log is best effort: a full disk loses lines).
int LogEvent(LogFile log, VirtualMidiEvent::Kind kind, bool input, uint32_t device, const uint8_t* bytes,
             size_t count);

}  // namespace platform::virtual_midi
