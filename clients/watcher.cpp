// The liveness watcher thread: before the first registration it watches the start-up handle
// (standard error) and closes the engine when that is signalled first; afterwards it waits on every
// registered client's process handle and window-closed handle and posts an unregistration (engine
// command 1) for a client whose process ended or whose window closed. It never polls: it blocks
// without time limit and wakes on a watched handle or the wake event (registration, unregistration,
// stop request). Every client is watched, however many there are.
//
// Threads: this thread reads the table under the client-table lock and writes only `processId`;
// the main thread starts it and, at teardown, stops it by request and joins it.
#include <vector>

#include "host/engine.h"
#include "platform/process.h"

namespace {

void WatcherMain(Engine* engine) {
  Watcher& w = engine->watcher;
  ClientTable& table = engine->clients;
  platform::SetThreadIdlePriority();

  // Start-up phase: the first registration (or a stop request) sets the wake event.
  int first = platform::WaitWakeOrStartupHandle(&w.wake);
  if (w.stopRequested.load()) return;
  if (first == 1) platform::BusPostToEngine(engine->bus, platform::kWmClose, 0, 0);
  // The start-up handle is never watched again.

  std::vector<int> fds;
  std::vector<int> owners;  // for each fd, the process handle of its client
  for (;;) {
    if (w.stopRequested.load()) return;
    fds.clear();
    owners.clear();
    {
      std::lock_guard<std::mutex> lock(table.lock);
      for (ClientRecord* r : table.records) {
        if (r->processId == 0) continue;
        fds.push_back(r->processHandle);
        owners.push_back(r->processHandle);
        fds.push_back(r->windowClosedHandle);
        owners.push_back(r->processHandle);
      }
    }
    // Handles are closed only under the lock after the wake event is set, so a handle closed
    // during this wait ends it (the event is readable) before its number can be reused.
    int k = platform::WaitAny(&w.wake, fds.data(), fds.size());
    if (k < 0) return;  // the wait failed: dead clients are no longer noticed
    if (k == 0) continue;
    int handle = owners[static_cast<size_t>(k - 1)];
    uint32_t window = 0;
    {
      std::lock_guard<std::mutex> lock(table.lock);
      for (ClientRecord* r : table.records)
        if (r->processHandle == handle && r->processId != 0) {
          r->processId = 0;
          window = r->window;
          break;
        }
    }
    if (window != 0) platform::BusPostToEngine(engine->bus, kEngineCommand, 1, window);
  }
}

}  // namespace

bool StartWatcher(Engine& engine) {
  Watcher& w = engine.watcher;
  if (w.thread.joinable()) return true;
  if (!platform::EventCreate(&w.wake)) return false;
  w.stopRequested.store(false);
  w.thread = std::thread(WatcherMain, &engine);
  return true;
}

void StopWatcher(Engine& engine) {
  Watcher& w = engine.watcher;
  if (!w.thread.joinable()) return;
  w.stopRequested.store(true);
  platform::EventSet(&w.wake);
  w.thread.join();
  platform::EventDestroy(&w.wake);
}
