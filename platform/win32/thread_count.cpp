// The process's threads, read from a snapshot of the system's threads that this process owns.
#include "platform/thread_count.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

namespace platform {

std::vector<uint64_t> ThreadIdsOfThisProcess() {
  std::vector<uint64_t> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ids.push_back(entry.th32ThreadID);
    entry.dwSize = sizeof entry;
  }
  ::CloseHandle(snapshot);
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace platform
