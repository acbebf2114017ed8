// The virtual MIDI service's log file and input FIFO on Linux. See midi_virtual_io.h.
//
// The FIFO is created when missing and opened for reading and writing for the life of the service,
// which keeps it usable while writers come and go. The MIDI input thread ("tovu-midi-in") polls it
// beside a wake event that StopInputReader sets before joining it.
#include "platform/midi_virtual_io.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/event.h"

namespace platform::virtual_midi {

struct InputReader {
  int fifoFd = -1;
  InputLines* lines = nullptr;
  Event wake;
  std::thread thread;
};

namespace {

// The MIDI input thread: reads FIFO bytes until StopInputReader sets the wake event.
void ReadInput(InputReader* r) {
  char chunk[4096];
  pollfd fds[2] = {{r->fifoFd, POLLIN, 0}, {r->wake.handle, POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents != 0) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return;
    if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
    ssize_t got;
    while ((got = read(r->fifoFd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0) InputLinesTake(*r->lines, chunk, static_cast<size_t>(got));
    }
    // The FIFO is open for writing too, so it never reports end of file; if it ever does, stop
    // reading rather than spin.
    if (got == 0) return;
  }
}

// Creates the FIFO if missing and opens it. -1 when there is no usable FIFO.
int OpenFifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "tovu: cannot create MIDI input FIFO %s: %s\n", path.c_str(), std::strerror(errno));
    return -1;
  }
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
    std::fprintf(stderr, "tovu: %s is not a usable MIDI input FIFO\n", path.c_str());
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

LogFile OpenLog(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) std::fprintf(stderr, "tovu: cannot open MIDI log %s: %s\n", path.c_str(), std::strerror(errno));
  return fd < 0 ? kNoLog : fd;
}

void WriteLog(LogFile log, const char* data, size_t size) {
  int fd = static_cast<int>(log);
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk or a bad file: the log is best effort
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void CloseLog(LogFile log) {
  if (log != kNoLog) close(static_cast<int>(log));
}

InputReader* StartInputReader(const std::string& path, InputLines* lines) {
  int fd = OpenFifo(path);
  if (fd < 0) return nullptr;
  auto r = std::make_unique<InputReader>();
  r->fifoFd = fd;
  r->lines = lines;
  if (!EventCreate(&r->wake)) {
    close(fd);
    return nullptr;
  }
  try {
    r->thread = std::thread(ReadInput, r.get());
    pthread_setname_np(r->thread.native_handle(), "tovu-midi-in");
  } catch (const std::system_error&) {
    // No thread to read it: no input arrives, as without a FIFO.
    EventDestroy(&r->wake);
    close(fd);
    return nullptr;
  }
  return r.release();
}

void StopInputReader(InputReader* r) {
  if (!r) return;
  EventSet(&r->wake);
  r->thread.join();
  EventDestroy(&r->wake);
  close(r->fifoFd);
  delete r;
}

}  // namespace platform::virtual_midi
