// Processes, the single-instance guard, the start-up handle, thread priorities and threads that
// can be asked to stop. Engine and client library both use pieces of it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace platform {

struct Event;

// The bus socket path: TOVU_ENGINE_SOCKET, else $XDG_RUNTIME_DIR/TovuEngine.sock, else
// /tmp/tovu-<uid>/TovuEngine.sock.
std::string BusSocketPath();
std::string DirectoryOf(const std::string& path);
// True when the directory exists, is not a symbolic link, is owned by this user and gives no access
// to others.
bool DirectoryIsPrivate(const std::string& dir);
// Creates the directory (mode 0700, missing parents too) when missing. False when it cannot be made
// or when it exists but is not private: another user could then plant a socket or hold the lock.
bool EnsurePrivateDirectory(const std::string& dir);

// The single-instance guard: an exclusive flock on WN7WendleCreateWinSem.lock beside the socket.
// An engine holds it for its whole life, so that no second engine can bind the path while it runs,
// whatever becomes of the socket file meanwhile. Waited for without time limit, except that while
// another process holds it and the bus path answers, the wait ends with kInstanceRunning: that
// engine is up. Returns the lock descriptor, or -1 when the lock file cannot be made (errno says
// why). Released by InstanceGuardRelease or by the process's end.
constexpr int kInstanceRunning = -2;
int InstanceGuardAcquire(const std::string& socketPath);
void InstanceGuardRelease(int fd);
// Keeps the guard when its lock file was removed (a cleaner emptied the directory): a new one is
// made and locked, and *guard then names it. False when another process holds the new one.
bool InstanceGuardRenew(const std::string& socketPath, int* guard);

// True when something accepts connections on the bus path.
bool BusPathAnswers(const std::string& socketPath);
// Removes a stale socket file, binds and listens (socket mode 0600). Returns the listening
// descriptor, or -1 with errno saying why.
int BusListen(const std::string& socketPath);

// Prints "<caption>: <text>" on standard error.
void ShowMessage(const char* caption, const char* text);

// Process handles (pidfds). -1 when the process cannot be opened.
int OpenProcessHandle(pid_t pid);
void CloseHandle(int fd);

// Waits on the watcher's wake event and the start-up handle (descriptor 2): 0 when the event was
// set, 1 when the start-up handle was signalled (its reader went away), -1 when the wait fails
// (no descriptor 2, for instance).
int WaitWakeOrStartupHandle(Event* wake);
// Waits on the wake event (entry 0) and a list of readable descriptors; returns the index of the
// entry that became ready (0 for the event, k >= 1 for fds[k - 1]), or -1 when the wait fails.
int WaitAny(Event* wake, const int* fds, size_t count);

// Raises the soft limit on open descriptors to the hard limit (each client window costs several).
void RaiseDescriptorLimit();
// Closes the start-up handle (standard error) for good: /dev/null takes descriptor 2's place.
void ReleaseStartupHandle();

// Priorities: raise what is permitted, never fail.
void RaiseProcessPriority();
void RaiseThreadPriority();  // real-time for the calling thread when permitted, else a lower nice
void SetThreadIdlePriority();

// Blocks every signal another process can send whose default would end the process (SIGTERM, SIGINT,
// SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, the real-time signals and the like) for the calling thread and
// the threads it starts afterwards, and returns a descriptor that becomes readable when one arrives
// (-1 when that cannot be made). Call it before any other thread exists.
int BlockTerminationSignals();
// It also makes the fault signals (SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS) close
// the engine when another process sent them with kill or sigqueue: such a signal is handed on as a
// SIGTERM to the process, read from the same descriptor. One the process raised itself (a real
// fault, an abort) keeps the action it had.
// Reads the pending signals off that descriptor.
void DrainTerminationSignals(int fd);

// Ignores SIGPIPE for the process (writes to closed pipes and sockets then fail with EPIPE).
void IgnoreBrokenPipes();

// Before anything is opened: standard descriptors 0 to 2 that a launcher left closed are opened on
// /dev/null, so that no descriptor the engine opens takes their numbers (one taken as number 2 would
// be closed when the start-up handle is let go). Nothing to do on Windows.
void FillClosedStandardDescriptors();

}  // namespace platform
