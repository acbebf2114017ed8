// The notifier thread and the activity report. See notifier.h.
#include "status/notifier.h"

#include <new>
#include <vector>

#include "host/engine.h"
#include "status/outbox.h"
#include "platform/process.h"

namespace {

void SendPosition(Engine& engine) {
  PublishedPosition p;
  {
    EngineLock guard(engine.notifier.positionLock);
    p = engine.notifier.published;
    engine.notifier.published.fresh = false;
  }
  if (!p.fresh || p.window == 0) return;
  platform::BusGate gate{&engine.playback.positionGate, p.serial};
  SendGatedToClient(engine.bus, gate, p.window, kPositionMessage, static_cast<uint32_t>(p.position));
}

void CopyActivity(const Ports& ports, uint8_t* out, size_t size) {
  for (size_t i = 0; i < size; ++i) out[i] = ports.activity[i].load(std::memory_order_relaxed);
}

void NotifierMain(Engine* engine) {
  platform::SetThreadIdlePriority();
  Notifier& n = engine->notifier;
  const int fds[2] = {n.positionEvent.fd, engine->activityEvent.fd};
  std::vector<uint8_t> activity;
  while (!n.worker.stopRequested.load()) {
    if (platform::EventConsume(&n.positionEvent)) {
      SendPosition(*engine);
      continue;
    }
    if (platform::EventConsume(&engine->activityEvent)) {
      SendActivityReport(*engine);
      continue;
    }
    if (platform::WaitAny(&n.worker.wake, fds, 2) < 0) return;  // a failed wait ends the reporting
  }
}

}  // namespace

void PublishPosition(Engine& engine, int32_t position, uint32_t serial, uint32_t window) {
  {
    EngineLock guard(engine.notifier.positionLock);
    engine.notifier.published = PublishedPosition{position < 0 ? 0 : position, serial, window, true};
  }
  platform::EventSet(&engine.notifier.positionEvent);
}

bool CopyActivityTable(const Engine& engine, std::vector<uint8_t>* out) {
  size_t size = static_cast<size_t>(engine.ports.outputCount > 0 ? engine.ports.outputCount : 0) * kActivityPerPort;
  // Copied with atomic loads, so that the report reads counts that other threads are changing
  // without a data race; it may mix counts from just before and just after a change.
  try {
    out->resize(size);
  } catch (...) {
    return false;
  }
  CopyActivity(engine.ports, out->data(), size);
  return true;
}

void SendActivityCopy(Engine& engine, uint32_t window, const std::vector<uint8_t>& table) {
  if (window == 0) return;
  QueueCopyData(engine.bus, engine.window, window, 30, table.data(), static_cast<uint32_t>(table.size()));
}

void SendActivityReportTo(Engine& engine, uint32_t window) {
  if (window == 0) return;
  std::vector<uint8_t> copy;
  if (CopyActivityTable(engine, &copy))
    SendCopyData(engine.bus, engine.window, window, kCopyActivity, copy.data(), static_cast<uint32_t>(copy.size()));
}

void SendActivityReport(Engine& engine) {
  uint32_t target = engine.playback.playingClient.load();
  if (target == 0) target = engine.recording.thru.owner.load();
  SendActivityReportTo(engine, target);
}

bool StartNotifier(Engine& engine) {
  Notifier& n = engine.notifier;
  if (!platform::EventCreate(&n.positionEvent)) return false;
  return StartBackgroundThread(n.worker, [&engine] { NotifierMain(&engine); });
}

// The timer service has stopped before this, so nothing publishes a position any more.
void StopNotifier(Engine& engine) {
  StopBackgroundThread(engine.notifier.worker);
  platform::EventDestroy(&engine.notifier.positionEvent);
}
