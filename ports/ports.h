// The engine's MIDI ports: the output and input port tables (built once when the engine window is
// created, never reshaped), the engine settings read from the settings store, the activity table of
// sounding notes, and every path by which bytes reach an output port.
//
// Threads: the main thread builds the tables, loads settings, opens and closes ports. The output path
// (SendShortMessage and friends) is entered at once from the main thread, the timer thread and the
// MIDI input thread; it reads the table size and a port's handle and sysex delay (atomics) and
// updates the activity counters with atomic compare-and-swap. The input callback scans the input
// table by handle. Nobody takes a lock here beyond the device layer's own send serialisation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "client/protocol.h"
#include "platform/event.h"
#include "platform/midi.h"

constexpr int kMaxPorts = 255;
// The protocol's none-values, activity table size and port record sizes (client/protocol.h).
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
  std::atomic<uint32_t> handle{0};  // written on the main thread only; 0 while closed
  std::atomic<int32_t> sysexDelayMs{0};
  int32_t shortReset = 0;
  int32_t openCount = 0;
  // This port's 2048 activity counters and the event that reports their changes (set when the
  // tables are built), and the short sends under way on it from any thread.
  std::atomic<uint8_t>* activity = nullptr;
  platform::Event* activityEvent = nullptr;
  std::atomic<int32_t> sending{0};

  int Open();
  // The last close first releases the notes counted on the port, whoever sounded them, so that no
  // note is left sounding on a device that nobody holds any more.
  void Close();
  // When the pause after the last system-exclusive message ends (NowMs's scale; 0 before any).
  std::atomic<double> sysexReadyMs{0.0};

  // Sends one system-exclusive message and starts the port's pause after it: the call itself never
  // waits. Whoever sends next to the port waits until SysexReadyAt has passed (the scheduler with
  // a timer). Returns the device's result code.
  int SendSysex(uint32_t length, const uint8_t* bytes);
};

struct InputPort {
  char name[tovu::protocol::kPortNameSize] = {};
  uint32_t deviceId = 0;
  std::atomic<uint32_t> handle{0};
  int32_t openCount = 0;

  // Opens and starts the device with the given callback and instance value.
  int Open(platform::MidiInCallback callback, uintptr_t instance);
  void Close();
};

// The four metronome settings, in the order the settings reply carries them.
struct EngineSettings {
  int32_t mtrDev = kNoDevice;
  int32_t mtrChan = 9;
  int32_t mtrNM = 60;
  int32_t mtrNB = 61;
};

struct Ports {
  std::unique_ptr<OutputPort[]> outputs;
  int32_t outputCount = 0;
  std::unique_ptr<InputPort[]> inputs;
  int32_t inputCount = 0;
  // outputCount x 2048 counters; null when there is no output port.
  std::unique_ptr<std::atomic<uint8_t>[]> activity;
  platform::Event* activityEvent = nullptr;  // set on every note change; may be null
  EngineSettings settings;
  platform::MidiInCallback inputCallback = nullptr;  // handed to InputPort::Open
  uintptr_t inputInstance = 0;                       // the callback's instance value
};

// ---- Port tables and settings ----

// Lists the devices of the running MIDI service into the two tables (at most 255 each) and, when
// there is at least one output, allocates the activity table. Returns false when memory runs out.
bool BuildPortTables(Ports& ports);
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
// The 80- and 72-byte records of the port-list replies, in port index order.
void FillOutputPortRecords(const Ports& ports, uint8_t* out);
void FillInputPortRecords(const Ports& ports, uint8_t* out);
// Index of the activity counter for a port, channel and note.
inline size_t ActivityIndex(uint32_t port, uint32_t channel, uint32_t note) {
  return static_cast<size_t>(port) * kActivityPerPort + (channel & 15) * 128 + (note & 127);
}

// ---- Output path ----

int SendShortMessage(Ports& ports, uint32_t event);
int SendSysexOnPort(Ports& ports, uint32_t length, const uint8_t* bytes, uint32_t port);
// The port's sysex delay as it is applied: the setting held to 0 to kMaxSysexDelayMs.
int32_t SysexDelayOf(const OutputPort& port);
// When the port's pause after its last system-exclusive message ends; 0 for a port index that names
// no output port.
double SysexReadyAt(const Ports& ports, int32_t port);
// The two 7-bit data bytes of a 14-bit number; a number above 16383 is sent as 16383.
void SplitFourteenBit(uint32_t value, uint32_t* low, uint32_t* high);
// The base event holds the port index in bits 24-31 and the channel in bits 0-3.
int SendRpn(Ports& ports, uint32_t base, uint32_t parameter, uint32_t value);
int SendNrpn(Ports& ports, uint32_t base, uint32_t parameter, uint32_t value);
void ResetControllers(OutputPort& port);
void SendNoteOffs(Ports& ports, OutputPort& port, int portIndex, bool allNotes);
int Panic(Ports& ports);
void ClearActivity(Ports& ports);
