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
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/process.h"
#include "platform/timer_table.h"

namespace platform {

namespace {

int64_t MonotonicNsNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

struct TimerService {
  std::mutex lock;
  std::condition_variable callbackDone;
  TimerTable table;
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
    int earliest = s->table.Earliest();
    if (earliest >= 0 && s->table.timers[earliest].dueNs <= MonotonicNsNow()) {
      ArmedTimer due = s->table.Take(earliest);
      s->inFlight = due.id;
      guard.unlock();
      due.callback(due.context, due.id);
      guard.lock();
      s->inFlight = 0;
      s->callbackDone.notify_all();
      continue;
    }
    if (earliest >= 0) SetExpiry(s, s->table.timers[earliest].dueNs);
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
    s->table.count = 0;
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
    if (s->stopping) return 0;
    bool earliest = false;
    id = s->table.Add(TimerDueNs(dueMs), callback, context, &earliest);
    if (id == 0) return 0;
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
  if (s->table.Remove(id)) return;  // a timer still in the table has not started its callback
  if (std::this_thread::get_id() == s->threadId) return;
  s->callbackDone.wait(guard, [&] { return s->inFlight != id; });
}

}  // namespace platform
