// The payload records of the copy-data messages, with their one encoder and decoder, used by the
// client library (which builds what it sends and reads what it receives) and the engine (which
// reads what clients send and builds its answers) alike. Pure functions on values, no connection;
// the layouts are protocol.h's. A decoder never reads past the payload it is given: a short payload
// decodes as nothing (or false).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace tovu {

// ---- Port lists (answers of commands 2 and 24) ----

struct OutputPortInfo {
  std::string name;
  uint32_t deviceId = 0;
  uint32_t handle = 0;  // nonzero while the engine holds the port open
  int32_t sysexDelayMs = 0;
  uint32_t shortReset = 0;
};
struct InputPortInfo {
  std::string name;
  uint32_t deviceId = 0;
  uint32_t handle = 0;
};
// Decoders of the type-2 and type-24 answers (records of 80 and 72 bytes).
std::vector<OutputPortInfo> DecodeOutputPorts(const std::vector<uint8_t>& payload);
std::vector<InputPortInfo> DecodeInputPorts(const std::vector<uint8_t>& payload);

// ---- Open-ports request and reply (type 13) ----

struct OpenPortsRequest {
  std::vector<uint32_t> outputDevices;  // at most 256 device ids, in the order wanted
  int32_t inputDevice = protocol::kNoInputDevice;  // -1: none
  uint32_t channelMask = protocol::kAllChannels;
  uint32_t inputFlags = protocol::kInputNotes;
  int32_t outputCountOverride = -1;     // >= 0: send this count instead (tests of odd requests)
};
struct OpenPortsReply {
  uint32_t window = 0;
  int32_t outputCount = 0;
  int32_t outputResults[protocol::kOpenPortsMaxOutputs] = {};
  int32_t inputResult = protocol::kNoInputDevice;
};
std::vector<uint8_t> EncodeOpenPortsRequest(const OpenPortsRequest& request);
bool DecodeOpenPortsReply(const std::vector<uint8_t>& payload, OpenPortsReply* reply);

// ---- Start request (types 21 and 22): its 32 bytes, in this order ----

struct StartRequest {
  int32_t startTick = 0;
  int32_t loopStart = 0;
  int32_t loopEnd = protocol::kLoopEndOpen;  // 0x7FFFFFFF: the song's end
  int32_t loopOn = 0;
  int32_t sysexMode = protocol::kSysexModeNone;  // 0 send sysex, setup held back; 1 send all; other: none
  int32_t setupSysex = 0;
  int32_t recordOn = 0;
  int32_t startParam = 0;        // returned in lParam of the start message 1626
};
std::vector<uint8_t> EncodeStartRequest(const StartRequest& request);
bool DecodeStartRequest(const uint8_t* bytes, size_t size, StartRequest* request);

// ---- Packed event lists (types 15 and 16), tempo factor (23), input filter (25) ----

std::vector<uint8_t> EncodeEventList(const std::vector<uint32_t>& events);
std::vector<uint8_t> EncodeTempoFactor(double factor);
bool DecodeTempoFactor(const uint8_t* bytes, size_t size, double* factor);
std::vector<uint8_t> EncodeInputFilter(uint32_t channelMask, uint32_t inputFlags);
bool DecodeInputFilter(const uint8_t* bytes, size_t size, uint32_t* channelMask, uint32_t* inputFlags);

// ---- Metronome (types 26 and 27) and thru (type 29) settings ----

struct MetronomeSettings {
  int32_t device = protocol::kNoDevice;  // output device id, 0x8000 = none
  int32_t channel = 9;
  int32_t measureNote = 60;
  int32_t beatNote = 61;
};
// Thru: incoming MIDI of the listening client echoed to one output device.
struct ThruSettings {
  int32_t device = protocol::kNoDevice;  // output device id, 0x8000 = thru off
  int32_t channel = 0;        // 0-15; negative keeps each message's own channel
  int32_t transpose = 0;      // semitones added to notes (the result is clamped to 0-127)
  int32_t velocityOffset = 0; // added to note-on velocities above 0 (clamped to 1-127)
};
// The 16-byte payload of types 26 and 27, and its reading (false when it is too short).
std::vector<uint8_t> EncodeMetronomeSettings(const MetronomeSettings& settings);
bool DecodeMetronomeSettings(const std::vector<uint8_t>& payload, MetronomeSettings* settings);
bool DecodeMetronomeSettings(const uint8_t* bytes, size_t size, MetronomeSettings* settings);
std::vector<uint8_t> EncodeThruSettings(const ThruSettings& settings);
bool DecodeThruSettings(const uint8_t* bytes, size_t size, ThruSettings* settings);

// ---- Port states (type 33, an addition) ----

// One byte per port in port index order, protocol::kPortPresent or kPortAbsent.
struct PortStates {
  std::vector<uint8_t> outputs;
  std::vector<uint8_t> inputs;
};
std::vector<uint8_t> EncodePortStates(const PortStates& states);
// False when the payload is shorter than its header says.
bool DecodePortStates(const std::vector<uint8_t>& payload, PortStates* states);

// ---- Sync-out settings (type 35, and type 34 answering command 34), an addition ----

struct SyncOutSettings {
  struct Port {
    uint32_t device = 0;  // output device id
    uint32_t what = 0;    // protocol::kSyncOutClock | protocol::kSyncOutTimecode
  };
  std::vector<Port> ports;  // at most 255
  uint32_t flags = 0;       // protocol::kSyncRunWhileStopped | protocol::kSyncJackTransport
  int32_t timecodeRate = 1; // 0 24, 1 25, 2 29.97 drop-frame, 3 30 frames a second
  uint32_t idleTempoMilli = 0;  // quarter notes a minute x 1000 while stopped; 0: the last playback's tempo
};
std::vector<uint8_t> EncodeSyncOutSettings(const SyncOutSettings& settings);
// Clock in (an addition): the input device whose clock a client's playbacks follow (-1: none).
std::vector<uint8_t> EncodeClockIn(int32_t device);
// False when the payload is shorter than its header says; a count above 255 reads 255 entries.
bool DecodeSyncOutSettings(const uint8_t* bytes, size_t size, SyncOutSettings* settings);

}  // namespace tovu
