// The device record and the input path that every MIDI service (virtual, jack, alsa) shares, and the
// small table of operations in which the services differ.
//
// One service runs at a time; its state is one MidiServiceState (midi.cpp owns it): the devices'
// common records (name, handle, sender mutex; for inputs the delivery state) and a pointer to the
// service's own record, reachable only through its operations. The entry points of midi.h are the
// functions below, written once: they check handles, keep the records and call the service's
// operations for what only the service can do (make and release a port, put bytes on the wire).
//
// A device: closed --open--> open --close--> closed. An input while open: stopped --start (a new
// epoch)--> started --stop--> stopped. Input read in one epoch is never delivered in another.
// Apart from that a device is present or absent (midi.h draws it): an absent device does not open,
// sends on it return kMidiNoDevice and no input is delivered from it; its handle, if it was open, is
// left for its owner to close. The device records sit in arrays made with room for more
// (kDeviceRoom) and never move: a device that appears is appended by publishing the count after its
// record is filled, so a thread that reads a count reads records it may use.
//
// Threads: Start, Stop, opens and closes on the main thread, while no other thread changes the
// service. Devices are added and their presence changed by the service's own thread that follows
// the system, one at a time (listMutex); presence is read under
// each device's mutex. Sends on any thread, serialised per output by its mutex, under which the service's send
// runs. Input is delivered on the service's own input thread (or the thread that injects): the
// engine's callback runs with the input's callback mutex held, so that stop and close can wait for
// a callback in progress, and without its state mutex, so that the callback may queue buffers and
// send. A service's real-time thread (jack's process callback) reads only the atomics `epoch` and
// `flowing`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi.h"

namespace platform::midi_common {

// Handles: bits 0-11 device id + 1, bit 12 set for inputs, bits 13-31 a serial number that is never
// reset, so a handle from before a close (or a restart of the service) stays invalid.
constexpr uint32_t kMaxDevices = 4095;  // more devices in one direction are cut to this many
// Room for devices that appear while the service runs: a direction holds at least this many ids.
constexpr uint32_t kDeviceRoom = 256;
MidiHandle NewHandle(uint32_t deviceId, bool input);
bool IsInputHandle(MidiHandle handle);
// The device id a handle names, or kMaxDevices when it names none (0 included).
uint32_t DeviceIdOf(MidiHandle handle);

struct OutDevice {
  std::string name;  // set before the device is counted, never changed
  std::mutex mutex;  // serialises sends, open and close, and guards the fields below
  MidiHandle handle = 0;
  bool present = true;
  uint32_t generation = 0;  // advanced by every change of `present`
};

struct InDevice {
  std::string name;
  std::mutex callbackMutex;                       // held while the engine's callback runs
  std::atomic<std::thread::id> callbackThread{};  // the thread running the callback, if any
  std::atomic<uint32_t> epoch{0};    // advanced (under `mutex`) by every start; read by input threads
  std::atomic<bool> flowing{false};  // `started`, for a real-time reader that takes no lock
  std::mutex mutex;                  // guards the fields below
  MidiHandle handle = 0;
  bool present = true;
  uint32_t generation = 0;  // advanced by every change of `present`
  bool started = false;
  MidiInCallback callback = nullptr;
  uintptr_t instance = 0;
  int64_t startNs = 0;  // when input was started, on the clock of the arrival times
  std::deque<MidiInBuffer*> buffers;
};

struct MidiOps;

struct MidiServiceState {
  std::atomic<const MidiOps*> ops{nullptr};  // null: no service (no devices)
  std::atomic<uint32_t> outCount{0};  // device ids in use, published after their records are filled
  std::atomic<uint32_t> inCount{0};
  uint32_t outRoom = 0;  // the records' arrays hold this many
  uint32_t inRoom = 0;
  std::unique_ptr<OutDevice[]> outputs;
  std::unique_ptr<InDevice[]> inputs;
  void* own = nullptr;  // the service's own record, for its operations only
  std::mutex listMutex;  // taken by whoever adds devices or changes their presence
  // The change handler (midi.h), kept across services; changeMutex is held while it runs.
  std::mutex changeMutex;
  MidiChangeHandler changed = nullptr;
  void* changedContext = nullptr;
};

// What differs between the services. Every slot runs on the main thread with no device lock held,
// except `send` and `event`; a null `inClose`, `outClose` or `event` does nothing.
struct MidiOps {
  MidiService service;
  // Closes whatever is still open (CloseAll, in the service's order), ends the service's threads and
  // frees its own record. False when a thread that may still use the device records could not be
  // ended: the records are then left allocated rather than freed under it.
  bool (*stop)(MidiServiceState& s);
  // The clock on which input arrives (CLOCK_MONOTONIC in ns, or the service's estimate of it).
  int64_t (*inputClockNs)();
  // Makes the port of device `id` (not open): 0, or the result code of the failed open.
  int (*outOpen)(MidiServiceState& s, uint32_t id);
  // Releases the port of an output whose handle has just been cleared (no sender reaches it now).
  void (*outClose)(MidiServiceState& s, uint32_t id);
  // Puts 1 or more bytes on output `id`, with its mutex held and its handle checked.
  int (*send)(MidiServiceState& s, uint32_t id, const uint8_t* bytes, uint32_t length);
  int (*inOpen)(MidiServiceState& s, uint32_t id);
  // Releases the port of an input whose handle has been cleared once no callback of it runs;
  // `fromCallback`: the close came from that input's own callback, which is still running.
  void (*inClose)(MidiServiceState& s, uint32_t id, bool fromCallback);
  // Told of every open and close as it happens, under the device's mutex (the virtual log).
  void (*event)(MidiServiceState& s, VirtualMidiEvent::Kind kind, bool input, uint32_t id);
  // The longest message output `id` carries in one message, with its mutex held; null: no limit.
  uint32_t (*longest)(MidiServiceState& s, uint32_t id);
  // As `send`, for a message due at `atMs` (not after now); null: `send`.
  int (*sendAt)(MidiServiceState& s, uint32_t id, const uint8_t* bytes, uint32_t length, double atMs);
  // The transport (midi.h); null: the service has none.
  bool (*transportTimebase)(MidiServiceState& s, TransportTimebase timebase, void* context);
  void (*transportRoll)(MidiServiceState& s, bool rolling);
  void (*transportLocate)(MidiServiceState& s, double songMs, double atMs);
  // The system says its devices changed (winmm: the engine window's device-change message); null:
  // the service follows the system by itself. Main thread; never blocks.
  void (*listAgain)(MidiServiceState& s);
  // The transport as the service last saw it (midi.h); null: none.
  bool (*transportRead)(MidiServiceState& s, TransportState* out);
  // MidiInputDelayMs and MidiOutputDelayMs (midi.h); null: 0.
  double (*delayMs)(MidiServiceState& s, bool input);
};

// Gives the state its device records, named in device order (each list cut to kMaxDevices), and
// `ops`, and makes the service current.
void MakeDevices(MidiServiceState& s, const MidiOps& ops, const std::vector<std::string>& outs,
                 const std::vector<std::string>& ins, void* own);
// Ends the current service (its stop) and leaves the state without devices. Safe to call twice.
void EndService(MidiServiceState& s);

// ---- Devices that come and go (under listMutex, which these take) ----

// The device named `name` is present: an absent one of that name (the first in id order) comes back,
// else a new one is appended. Its id, or kMaxDevices when there is no room left. `*changed` is set
// when anything changed (a present device of that name is left as it is).
uint32_t ShowDevice(MidiServiceState& s, bool input, const std::string& name, bool* changed);
// The first present device named `name` goes away. False when none is present.
bool HideDevice(MidiServiceState& s, bool input, const std::string& name, uint32_t* id = nullptr);
// The devices listed now are exactly `names` (in the system's order): the k-th device listed under
// a name is the k-th record of that name in id order (appended when there is none), present; every
// other device is absent. True when anything changed. `ids`, when given, receives the id each name
// went to (kMaxDevices when there was no room for it).
bool SyncDevices(MidiServiceState& s, bool input, const std::vector<std::string>& names,
                 std::vector<uint32_t>* ids = nullptr);
// Whether a device is present, and its generation (main thread, or any).
MidiPresence Presence(MidiServiceState& s, bool input, uint32_t id);
// Runs the change handler, if any (never with listMutex or a device's mutex held).
void Changed(MidiServiceState& s);
// Closes every device still open: inputs first, or outputs first.
void CloseAll(MidiServiceState& s, bool inputsFirst);

// The entry points of midi.h on one service state.
int OutName(MidiServiceState& s, uint32_t deviceId, char* name, size_t capacity);
int InName(MidiServiceState& s, uint32_t deviceId, char* name, size_t capacity);
int OutOpen(MidiServiceState& s, uint32_t deviceId, MidiHandle* handle);
int OutClose(MidiServiceState& s, MidiHandle handle);
int OutSend(MidiServiceState& s, MidiHandle handle, const uint8_t* bytes, uint32_t length);
int OutSendAt(MidiServiceState& s, MidiHandle handle, const uint8_t* bytes, uint32_t length, double atMs);
uint32_t OutLongest(MidiServiceState& s, MidiHandle handle);
int OutShort(MidiServiceState& s, MidiHandle handle, uint32_t word);
int InOpen(MidiServiceState& s, uint32_t deviceId, MidiInCallback callback, uintptr_t instance,
           MidiHandle* handle);
int InStart(MidiServiceState& s, MidiHandle handle);
int InStop(MidiServiceState& s, MidiHandle handle);
int InClose(MidiServiceState& s, MidiHandle handle);
int InAddBuffer(MidiServiceState& s, MidiHandle handle, MidiInBuffer* buffer);

// Hands one message that arrived at `arrivalNs` (the input clock) in epoch `epoch` to the input's
// callback: 1 to 3 bytes are one short message (kMimData); a first byte of 0xF0 is system-exclusive
// input, filling the oldest queued buffer (kMimLongData), dropped when none is queued. False, with
// nothing delivered, when the bytes are none of these, the input is not open and started in that
// epoch, or the caller is that input's own callback; true otherwise (also when the message goes
// nowhere: no callback, or no buffer).
// `serverMs`: when it arrived on the service's own time (MidiInArrivalServerMs), NaN when unknown.
bool Deliver(InDevice& input, const uint8_t* bytes, size_t count, int64_t arrivalNs, uint32_t epoch,
             double serverMs = std::numeric_limits<double>::quiet_NaN());
// Deliver for a message arriving now (CLOCK_MONOTONIC), in the input's current epoch.
bool DeliverNow(InDevice& input, const uint8_t* bytes, size_t count);

// While it lives, MidiInArrivalMs on this thread reports `arrivalNs` (CLOCK_MONOTONIC), and
// MidiInArrivalServerMs `serverMs`.
struct ArrivalScope {
  explicit ArrivalScope(int64_t arrivalNs, double serverMs = std::numeric_limits<double>::quiet_NaN());
  ~ArrivalScope();
  ArrivalScope(const ArrivalScope&) = delete;
  ArrivalScope& operator=(const ArrivalScope&) = delete;
};

// Returns once no callback of the input is running, unless the caller is that callback.
void WaitForCallback(InDevice& input);

// The server time PlaceOnServerTime set on this thread (NaN: none): a service that has its own time
// places what this thread sends there.
double PlacedServerMs();

// Cuts `text` to fit `capacity` - 1 characters and zero-terminates it.
int CopyName(const std::string& text, char* name, size_t capacity);

}  // namespace platform::midi_common
