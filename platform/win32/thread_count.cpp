// The process's threads, counted from a snapshot of the system's threads that this process owns.
#include "platform/thread_count.h"

#include <windows.h>
#include <tlhelp32.h>

namespace platform {

int ThreadCountOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  DWORD self = GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    count += entry.th32OwnerProcessID == self;
    entry.dwSize = sizeof entry;
  }
  ::CloseHandle(snapshot);
  return count;
}

}  // namespace platform
