// The timer service. See timer.h.
#include "platform/timer.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/process.h"

namespace platform {

namespace {

struct ArmedTimer {
  uint64_t id;
  int64_t dueNs;
  TimerCallback callback;
  void* context;
};

int64_t MonotonicNsNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// A due time in milliseconds to whole nanoseconds, rounded up so that the clock read at expiry is
// never below the requested time; clamped to what a timespec holds.
int64_t DueNs(double dueMs) {
  if (std::isnan(dueMs)) return 0;
  double ns = std::ceil(dueMs * 1e6);
  if (ns < 0) return 0;
  if (ns > 4.0e18) return static_cast<int64_t>(4.0e18);
  return static_cast<int64_t>(ns);
}

}  // namespace

struct TimerService {
  std::mutex lock;
  std::condition_variable callbackDone;
  ArmedTimer timers[kTimerCapacity];
  int count = 0;
  uint64_t nextId = 1;
  uint64_t inFlight = 0;  // id whose callback runs now
  bool stopping = false;
  int timerFd = -1;  // absolute CLOCK_MONOTONIC expiry of the earliest timer
  int wakeFd = -1;   // written when the earliest timer changes or the service stops
  std::thread thread;
  std::thread::id threadId;
};

namespace {

void Wake(TimerService* s) {
  uint64_t one = 1;
  while (write(s->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Drain(int fd) {
  uint64_t value;
  while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

void SetExpiry(TimerService* s, int64_t dueNs) {
  itimerspec spec{};
  // An expiry of zero disarms a timerfd; the earliest possible moment stands in for "now".
  if (dueNs <= 0) dueNs = 1;
  spec.it_value.tv_sec = dueNs / 1000000000LL;
  spec.it_value.tv_nsec = dueNs % 1000000000LL;
  timerfd_settime(s->timerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
}

void TimerThreadMain(TimerService* s) {
  RaiseThreadPriority();
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  pthread_setname_np(pthread_self(), "tovu-timer");
  std::unique_lock<std::mutex> guard(s->lock);
  for (;;) {
    if (s->stopping) return;
    // Equal due times fire in the order they were armed (ids count up).
    int earliest = -1;
    for (int i = 0; i < s->count; ++i) {
      const ArmedTimer& t = s->timers[i];
      if (earliest < 0 || t.dueNs < s->timers[earliest].dueNs ||
          (t.dueNs == s->timers[earliest].dueNs && t.id < s->timers[earliest].id))
        earliest = i;
    }
    if (earliest >= 0 && s->timers[earliest].dueNs <= MonotonicNsNow()) {
      ArmedTimer due = s->timers[earliest];
      s->timers[earliest] = s->timers[--s->count];
      s->inFlight = due.id;
      guard.unlock();
      due.callback(due.context, due.id);
      guard.lock();
      s->inFlight = 0;
      s->callbackDone.notify_all();
      continue;
    }
    if (earliest >= 0) SetExpiry(s, s->timers[earliest].dueNs);
    guard.unlock();
    pollfd fds[2] = {{s->wakeFd, POLLIN, 0}, {s->timerFd, POLLIN, 0}};
    int n = poll(fds, earliest >= 0 ? 2 : 1, -1);
    if (n > 0) {
      if (fds[0].revents & POLLIN) Drain(s->wakeFd);
      if (earliest >= 0 && (fds[1].revents & POLLIN)) Drain(s->timerFd);
    }
    guard.lock();
  }
}

void CloseService(TimerService* s) {
  if (s->timerFd >= 0) close(s->timerFd);
  if (s->wakeFd >= 0) close(s->wakeFd);
  delete s;
}

}  // namespace

double NowMs() { return static_cast<double>(MonotonicNsNow()) / 1e6; }

TimerService* TimerServiceStart() {
  TimerService* s = new (std::nothrow) TimerService;
  if (!s) return nullptr;
  s->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  s->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s->timerFd < 0 || s->wakeFd < 0) {
    CloseService(s);
    return nullptr;
  }
  try {
    s->thread = std::thread(TimerThreadMain, s);
  } catch (...) {
    CloseService(s);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(s->lock);
  s->threadId = s->thread.get_id();
  return s;
}

void TimerServiceStop(TimerService* s) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> guard(s->lock);
    s->stopping = true;
    s->count = 0;
  }
  Wake(s);
  if (s->thread.joinable()) s->thread.join();
  CloseService(s);
}

uint64_t TimerArm(TimerService* s, double dueMs, TimerCallback callback, void* context) {
  if (!s || !callback) return 0;
  bool wake = false;
  uint64_t id;
  {
    std::lock_guard<std::mutex> guard(s->lock);
    if (s->stopping || s->count == kTimerCapacity) return 0;
    int64_t due = DueNs(dueMs);
    bool earliest = true;
    for (int i = 0; i < s->count; ++i)
      if (s->timers[i].dueNs <= due) earliest = false;
    id = s->nextId++;
    s->timers[s->count++] = ArmedTimer{id, due, callback, context};
    // The timer thread looks at the table again after every callback; only a sleeping thread needs
    // telling that something earlier came in.
    wake = earliest && std::this_thread::get_id() != s->threadId;
  }
  if (wake) Wake(s);
  return id;
}

void TimerCancel(TimerService* s, uint64_t id) {
  if (!s || id == 0) return;
  std::unique_lock<std::mutex> guard(s->lock);
  for (int i = 0; i < s->count; ++i)
    if (s->timers[i].id == id) {
      s->timers[i] = s->timers[--s->count];
      return;  // a timer still in the table has not started its callback
    }
  if (std::this_thread::get_id() == s->threadId) return;
  s->callbackDone.wait(guard, [&] { return s->inFlight != id; });
}

uint32_t TimerGetDevCaps(uint32_t* periodMin, uint32_t* periodMax) {
  if (!periodMin || !periodMax) return 1;
  *periodMin = 1;
  *periodMax = 1;
  return 0;
}

uint32_t TimerBeginPeriod(uint32_t periodMs) { return periodMs == 1 ? 0 : 97; }
uint32_t TimerEndPeriod(uint32_t periodMs) { return periodMs == 1 ? 0 : 97; }

}  // namespace platform
