// A background thread the main thread starts at start-up and, at the teardown, stops by request:
// the liveness watcher and the notifier. The thread waits on `wake` among its other events and
// looks at `stopRequested` whenever it wakes.
//
// Threads: the main thread starts and stops; the thread itself only reads `stopRequested` and
// consumes `wake`.
#pragma once

#include <atomic>
#include <thread>
#include <utility>

#include "platform/event.h"

struct BackgroundThread {
  platform::Event wake;
  std::atomic<bool> stopRequested{false};
  std::thread thread;  // joinable while it runs
};

// Makes the wake event and runs `run` on a new thread; true as well when it runs already. False
// (nothing left made) when the event or the thread cannot be made.
template <typename Run>
bool StartBackgroundThread(BackgroundThread& t, Run&& run) {
  if (t.thread.joinable()) return true;
  if (!platform::EventCreate(&t.wake)) return false;
  t.stopRequested.store(false);
  try {
    t.thread = std::thread(std::forward<Run>(run));
  } catch (...) {
    platform::EventDestroy(&t.wake);
    return false;
  }
  return true;
}

// Asks the thread to end, wakes it, joins it and destroys the wake event. Nothing when it does not
// run.
void StopBackgroundThread(BackgroundThread& t);
