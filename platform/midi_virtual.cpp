// The virtual MIDI service: devices of our own for tests, benchmarks and the demo.
//
// Outputs write every open, close and message to an optional log file and an optional in-process
// capture (midi_virtual_log.cpp). Inputs take lines from an optional FIFO, read by the MIDI input
// thread of this file, or bytes injected in process (midi.cpp's VirtualInject); both reach the
// engine through the input path every service shares (midi_common's Deliver), while the input is
// open and started. The devices' records, handles, opens, closes and starts are midi_common's; what
// is the virtual service's own is the log, the FIFO and the opens it is told to refuse.
//
// Threads: Start and Stop on the main thread while nobody else uses the layer. The MIDI input thread
// ("tovu-midi-in") reads the FIFO from Start until Stop wakes it through `wake` and joins it; it
// delivers with DeliverNow, whose locking midi_common.h describes. Sends and the log: any thread,
// under the output's mutex.
#include "platform/midi_virtual.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/midi_virtual_log.h"

namespace platform::virtual_midi {
namespace {

using midi_common::InDevice;
using midi_common::MidiOps;
using midi_common::MidiServiceState;

// A FIFO line: the input id and up to kMaxLineBytes two-digit bytes, with some slack for spacing.
constexpr size_t kMaxLineChars = 3 * kMaxLineBytes + 64;

struct Service {
  std::vector<uint32_t> failOut;  // output device ids whose open returns 4
  std::vector<uint32_t> failIn;
  int logFd = -1;
  int fifoFd = -1;
  InDevice* inputs = nullptr;  // the state's input records, for the input thread
  uint32_t inCount = 0;
  Event wake;
  std::thread reader;
};

Service& Own(MidiServiceState& s) { return *static_cast<Service*>(s.own); }

bool Listed(const std::vector<uint32_t>& ids, uint32_t deviceId) {
  return std::find(ids.begin(), ids.end(), deviceId) != ids.end();
}

// ---- The FIFO ----

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Parses `<input id> <byte> <byte> ...` (bytes as two hex digits, separated by blanks) into `out`,
// which holds `capacity` bytes. False for anything else.
bool ParseLine(const char* text, size_t length, uint32_t* inputId, uint8_t* out, size_t capacity,
               size_t* count) {
  size_t i = 0;
  while (i < length && IsSpace(text[i])) ++i;
  uint32_t id = 0;
  size_t digits = 0;
  while (i < length && text[i] >= '0' && text[i] <= '9') {
    if (++digits > 9) return false;
    id = id * 10 + static_cast<uint32_t>(text[i] - '0');
    ++i;
  }
  if (digits == 0) return false;
  size_t n = 0;
  for (;;) {
    size_t before = i;
    while (i < length && IsSpace(text[i])) ++i;
    if (i == length) break;
    if (i == before || i + 1 >= length || n == capacity) return false;
    int high = HexDigit(text[i]);
    int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out[n++] = static_cast<uint8_t>(high << 4 | low);
    i += 2;
  }
  if (n == 0) return false;
  *inputId = id;
  *count = n;
  return true;
}

// The MIDI input thread: reads FIFO lines until Stop sets the wake event.
void ReadInput(Service* s) {
  std::unique_ptr<char[]> line(new char[kMaxLineChars]);
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[kMaxLineBytes]);
  size_t used = 0;
  bool skipping = false;  // the current line is too long: ignore it up to its newline
  char chunk[4096];
  pollfd fds[2] = {{s->fifoFd, POLLIN, 0}, {s->wake.fd, POLLIN, 0}};
  for (;;) {
    int r = poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || fds[1].revents != 0) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return;
    if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
    ssize_t n;
    while ((n = read(s->fifoFd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
      for (ssize_t k = 0; k < n; ++k) {
        char c = chunk[k];
        if (c == '\n') {
          uint32_t inputId;
          size_t count;
          if (!skipping && ParseLine(line.get(), used, &inputId, bytes.get(), kMaxLineBytes, &count) &&
              inputId < s->inCount) {
            midi_common::DeliverNow(s->inputs[inputId], bytes.get(), count);
          }
          used = 0;
          skipping = false;
        } else if (!skipping) {
          if (used < kMaxLineChars) {
            line[used++] = c;
          } else {
            skipping = true;
          }
        }
      }
    }
    // The FIFO is open for writing too, so it never reports end of file; if it ever does, stop
    // reading rather than spin.
    if (n == 0) return;
  }
}

// Creates the FIFO if missing and opens it for the life of the service. Opening it for reading
// and writing keeps it usable while writers come and go. -1 when there is no usable FIFO.
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

// ---- Operations ----

bool Stop(MidiServiceState& state) {
  Service* s = &Own(state);
  if (s->reader.joinable()) {
    EventSet(&s->wake);
    s->reader.join();
  }
  if (s->wake.fd >= 0) EventDestroy(&s->wake);
  if (s->fifoFd >= 0) close(s->fifoFd);
  midi_common::CloseAll(state, /*inputsFirst=*/true);
  if (s->logFd >= 0) close(s->logFd);
  delete s;
  return true;
}

int OutOpen(MidiServiceState& s, uint32_t id) { return Listed(Own(s).failOut, id) ? kMidiAllocated : kMidiOk; }

int InOpen(MidiServiceState& s, uint32_t id) { return Listed(Own(s).failIn, id) ? kMidiAllocated : kMidiOk; }

int Send(MidiServiceState& s, uint32_t id, const uint8_t* bytes, uint32_t length) {
  return LogEvent(Own(s).logFd, VirtualMidiEvent::Data, false, id, bytes, length);
}

void OpenOrClose(MidiServiceState& s, VirtualMidiEvent::Kind kind, bool input, uint32_t id) {
  LogEvent(Own(s).logFd, kind, input, id, nullptr, 0);
}

const MidiOps kOps = {
    MidiService::Virtual, Stop, MonotonicNs, OutOpen, nullptr, Send, InOpen, nullptr, OpenOrClose,
};

}  // namespace

void Start(MidiServiceState& state, const VirtualMidiConfig& config) {
  auto s = std::make_unique<Service>();
  s->failOut = config.failOut;
  s->failIn = config.failIn;
  if (!config.logPath.empty()) {
    s->logFd = open(config.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (s->logFd < 0) {
      std::fprintf(stderr, "tovu: cannot open MIDI log %s: %s\n", config.logPath.c_str(), std::strerror(errno));
    }
  }
  Service* own = s.release();
  midi_common::MakeDevices(state, kOps, config.outputs, config.inputs, own);
  own->inputs = state.inputs.get();
  own->inCount = state.inCount;
  if (!config.inputFifo.empty()) {
    own->fifoFd = OpenFifo(config.inputFifo);
    if (own->fifoFd >= 0 && EventCreate(&own->wake)) {
      try {
        own->reader = std::thread(ReadInput, own);
        pthread_setname_np(own->reader.native_handle(), "tovu-midi-in");
      } catch (const std::system_error&) {
        // No thread to read it: no input arrives, as without a FIFO.
      }
    }
  }
}

}  // namespace platform::virtual_midi
