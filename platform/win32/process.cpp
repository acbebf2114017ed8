// Processes, the single-instance guard, the start-up handle and priorities on Windows. See process.h.
//
// The engine's start-up intents, the Windows way: the endpoint is the engine window's class name,
// the instance guard is the named semaphore "Global\WN7WendleCreateWinSem" (created or opened, then
// waited for until it is free or the running engine's window can be found, and held for life),
// "the endpoint answers" means FindWindowA finds a window of the class, and claiming the endpoint
// registers the window class (the bus then creates the window itself). Termination requests come as
// console control events, which the bus takes, so preparing the process only raises priorities.
//
// Waits on several handles are split into groups within the system's limit of 64 handles a wait:
// beyond one group, a thread per group waits on its handles and on a shared "stop" event, and the
// caller waits on the wake event and one "done" event per group.
#include "platform/process.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/win32/handles.h"

namespace platform {

namespace win32 {
// The engine window's class; defined by the bus (bus.cpp).
bool RegisterEngineClass();
extern const char kEngineClass[];
}  // namespace win32

std::string BusSocketPath() { return win32::kEngineClass; }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

namespace {

// The semaphore held, or null with *running set when another engine's window answers, or null when
// the semaphore cannot be had.
HANDLE AcquireInstanceGuard(const std::string& socketPath, bool* running) {
  *running = false;
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 1, "Global\\WN7WendleCreateWinSem");
  if (!semaphore) return nullptr;
  // The running engine holds the semaphore for its whole life: the wait goes on while that engine
  // sets up or ends, and stops once its window can be found.
  for (;;) {
    DWORD r = WaitForSingleObject(semaphore, 20);
    if (r == WAIT_OBJECT_0) return semaphore;
    if (r != WAIT_TIMEOUT) break;
    if (BusPathAnswers(socketPath)) {
      ::CloseHandle(semaphore);
      *running = true;
      return nullptr;
    }
  }
  ::CloseHandle(semaphore);
  return nullptr;
}

}  // namespace

void ReleaseEngineInstance(OsHandle guard) {
  if (guard == kNoHandle) return;
  ReleaseSemaphore(guard, 1, nullptr);
  ::CloseHandle(guard);
}

bool BusPathAnswers(const std::string&) { return FindWindowA(win32::kEngineClass, nullptr) != nullptr; }

EngineClaim ClaimEngineInstance() {
  EngineClaim c;
  c.endpoint = BusSocketPath();
  bool running = false;
  HANDLE guard = AcquireInstanceGuard(c.endpoint, &running);
  if (!guard) {
    c.claim = running ? Claim::kRunning : Claim::kNoGuard;
    if (!running) c.reason = "the instance semaphore cannot be opened (error " + std::to_string(GetLastError()) + ")";
    return c;
  }
  if (BusPathAnswers(c.endpoint)) {
    ReleaseEngineInstance(guard);
    c.claim = Claim::kRunning;
    return c;
  }
  // The class is registered once per process: a second claim in one process fails here.
  if (!win32::RegisterEngineClass()) {
    c.reason = "the engine window class cannot be registered (error " + std::to_string(GetLastError()) + ")";
    ReleaseEngineInstance(guard);
    c.claim = Claim::kNoEndpoint;
    return c;
  }
  c.claim = Claim::kClaimed;
  c.guard = guard;
  return c;
}

void ShowMessage(const char* caption, const char* text) {
  if (const char* quiet = getenv("TOVU_NO_MESSAGE_BOX"); quiet && *quiet) {
    std::string line = std::string(caption) + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return;
  }
  MessageBoxA(nullptr, text, caption, MB_OK);
}

OsHandle OpenProcessHandle(int32_t pid) {
  if (pid <= 0) return kNoHandle;
  return OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
}

void CloseOsHandle(OsHandle handle) {
  if (handle != kNoHandle) ::CloseHandle(handle);
}

int WaitWakeOrStartupHandle(Event* wake) {
  HANDLE startup = GetStdHandle(STD_ERROR_HANDLE);
  if (startup == nullptr || startup == INVALID_HANDLE_VALUE) return -1;
  HANDLE event = wake->handle;
  // Only a pipe can lose its reader; a console or a file is never signalled.
  bool pipe = GetFileType(startup) == FILE_TYPE_PIPE;
  for (;;) {
    DWORD r = WaitForSingleObject(event, pipe ? 100 : INFINITE);
    if (r == WAIT_OBJECT_0) {
      EventConsume(wake);
      return 0;
    }
    if (r != WAIT_TIMEOUT) return -1;
    DWORD written = 0;
    if (!WriteFile(startup, "", 0, &written, nullptr)) {
      DWORD error = GetLastError();
      if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) {
        // The wake event still comes first, as the lower index does in a wait on several handles.
        if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
          EventConsume(wake);
          return 0;
        }
        return 1;
      }
    }
  }
}

namespace {

constexpr size_t kGroup = MAXIMUM_WAIT_OBJECTS - 1;  // one slot of every wait is the stop event

struct GroupWait {
  HANDLE stop = nullptr;
  HANDLE done = nullptr;     // set when one of the group's handles was signalled, or the wait failed
  const HANDLE* handles = nullptr;
  size_t count = 0;
  long ready = -1;           // index within the group, or -2 when the wait failed
};

DWORD WINAPI GroupThread(void* parameter) {
  GroupWait* g = static_cast<GroupWait*>(parameter);
  HANDLE list[MAXIMUM_WAIT_OBJECTS];
  list[0] = g->stop;
  for (size_t i = 0; i < g->count; ++i) list[i + 1] = g->handles[i];
  DWORD r = WaitForMultipleObjects(static_cast<DWORD>(g->count + 1), list, FALSE, INFINITE);
  if (r == WAIT_OBJECT_0) return 0;
  if (r > WAIT_OBJECT_0 && r <= WAIT_OBJECT_0 + g->count)
    g->ready = static_cast<long>(r - WAIT_OBJECT_0 - 1);
  else
    g->ready = -2;
  SetEvent(g->done);
  return 0;
}

}  // namespace

int WaitAny(Event* wake, const OsHandle* handles, size_t count) {
  HANDLE event = wake->handle;
  if (count < MAXIMUM_WAIT_OBJECTS) {
    HANDLE list[MAXIMUM_WAIT_OBJECTS];
    list[0] = event;
    for (size_t i = 0; i < count; ++i) list[i + 1] = handles[i];
    DWORD r = WaitForMultipleObjects(static_cast<DWORD>(count + 1), list, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) {
      EventConsume(wake);
      return 0;
    }
    if (r > WAIT_OBJECT_0 && r <= WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
    return -1;
  }
  // More than one wait can hold. What is ready already is found without a thread: a client process
  // that ended with many windows leaves many handles signalled, and each is taken in turn.
  if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
    EventConsume(wake);
    return 0;
  }
  for (size_t first = 0; first < count; first += kGroup) {
    size_t n = count - first < kGroup ? count - first : kGroup;
    DWORD r = WaitForMultipleObjects(static_cast<DWORD>(n), handles + first, FALSE, 0);
    if (r < WAIT_OBJECT_0 + n) return static_cast<int>(first + (r - WAIT_OBJECT_0) + 1);
    if (r == WAIT_FAILED) return -1;
  }
  // Nothing yet: a thread per group of 63 handles waits, and this one on the groups.
  size_t groups = (count + kGroup - 1) / kGroup;
  if (groups + 1 > MAXIMUM_WAIT_OBJECTS) return -1;  // beyond 63 * 63 handles
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!stop) return -1;
  std::vector<GroupWait> waits(groups);
  std::vector<HANDLE> threads;
  HANDLE list[MAXIMUM_WAIT_OBJECTS];
  list[0] = event;
  int result = -1;
  bool ok = true;
  for (size_t g = 0; g < groups && ok; ++g) {
    waits[g].stop = stop;
    waits[g].handles = handles + g * kGroup;
    waits[g].count = g + 1 < groups ? kGroup : count - g * kGroup;
    waits[g].done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = waits[g].done ? CreateThread(nullptr, 64 * 1024, GroupThread, &waits[g], 0, nullptr) : nullptr;
    if (!thread) {
      ok = false;
      break;
    }
    threads.push_back(thread);
    list[g + 1] = waits[g].done;
  }
  if (ok) {
    DWORD r = WaitForMultipleObjects(static_cast<DWORD>(groups + 1), list, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) {
      EventConsume(wake);
      result = 0;
    } else if (r > WAIT_OBJECT_0 && r <= WAIT_OBJECT_0 + groups) {
      const GroupWait& g = waits[r - WAIT_OBJECT_0 - 1];
      if (g.ready >= 0) result = static_cast<int>((r - WAIT_OBJECT_0 - 1) * kGroup + static_cast<size_t>(g.ready) + 1);
    }
  }
  SetEvent(stop);
  for (HANDLE thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
  }
  for (GroupWait& g : waits)
    if (g.done) ::CloseHandle(g.done);
  ::CloseHandle(stop);
  return result;
}

void ReleaseStartupHandle() {
  // The C runtime's descriptor 2 holds the start-up handle: NUL takes its place there and as the
  // process's standard-error handle, which closes the handle the launcher is watching.
  int nul = _open("NUL", _O_WRONLY);
  if (nul < 0) {
    HANDLE startup = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
    if (startup && startup != INVALID_HANDLE_VALUE) ::CloseHandle(startup);
    return;
  }
  std::fflush(stderr);
  HANDLE startup = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE runtime = reinterpret_cast<HANDLE>(_get_osfhandle(2));
  _dup2(nul, 2);  // closes the runtime's handle of descriptor 2
  _close(nul);
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  // A standard-error handle the runtime did not hold as descriptor 2 is closed here.
  if (startup && startup != INVALID_HANDLE_VALUE && startup != runtime) ::CloseHandle(startup);
}

static void RaiseProcessPriority() {
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  // Windows 11 ignores the timer resolution a process asks for while none of its windows is visible
  // (the engine window is hidden), and may slow it down, unless the process opts out of power
  // throttling; the timer service depends on 1 ms resolution. Older systems lack the call or the
  // class, and refuse it harmlessly.
  using SetInformation = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
  struct ThrottlingState {
    ULONG version;
    ULONG controlMask;
    ULONG stateMask;
  };
  constexpr int kProcessPowerThrottling = 4;
  constexpr ULONG kThrottlingCurrentVersion = 1;
  constexpr ULONG kExecutionSpeed = 0x1;
  constexpr ULONG kIgnoreTimerResolution = 0x4;
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto set = kernel ? reinterpret_cast<SetInformation>(
                          reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessInformation")))
                    : nullptr;
  if (!set) return;
  // Controlled and off: never throttled, and the timer resolution always honoured.
  ThrottlingState state{kThrottlingCurrentVersion, kExecutionSpeed | kIgnoreTimerResolution, 0};
  set(GetCurrentProcess(), kProcessPowerThrottling, &state, sizeof state);
}

void RaiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL); }

void SetThreadIdlePriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE); }

OsHandle PrepareEngineProcess() {
  RaiseProcessPriority();
  RaiseThreadPriority();
  return kNoHandle;
}

}  // namespace platform
