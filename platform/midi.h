// MIDI device services: numbered output and input devices with product names, opens that return a
// handle or a result code, short messages packed in a 32-bit word, synchronous long messages, and
// input delivered through a callback on a thread of this layer's own.
//
// Services (chosen once at start-up, from TOVU_MIDI or explicitly by a test):
//   none     no devices at all;
//   virtual  devices of our own: outputs write what they receive to a log file and to an optional
//            in-process capture; inputs read a FIFO or take bytes injected in process;
//   jack     the MIDI ports of the other clients of a running JACK server (libjack), each message
//            written one period after it was sent, at the frame its send time gives;
//   alsa     the ports of the ALSA sequencer (RtMidi);
//   winmm    on Windows, the system's own WinMM devices.
// A real service that cannot be had leaves no devices (see MidiStartFromEnvironment).
//
// Devices come and go while a service runs, and their ids stay put:
//
//   (not listed) --appears--> present --goes away--> absent --appears again under its name--> present
//
// A new device takes the next id; one that goes keeps its id (and its name) and is absent: opening
// it, and sending on a handle opened before it went, return kMidiNoDevice; one that appears again
// under the same name takes its old id back. Every change of a device's presence advances its
// generation, so a device that went and came back between two looks is told from one that stayed.
// The service tells of changes through the change handler (MidiSetChangeHandler), on a thread of
// its own; a handle opened before a device went stays the caller's to close.
//
// Threads: the engine's main thread opens and closes; the main thread, the timer thread and the
// MIDI input thread may send on one handle at once (sends on one device are serialised here). The
// input callback runs on this layer's reader thread and never while the device is stopped or closed:
// MidiInStop and MidiInClose return only after a callback in progress has finished.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using MidiHandle = uint32_t;  // 0 = none; a closed-then-reopened device gets a new value

// Result codes, the platform's.
enum : int {
  kMidiOk = 0,
  kMidiError = 1,
  kMidiBadDeviceId = 2,
  kMidiAllocated = 4,
  kMidiInvalidHandle = 5,
  kMidiNoDriver = 6,
  kMidiNoMemory = 7,
  kMidiInvalidParam = 11,  // a message longer than the device carries in one message
  kMidiNoDevice = 68,      // the device has gone away (WinMM's MIDIERR_NODEVICE)
};

constexpr uint32_t kMimData = 963;      // param1: one short message, packed as for MidiOutShort
constexpr uint32_t kMimLongData = 964;  // param1: the MidiInBuffer* that came back filled

// A buffer queued on an input for system-exclusive input (the platform's MIDIHDR).
struct MidiInBuffer {
  uint8_t* data = nullptr;
  uint32_t length = 0;         // capacity of data
  uint32_t bytesRecorded = 0;  // filled by the layer before it hands the buffer back
  uintptr_t user = 0;
};

using MidiInCallback = void (*)(MidiHandle handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                                uintptr_t param2);

enum class MidiService { None, Virtual, Alsa, Jack, Winmm };

struct VirtualMidiConfig {
  std::vector<std::string> outputs;  // device names, in device order
  std::vector<std::string> inputs;
  std::vector<uint32_t> failOut;  // output device ids whose open returns 4
  std::vector<uint32_t> failIn;
  std::string logPath;    // empty: no log file
  std::string inputFifo;  // empty: no FIFO
  std::string controlFifo;  // empty: no control FIFO (devices added and removed by its lines)
  uint32_t longest = 0;   // the longest message an output carries, as a JACK port's buffer; 0: any
};

// Reads TOVU_MIDI and the TOVU_VIRTUAL_* variables and starts the service they name: a real service
// that cannot be had is reported in one line on standard error and gives none. Unset: jack when a
// JACK server answers (none is ever started), else alsa when its sequencer opens, else none; on
// Windows, winmm. Returns the service started.
MidiService MidiStartFromEnvironment();
// Parses the TOVU_VIRTUAL_* variables into a configuration (exposed for tests).
VirtualMidiConfig VirtualConfigFromEnvironment();
void MidiStartNone();
void MidiStartVirtual(const VirtualMidiConfig& config);
// Closes every device still open and ends the reader thread. Safe to call twice.
void MidiShutdown();
MidiService MidiCurrentService();

// How many device ids there are (present or absent); they only ever grow while the service runs.
// Any thread.
uint32_t MidiOutCount();
uint32_t MidiInCount();
// Whether a device is present now, and its generation (advanced by every change of its presence).
// An id beyond the count is absent with generation 0.
struct MidiPresence {
  bool present = false;
  uint32_t generation = 0;
};
MidiPresence MidiOutPresence(uint32_t deviceId);
MidiPresence MidiInPresence(uint32_t deviceId);
// `changed(context)` runs whenever devices were added, went or came back (on the service's thread);
// null: none.
// It must be short and must not call this layer (it posts to the engine, which looks on its own
// thread). Once this returns, no call of the handler it replaced is running.
using MidiChangeHandler = void (*)(void* context);
void MidiSetChangeHandler(MidiChangeHandler changed, void* context);
// The system says its devices changed: a service that is told rather than following the system by
// itself (winmm, from the engine window's device-change message) lists them again soon, on its own
// thread, and reports what changed through the change handler. Main thread; never blocks.
void MidiListAgain();
// Product name of a device, cut to fit `capacity` - 1 characters and zero-terminated. Returns a
// result code (2 for a bad id).
int MidiOutName(uint32_t deviceId, char* name, size_t capacity);
int MidiInName(uint32_t deviceId, char* name, size_t capacity);

// 2 for a bad id, 4 when the device is already open (or refuses to open).
int MidiOutOpen(uint32_t deviceId, MidiHandle* handle);
int MidiOutClose(MidiHandle handle);
// Sends the low 24 bits of `word` (status, data 1, data 2). 5 on a closed or unknown handle.
int MidiOutShort(MidiHandle handle, uint32_t word);
// Sends `length` bytes unchanged as one long message; returns when the bytes are no longer used.
// A length of 0 sends nothing and returns 0; one longer than MidiOutLongest returns 11.
int MidiOutLong(MidiHandle handle, const uint8_t* bytes, uint32_t length);
// The longest message the open output carries in one message, in bytes (jack: what one period's
// event buffer holds); 0x7FFFFFFF when the service sets no limit, 0 on a closed or unknown handle.
uint32_t MidiOutLongest(MidiHandle handle);
// Sends `length` bytes as one message due at `atMs` (NowMs's scale, timer.h; a time after now counts
// as now): a service that places messages in time (jack) writes it where a message sent at `atMs`
// would have been written, one period later as every message; the others send it now.
int MidiOutAt(MidiHandle handle, const uint8_t* bytes, uint32_t length, double atMs);

// ---- JACK transport (the jack service; with any other these do nothing and take nothing) ----

// The musical position a timebase master tells the transport's other clients.
struct TransportPosition {
  int32_t bar = 1;   // from 1
  int32_t beat = 1;  // from 1
  int32_t tick = 0;  // within the beat, from 0
  double barStartTick = 0;
  double beatsPerBar = 4;
  double beatType = 4;
  double ticksPerBeat = 120;
  double beatsPerMinute = 120;
};
// Asked on JACK's real-time thread once a cycle: the position of what is due at `dueMs` (the time
// a message written at the cycle's first frame was sent; NowMs's scale). It must not block,
// allocate or take a lock; false when it has none to give.
using TransportTimebase = bool (*)(void* context, double dueMs, TransportPosition* out);
// Takes the transport's timebase with `timebase` (or, with null, gives it up). False when the
// service cannot: not jack, or the server refused. Main thread.
bool MidiTransportTimebase(TransportTimebase timebase, void* context);
// Starts or stops the transport. Any thread; never blocks.
void MidiTransportRoll(bool rolling);
// Moves the transport so that its frame reads `songMs` (in frames) at the frame where a message
// due at `atMs` is written. Any thread; never blocks.
void MidiTransportLocate(double songMs, double atMs);

// How much later than it arrived the service hands input to the callback at most (jack: the period
// in which it is read, and its input thread's poll), and how much later than it was sent (or due)
// output is written (jack: one period); 0 for a service that does neither. Any thread.
double MidiInputDelayMs();
double MidiOutputDelayMs();

// The transport as the service's real-time thread saw it at the first frame of its latest cycle.
struct TransportState {
  uint32_t segment = 0;  // advanced whenever it did not simply run on: started, stopped or located
  bool rolling = false;
  double frame = 0;      // its frame there
  double frameRate = 0;
  double atMs = 0;       // NowMs's time of a message the service writes at that frame (jack: by the
                         // earliest its callbacks have run against its frames)
  // The same moment on the server's own time: its frames since the service's first cycle on this
  // server, in ms, from atMs there. atMs - mediaMs is how far the server's frames have fallen behind
  // (or run ahead of) NowMs since: a driver that stalls or runs slow.
  double mediaMs = 0;
};
// False when there is none to read (not jack, no server, no cycle yet). Any thread; never blocks.
bool MidiTransportRead(TransportState* out);

int MidiInOpen(uint32_t deviceId, MidiInCallback callback, uintptr_t instance, MidiHandle* handle);
int MidiInStart(MidiHandle handle);
int MidiInStop(MidiHandle handle);
// Stops input if needed; buffers still queued are dropped (never handed back).
int MidiInClose(MidiHandle handle);
// The moment (NowMs's scale, timer.h) at which the message whose kMimData or kMimLongData callback
// runs on the calling thread arrived at its port: a service that knows when input arrived (jack's
// frame times) reports that, which may lie a period or more before the callback. NowMs() when no
// input callback runs on this thread.
double MidiInArrivalMs();
// The same moment on the service's own time (TransportState::mediaMs's: jack's frames, as a message
// sent then would be written a period later at the frame it arrived at); NaN for a service without
// one, or outside an input callback.
double MidiInArrivalServerMs();

// Placing output on the service's own time. A playback that follows a master inside JACK keeps to
// the server's frames, as the master does: what this thread sends from now on is placed at the
// frame server time `serverMs` gives (TransportState::mediaMs's time: as a message sent then), by
// the service's latest cycle, rather than by when it is sent and when the cycle that writes it runs
// (which, on a driver that runs late, move against its frames); until the next call, or the end of
// the enclosing ServerTimeScope. A service without its own time ignores it.
void PlaceOnServerTime(double serverMs);
struct ServerTimeScope {
  ServerTimeScope() = default;
  ~ServerTimeScope();
  ServerTimeScope(const ServerTimeScope&) = delete;
  ServerTimeScope& operator=(const ServerTimeScope&) = delete;
};
// Queues a buffer for system-exclusive input. The layer fills the oldest queued buffer with each
// system-exclusive message (up to its length) and hands it back through kMimLongData.
int MidiInAddBuffer(MidiHandle handle, MidiInBuffer* buffer);

// ---- Virtual service, in process (for tests and benchmarks) ----

struct VirtualMidiEvent {
  // Add and Remove: a device appeared or went away (the control FIFO).
  enum Kind : uint8_t { Open, Close, Data, Add, Remove };
  int64_t ns = 0;  // CLOCK_MONOTONIC
  Kind kind = Data;
  bool input = false;
  uint32_t device = 0;
  std::vector<uint8_t> bytes;  // Data only: exactly the bytes the log line shows
};

// Starts or stops recording output events (open, close, data) in memory. Off by default.
void VirtualCaptureEnable(bool on);
// Returns the events recorded so far, in order, and forgets them.
std::vector<VirtualMidiEvent> VirtualCaptureTake();
// Delivers bytes as if they had arrived on virtual input `inputId` (same rules as a FIFO line:
// 0xF0 first = system-exclusive, else one short message of 1 to 3 bytes). Returns false when the
// input is not open and started (nothing is delivered), or the bytes are malformed. A
// system-exclusive message dropped for want of a queued buffer still returns true.
bool VirtualInject(uint32_t inputId, const uint8_t* bytes, size_t count);
// Changes the virtual devices as a line of the control FIFO does: `add out NAME`, `add in NAME`,
// `remove out NAME`, `remove in NAME`. False for a line that is none of these, or when the virtual
// service does not run. Adding a name that is present does nothing; adding an absent one brings it
// back; removing a name that is not present does nothing.
bool VirtualControl(const std::string& line);
// The number of bytes a short message with this status shows in the log (3, 2 or 1).
int ShortMessageLength(uint8_t status);
// Formats one log line without the trailing newline, e.g. "123 data out0 90 3c 64".
std::string FormatVirtualLogLine(const VirtualMidiEvent& event);

}  // namespace platform
