// The notifier thread and the activity report. See notifier.h.
#include "status/notifier.h"

#include <new>
#include <vector>

#include "host/engine.h"
#include "platform/process.h"

namespace {

void SendPosition(Engine& engine) {
  PublishedPosition p;
  {
    std::lock_guard<std::mutex> guard(engine.notifier.positionLock);
    p = engine.notifier.published;
    engine.notifier.published.fresh = false;
  }
  if (!p.fresh || p.window == 0) return;
  platform::BusGate gate{&engine.playback.positionGate, p.serial};
  platform::BusSendGated(engine.bus, gate, p.window, kPositionMessage, 0, static_cast<uint32_t>(p.position), 0,
                         nullptr, 0);
}

void CopyActivity(const Ports& ports, uint8_t* out, size_t size) {
  for (size_t i = 0; i < size; ++i) out[i] = ports.activity[i].load(std::memory_order_relaxed);
}

void NotifierMain(Engine* engine) {
  platform::SetThreadIdlePriority();
  Notifier& n = engine->notifier;
  const int fds[2] = {n.positionEvent.fd, engine->activityEvent.fd};
  std::vector<uint8_t> activity;
  while (!n.stopRequested.load()) {
    if (platform::EventConsume(&n.positionEvent)) {
      SendPosition(*engine);
      continue;
    }
    if (platform::EventConsume(&engine->activityEvent)) {
      SendActivityReport(*engine);
      continue;
    }
    if (platform::WaitAny(&n.stopEvent, fds, 2) < 0) return;  // a failed wait ends the reporting
  }
}

}  // namespace

void PublishPosition(Engine& engine, int32_t position, uint32_t serial, uint32_t window) {
  {
    std::lock_guard<std::mutex> guard(engine.notifier.positionLock);
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
  platform::BusSendNoWait(engine.bus, window, platform::kWmCopyData, engine.window, 0, kCopyActivity, table.data(),
                          static_cast<uint32_t>(table.size()));
}

void SendActivityReportTo(Engine& engine, uint32_t window) {
  if (window == 0) return;
  std::vector<uint8_t> copy;
  if (CopyActivityTable(engine, &copy))
    SendCopyData(engine, window, kCopyActivity, copy.data(), static_cast<uint32_t>(copy.size()));
}

void SendActivityReport(Engine& engine) {
  uint32_t target = engine.playback.playingClient.load();
  if (target == 0) target = engine.thruOwner.load();
  SendActivityReportTo(engine, target);
}

bool StartNotifier(Engine& engine) {
  Notifier& n = engine.notifier;
  if (!platform::EventCreate(&n.positionEvent) || !platform::EventCreate(&n.stopEvent)) return false;
  n.stopRequested.store(false);
  try {
    n.thread = std::thread(NotifierMain, &engine);
  } catch (...) {
    return false;
  }
  return true;
}

void StopNotifier(Engine& engine) {
  Notifier& n = engine.notifier;
  if (!n.thread.joinable()) return;
  n.stopRequested.store(true);
  platform::EventSet(&n.stopEvent);
  n.thread.join();
}
