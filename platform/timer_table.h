// The table of armed timers that each system's timer service keeps (platform/posix/timer.cpp,
// platform/win32/timer.cpp): a fixed number of slots, ids counting up from 1, the earliest due found
// by a scan. Not thread-safe by itself: each service guards it with its own lock.
#pragma once

#include <cstdint>

#include "platform/timer.h"

namespace platform {

struct ArmedTimer {
  uint64_t id;
  int64_t dueNs;
  TimerCallback callback;
  void* context;
};

struct TimerTable {
  ArmedTimer timers[kTimerCapacity];
  int count = 0;
  uint64_t nextId = 1;

  // Enters a timer; its id, or 0 when the table is full. `*earliest` says whether it is due before
  // every timer already armed (the sleeping timer thread must then be told).
  uint64_t Add(int64_t dueNs, TimerCallback callback, void* context, bool* earliest);
  // Takes a timer out; false when it is not in the table (fired, or never armed).
  bool Remove(uint64_t id);
  // The slot of the earliest due timer, -1 when none is armed; equal due times in the order they
  // were armed (ids count up).
  int Earliest() const;
  // Takes the timer in `slot` out and returns it.
  ArmedTimer Take(int slot);
};

// A due time in milliseconds to whole nanoseconds, rounded up so that the clock read at expiry is
// never below the requested time; clamped to what a timespec holds, and 0 for NaN.
int64_t TimerDueNs(double dueMs);

}  // namespace platform
