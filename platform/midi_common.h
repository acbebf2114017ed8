// What the real device services (jack, alsa) share: handle numbers and an input's delivery state
// with the rules for handing input to the engine's callback (short messages through kMimData,
// system-exclusive input filling the oldest queued buffer through kMimLongData, dropped when none is
// queued).
//
// Threads: opens, closes, starts and stops on the main thread; delivery on the service's input
// thread; the engine's callback runs with the input's callback mutex held, so that stop and close
// can wait for a callback in progress, and without its state mutex, so that the callback may queue
// buffers and send.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/midi.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace platform::midi_common {

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

// Handles: bits 0-11 device id + 1, bit 12 set for inputs, bits 13-31 a serial number that is never
// reset, so a handle from before a close (or a restart of the service) stays invalid.
constexpr uint32_t kMaxDevices = 4095;
MidiHandle NewHandle(uint32_t deviceId, bool input);
bool IsInputHandle(MidiHandle handle);
// The device id a handle names, or kMaxDevices when it names none.
uint32_t DeviceIdOf(MidiHandle handle);

struct InputState {
  std::mutex callbackMutex;                       // held while the engine's callback runs
  std::atomic<std::thread::id> callbackThread{};  // the thread running the callback, if any
  std::mutex mutex;                               // guards the fields below
  MidiHandle handle = 0;
  bool started = false;
  MidiInCallback callback = nullptr;
  uintptr_t instance = 0;
  int64_t startNs = 0;  // when input was started, on the clock of the arrival times
  uint32_t epoch = 0;   // advanced by every start, so that input from before a stop is dropped
  std::deque<MidiInBuffer*> buffers;
};

// Hands one message that arrived at `arrivalNs` (CLOCK_MONOTONIC, in epoch `epoch`) to the input's callback, if the
// input is open and started in that epoch. 1 to 3 bytes are one short message; a first byte of 0xF0
// is system-exclusive input; anything else is dropped.
void Deliver(InputState& input, const uint8_t* bytes, size_t count, int64_t arrivalNs, uint32_t epoch);
// While it lives, MidiInArrivalMs on this thread reports `arrivalNs` (CLOCK_MONOTONIC).
struct ArrivalScope {
  explicit ArrivalScope(int64_t arrivalNs);
  ~ArrivalScope();
  ArrivalScope(const ArrivalScope&) = delete;
  ArrivalScope& operator=(const ArrivalScope&) = delete;
};

// Returns once no callback of the input is running, unless the caller is that callback.
void WaitForCallback(InputState& input);

// Cuts `text` to fit `capacity` - 1 characters and zero-terminates it.
int CopyName(const std::string& text, char* name, size_t capacity);

}  // namespace platform::midi_common
