// The client table: registration and unregistration (main thread), and the lookups.
#include <new>

#include "host/engine.h"
#include "platform/process.h"

int FindClient(const ClientTable& table, uint32_t window) {
  for (size_t i = 0; i < table.records.size(); ++i)
    if (table.records[i]->window == window) return static_cast<int>(i);
  return -1;
}

ClientRecord* ClientOf(Engine& engine, uint32_t window) {
  int i = FindClient(engine.clients, window);
  return i < 0 ? nullptr : engine.clients.records[static_cast<size_t>(i)];
}

int32_t RegisterClient(Engine& engine, uint32_t window) {
  ClientTable& table = engine.clients;
  if (FindClient(table, window) >= 0) return 0;
  int32_t pid = platform::BusWindowProcess(engine.bus, window);
  if (pid <= 0) return 1;  // a handle that names no window: no process owns it
  int processHandle = platform::OpenProcessHandle(pid);
  if (processHandle < 0) return 1;
  int closedHandle = platform::BusWindowClosedHandle(engine.bus, window);
  ClientRecord* record = new (std::nothrow) ClientRecord;
  if (!record || closedHandle < 0) {
    delete record;
    platform::CloseHandle(processHandle);
    platform::CloseHandle(closedHandle);
    return 1;
  }
  record->window = window;
  record->processId = pid;
  record->processHandle = processHandle;
  record->windowClosedHandle = closedHandle;
  {
    std::lock_guard<std::mutex> lock(table.lock);
    record->watchId = ++table.lastWatchId;
    try {
      table.records.push_back(record);
    } catch (const std::bad_alloc&) {
      delete record;
      platform::CloseHandle(processHandle);
      platform::CloseHandle(closedHandle);
      return 1;
    }
  }
  platform::EventSet(&engine.watcher.wake);
  if (engine.playback.playingClient.load() != 0) PostNotification(engine, window, kNotifyStarted, kNotifyOther);
  return 0;
}

int32_t UnregisterClient(Engine& engine, uint32_t window) {
  ClientTable& table = engine.clients;
  int at = FindClient(table, window);
  if (at < 0) return 1;
  table.records[static_cast<size_t>(at)]->leaving = true;
  CloseClientPorts(engine, window);
  LoadSong(engine, window, 0, nullptr);
  // Closing the ports stops a playback, which sends to clients; a handler nested in those sends may
  // have unregistered this client already, and the table may have changed shape.
  int i = FindClient(table, window);
  if (i < 0) return 0;
  // No playback may outlive the record it plays from.
  if (engine.playback.playingClient.load() == window) StopPlayback(engine, window);
  i = FindClient(table, window);
  if (i < 0) return 0;
  ClientRecord* record;
  {
    std::lock_guard<std::mutex> lock(table.lock);
    platform::EventSet(&engine.watcher.wake);
    record = table.records[static_cast<size_t>(i)];
    platform::CloseHandle(record->processHandle);
    platform::CloseHandle(record->windowClosedHandle);
    record->processHandle = record->windowClosedHandle = -1;
    table.records.erase(table.records.begin() + i);
  }
  delete record;
  if (table.records.empty()) platform::BusPostToEngine(engine.bus, platform::kWmClose, 0, 0);
  return 0;
}

void NoteWindowClosed(Engine& engine, uint32_t window) {
  if (FindClient(engine.clients, window) >= 0)
    platform::BusPostToEngine(engine.bus, kEngineCommand, kCommandUnregister, window);
}

void DestroyClientTable(ClientTable& table) {
  std::lock_guard<std::mutex> lock(table.lock);
  for (ClientRecord* record : table.records) {
    platform::CloseHandle(record->processHandle);
    platform::CloseHandle(record->windowClosedHandle);
    delete[] record->currentSong;
    delete[] record->nextSong;
    delete record;
  }
  table.records.clear();
}
