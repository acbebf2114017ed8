// The virtual outputs' log lines and in-process capture. See midi_virtual_log.h.
#include "platform/midi_virtual_log.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/event.h"
#include "platform/midi_virtual_io.h"

namespace platform {
namespace virtual_midi {
namespace {

// Room for a log line without its bytes: ns (20 digits and a sign), the event word, the device.
constexpr size_t kLineHead = 64;

struct Capture {
  std::atomic<bool> on{false};
  std::mutex mutex;
  std::vector<VirtualMidiEvent> events;
};

Capture g_capture;

char* PutDecimal(char* p, uint64_t value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

char* PutText(char* p, const char* text) {
  while (*text) *p++ = *text++;
  return p;
}

// Writes the line without its newline into `out`, which has room for kLineHead + 3 * count chars.
size_t FormatLine(char* out, int64_t ns, VirtualMidiEvent::Kind kind, bool input, uint32_t device,
                  const uint8_t* bytes, size_t count) {
  static const char kHex[] = "0123456789abcdef";
  char* p = out;
  if (ns < 0) {
    *p++ = '-';
    p = PutDecimal(p, 0 - static_cast<uint64_t>(ns));
  } else {
    p = PutDecimal(p, static_cast<uint64_t>(ns));
  }
  p = PutText(p, kind == VirtualMidiEvent::Open     ? " open "
                 : kind == VirtualMidiEvent::Close  ? " close "
                 : kind == VirtualMidiEvent::Add    ? " add "
                 : kind == VirtualMidiEvent::Remove ? " remove "
                                                    : " data ");
  p = PutText(p, input ? "in" : "out");
  p = PutDecimal(p, device);
  for (size_t i = 0; i < count; ++i) {
    *p++ = ' ';
    *p++ = kHex[bytes[i] >> 4];
    *p++ = kHex[bytes[i] & 0x0F];
  }
  return static_cast<size_t>(p - out);
}

}  // namespace

int LogEvent(LogFile log, VirtualMidiEvent::Kind kind, bool input, uint32_t device, const uint8_t* bytes,
             size_t count) {
  bool capture = g_capture.on.load(std::memory_order_relaxed);
  if (log == kNoLog && !capture) return kMidiOk;
  int64_t ns = MonotonicNs();
  if (log != kNoLog) {
    char small[kLineHead + 3 * 3 + 1];
    if (count <= 3) {
      size_t length = FormatLine(small, ns, kind, input, device, bytes, count);
      small[length++] = '\n';
      WriteLog(log, small, length);
    } else {
      std::unique_ptr<char[]> line(new (std::nothrow) char[kLineHead + 3 * count + 1]);
      if (!line) return kMidiNoMemory;
      size_t length = FormatLine(line.get(), ns, kind, input, device, bytes, count);
      line[length++] = '\n';
      WriteLog(log, line.get(), length);
    }
  }
  if (capture) {
    VirtualMidiEvent event;
    event.ns = ns;
    event.kind = kind;
    event.input = input;
    event.device = device;
    event.bytes.assign(bytes, bytes + count);
    std::lock_guard<std::mutex> lock(g_capture.mutex);
    g_capture.events.push_back(std::move(event));
  }
  return kMidiOk;
}

}  // namespace virtual_midi

void VirtualCaptureEnable(bool on) { virtual_midi::g_capture.on.store(on, std::memory_order_relaxed); }

std::vector<VirtualMidiEvent> VirtualCaptureTake() {
  std::vector<VirtualMidiEvent> events;
  std::lock_guard<std::mutex> lock(virtual_midi::g_capture.mutex);
  events.swap(virtual_midi::g_capture.events);
  return events;
}

std::string FormatVirtualLogLine(const VirtualMidiEvent& event) {
  std::string line(virtual_midi::kLineHead + 3 * event.bytes.size(), '\0');
  size_t length = virtual_midi::FormatLine(line.data(), event.ns, event.kind, event.input, event.device,
                                           event.bytes.data(), event.bytes.size());
  line.resize(length);
  return line;
}

}  // namespace platform
