// The timer service: a monotonic clock read in fractional milliseconds and one-shot timers armed for
// an absolute time, whose callbacks run one at a time on the service's own timer thread.
//
// Threads:
//   timer thread  sleeps (timerfd and poll, nothing while idle) until the earliest armed timer is
//                 due (of equal due times, the one armed first), takes it off the table and runs its callback with no lock of the service
//                 held, so a callback may arm and cancel timers itself. Real-time (SCHED_FIFO) when
//                 permitted, else the best nice value; its timer slack is 1 ns.
//   any thread    TimerArm, TimerCancel. The table (fixed capacity) is guarded by a short lock.
// A timer's life: armed -> due (taken off the table) -> callback running -> gone; or armed ->
// cancelled. Ids count up from 1 and are never reused.
#pragma once

#include <cstdint>

namespace platform {

// CLOCK_MONOTONIC in milliseconds, with nanosecond resolution. Never wraps in practice.
double NowMs();
constexpr double kClockResolutionMs = 1e-6;

using TimerCallback = void (*)(void* context, uint64_t timerId);

struct TimerService;

constexpr int kTimerCapacity = 64;

// Starts the timer thread; null when it cannot be started (no memory, no thread, no descriptor).
TimerService* TimerServiceStart();
// Cancels every armed timer, waits out a callback in flight and joins the thread. Null is allowed.
void TimerServiceStop(TimerService* service);

// Arms a one-shot timer due at `dueMs` (NowMs's scale; a time already past fires at once). Returns
// its id, or 0 when the table is full or the service is stopping.
uint64_t TimerArm(TimerService* service, double dueMs, TimerCallback callback, void* context);
// Cancels a timer. When its callback is running on the timer thread, waits until it has returned,
// except on the timer thread itself (a callback cancelling its own timer or another). Unknown and
// finished ids are ignored.
void TimerCancel(TimerService* service, uint64_t timerId);

// The timer resolution the service offers, as the multimedia timer capabilities: 1 ms to 1 ms.
// Returns 0 on success.
uint32_t TimerGetDevCaps(uint32_t* periodMin, uint32_t* periodMax);
// Requests and releases a timer resolution. The service always runs at its finest, so these only
// check their argument (0 on success, 97 for a period outside the capabilities).
uint32_t TimerBeginPeriod(uint32_t periodMs);
uint32_t TimerEndPeriod(uint32_t periodMs);

}  // namespace platform
