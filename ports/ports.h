// The engine's MIDI ports: the output and input port tables, the engine settings read from the
// settings store, and the output path: one output stage per output port (a queue and a ledger of
// what its device holds, drawn in ports/output_stage.h) through which every message to a device goes.
//
// The tables follow the devices while the engine runs (ports/port_life.cpp draws a port's life):
// a port's index never changes; a new device is appended; a port whose device goes away keeps its
// index and is absent (sends to it return kMidiNoDevice, what its device held is forgotten, its
// holders keep holding it); when the device comes back under its name the port is present again and
// reopened for its holders. The tables' records are made for kMaxPorts ports at the set-up and
// never move: a port is appended by filling its record and then publishing the count.
//
// Threads: the main thread builds and extends the tables, loads settings, opens and closes ports and
// follows the devices. The output path is entered at once from the main thread, the timer thread and
// the MIDI input thread; each port's stage has its own short lock. The input callback scans the
// input table by handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/payloads.h"
#include "protocol/protocol.h"
#include "platform/event.h"
#include "platform/midi.h"
#include "ports/output_stage.h"

constexpr int kMaxPorts = 255;
// The protocol's none-values, activity table size and port record sizes (protocol/protocol.h).
using tovu::protocol::kNoDevice;
using tovu::protocol::kNoPortIndex;  // top byte of a packed event naming no port
using tovu::protocol::kActivityPerPort;  // 16 channels x 128 notes
using tovu::protocol::kOutputRecordSize;
using tovu::protocol::kInputRecordSize;
// The longest pause a port's setting may put after each system-exclusive message (a device needs
// tens of milliseconds; a longer setting is held to this). A negative setting means none.
constexpr int32_t kMaxSysexDelayMs = 1000;

struct OutputPort {
  char name[tovu::protocol::kPortNameSize] = {};
  uint32_t deviceId = 0;
  std::atomic<uint32_t> handle{0};  // written on the main thread only; 0 while closed or absent
  // The device has gone away: nothing reaches it, sends return kMidiNoDevice. Written on the main
  // thread under the stage's lock; read by senders under it.
  std::atomic<bool> absent{false};
  uint32_t generation = 0;           // the device's generation the port last followed (main thread)
  platform::MidiHandle reopened = 0;  // a returning device's handle, until PublishReopened (main thread)
  std::atomic<int32_t> sysexDelayMs{0};
  int32_t shortReset = 0;
  int32_t openCount = 0;
  // This port's 2048 activity counters (the ledger's strike counts) and the event that reports
  // their changes (set when the tables are built).
  std::atomic<uint8_t>* activity = nullptr;
  platform::Event* activityEvent = nullptr;
  PortStage stage;

  // The first open also makes the port's queue. kMidiNoDevice while the device is absent.
  int Open();
  // The last close first sends what is queued, at once, then releases what the device holds,
  // whoever struck or pressed it, so that no note or pedal is left down on a device that nobody
  // holds any more.
  void Close();
};

struct InputPort {
  char name[tovu::protocol::kPortNameSize] = {};
  uint32_t deviceId = 0;
  std::atomic<uint32_t> handle{0};
  std::atomic<bool> absent{false};  // the device has gone away (main thread writes)
  uint32_t generation = 0;          // the device's generation the port last followed (main thread)
  int32_t openCount = 0;

  // Opens and starts the device with the given callback and instance value; kMidiNoDevice while
  // the device is absent.
  int Open(platform::MidiInCallback callback, uintptr_t instance);
  void Close();
};

// The four metronome settings the settings store holds (MtrDev, MtrChan, MtrNM, MtrNB), as the
// metronome settings payload carries them.
using EngineSettings = tovu::MetronomeSettings;

struct Ports {
  std::unique_ptr<OutputPort[]> outputs;  // kMaxPorts records, the first outputCount of them ports
  std::atomic<int32_t> outputCount{0};    // published (main thread) once the port's record is filled
  std::unique_ptr<InputPort[]> inputs;
  std::atomic<int32_t> inputCount{0};
  // kMaxPorts x 2048 counters, of which the first outputCount x 2048 are the ports'.
  std::unique_ptr<std::atomic<uint8_t>[]> activity;
  platform::Event* activityEvent = nullptr;  // set on every note change; may be null
  EngineSettings settings;
  platform::MidiInCallback inputCallback = nullptr;  // handed to InputPort::Open
  uintptr_t inputInstance = 0;                       // the callback's instance value
  StageShared stages;
};

// ---- Port tables and settings ----

// Makes the tables and the activity table and lists the devices of the running MIDI service into
// them (at most 255 each), absent ones marked so. Returns false when memory runs out.
bool BuildPortTables(Ports& ports);
// Appends the port of output (input) device `deviceId` at the next index, its record filled from
// the device (and, with `withSettings`, its settings read); false when the table is full or memory
// runs out.
bool AppendOutputPort(Ports& ports, uint32_t deviceId, bool withSettings);
bool AppendInputPort(Ports& ports, uint32_t deviceId);
int FindOutputPortByDevice(const Ports& ports, uint32_t deviceId);
int FindInputPortByDevice(const Ports& ports, uint32_t deviceId);
int FindInputPortByHandle(const Ports& ports, platform::MidiHandle handle);
// Reads one setting (a sub-key path such as "Dev12\\ExclDly") as atoi does; the default when the
// read fails.
int32_t ReadSetting(const char* subKey, int32_t defaultValue);
int LoadSettings(Ports& ports);
// Stops and closes every open input device whatever its open count (teardown), so that no input
// callback runs afterwards.
void CloseAllInputs(Ports& ports);
// Main thread, at the teardown: closes every open output, each releasing its counted notes first.
void CloseAllOutputs(Ports& ports);
// The 80- and 72-byte records of the port-list replies, in port index order (an absent port's
// handle is 0, as a closed port's).
void FillOutputPortRecords(const Ports& ports, uint8_t* out);
void FillInputPortRecords(const Ports& ports, uint8_t* out);

// ---- Devices that come and go (ports/port_life.cpp; main thread) ----

enum class PortChangeKind : uint8_t { kAdded = 1, kGone = 2, kBack = 3 };
struct PortChange {
  bool input = false;
  int32_t port = 0;
  PortChangeKind kind = PortChangeKind::kAdded;
};
// Brings the tables in line with the devices the MIDI service lists now, and returns what changed,
// in port order (outputs first). A port whose device went away (or went and came back since the
// last look) becomes absent: its queue is dropped, its ledger cleared without a message sent (the
// device that held those notes is gone), and its handle closed; its holders keep their opens. A
// port whose device is back is reopened for its holders: an input at once, an output's handle kept
// in `reopened` and absent until PublishReopened. New devices are appended (absent when they went
// already). Returns an empty list when nothing changed.
std::vector<PortChange> FollowDevices(Ports& ports);
// A returning output (a kBack change) is present again: its reopened handle (if any) goes to the
// port, and from here on sends reach its device. The host calls this under the scheduler lock and
// replays the song's state to the port before letting the lock go, so that the playback's next
// event for the port comes after that state.
void PublishReopened(Ports& ports, int32_t port);
// The port states (command 33's answer), one per port in index order.
tovu::PortStates PortStatesOf(const Ports& ports);
// Index of the activity counter for a port, channel and note.
inline size_t ActivityIndex(uint32_t port, uint32_t channel, uint32_t note) {
  return static_cast<size_t>(port) * kActivityPerPort + (channel & 15) * 128 + (note & 127);
}

// ---- Output path (ports/output_path.cpp) ----

// A short message through its port's stage, struck or pressed for `owner`. 0 for port index 255
// (nothing sent), 5 for a port index beyond the table; kStageQueueFull when it would have had to
// wait and the queue (or the owner's share of it) is full; else 0 when queued, or the device's
// result when sent.
int SendShortMessage(Ports& ports, uint32_t event, Owner owner = kOwnerNone);
// A timing message (MIDI clock, song position, time code) due at `atMs`: it passes the port's
// stage, never splitting a message that goes out, but goes ahead of a sysex pause and of what waits
// in the queue, and changes nothing in the ledger. 5 for a port index beyond the table or a closed
// port, else the device's result.
int SendTiming(Ports& ports, int32_t port, const uint8_t* bytes, uint32_t length, double atMs);
// How a system-exclusive message that must wait is kept: copied to the heap (main thread), or into
// the port's own buffer only (any thread; kStageQueueFull when it has no room).
enum class SysexCopy { kMayAllocate, kNoAllocation };
// One system-exclusive message: 5 for a port index beyond the table, kStageTooLong when the device
// carries no message that long, kStageQueueFull when it would have to wait and has no room, else 0
// when queued or the device's result. The port pauses for its sysex delay once it has gone out.
int SendSysexOnPort(Ports& ports, uint32_t length, const uint8_t* bytes, uint32_t port, Owner owner = kOwnerNone,
                    SysexCopy copy = SysexCopy::kMayAllocate);
// Whether `messages` short messages and a system-exclusive message of `sysexBytes` (0: none) for
// `owner` would be taken by the port now without allocating: sent, or queued within its room. A
// port index that names no port takes anything (it is dropped or refused, never queued).
bool StageTakes(Ports& ports, int32_t port, uint32_t messages, uint32_t sysexBytes, Owner owner);
// When the port's queue next moves (the end of its pause); 0 when nothing waits.
double StageNextMoveMs(Ports& ports, int32_t port);
// The port's sysex delay as it is applied: the setting held to 0 to kMaxSysexDelayMs.
int32_t SysexDelayOf(const OutputPort& port);
// When the port's pause after its last system-exclusive message ends; 0 for a port index that names
// no output port.
double SysexReadyAt(Ports& ports, int32_t port);
// The two 7-bit data bytes of a 14-bit number; a number above 16383 is sent as 16383.
void SplitFourteenBit(uint32_t value, uint32_t* low, uint32_t* high);
// The base event holds the port index in bits 24-31 and the channel in bits 0-3.
int SendRpn(Ports& ports, uint32_t base, uint32_t parameter, uint32_t value, Owner owner = kOwnerNone);
int SendNrpn(Ports& ports, uint32_t base, uint32_t parameter, uint32_t value, Owner owner = kOwnerNone);

// ---- Releases, all worked out from the ledger ----

// The strikes `owner` holds on a port's channel and key (kOwnerNone: every owner's).
int HeldStrikes(Ports& ports, int32_t port, uint32_t channel, uint32_t key, Owner owner);
// Releases one channel and key for `owner`: as many velocity-0 note-ons as it holds strikes there,
// or, when nobody holds any there, `atLeast` (a note a song's state still counts that the device
// was told to release another way).
void ReleaseKey(Ports& ports, int32_t port, uint32_t channel, uint32_t key, Owner owner, int atLeast);
// Releases every strike `owner` holds on the port (kOwnerNone: everybody's), channel by channel and
// key by key, one velocity-0 note-on each; `atLeast` (2048 counts, may be null) as in ReleaseKey.
void ReleaseStrikes(Ports& ports, int32_t port, Owner owner, const uint8_t* atLeast = nullptr);
// Lifts the pedals `owner` holds down on the port (kOwnerNone: whoever pressed them), channel by
// channel (64, 66, 67 each), except on the channels whose bit is set in keep[pedal] (may be null).
void LiftPedals(Ports& ports, int32_t port, Owner owner, const uint16_t* keep = nullptr);
// Withdraws `owner`'s queued messages (only its note-ons with `strikesOnly`) from every port: they
// never reach a device, and the ledger takes back what they changed.
void DropQueued(Ports& ports, Owner owner, bool strikesOnly = false);
// A client's departure or port close: its queued note-ons are withdrawn (what else it queued still
// goes out, in order), then on every port ReleaseStrikes and LiftPedals for `owner`.
void ReleaseOwner(Ports& ports, Owner owner);
// Command 31: on every open port, the queue is emptied, then 2048 velocity-0 note-ons (channel by
// channel, key by key) and the controller reset (8 messages per channel) go out at once, pause or
// not; the whole ledger is cleared. Returns 0.
int Panic(Ports& ports);

// ---- The stages' life ----

// Main thread, at the set-up: queued messages are sent by a timer of `timers` when their port's
// pause ends. Without it (unit tests) nothing drains by itself: DrainStages does.
void StartStages(Ports& ports, platform::TimerService* timers);
// Sends, on every port, what is queued and may leave at `nowMs`.
void DrainStages(Ports& ports, double nowMs);
// Main thread (FollowDevices): the port's device has gone away. The port becomes absent, its queue
// is dropped and its ledger cleared without a message sent, and its handle (if any) is closed.
void ForgetDevice(OutputPort& port);
// Main thread: frees the copies of system-exclusive messages that have gone out.
void ReclaimSpent(Ports& ports);
// Main thread: an owner for a client's direct sends and auditions (kOwnerNone when all are taken),
// and its return once nothing of it is left in any ledger or queue.
Owner TakeClientOwner(Ports& ports);
void GiveBackClientOwner(Ports& ports, Owner owner);
