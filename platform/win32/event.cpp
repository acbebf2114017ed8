// Events and the clocks on Windows. See event.h.
//
// An Event is a manual-reset kernel event beside its flag, so that a wait on several handles
// (WaitAny) sees it without consuming it: only EventConsume clears it, as a drained eventfd does on
// Linux. The clocks read QueryPerformanceCounter.
#include "platform/event.h"

#include "platform/win32/handles.h"

namespace platform {

namespace win32 {

int64_t CounterNs() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  int64_t count = static_cast<int64_t>(c.QuadPart);
  return count / frequency * 1000000000LL + count % frequency * 1000000000LL / frequency;
}

}  // namespace win32

bool EventCreate(Event* event) {
  event->signalled.store(false);
  event->handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event->handle != kNoHandle;
}

void EventDestroy(Event* event) {
  if (event->handle != kNoHandle) ::CloseHandle(event->handle);
  event->handle = kNoHandle;
}

void EventSet(Event* event) {
  if (event->signalled.exchange(true, std::memory_order_acq_rel)) return;
  SetEvent(event->handle);
}

bool EventConsume(Event* event) {
  // Reset before clearing the flag, for the reason the eventfd version drains first: a Set between
  // the two is covered by this consumption, and one after it sets the event again.
  ResetEvent(event->handle);
  return event->signalled.exchange(false, std::memory_order_acq_rel);
}

bool EventObjectWait(Event* event, int timeoutMs) {
  DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  return WaitForSingleObject(event->handle, limit) == WAIT_OBJECT_0;
}

uint32_t MillisecondClock() { return static_cast<uint32_t>(win32::CounterNs() / 1000000); }

int64_t MonotonicNs() { return win32::CounterNs(); }

void SleepMs(int32_t ms) {
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

}  // namespace platform
