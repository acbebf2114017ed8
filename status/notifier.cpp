// The notifier thread and the activity report. See notifier.h.
#include "status/notifier.h"

#include <new>
#include <vector>

#include "platform/process.h"
#include "locks/locks.h"
#include "protocol/protocol.h"

namespace {

void SendPosition(Notifier& n) {
  PublishedPosition p;
  {
    EngineLock guard(n.positionLock);
    p = n.published;
    n.published.fresh = false;
  }
  if (!p.fresh || p.window == 0) return;
  platform::BusGate gate{n.positionGate, p.serial};
  SendGatedToClient(n.outbox.bus, gate, p.window, tovu::protocol::kPositionMessage, static_cast<uint32_t>(p.position));
}

void NotifierMain(Notifier* n) {
  platform::SetThreadIdlePriority();
  const platform::OsHandle handles[2] = {n->positionEvent.handle, n->activityEvent ? n->activityEvent->handle : platform::kNoHandle};
  while (!n->worker.stopRequested.load()) {
    if (platform::EventConsume(&n->positionEvent)) {
      SendPosition(*n);
      continue;
    }
    if (n->activityEvent && platform::EventConsume(n->activityEvent)) {
      SendActivityReport(*n);
      continue;
    }
    if (platform::WaitAny(&n->worker.wake, handles, n->activityEvent ? 2 : 1) < 0) return;  // a failed wait ends the reporting
  }
}

}  // namespace

void PublishPosition(Notifier& n, int32_t position, uint32_t serial, uint32_t window) {
  {
    EngineLock guard(n.positionLock);
    n.published = PublishedPosition{position < 0 ? 0 : position, serial, window, true};
  }
  platform::EventSet(&n.positionEvent);
}

bool CopyActivityTable(const Notifier& n, std::vector<uint8_t>* out) {
  // Copied with atomic loads, so that the report reads counts that other threads are changing
  // without a data race; it may mix counts from just before and just after a change.
  try {
    out->resize(n.activitySize);
  } catch (...) {
    return false;
  }
  for (size_t i = 0; i < n.activitySize; ++i) (*out)[i] = n.activity[i].load(std::memory_order_relaxed);
  return true;
}

void SendActivityCopy(const Notifier& n, uint32_t window, const std::vector<uint8_t>& table) {
  if (window == 0) return;
  QueueCopyData(n.outbox.bus, n.outbox.engineWindow, window, tovu::protocol::kCopyActivity, table.data(),
                static_cast<uint32_t>(table.size()));
}

void SendActivityReportTo(const Notifier& n, uint32_t window) {
  if (window == 0) return;
  std::vector<uint8_t> copy;
  if (CopyActivityTable(n, &copy))
    SendCopyData(n.outbox.bus, n.outbox.engineWindow, window, tovu::protocol::kCopyActivity, copy.data(),
                 static_cast<uint32_t>(copy.size()));
}

void SendActivityReport(const Notifier& n) {
  uint32_t target = n.playingClient ? n.playingClient->load() : 0;
  if (target == 0 && n.thruOwner) target = n.thruOwner->load();
  SendActivityReportTo(n, target);
}

bool StartNotifier(Notifier& n) {
  if (!platform::EventCreate(&n.positionEvent)) return false;
  return StartBackgroundThread(n.worker, [&n] { NotifierMain(&n); });
}

// The timer service has stopped before this, so nothing publishes a position any more.
void StopNotifier(Notifier& n) {
  StopBackgroundThread(n.worker);
  platform::EventDestroy(&n.positionEvent);
}
