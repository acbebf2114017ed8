// The liveness watcher thread: before the first registration it watches the start-up handle
// (standard error) and closes the engine when that is signalled first; afterwards it waits on every
// registered client's process handle and window-closed handle and posts an unregistration (engine
// command 1) for a client whose process ended or whose window closed. It never polls: it blocks
// without time limit and wakes on a watched handle or the wake event (registration, unregistration,
// stop request). Every client is watched, however many there are.
//
// The watcher identifies a ready wait entry by the registration's watch id, never by descriptor
// number: between its wait and its taking the lock the main thread may unregister one client and
// register another whose new descriptor has the old number.
//
// Threads: this thread reads the table under the client-table lock and writes only `processId`;
// the main thread starts it and, at teardown, stops it by request and joins it.
#include <exception>
#include <vector>

#include "protocol/protocol.h"
#include "clients/clients.h"
#include "platform/process.h"

namespace {

void WatcherMain(Watcher& w, ClientTable& table, platform::Bus* bus) {
  platform::SetThreadIdlePriority();

  // Start-up phase: the first registration (or a stop request) sets the wake event.
  int first = platform::WaitWakeOrStartupHandle(&w.wake);
  // The start-up handle is closed whatever the outcome, so that a launcher reading it sees its end.
  platform::ReleaseStartupHandle();
  if (w.stopRequested.load()) return;
  if (first == 1) platform::BusPostToEngine(bus, platform::kWmClose, 0, 0);

  std::vector<platform::OsHandle> handles;
  std::vector<uint64_t> entries;  // for each handle, the registration it was taken from
  for (;;) {
    if (w.stopRequested.load()) return;
    handles.clear();
    entries.clear();
    {
      EngineLock lock(table.lock);
      for (ClientRecord* r : table.records) {
        if (r->processId == 0) continue;
        handles.push_back(r->processHandle);
        entries.push_back(r->watchId);
        handles.push_back(r->windowClosedHandle);
        entries.push_back(r->watchId);
      }
    }
    // Handles are closed only under the lock after the wake event is set, so a handle closed
    // during this wait ends it (the event is readable) before its number can be reused.
    int k = platform::WaitAny(&w.wake, handles.data(), handles.size());
    if (k < 0) return;  // the wait failed: dead clients are no longer noticed
    if (k == 0) continue;
    uint32_t window = ClaimEndedClient(table, entries[static_cast<size_t>(k - 1)]);
    if (window != 0) platform::BusPostToEngine(bus, tovu::protocol::kEngineCommand, tovu::protocol::kCommandUnregister, window);
  }
}

}  // namespace

uint32_t ClaimEndedClient(ClientTable& table, uint64_t watchId) {
  EngineLock lock(table.lock);
  for (ClientRecord* r : table.records)
    if (r->watchId == watchId && r->processId != 0) {
      r->processId = 0;
      return r->window;
    }
  return 0;
}

bool StartWatcher(Watcher& w, ClientTable& table, platform::Bus* bus) {
  // An allocation failure inside the watcher ends the thread: dead clients are then no longer
  // noticed, but commands keep working.
  return StartBackgroundThread(w, [&w, &table, bus] {
    try {
      WatcherMain(w, table, bus);
    } catch (const std::exception&) {
    }
  });
}

void StopWatcher(Watcher& w) { StopBackgroundThread(w); }
