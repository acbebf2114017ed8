// Auto-reset events and the clocks. See event.h.
#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool EventCreate(Event* event) {
  event->handle = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  event->signalled.store(false);
  return event->handle >= 0;
}

void EventDestroy(Event* event) {
  if (event->handle >= 0) close(event->handle);
  event->handle = -1;
}

void EventSet(Event* event) {
  if (event->signalled.exchange(true, std::memory_order_acq_rel)) return;
  uint64_t one = 1;
  ssize_t n;
  do {
    n = write(event->handle, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

bool EventConsume(Event* event) {
  // Drain the descriptor before clearing the flag. The other order loses wake-ups: a Set landing
  // between the clear and the drain raises the flag and writes, the drain swallows its write, and
  // from then on every Set sees the flag up and writes nothing, so no wait on the descriptor ever
  // wakes again. In this order a Set before the clear is covered by this consumption, and one after
  // it writes again; at worst the next wait wakes once for nothing.
  uint64_t value;
  while (read(event->handle, &value, sizeof value) < 0 && errno == EINTR) {
  }
  return event->signalled.exchange(false, std::memory_order_acq_rel);
}

bool EventObjectWait(Event* event, int timeoutMs) {
  pollfd p{event->handle, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

uint32_t MillisecondClock() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

int64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void SleepMs(int32_t ms) {
  if (ms <= 0) return;
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
  }
}

}  // namespace platform
