// The wait on one event, shared by both systems: the flag is looked at first (a Set that found it
// already up made no system call), then the system object is waited on. A wake-up that finds the
// flag down (a signal, or a Set another consumer took) waits again for what is left of the limit.
#include "platform/event.h"

#include <algorithm>

namespace platform {

bool EventWait(Event* event, int timeoutMs) {
  const int64_t deadline = timeoutMs < 0 ? 0 : MonotonicNs() + int64_t{timeoutMs} * 1000000;
  for (;;) {
    if (event->signalled.load(std::memory_order_acquire)) {
      EventConsume(event);
      return true;
    }
    int left = -1;
    if (timeoutMs >= 0) {
      int64_t ns = std::max<int64_t>(deadline - MonotonicNs(), 0);
      left = static_cast<int>((ns + 999999) / 1000000);
    }
    bool ready = EventObjectWait(event, left);
    if (ready && EventConsume(event)) return true;
    if (left == 0) return false;
  }
}

}  // namespace platform
