// Auto-reset events on an eventfd, so that one thread can wait on several of them (and on other
// descriptors) with poll. Set is cheap when the event is already signalled: only the first Set after
// a wait makes a system call, which keeps it usable on the output path.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/os_handle.h"

namespace platform {

struct Event {
  OsHandle handle = kNoHandle;  // an eventfd, or a manual-reset event on Windows
  std::atomic<bool> signalled{false};
};

bool EventCreate(Event* event);
void EventDestroy(Event* event);
// Any thread. Wakes one waiter (or the next wait) exactly once however often it is called meanwhile.
void EventSet(Event* event);
// Consumes the signal if set; returns whether it was set. Used after poll reported the fd readable.
bool EventConsume(Event* event);
// Waits without time limit (timeoutMs < 0) or up to timeoutMs in all; true when the event was
// signalled. The loop is shared (event.cpp); each system provides EventObjectWait.
bool EventWait(Event* event, int timeoutMs);
// Waits for the event's system object (descriptor or handle) to be ready, without time limit
// (timeoutMs < 0) or up to timeoutMs. False on timeout, and when a signal cut the wait short.
bool EventObjectWait(Event* event, int timeoutMs);

// Milliseconds since an arbitrary start, 32 bits and wrapping (the platform's millisecond clock).
uint32_t MillisecondClock();
// CLOCK_MONOTONIC in nanoseconds.
int64_t MonotonicNs();
void SleepMs(int32_t ms);

}  // namespace platform
