// The virtual MIDI service: devices of our own for tests, benchmarks and the demo.
//
// Outputs write every open, close and message to an optional log file and an optional in-process
// capture (midi_virtual_log.cpp). Inputs take lines from an optional FIFO (a named pipe on
// Windows), read by the platform's input reader (midi_virtual_io.h), or bytes injected in process
// (midi.cpp's VirtualInject); both reach the engine through the input path every service shares
// (midi_common's Deliver), while the input is open and started. The devices' records, handles,
// opens, closes and starts are midi_common's; what is the virtual service's own is the log, the
// input lines and the opens it is told to refuse.
//
// Devices come and go by the lines of an optional control FIFO (a named pipe on Windows), read by a
// second reader, or by VirtualControl in process: `add out NAME` makes an output of that name
// present (a new one, or one that went away comes back with its id), `remove out NAME` makes it
// absent (midi.h draws the states); `in` likewise for inputs. Each change writes `add out<id>` or
// `remove out<id>` to the log and tells the change handler.
//
// Threads: Start and Stop on the main thread while nobody else uses the layer. The readers' threads
// run from Start until Stop ends them; the input reader delivers with DeliverNow, whose locking
// midi_common.h describes, the control reader changes the device lists under midi_common's list
// lock. Sends and the log: any thread, under the output's mutex.
#include "platform/midi_virtual.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/midi_virtual_io.h"
#include "platform/midi_virtual_log.h"

namespace platform::virtual_midi {
namespace {

using midi_common::MidiOps;
using midi_common::MidiServiceState;

// An input line: the input id and up to kMaxLineBytes two-digit bytes, with some slack for spacing.
constexpr size_t kMaxLineChars = 3 * kMaxLineBytes + 64;

struct Service {
  MidiServiceState* state = nullptr;
  uint32_t longest = 0;           // 0: no limit
  std::vector<uint32_t> failOut;  // output device ids whose open returns 4
  std::vector<uint32_t> failIn;
  LogFile log = kNoLog;
  InputLines lines;
  std::unique_ptr<uint8_t[]> bytes;  // an input line's bytes (the input reader's thread)
  InputReader* reader = nullptr;
  InputLines controlLines;
  InputReader* controlReader = nullptr;
};

Service& Own(MidiServiceState& s) { return *static_cast<Service*>(s.own); }

bool Listed(const std::vector<uint32_t>& ids, uint32_t deviceId) {
  return std::find(ids.begin(), ids.end(), deviceId) != ids.end();
}

// ---- Input lines ----

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

// An input FIFO line to its input, when it is well formed and names one.
void DeliverLine(void* context, const char* line, size_t length) {
  Service& s = *static_cast<Service*>(context);
  uint32_t inputId;
  size_t n;
  if (ParseLine(line, length, &inputId, s.bytes.get(), kMaxLineBytes, &n) &&
      inputId < s.state->inCount.load(std::memory_order_acquire))
    midi_common::DeliverNow(s.state->inputs[inputId], s.bytes.get(), n);
}

void ControlLine(void* context, const char* line, size_t length) {
  Control(*static_cast<Service*>(context)->state, line, length);
}

// The next word of `text` from `*at` (blanks skipped).
std::string Word(const char* text, size_t length, size_t* at) {
  while (*at < length && IsSpace(text[*at])) ++*at;
  size_t begin = *at;
  while (*at < length && !IsSpace(text[*at])) ++*at;
  return std::string(text + begin, *at - begin);
}

// ---- Operations ----

bool Stop(MidiServiceState& state) {
  Service* s = &Own(state);
  StopInputReader(s->controlReader);
  StopInputReader(s->reader);
  midi_common::CloseAll(state, /*inputsFirst=*/true);
  CloseLog(s->log);
  delete s;
  return true;
}

int OutOpen(MidiServiceState& s, uint32_t id) { return Listed(Own(s).failOut, id) ? kMidiAllocated : kMidiOk; }

int InOpen(MidiServiceState& s, uint32_t id) { return Listed(Own(s).failIn, id) ? kMidiAllocated : kMidiOk; }

int Send(MidiServiceState& s, uint32_t id, const uint8_t* bytes, uint32_t length) {
  return LogEvent(Own(s).log, VirtualMidiEvent::Data, false, id, bytes, length);
}

void OpenOrClose(MidiServiceState& s, VirtualMidiEvent::Kind kind, bool input, uint32_t id) {
  LogEvent(Own(s).log, kind, input, id, nullptr, 0);
}

uint32_t Longest(MidiServiceState& s, uint32_t) { return Own(s).longest ? Own(s).longest : 0x7FFFFFFFu; }

const MidiOps kOps = {
    MidiService::Virtual, Stop, MonotonicNs, OutOpen, nullptr, Send, InOpen, nullptr, OpenOrClose, Longest,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

bool Control(MidiServiceState& state, const char* line, size_t length) {
  size_t at = 0;
  std::string verb = Word(line, length, &at);
  std::string direction = Word(line, length, &at);
  while (at < length && IsSpace(line[at])) ++at;
  size_t end = length;
  while (end > at && IsSpace(line[end - 1])) --end;
  std::string name(line + at, end - at);
  bool input = direction == "in";
  if ((verb != "add" && verb != "remove") || (!input && direction != "out") || name.empty()) return false;
  Service& s = Own(state);
  uint32_t id = 0;
  bool changed = false;
  if (verb == "add") {
    id = midi_common::ShowDevice(state, input, name, &changed);
  } else {
    changed = midi_common::HideDevice(state, input, name, &id);
  }
  if (!changed) return true;
  LogEvent(s.log, verb == "add" ? VirtualMidiEvent::Add : VirtualMidiEvent::Remove, input, id, nullptr, 0);
  midi_common::Changed(state);
  return true;
}

bool InputLinesInit(InputLines& lines, LineHandler onLine, void* context) {
  lines.onLine = onLine;
  lines.context = context;
  lines.line.reset(new (std::nothrow) char[kMaxLineChars]);
  InputLinesReset(lines);
  return lines.line != nullptr;
}

void InputLinesTake(InputLines& lines, const char* chunk, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    char c = chunk[k];
    if (c == '\n') {
      if (!lines.skipping) lines.onLine(lines.context, lines.line.get(), lines.used);
      lines.used = 0;
      lines.skipping = false;
    } else if (!lines.skipping) {
      if (lines.used < kMaxLineChars) {
        lines.line[lines.used++] = c;
      } else {
        lines.skipping = true;
      }
    }
  }
}

void InputLinesReset(InputLines& lines) {
  lines.used = 0;
  lines.skipping = false;
}

void Start(MidiServiceState& state, const VirtualMidiConfig& config) {
  auto s = std::make_unique<Service>();
  s->longest = config.longest;
  s->failOut = config.failOut;
  s->failIn = config.failIn;
  if (!config.logPath.empty()) s->log = OpenLog(config.logPath);
  s->state = &state;
  Service* own = s.release();
  midi_common::MakeDevices(state, kOps, config.outputs, config.inputs, own);
  own->bytes.reset(new (std::nothrow) uint8_t[kMaxLineBytes]);
  if (!config.inputFifo.empty() && own->bytes && InputLinesInit(own->lines, DeliverLine, own))
    own->reader = StartInputReader(config.inputFifo, &own->lines);
  if (!config.controlFifo.empty() && InputLinesInit(own->controlLines, ControlLine, own))
    own->controlReader = StartInputReader(config.controlFifo, &own->controlLines);
}

}  // namespace platform::virtual_midi
