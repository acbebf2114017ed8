// The virtual MIDI service on Windows: devices of our own for tests, benchmarks and the demo, with
// the same devices, handles, log lines and input lines as on Linux.
//
// Outputs write every open, close and message to an optional log file (one line per event, one
// WriteFile per line, opened for appending only, so that lines of other writers are never
// overwritten) and to an optional in-process capture; `<ns>` is QueryPerformanceCounter in
// nanoseconds. Inputs take lines from an optional named pipe (TOVU_VIRTUAL_INPUT, `\\.\pipe\...`)
// that the MIDI input thread of this file serves for the engine's whole life, one writer at a time,
// writers coming and going; or bytes injected in process.
//
// The pipe's life, on the input thread:
//
//   listening (ConnectNamedPipe) --a writer connects--> reading lines --the writer closes-->
//   disconnected (a partial last line is dropped) --> listening ...; the wake event ends any state.
//
// Threads: Start and Stop on the main thread while nobody else uses the layer. Opens and closes on
// the main thread. Sends on any thread: each output has a mutex that serialises its sends against
// each other and against its open and close. Input callbacks run on the MIDI input thread (or on
// the thread that injects) with the input's callback mutex held, so that stop and close can wait
// for a callback in progress; the input's state mutex is never held while the callback runs, so the
// callback may queue buffers and send.
//
// Handles: bits 0-11 device id + 1, bit 12 set for inputs, bits 13-31 a serial number that is never
// reset, so a handle from before a close (or before a restart of the service) stays invalid.
#include "platform/midi_virtual.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/event.h"
#include "platform/midi.h"

namespace platform {
namespace virtual_midi {
namespace {

constexpr uint32_t kIndexMask = 0xFFF;
constexpr uint32_t kInputBit = 1u << 12;
constexpr uint32_t kSerialShift = 13;
constexpr uint32_t kSerialMask = (1u << (32 - kSerialShift)) - 1;
static_assert(kMaxDevices <= kIndexMask, "device ids must fit the handle");

// Room for a log line without its bytes: ns (20 digits and a sign), the event word, the device.
constexpr size_t kLineHead = 64;
// An input line: the input id and up to kMaxLineBytes two-digit bytes, with some slack for spacing.
constexpr size_t kMaxLineChars = 3 * kMaxLineBytes + 64;

struct OutDevice {
  std::mutex mutex;  // serialises sends, open and close
  MidiHandle handle = 0;
};

struct InDevice {
  std::mutex callbackMutex;                       // held while the callback runs
  std::atomic<std::thread::id> callbackThread{};  // the thread running the callback, if any
  std::mutex mutex;                               // guards the fields below
  MidiHandle handle = 0;
  bool started = false;
  MidiInCallback callback = nullptr;
  uintptr_t instance = 0;
  int64_t startNs = 0;
  std::deque<MidiInBuffer*> buffers;
};

struct Service {
  VirtualMidiConfig config;
  uint32_t outCount = 0;
  uint32_t inCount = 0;
  std::unique_ptr<OutDevice[]> outputs;
  std::unique_ptr<InDevice[]> inputs;
  HANDLE log = INVALID_HANDLE_VALUE;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  Event wake;
  std::thread reader;
};

struct Capture {
  std::atomic<bool> on{false};
  std::mutex mutex;
  std::vector<VirtualMidiEvent> events;
};

Service* g_service = nullptr;  // set and cleared by Start and Stop only
std::atomic<uint32_t> g_serial{0};
Capture g_capture;

MidiHandle NewHandle(uint32_t deviceId, bool input) {
  uint32_t serial = (g_serial.fetch_add(1, std::memory_order_relaxed) + 1) & kSerialMask;
  return (serial << kSerialShift) | (input ? kInputBit : 0) | (deviceId + 1);
}

OutDevice* FindOut(MidiHandle handle) {
  Service* s = g_service;
  if (!s || (handle & kInputBit)) return nullptr;
  uint32_t index = handle & kIndexMask;
  if (index == 0 || index > s->outCount) return nullptr;
  return &s->outputs[index - 1];
}

InDevice* FindIn(MidiHandle handle) {
  Service* s = g_service;
  if (!s || !(handle & kInputBit)) return nullptr;
  uint32_t index = handle & kIndexMask;
  if (index == 0 || index > s->inCount) return nullptr;
  return &s->inputs[index - 1];
}

uint32_t DeviceIdOf(MidiHandle handle) { return (handle & kIndexMask) - 1; }

// ---- Log lines ----

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
  p = PutText(p, kind == VirtualMidiEvent::Open    ? " open "
                 : kind == VirtualMidiEvent::Close ? " close "
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

void WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    DWORD n = 0;
    if (!WriteFile(file, data, static_cast<DWORD>(size), &n, nullptr) || n == 0)
      return;  // a full disk or a bad file: the log is best effort
    data += n;
    size -= n;
  }
}

// Logs and captures one event. Called with the device's mutex held, so that the events of one
// device appear in the order they happened. Without a log and capture it does nothing at all.
int Record(Service& s, VirtualMidiEvent::Kind kind, bool input, uint32_t device,
           const uint8_t* bytes, size_t count) {
  bool capture = g_capture.on.load(std::memory_order_relaxed);
  if (s.log == INVALID_HANDLE_VALUE && !capture) return kMidiOk;
  int64_t ns = MonotonicNs();
  if (s.log != INVALID_HANDLE_VALUE) {
    char small[kLineHead + 3 * 3 + 1];
    if (count <= 3) {
      size_t length = FormatLine(small, ns, kind, input, device, bytes, count);
      small[length++] = '\n';
      WriteAll(s.log, small, length);
    } else {
      std::unique_ptr<char[]> line(new (std::nothrow) char[kLineHead + 3 * count + 1]);
      if (!line) return kMidiNoMemory;
      size_t length = FormatLine(line.get(), ns, kind, input, device, bytes, count);
      line[length++] = '\n';
      WriteAll(s.log, line.get(), length);
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

// ---- Configuration ----

bool AllDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// A count (digits only, cut to kMaxDevices) gives numbered names; anything else is names split at
// '|'. Unset or empty gives the default count.
std::vector<std::string> DeviceNames(const char* value, const char* prefix, uint32_t defaultCount) {
  std::string text = value ? value : "";
  std::string trimmed = Trim(text);
  std::vector<std::string> names;
  if (!trimmed.empty() && !AllDigits(trimmed)) {
    size_t begin = 0;
    while (names.size() < kMaxDevices) {
      size_t bar = text.find('|', begin);
      names.push_back(
          text.substr(begin, bar == std::string::npos ? std::string::npos : bar - begin));
      if (bar == std::string::npos) break;
      begin = bar + 1;
    }
    return names;
  }
  uint32_t count = defaultCount;
  if (!trimmed.empty()) {
    count = 0;
    for (char c : trimmed) {
      count = count * 10 + static_cast<uint32_t>(c - '0');
      if (count > kMaxDevices) {
        count = kMaxDevices;
        break;
      }
    }
  }
  for (uint32_t i = 0; i < count; ++i) names.push_back(std::string(prefix) + std::to_string(i + 1));
  return names;
}

// "out:1,in:0": entries separated by commas; anything that is not `out:N` or `in:N` is ignored.
void ParseFailOpen(const char* value, std::vector<uint32_t>* failOut,
                   std::vector<uint32_t>* failIn) {
  std::string text = value ? value : "";
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t comma = text.find(',', begin);
    std::string entry =
        Trim(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    begin = comma == std::string::npos ? text.size() + 1 : comma + 1;
    size_t colon = entry.find(':');
    if (colon == std::string::npos) continue;
    std::string direction = Trim(entry.substr(0, colon));
    std::string number = Trim(entry.substr(colon + 1));
    if (!AllDigits(number) || number.size() > 9) continue;
    uint32_t id = static_cast<uint32_t>(std::strtoul(number.c_str(), nullptr, 10));
    if (direction == "out") {
      failOut->push_back(id);
    } else if (direction == "in") {
      failIn->push_back(id);
    }
  }
}

// ---- Input ----

// Hands one message to input `inputId` if it is open and started. The message is already checked:
// 1 to 3 bytes, or a system-exclusive message of any length (first byte 0xF0).
bool Deliver(Service& s, uint32_t inputId, const uint8_t* bytes, size_t count) {
  InDevice& d = s.inputs[inputId];
  std::thread::id self = std::this_thread::get_id();
  if (d.callbackThread.load(std::memory_order_acquire) == self)
    return false;  // from its own callback
  std::lock_guard<std::mutex> running(d.callbackMutex);
  MidiInCallback callback;
  uintptr_t instance;
  MidiHandle handle;
  int64_t startNs;
  MidiInBuffer* buffer = nullptr;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.handle == 0 || !d.started) return false;
    callback = d.callback;
    instance = d.instance;
    handle = d.handle;
    startNs = d.startNs;
    if (!callback) return true;  // opened without a callback: accepted, and goes nowhere
    if (bytes[0] == 0xF0) {
      if (d.buffers.empty()) return true;  // no buffer queued: dropped
      buffer = d.buffers.front();
      d.buffers.pop_front();
    }
  }
  uintptr_t ms = static_cast<uintptr_t>((MonotonicNs() - startNs) / 1000000);
  d.callbackThread.store(self, std::memory_order_release);
  if (buffer) {
    uint32_t length = static_cast<uint32_t>(std::min<size_t>(count, buffer->length));
    if (length > 0) std::memcpy(buffer->data, bytes, length);
    buffer->bytesRecorded = length;
    callback(handle, kMimLongData, instance, reinterpret_cast<uintptr_t>(buffer), ms);
  } else {
    uint32_t word = bytes[0];
    if (count > 1) word |= static_cast<uint32_t>(bytes[1]) << 8;
    if (count > 2) word |= static_cast<uint32_t>(bytes[2]) << 16;
    callback(handle, kMimData, instance, word, ms);
  }
  d.callbackThread.store(std::thread::id(), std::memory_order_release);
  return true;
}

bool Deliverable(const Service& s, uint32_t inputId, const uint8_t* bytes, size_t count) {
  if (inputId >= s.inCount || !bytes || count == 0) return false;
  return bytes[0] == 0xF0 || count <= 3;
}

// Returns once no callback of `d` is running, unless the caller is that callback.
void WaitForCallback(InDevice& d) {
  if (d.callbackThread.load(std::memory_order_acquire) == std::this_thread::get_id()) return;
  std::lock_guard<std::mutex> wait(d.callbackMutex);
}

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

// Takes the bytes of one read into the line being gathered and delivers each complete line.
struct LineReader {
  std::unique_ptr<char[]> line{new char[kMaxLineChars]};
  std::unique_ptr<uint8_t[]> bytes{new uint8_t[kMaxLineBytes]};
  size_t used = 0;
  bool skipping = false;  // the current line is too long: ignore it up to its newline
};

void TakeBytes(Service* s, LineReader& r, const char* chunk, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    char c = chunk[k];
    if (c == '\n') {
      uint32_t inputId;
      size_t count;
      if (!r.skipping && ParseLine(r.line.get(), r.used, &inputId, r.bytes.get(), kMaxLineBytes, &count) &&
          Deliverable(*s, inputId, r.bytes.get(), count)) {
        Deliver(*s, inputId, r.bytes.get(), count);
      }
      r.used = 0;
      r.skipping = false;
    } else if (!r.skipping) {
      if (r.used < kMaxLineChars) {
        r.line[r.used++] = c;
      } else {
        r.skipping = true;
      }
    }
  }
}

// Waits for an overlapped operation on the pipe or the wake event. True when the operation ended
// (its byte count in *n, *ok whether it succeeded); false when the service stops.
bool Await(Service* s, OVERLAPPED* o, DWORD* n, bool* ok) {
  HANDLE handles[2] = {reinterpret_cast<HANDLE>(static_cast<intptr_t>(s->wake.fd)), o->hEvent};
  DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (r != WAIT_OBJECT_0 + 1) {
    CancelIo(s->pipe);
    GetOverlappedResult(s->pipe, o, n, TRUE);
    return false;
  }
  *ok = GetOverlappedResult(s->pipe, o, n, FALSE) != 0;
  return true;
}

// The MIDI input thread: serves the named pipe until Stop sets the wake event.
void ReadInput(Service* s) {
  LineReader r;
  char chunk[4096];
  OVERLAPPED o{};
  o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!o.hEvent) return;
  for (;;) {
    // Listening for a writer.
    ResetEvent(o.hEvent);
    bool connected = ConnectNamedPipe(s->pipe, &o) != 0;
    if (!connected) {
      DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_IO_PENDING) {
        DWORD n;
        if (!Await(s, &o, &n, &connected)) break;
      }
    }
    // Reading its lines until it closes.
    while (connected) {
      ResetEvent(o.hEvent);
      DWORD n = 0;
      bool ok = ReadFile(s->pipe, chunk, sizeof chunk, &n, &o) != 0;
      if (!ok && GetLastError() == ERROR_IO_PENDING && !Await(s, &o, &n, &ok)) {
        CloseHandle(o.hEvent);
        return;
      }
      if (!ok && GetLastError() != ERROR_MORE_DATA) break;
      TakeBytes(s, r, chunk, n);
    }
    // Disconnected: a partial last line is dropped, and the next writer starts afresh.
    DisconnectNamedPipe(s->pipe);
    r.used = 0;
    r.skipping = false;
    if (WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<intptr_t>(s->wake.fd)), 0) == WAIT_OBJECT_0) break;
    if (!connected) Sleep(10);  // a failed listen: never spin on it
  }
  CloseHandle(o.hEvent);
}

// Creates the named pipe for the life of the service. INVALID_HANDLE_VALUE when it cannot be made.
HANDLE OpenPipe(const std::string& name) {
  HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                 64 * 1024, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE)
    std::fprintf(stderr, "tovu: cannot create MIDI input pipe %s (error %lu)\n", name.c_str(), GetLastError());
  return pipe;
}

int CopyName(const std::vector<std::string>& names, uint32_t count, uint32_t deviceId, char* name,
             size_t capacity) {
  if (deviceId >= count) return kMidiBadDeviceId;
  if (!name || capacity == 0) return kMidiError;
  size_t length = std::min(names[deviceId].size(), capacity - 1);
  std::memcpy(name, names[deviceId].data(), length);
  name[length] = '\0';
  return kMidiOk;
}

bool Listed(const std::vector<uint32_t>& ids, uint32_t deviceId) {
  return std::find(ids.begin(), ids.end(), deviceId) != ids.end();
}

}  // namespace

// ---- Service ----

void Start(const VirtualMidiConfig& config) {
  Stop();
  auto s = std::make_unique<Service>();
  s->config = config;
  s->outCount = static_cast<uint32_t>(std::min<size_t>(config.outputs.size(), kMaxDevices));
  s->inCount = static_cast<uint32_t>(std::min<size_t>(config.inputs.size(), kMaxDevices));
  s->outputs = std::make_unique<OutDevice[]>(s->outCount);
  s->inputs = std::make_unique<InDevice[]>(s->inCount);
  if (!config.logPath.empty()) {
    s->log = CreateFileA(config.logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s->log == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "tovu: cannot open MIDI log %s (error %lu)\n", config.logPath.c_str(), GetLastError());
    }
  }
  if (!config.inputFifo.empty()) {
    s->pipe = OpenPipe(config.inputFifo);
    if (s->pipe != INVALID_HANDLE_VALUE && EventCreate(&s->wake)) {
      try {
        s->reader = std::thread(ReadInput, s.get());
      } catch (const std::system_error&) {
        // No thread to read it: no input arrives, as without a pipe.
      }
    }
  }
  g_service = s.release();
}

void Stop() {
  Service* s = g_service;
  if (!s) return;
  if (s->reader.joinable()) {
    EventSet(&s->wake);
    s->reader.join();
  }
  if (s->wake.fd >= 0) EventDestroy(&s->wake);
  if (s->pipe != INVALID_HANDLE_VALUE) CloseHandle(s->pipe);
  for (uint32_t i = 0; i < s->inCount; ++i) {
    InDevice& d = s->inputs[i];
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      if (d.handle == 0) continue;
      d.handle = 0;
      d.started = false;
      d.buffers.clear();
      Record(*s, VirtualMidiEvent::Close, true, i, nullptr, 0);
    }
    WaitForCallback(d);
  }
  for (uint32_t i = 0; i < s->outCount; ++i) {
    OutDevice& d = s->outputs[i];
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.handle == 0) continue;
    d.handle = 0;
    Record(*s, VirtualMidiEvent::Close, false, i, nullptr, 0);
  }
  if (s->log != INVALID_HANDLE_VALUE) CloseHandle(s->log);
  g_service = nullptr;
  delete s;
}

uint32_t OutCount() { return g_service ? g_service->outCount : 0; }
uint32_t InCount() { return g_service ? g_service->inCount : 0; }

int OutName(uint32_t deviceId, char* name, size_t capacity) {
  if (!g_service) return kMidiBadDeviceId;
  return CopyName(g_service->config.outputs, g_service->outCount, deviceId, name, capacity);
}

int InName(uint32_t deviceId, char* name, size_t capacity) {
  if (!g_service) return kMidiBadDeviceId;
  return CopyName(g_service->config.inputs, g_service->inCount, deviceId, name, capacity);
}

// ---- Outputs ----

int OutOpen(uint32_t deviceId, MidiHandle* handle) {
  Service* s = g_service;
  if (!s || deviceId >= s->outCount) return kMidiBadDeviceId;
  if (!handle) return kMidiError;
  if (Listed(s->config.failOut, deviceId)) return kMidiAllocated;
  OutDevice& d = s->outputs[deviceId];
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.handle != 0) return kMidiAllocated;
  d.handle = NewHandle(deviceId, false);
  Record(*s, VirtualMidiEvent::Open, false, deviceId, nullptr, 0);
  *handle = d.handle;
  return kMidiOk;
}

int OutClose(MidiHandle handle) {
  OutDevice* d = FindOut(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle) return kMidiInvalidHandle;
  d->handle = 0;
  Record(*g_service, VirtualMidiEvent::Close, false, DeviceIdOf(handle), nullptr, 0);
  return kMidiOk;
}

int OutShort(MidiHandle handle, uint32_t word) {
  OutDevice* d = FindOut(handle);
  if (!d) return kMidiInvalidHandle;
  uint8_t bytes[3] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                      static_cast<uint8_t>(word >> 16)};
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle) return kMidiInvalidHandle;
  return Record(*g_service, VirtualMidiEvent::Data, false, DeviceIdOf(handle), bytes,
                static_cast<size_t>(ShortMessageLength(bytes[0])));
}

int OutLong(MidiHandle handle, const uint8_t* bytes, uint32_t length) {
  OutDevice* d = FindOut(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle) return kMidiInvalidHandle;
  if (length == 0) return kMidiOk;  // nothing goes out and nothing is logged
  if (!bytes) return kMidiError;
  return Record(*g_service, VirtualMidiEvent::Data, false, DeviceIdOf(handle), bytes, length);
}

// ---- Inputs ----

int InOpen(uint32_t deviceId, MidiInCallback callback, uintptr_t instance, MidiHandle* handle) {
  Service* s = g_service;
  if (!s || deviceId >= s->inCount) return kMidiBadDeviceId;
  if (!handle) return kMidiError;
  if (Listed(s->config.failIn, deviceId)) return kMidiAllocated;
  InDevice& d = s->inputs[deviceId];
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.handle != 0) return kMidiAllocated;
  d.handle = NewHandle(deviceId, true);
  d.started = false;
  d.callback = callback;
  d.instance = instance;
  d.buffers.clear();
  Record(*s, VirtualMidiEvent::Open, true, deviceId, nullptr, 0);
  *handle = d.handle;
  return kMidiOk;
}

int InStart(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle) return kMidiInvalidHandle;
  if (!d->started) {
    d->started = true;
    d->startNs = MonotonicNs();
  }
  return kMidiOk;
}

int InStop(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->handle != handle) return kMidiInvalidHandle;
    d->started = false;
  }
  WaitForCallback(*d);
  return kMidiOk;
}

int InClose(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->handle != handle) return kMidiInvalidHandle;
    d->handle = 0;
    d->started = false;
    d->callback = nullptr;
    d->buffers.clear();
    Record(*g_service, VirtualMidiEvent::Close, true, DeviceIdOf(handle), nullptr, 0);
  }
  WaitForCallback(*d);
  return kMidiOk;
}

int InAddBuffer(MidiHandle handle, MidiInBuffer* buffer) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle) return kMidiInvalidHandle;
  if (!buffer || (!buffer->data && buffer->length > 0)) return kMidiError;
  d->buffers.push_back(buffer);
  return kMidiOk;
}

bool Inject(uint32_t inputId, const uint8_t* bytes, size_t count) {
  Service* s = g_service;
  if (!s || !Deliverable(*s, inputId, bytes, count)) return false;
  return Deliver(*s, inputId, bytes, count);
}

}  // namespace virtual_midi

// ---- Public helpers of the virtual service ----

VirtualMidiConfig VirtualConfigFromEnvironment() {
  VirtualMidiConfig config;
  config.outputs =
      virtual_midi::DeviceNames(std::getenv("TOVU_VIRTUAL_OUTPUTS"), "Virtual Out ", 2);
  config.inputs = virtual_midi::DeviceNames(std::getenv("TOVU_VIRTUAL_INPUTS"), "Virtual In ", 1);
  virtual_midi::ParseFailOpen(std::getenv("TOVU_VIRTUAL_FAIL_OPEN"), &config.failOut,
                              &config.failIn);
  const char* log = std::getenv("TOVU_VIRTUAL_LOG");
  config.logPath = log ? log : "";
  const char* fifo = std::getenv("TOVU_VIRTUAL_INPUT");
  config.inputFifo = fifo ? fifo : "";
  return config;
}

void VirtualCaptureEnable(bool on) {
  virtual_midi::g_capture.on.store(on, std::memory_order_relaxed);
}

std::vector<VirtualMidiEvent> VirtualCaptureTake() {
  std::vector<VirtualMidiEvent> events;
  std::lock_guard<std::mutex> lock(virtual_midi::g_capture.mutex);
  events.swap(virtual_midi::g_capture.events);
  return events;
}

int ShortMessageLength(uint8_t status) {
  if (status < 0xC0) return 3;  // running status (data first) and 0x8n-0xBn
  if (status < 0xE0) return 2;  // program change, channel pressure
  if (status < 0xF0) return 3;  // pitch bend
  if (status == 0xF1 || status == 0xF3) return 2;
  if (status == 0xF2) return 3;
  return 1;
}

std::string FormatVirtualLogLine(const VirtualMidiEvent& event) {
  std::string line(virtual_midi::kLineHead + 3 * event.bytes.size(), '\0');
  size_t length = virtual_midi::FormatLine(line.data(), event.ns, event.kind, event.input,
                                           event.device, event.bytes.data(), event.bytes.size());
  line.resize(length);
  return line;
}

}  // namespace platform
