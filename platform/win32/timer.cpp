// The timer service on Windows. See timer.h.
//
// The clock is QueryPerformanceCounter. The timer thread sleeps on a high-resolution waitable timer
// (a plain one where the system has none) and a wake event; the waitable timer is armed with the
// time left until the earliest due timer, and since waitable timers (like the multimedia ones) may
// expire up to about a millisecond early, every expiry is checked against the counter: a timer whose
// time has not come is waited for again, never fired.
//
// Threads:
//   timer thread  as on Linux: takes the earliest due timer off the table and runs its callback with
//                 no lock held; time-critical priority.
//   any thread    TimerArm, TimerCancel, under the table's critical section.
#include "platform/timer.h"

#include <cmath>
#include <new>

#include "platform/process.h"
#include "platform/win32/handles.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

namespace {

struct ArmedTimer {
  uint64_t id;
  int64_t dueNs;
  TimerCallback callback;
  void* context;
};

int64_t DueNs(double dueMs) {
  if (std::isnan(dueMs)) return 0;
  double ns = std::ceil(dueMs * 1e6);
  if (ns < 0) return 0;
  if (ns > 4.0e18) return static_cast<int64_t>(4.0e18);
  return static_cast<int64_t>(ns);
}

}  // namespace

struct TimerService {
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE callbackDone;
  ArmedTimer timers[kTimerCapacity];
  int count = 0;
  uint64_t nextId = 1;
  uint64_t inFlight = 0;
  bool stopping = false;
  HANDLE waitable = nullptr;  // armed for the earliest timer
  HANDLE wake = nullptr;      // auto-reset: the earliest timer changed, or the service stops
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  bool periodRaised = false;
};

namespace {

DWORD WINAPI TimerThreadMain(void* parameter) {
  TimerService* s = static_cast<TimerService*>(parameter);
  RaiseThreadPriority();
  EnterCriticalSection(&s->lock);
  for (;;) {
    if (s->stopping) break;
    int earliest = -1;
    for (int i = 0; i < s->count; ++i) {
      const ArmedTimer& t = s->timers[i];
      if (earliest < 0 || t.dueNs < s->timers[earliest].dueNs ||
          (t.dueNs == s->timers[earliest].dueNs && t.id < s->timers[earliest].id))
        earliest = i;
    }
    int64_t now = win32::CounterNs();
    if (earliest >= 0 && s->timers[earliest].dueNs <= now) {
      ArmedTimer due = s->timers[earliest];
      s->timers[earliest] = s->timers[--s->count];
      s->inFlight = due.id;
      LeaveCriticalSection(&s->lock);
      due.callback(due.context, due.id);
      EnterCriticalSection(&s->lock);
      s->inFlight = 0;
      WakeAllConditionVariable(&s->callbackDone);
      continue;
    }
    DWORD count = 1;
    if (earliest >= 0) {
      // Relative, in 100 ns units, rounded up: an expiry that still comes early is waited out above.
      int64_t left = (s->timers[earliest].dueNs - now + 99) / 100;
      LARGE_INTEGER due;
      due.QuadPart = -(left > 0 ? left : 1);
      if (SetWaitableTimer(s->waitable, &due, 0, nullptr, nullptr, FALSE)) count = 2;
    }
    LeaveCriticalSection(&s->lock);
    HANDLE handles[2] = {s->wake, s->waitable};
    WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    EnterCriticalSection(&s->lock);
  }
  LeaveCriticalSection(&s->lock);
  return 0;
}

void CloseService(TimerService* s) {
  if (s->waitable) ::CloseHandle(s->waitable);
  if (s->wake) ::CloseHandle(s->wake);
  if (s->thread) ::CloseHandle(s->thread);
  if (s->periodRaised) timeEndPeriod(1);
  DeleteCriticalSection(&s->lock);
  delete s;
}

}  // namespace

double NowMs() { return static_cast<double>(win32::CounterNs()) / 1e6; }

TimerService* TimerServiceStart() {
  TimerService* s = new (std::nothrow) TimerService;
  if (!s) return nullptr;
  InitializeCriticalSection(&s->lock);
  InitializeConditionVariable(&s->callbackDone);
  // The plain waitable timer follows the system tick: a period of 1 ms keeps its expiries close.
  s->periodRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
  s->waitable = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (!s->waitable) s->waitable = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  s->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!s->waitable || !s->wake) {
    CloseService(s);
    return nullptr;
  }
  s->thread = CreateThread(nullptr, 0, TimerThreadMain, s, CREATE_SUSPENDED, &s->threadId);
  if (!s->thread) {
    CloseService(s);
    return nullptr;
  }
  ResumeThread(s->thread);
  return s;
}

void TimerServiceStop(TimerService* s) {
  if (!s) return;
  EnterCriticalSection(&s->lock);
  s->stopping = true;
  s->count = 0;
  LeaveCriticalSection(&s->lock);
  SetEvent(s->wake);
  WaitForSingleObject(s->thread, INFINITE);
  CloseService(s);
}

uint64_t TimerArm(TimerService* s, double dueMs, TimerCallback callback, void* context) {
  if (!s || !callback) return 0;
  bool wake = false;
  uint64_t id;
  EnterCriticalSection(&s->lock);
  if (s->stopping || s->count == kTimerCapacity) {
    LeaveCriticalSection(&s->lock);
    return 0;
  }
  int64_t due = DueNs(dueMs);
  bool earliest = true;
  for (int i = 0; i < s->count; ++i)
    if (s->timers[i].dueNs <= due) earliest = false;
  id = s->nextId++;
  s->timers[s->count++] = ArmedTimer{id, due, callback, context};
  wake = earliest && GetCurrentThreadId() != s->threadId;
  LeaveCriticalSection(&s->lock);
  if (wake) SetEvent(s->wake);
  return id;
}

void TimerCancel(TimerService* s, uint64_t id) {
  if (!s || id == 0) return;
  EnterCriticalSection(&s->lock);
  for (int i = 0; i < s->count; ++i)
    if (s->timers[i].id == id) {
      s->timers[i] = s->timers[--s->count];
      LeaveCriticalSection(&s->lock);
      return;
    }
  if (GetCurrentThreadId() != s->threadId)
    while (s->inFlight == id) SleepConditionVariableCS(&s->callbackDone, &s->lock, INFINITE);
  LeaveCriticalSection(&s->lock);
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
