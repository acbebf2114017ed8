// Processes, named by what the engine and its clients want of them: making this process the engine
// (PrepareEngineProcess, ClaimEngineInstance), the start-up handle, process handles and waits on
// them, priorities. Each system implements the intents its own way (posix/process.cpp: signals, a
// socket and a lock file; win32/process.cpp: a named semaphore, a window class, console events);
// what only POSIX has is in posix/process_posix.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/os_handle.h"

namespace platform {

struct Event;

// The bus endpoint: on Linux the socket path (TOVU_ENGINE_SOCKET, else
// $XDG_RUNTIME_DIR/TovuEngine.sock, else /tmp/tovu-<uid>/TovuEngine.sock); on Windows the engine
// window's class.
std::string BusSocketPath();
std::string DirectoryOf(const std::string& path);

// Makes the running process ready to be the engine. Call it first, before any other thread exists:
// standard handles a launcher left closed are filled, writes to a closed pipe fail instead of
// ending the process, the limit on open handles is raised, the process and the calling thread get
// the highest priority permitted, and every termination request another process can send is routed
// to the returned handle (read by BusWatchTermination), or kNoHandle where such requests arrive by
// other means (Windows' console control events, which the bus takes itself).
OsHandle PrepareEngineProcess();

// Claims the right to be this user's one engine: the single-instance guard, held for the engine's
// whole life (so that no second engine can take the endpoint while it runs, whatever becomes of a
// socket file meanwhile), and the bus endpoint to listen on. While another engine holds the guard
// the claim waits without time limit, until that engine's endpoint answers (kRunning).
enum class Claim {
  kClaimed,
  kRunning,     // another engine is active
  kNotPrivate,  // the endpoint's directory is not private to this user: another could plant a socket
  kNoGuard,     // the guard cannot be made (a full or read-only disk); `reason` says why
  kNoEndpoint,  // the endpoint cannot be listened on; `reason` says why
};
struct EngineClaim {
  Claim claim = Claim::kNoGuard;
  std::string endpoint;           // BusSocketPath()
  std::string reason;             // the system's words when the claim failed
  OsHandle guard = kNoHandle;     // held until ReleaseEngineInstance
  OsHandle listener = kNoHandle;  // for BusCreate: the listening socket (none on Windows)
};
EngineClaim ClaimEngineInstance();
// Gives the guard back; kNoHandle is allowed. Last, after the devices have closed.
void ReleaseEngineInstance(OsHandle guard);

// True when an engine answers on the endpoint.
bool BusPathAnswers(const std::string& socketPath);

// Prints "<caption>: <text>" on standard error (Windows: a message box unless TOVU_NO_MESSAGE_BOX).
void ShowMessage(const char* caption, const char* text);

// A handle of the process that becomes ready when it ends (a pidfd, a process handle); kNoHandle
// when the process cannot be opened.
OsHandle OpenProcessHandle(int32_t pid);

// Waits on the watcher's wake event and the start-up handle (standard error): 0 when the event was
// set, 1 when the start-up handle was signalled (its reader went away), -1 when the wait fails
// (no standard error, for instance).
int WaitWakeOrStartupHandle(Event* wake);
// Waits on the wake event (entry 0) and a list of handles; returns the index of the entry that
// became ready (0 for the event, k >= 1 for handles[k - 1]), or -1 when the wait fails.
int WaitAny(Event* wake, const OsHandle* handles, size_t count);
// Closes the start-up handle (standard error) for good: the null device takes its place.
void ReleaseStartupHandle();

// Priorities: raise what is permitted, never fail.
void RaiseThreadPriority();  // real-time for the calling thread when permitted, else a lower nice
void SetThreadIdlePriority();

}  // namespace platform
