// The timer table and what both timer services answer alike. See timer_table.h.
#include "platform/timer_table.h"

#include <cmath>

namespace platform {

uint64_t TimerTable::Add(int64_t dueNs, TimerCallback callback, void* context, bool* earliest) {
  if (count == kTimerCapacity) return 0;
  *earliest = true;
  for (int i = 0; i < count; ++i)
    if (timers[i].dueNs <= dueNs) *earliest = false;
  uint64_t id = nextId++;
  timers[count++] = ArmedTimer{id, dueNs, callback, context};
  return id;
}

bool TimerTable::Remove(uint64_t id) {
  for (int i = 0; i < count; ++i)
    if (timers[i].id == id) {
      timers[i] = timers[--count];
      return true;
    }
  return false;
}

int TimerTable::Earliest() const {
  int earliest = -1;
  for (int i = 0; i < count; ++i) {
    const ArmedTimer& t = timers[i];
    if (earliest < 0 || t.dueNs < timers[earliest].dueNs ||
        (t.dueNs == timers[earliest].dueNs && t.id < timers[earliest].id))
      earliest = i;
  }
  return earliest;
}

ArmedTimer TimerTable::Take(int slot) {
  ArmedTimer t = timers[slot];
  timers[slot] = timers[--count];
  return t;
}

int64_t TimerDueNs(double dueMs) {
  if (std::isnan(dueMs)) return 0;
  double ns = std::ceil(dueMs * 1e6);
  if (ns < 0) return 0;
  if (ns > 4.0e18) return static_cast<int64_t>(4.0e18);
  return static_cast<int64_t>(ns);
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
