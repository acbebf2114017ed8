// Processes, the single-instance guard, the start-up handle and priorities on Linux. See process.h
// and process_posix.h.
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/event.h"
#include "platform/posix/process_posix.h"

namespace platform {

std::string BusSocketPath() {
  if (const char* p = getenv("TOVU_ENGINE_SOCKET"); p && *p) return p;
  if (const char* r = getenv("XDG_RUNTIME_DIR"); r && *r) return std::string(r) + "/TovuEngine.sock";
  return "/tmp/tovu-" + std::to_string(getuid()) + "/TovuEngine.sock";
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a missing directory and its missing parents with mode 0700.
static void MakeDirectories(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) == 0) return;
  std::string parent = DirectoryOf(dir);
  if (parent != dir) MakeDirectories(parent);
  mkdir(dir.c_str(), 0700);
}

bool DirectoryIsPrivate(const std::string& dir) {
  // The directory itself, never what a link of that name points at: whoever can re-point the link
  // could move the engine's socket out from under its clients.
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
  close(fd);
  return ok;
}

bool EnsurePrivateDirectory(const std::string& dir) {
  // Missing parents are made too, as a test may point the socket anywhere. Whoever made the
  // directory (we or someone racing us), it is judged as found.
  MakeDirectories(dir);
  return DirectoryIsPrivate(dir);
}

static void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

void ReleaseStartupHandle() {
  // /dev/null takes the descriptor's place, so that nothing opened later can become descriptor 2.
  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull < 0) {
    close(2);
    return;
  }
  if (devnull != 2) {
    dup2(devnull, 2);  // closes the start-up handle; the new descriptor 2 is not close-on-exec
    close(devnull);
  }
}

namespace {

std::string LockPathFor(const std::string& socketPath) {
  return DirectoryOf(socketPath) + "/WN7WendleCreateWinSem.lock";
}

constexpr int kGuardPollMs = 20;

}  // namespace

int InstanceGuardAcquire(const std::string& socketPath) {
  std::string dir = DirectoryOf(socketPath);
  if (!EnsurePrivateDirectory(dir)) return -1;
  int fd = open(LockPathFor(socketPath).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  // The running engine holds the lock for its whole life: a starting engine that finds it held
  // waits while that engine is setting up or ending, and stops waiting once its path answers.
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      int error = errno;
      close(fd);
      errno = error;
      return -1;
    }
    if (BusPathAnswers(socketPath)) {
      close(fd);
      return kInstanceRunning;
    }
    SleepMs(kGuardPollMs);
  }
  return fd;
}

void ReleaseEngineInstance(OsHandle fd) {
  if (fd < 0) return;
  flock(fd, LOCK_UN);
  close(fd);
}

bool InstanceGuardRenew(const std::string& socketPath, int* guard) {
  std::string path = LockPathFor(socketPath);
  struct stat held, there;
  if (*guard >= 0 && fstat(*guard, &held) == 0 && stat(path.c_str(), &there) == 0 && held.st_dev == there.st_dev &&
      held.st_ino == there.st_ino)
    return true;  // the file we hold is still the one a starting engine locks
  if (!EnsurePrivateDirectory(DirectoryOf(socketPath))) return false;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    close(fd);
    return false;
  }
  ReleaseEngineInstance(*guard);
  *guard = fd;
  return true;
}

static bool FillAddress(const std::string& path, sockaddr_un* addr) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  memcpy(addr->sun_path, path.c_str(), path.size());
  return true;
}

bool BusPathAnswers(const std::string& socketPath) {
  sockaddr_un addr;
  if (!FillAddress(socketPath, &addr)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

int BusListen(const std::string& socketPath) {
  sockaddr_un addr;
  if (!FillAddress(socketPath, &addr)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (!EnsurePrivateDirectory(DirectoryOf(socketPath))) {
    errno = EACCES;
    return -1;
  }
  unlink(socketPath.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  mode_t old = umask(0177);
  int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (bound != 0 || chmod(socketPath.c_str(), 0600) != 0 || listen(fd, 128) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

void ShowMessage(const char* caption, const char* text) {
  std::string line = std::string(caption) + ": " + text + "\n";
  ssize_t n = write(2, line.data(), line.size());
  (void)n;
}

OsHandle OpenProcessHandle(int32_t pid) {
  if (pid <= 0) return kNoHandle;
  long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
}

void CloseOsHandle(OsHandle fd) {
  if (fd >= 0) close(fd);
}

int WaitWakeOrStartupHandle(Event* wake) {
  if (fcntl(2, F_GETFD) < 0) return -1;
  for (;;) {
    pollfd p[2] = {{wake->handle, POLLIN, 0}, {2, 0, 0}};
    int r = poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    // The wake event comes first, as the lower index does in a wait on several handles: the
    // launcher closes its end of the start-up pipe as soon as its registration is answered, so a
    // watcher that runs late finds both ready, and the registration must win.
    if (p[0].revents & POLLIN) {
      EventConsume(wake);
      return 0;
    }
    if (p[1].revents & POLLNVAL) return -1;
    if (p[1].revents & (POLLHUP | POLLERR)) return 1;
  }
}

int WaitAny(Event* wake, const OsHandle* fds, size_t count) {
  std::vector<pollfd> p(count + 1);
  p[0] = {wake->handle, POLLIN, 0};
  for (size_t i = 0; i < count; ++i) p[i + 1] = {fds[i], POLLIN, 0};
  for (;;) {
    int r = poll(p.data(), p.size(), -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (p[0].revents & POLLIN) {
      EventConsume(wake);
      return 0;
    }
    for (size_t i = 1; i < p.size(); ++i)
      if (p[i].revents) return static_cast<int>(i);
  }
}

static void RaiseProcessPriority() {
  setpriority(PRIO_PROCESS, 0, -10);  // when not permitted, the priority we have stays
}

void RaiseThreadPriority() {
  sched_param sp{};
  sp.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0) return;
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10);
}

void SetThreadIdlePriority() {
  sched_param sp{};
  pthread_setschedparam(pthread_self(), SCHED_IDLE, &sp);
}

namespace {

const int kFaultSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
struct sigaction g_faultDefaults[NSIG];  // the action each fault signal had before

// A fault signal: sent by another process (kill, sigqueue, tgkill), it asks the engine to close, so
// it is handed on as SIGTERM, which every thread blocks and the message loop reads. Raised by the
// process itself (si_code above 0 for a fault the kernel found; si_pid our own for abort and raise),
// the action the signal had before takes over: returning from a fault runs the faulting instruction
// again, and a raised signal is raised once more (it stays blocked until this handler returns).
void OnFaultSignal(int sig, siginfo_t* info, void*) {
  int saved = errno;
  if (info && info->si_code <= 0 && info->si_pid != getpid()) {
    kill(getpid(), SIGTERM);
    errno = saved;
    return;
  }
  sigaction(sig, &g_faultDefaults[sig], nullptr);
  if (!info || info->si_code <= 0) raise(sig);
  errno = saved;
}

void CloseOnSentFaults() {
  for (int sig : kFaultSignals) {
    struct sigaction action {};
    action.sa_sigaction = OnFaultSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, &g_faultDefaults[sig]);
  }
}

}  // namespace

int BlockTerminationSignals() {
  // Every signal another process can send whose default action would end the engine, leaving its
  // notes sounding and its socket behind. Signals the kernel raises for a fault of the process itself
  // cannot be blocked (a faulting thread would not survive it): they get a handler that tells a sent
  // one from a real one. SIGPIPE is ignored instead.
  static const int kEnding[] = {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM,
#ifdef SIGSTKFLT
                                SIGSTKFLT,
#endif
#ifdef SIGPWR
                                SIGPWR,
#endif
                                SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO};
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEnding) sigaddset(&set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd >= 0) CloseOnSentFaults();
  return fd;
}

void DrainTerminationSignals(int fd) {
  signalfd_siginfo info;
  while (read(fd, &info, sizeof info) > 0) {
  }
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

static void FillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open returns the lowest free number, which is this one.
    int devnull = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (devnull >= 0 && devnull != fd) close(devnull);
  }
}

OsHandle PrepareEngineProcess() {
  FillClosedStandardDescriptors();
  IgnoreBrokenPipes();
  RaiseDescriptorLimit();  // each client window costs a descriptor or two
  int terminationFd = BlockTerminationSignals();
  RaiseProcessPriority();
  RaiseThreadPriority();
  return terminationFd;
}

EngineClaim ClaimEngineInstance() {
  EngineClaim c;
  c.endpoint = BusSocketPath();
  std::string dir = DirectoryOf(c.endpoint);
  if (!EnsurePrivateDirectory(dir)) {
    c.claim = Claim::kNotPrivate;
    return c;
  }
  int guard = InstanceGuardAcquire(c.endpoint);
  if (guard == kInstanceRunning) {
    c.claim = Claim::kRunning;
    return c;
  }
  if (guard < 0) {
    c.claim = Claim::kNoGuard;
    c.reason = strerror(errno);
    return c;
  }
  if (BusPathAnswers(c.endpoint)) {
    ReleaseEngineInstance(guard);
    c.claim = Claim::kRunning;
    return c;
  }
  int listener = BusListen(c.endpoint);
  if (listener < 0) {
    c.reason = strerror(errno);
    ReleaseEngineInstance(guard);
    c.claim = Claim::kNoEndpoint;
    return c;
  }
  c.claim = Claim::kClaimed;
  c.guard = guard;
  c.listener = listener;
  return c;
}

}  // namespace platform
