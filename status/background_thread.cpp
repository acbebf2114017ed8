// Stopping a background thread. See background_thread.h.
#include "status/background_thread.h"

void StopBackgroundThread(BackgroundThread& t) {
  if (!t.thread.joinable()) return;
  t.stopRequested.store(true);
  platform::EventSet(&t.wake);
  t.thread.join();
  platform::EventDestroy(&t.wake);
}
