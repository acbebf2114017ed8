// Client-side bus sockets and the engine start on Linux. See bus_client.h and engine_start.h.
#include "platform/posix/bus_client.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/posix/process_posix.h"
#include "platform/process.h"

namespace platform {

int BusConnect(const std::string& socketPath) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, socketPath.c_str(), socketPath.size());
  std::string dir = DirectoryOf(socketPath);
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return -1;  // no directory: no engine yet (a link is refused below)
  if (!DirectoryIsPrivate(dir)) return kBusRefused;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
    close(fd);
    return kBusRefused;
  }
  return fd;
}

std::string EngineProgramPath() {
  if (const char* p = getenv("TOVU_ENGINE_BINARY"); p && *p) return p;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = 0;
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    std::string beside = dir + "/tovu-engine";
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
  return "tovu-engine";
}

OsHandle StartEngineProcess(const std::string& enginePath) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  pid_t child = fork();
  if (child < 0) {
    close(p[0]);
    close(p[1]);
    return -1;
  }
  if (child == 0) {
    // Detach: the engine is the grandchild, so it never becomes a zombie of ours.
    setsid();
    if (fork() != 0) _exit(0);
    dup2(p[1], 2);
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
    }
    execlp(enginePath.c_str(), enginePath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[1]);
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return p[0];
}

bool WriteAll(int fd, const void* bytes, size_t count) {
  const char* b = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t n = send(fd, b, count, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    b += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

long ReadSome(int fd, void* buffer, size_t capacity, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) return 0;
    break;
  }
  for (;;) {
    ssize_t n = recv(fd, buffer, capacity, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n <= 0) return -1;
    return n;
  }
}

bool ReadPipeText(OsHandle fd, int timeoutMs, std::string* text) {
  if (fd < 0) return true;
  pollfd p{fd, POLLIN, 0};
  while (text->size() < 4096) {
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buffer[512];
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, 4096 - text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    text->append(buffer, static_cast<size_t>(n));
    timeoutMs = 0;
  }
  return false;
}

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

int32_t ProcessId() { return static_cast<int32_t>(getpid()); }

}  // namespace platform
