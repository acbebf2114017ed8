// What only POSIX has among the process calls: private directories, the lock file behind the
// instance guard, the listening socket, signals. The intents in process.h are built from these; the
// bus and Linux-only tests use them directly.
#pragma once

#include <string>

namespace platform {

// True when the directory exists, is not a symbolic link, is owned by this user and gives no access
// to others.
bool DirectoryIsPrivate(const std::string& dir);
// Creates the directory (mode 0700, missing parents too) when missing. False when it cannot be made
// or when it exists but is not private: another user could then plant a socket or hold the lock.
bool EnsurePrivateDirectory(const std::string& dir);

// The instance guard: an exclusive flock on WN7WendleCreateWinSem.lock beside the socket. Returns the
// lock descriptor, kInstanceRunning when another process holds it and the path answers, or -1 when
// the lock file cannot be made (errno says why).
constexpr int kInstanceRunning = -2;
int InstanceGuardAcquire(const std::string& socketPath);
// Keeps the guard when its lock file was removed (a cleaner emptied the directory): a new one is
// made and locked, and *guard then names it. False when another process holds the new one.
bool InstanceGuardRenew(const std::string& socketPath, int* guard);

// Removes a stale socket file, binds and listens (socket mode 0600). Returns the listening
// descriptor, or -1 with errno saying why.
int BusListen(const std::string& socketPath);

// Blocks every signal another process can send whose default would end the process (SIGTERM, SIGINT,
// SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, the real-time signals and the like) for the calling thread and
// the threads it starts afterwards, and returns a descriptor that becomes readable when one arrives
// (-1 when that cannot be made). Call it before any other thread exists.
// It also makes the fault signals (SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS) close
// the engine when another process sent them with kill or sigqueue: such a signal is handed on as a
// SIGTERM to the process, read from the same descriptor. One the process raised itself (a real
// fault, an abort) keeps the action it had.
int BlockTerminationSignals();
// Reads the pending signals off that descriptor.
void DrainTerminationSignals(int fd);

// Ignores SIGPIPE for the process (writes to closed pipes and sockets then fail with EPIPE).
void IgnoreBrokenPipes();

}  // namespace platform
