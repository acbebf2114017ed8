// The client table: entering and removing records (main thread) and the lookups. Registration and
// departure as a whole are sequenced in host/client_life.cpp.
#include <new>

#include "clients/clients.h"
#include "platform/process.h"

std::vector<uint32_t> ClientWindows(const ClientTable& table) {
  std::vector<uint32_t> windows;
  windows.reserve(table.records.size());
  for (const ClientRecord* record : table.records) windows.push_back(record->window);
  return windows;
}

int FindClient(const ClientTable& table, uint32_t window) {
  for (size_t i = 0; i < table.records.size(); ++i)
    if (table.records[i]->window == window) return static_cast<int>(i);
  return -1;
}

ClientRecord* ClientOf(ClientTable& table, uint32_t window) {
  int i = FindClient(table, window);
  return i < 0 ? nullptr : table.records[static_cast<size_t>(i)];
}

ClientRecord* AddClient(ClientTable& table, uint32_t window, int32_t processId, platform::OsHandle processHandle,
                        platform::OsHandle windowClosedHandle) {
  ClientRecord* record = new (std::nothrow) ClientRecord;
  if (record) {
    record->window = window;
    record->processId = processId;
    record->processHandle = processHandle;
    record->windowClosedHandle = windowClosedHandle;
    EngineLock lock(table.lock);
    record->watchId = ++table.lastWatchId;
    try {
      table.records.push_back(record);
      return record;
    } catch (const std::bad_alloc&) {
    }
  }
  delete record;
  platform::CloseOsHandle(processHandle);
  platform::CloseOsHandle(windowClosedHandle);
  return nullptr;
}

bool RemoveClient(ClientTable& table, platform::Event& watcherWake, uint32_t window) {
  ClientRecord* record;
  {
    EngineLock lock(table.lock);
    int i = FindClient(table, window);
    if (i < 0) return false;
    // Handles are closed only under the lock after the wake event is set (see watcher.cpp).
    platform::EventSet(&watcherWake);
    record = table.records[static_cast<size_t>(i)];
    platform::CloseOsHandle(record->processHandle);
    platform::CloseOsHandle(record->windowClosedHandle);
    record->processHandle = record->windowClosedHandle = platform::kNoHandle;
    table.records.erase(table.records.begin() + i);
  }
  delete record;
  return true;
}

void DestroyClientTable(ClientTable& table) {
  EngineLock lock(table.lock);
  for (ClientRecord* record : table.records) {
    platform::CloseOsHandle(record->processHandle);
    platform::CloseOsHandle(record->windowClosedHandle);
    delete record;
  }
  table.records.clear();
}
