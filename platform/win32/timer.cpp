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

#include <new>

#include "platform/process.h"
#include "platform/timer_table.h"
#include "platform/win32/handles.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

struct TimerService {
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE callbackDone;
  TimerTable table;
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
    int earliest = s->table.Earliest();
    int64_t now = win32::CounterNs();
    if (earliest >= 0 && s->table.timers[earliest].dueNs <= now) {
      ArmedTimer due = s->table.Take(earliest);
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
      int64_t left = (s->table.timers[earliest].dueNs - now + 99) / 100;
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
  s->table.count = 0;
  LeaveCriticalSection(&s->lock);
  SetEvent(s->wake);
  WaitForSingleObject(s->thread, INFINITE);
  CloseService(s);
}

uint64_t TimerArm(TimerService* s, double dueMs, TimerCallback callback, void* context) {
  if (!s || !callback) return 0;
  EnterCriticalSection(&s->lock);
  bool earliest = false;
  uint64_t id = s->stopping ? 0 : s->table.Add(TimerDueNs(dueMs), callback, context, &earliest);
  bool wake = id != 0 && earliest && GetCurrentThreadId() != s->threadId;
  LeaveCriticalSection(&s->lock);
  if (wake) SetEvent(s->wake);
  return id;
}

void TimerCancel(TimerService* s, uint64_t id) {
  if (!s || id == 0) return;
  EnterCriticalSection(&s->lock);
  if (!s->table.Remove(id) && GetCurrentThreadId() != s->threadId)
    while (s->inFlight == id) SleepConditionVariableCS(&s->callbackDone, &s->lock, INFINITE);
  LeaveCriticalSection(&s->lock);
}

}  // namespace platform
