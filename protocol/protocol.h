// The engine's message catalogue as the engine bus carries it: message numbers, engine command
// codes, copy-data types with the layout of each payload, notifications and the error codes of
// notification 10. One definition, shared by the engine, the client library (through tovu_client.h)
// and the tools; neither side writes these numbers out.
//
// Every payload field is a little-endian 32-bit word unless it says otherwise; offsets are in bytes
// from the start of the payload. Organised by message: each block is one message or payload. The
// payload records and their one encoder and decoder are protocol/payloads.h; the song image a client
// loads (types 19 and 20) is a format of its own, protocol/song_image_format.h.
#pragma once

#include <cstdint>

namespace tovu::protocol {

// ---- Message numbers ----
constexpr uint32_t kEngineCommand = 1624;    // commands to the engine (wParam = code); notifications to clients
constexpr uint32_t kPositionMessage = 1625;  // playback position (lParam = tick), sent to the playing client
constexpr uint32_t kStartMessage = 1626;     // a start or continue was accepted (lParam = its start parameter)
constexpr uint32_t kWmCopyData = 0x004A;     // a typed payload; dwData = type | argument << 16
constexpr uint32_t kWmClose = 0x0010;        // asks the engine to close

// ---- Engine commands: kEngineCommand, wParam = code, the result is the send's reply ----
constexpr uint32_t kCommandRegister = 0;            // lParam = client window; 0 registered, 1 failure
constexpr uint32_t kCommandUnregister = 1;          // lParam = client window; 0 done, 1 not registered
constexpr uint32_t kCommandOutputPorts = 2;         // lParam = window to answer with kCopyOutputPorts
constexpr uint32_t kCommandAuditionHoldTime = 3;    // result: the audition hold time in milliseconds
constexpr uint32_t kCommandSetAuditionHoldTime = 4; // lParam = the hold time in milliseconds
constexpr uint32_t kCommandStop = 5;                // lParam = client window; 0 stopped, 1 not playing
constexpr uint32_t kCommandReloadSettings = 8;      // reads the settings store again
constexpr uint32_t kCommandSendShort = 18;          // lParam = packed event; the output path's result
constexpr uint32_t kCommandInputPorts = 24;         // lParam = window to answer with kCopyInputPorts
constexpr uint32_t kCommandMetronomeSettings = 26;  // lParam = window to answer with kCopyMetronomeSettings
constexpr uint32_t kCommandPanic = 31;              // note-offs and controller reset on every open output
// An addition: lParam = output device id; result: the longest message the port's device carries in
// one message, in bytes (kLongestUnlimited when no limit is known; 0 when the device id names no
// port or the port is not open).
constexpr uint32_t kCommandLongestMessage = 32;
// An addition: lParam = the window to answer with kCopySyncOutSettings (the sync-out settings as
// they stand), during the call; result 0.
constexpr uint32_t kCommandSyncOutSettings = 34;
constexpr uint32_t kLongestUnlimited = 0x7FFFFFFF;
// Command kCommandSendShort's result when the port's queue (or the sender's share of it) is full.
constexpr int32_t kResultQueueFull = 7;
// An addition: the result of a send to a port whose device has gone away (command 18, and an
// open-ports reply's entry for such a port), the platform's "no device" (MIDIERR_NODEVICE).
constexpr int32_t kResultNoDevice = 68;
// An addition: lParam = window to answer with kCopyPortStates during the call; result 0.
constexpr uint32_t kCommandPortStates = 33;

// Results of engine commands that do not return data.
constexpr int32_t kResultDone = 0;     // done (registered, sent, stopped)
constexpr int32_t kResultRefused = 1;  // refused: not a registered client, nothing to answer, not playing

// ---- Copy-data: kWmCopyData, wParam = sender's window, dwData = type | argument << 16 ----
constexpr uint32_t kCopyDataTypeMask = 0xFFFF;   // dwData bits 0-15: the type
constexpr uint32_t kCopyDataArgumentShift = 16;  // dwData bits 16-31: the type's argument
constexpr uint32_t CopyDataType(uint32_t dwData) { return dwData & kCopyDataTypeMask; }
constexpr uint32_t CopyDataArgument(uint32_t dwData) { return dwData >> kCopyDataArgumentShift; }
constexpr uint32_t CopyDataWord(uint32_t type, uint32_t argument) {
  return (type & kCopyDataTypeMask) | argument << kCopyDataArgumentShift;
}
// The result of a copy-data message: every listed type, whatever its handler did; others 0.
constexpr int32_t kCopyDataHandled = 1;
constexpr int32_t kCopyDataUnknown = 0;

// Types a client sends (requests) and the engine sends (answers and reports).
constexpr uint32_t kCopyOutputPorts = 2;          // engine: output port records, answer to kCommandOutputPorts
constexpr uint32_t kCopyOpenPorts = 13;           // client: open-ports request; engine: its reply
constexpr uint32_t kCopyClosePorts = 14;          // client: close the sender's ports (no payload)
constexpr uint32_t kCopyShortList = 15;           // client: packed events sent in order
constexpr uint32_t kCopyAudition = 16;            // client: packed events released after the hold time
constexpr uint32_t kCopySysex = 17;               // client: one sysex message; argument = output port index
constexpr uint32_t kCopyLoadSong = 19;            // client: song image for the current slot
constexpr uint32_t kCopyLoadNextSong = 20;        // client: song image for the next slot
constexpr uint32_t kCopyStart = 21;               // client: start request
constexpr uint32_t kCopyContinue = 22;            // client: start request continuing with the next song
constexpr uint32_t kCopyTempoFactor = 23;         // client: tempo factor
constexpr uint32_t kCopyInputPorts = 24;          // engine: input port records, answer to kCommandInputPorts
constexpr uint32_t kCopyInputFilter = 25;         // client: input filter
constexpr uint32_t kCopyMetronomeSettings = 26;   // engine: metronome settings, answer to kCommandMetronomeSettings
constexpr uint32_t kCopySetMetronome = 27;        // client: metronome settings (engine-wide)
constexpr uint32_t kCopyTake = 28;                // engine: the take, to the recording client at its stop
constexpr uint32_t kCopySetThru = 29;             // client: thru settings (engine-wide)
constexpr uint32_t kCopyActivity = 30;            // engine: activity table of sounding notes
constexpr uint32_t kCopyPortStates = 33;          // engine: port states, answer to kCommandPortStates (an addition)
// Additions: engine: the sync-out settings, answer to kCommandSyncOutSettings; client: the sync-out
// settings (engine-wide).
constexpr uint32_t kCopySyncOutSettings = 34;
constexpr uint32_t kCopySetSyncOut = 35;
// An addition: client: the input device whose MIDI clock the sender's next playbacks follow.
constexpr uint32_t kCopyClockIn = 36;

// ---- Values shared by several payloads ----
constexpr uint32_t kNoDevice = 0x8000;  // a device id naming no device (metronome, thru off)
constexpr uint32_t kNoPortIndex = 255;  // the top byte of a packed event naming no port
constexpr uint32_t kPackedEventSize = 4;  // one packed event word in lists (types 15, 16)

// ---- Port records (kCopyOutputPorts, kCopyInputPorts), one per port in port index order ----
constexpr uint32_t kPortNameSize = 64;          // offset 0: the name, zero-padded
constexpr uint32_t kPortDeviceIdOffset = 64;    // the platform's device id
constexpr uint32_t kPortHandleOffset = 68;      // nonzero while the engine holds the port open
constexpr uint32_t kPortSysexDelayOffset = 72;  // outputs: pause after each sysex, milliseconds
constexpr uint32_t kPortShortResetOffset = 76;  // outputs: the port's short-reset setting
constexpr uint32_t kOutputRecordSize = 80;
constexpr uint32_t kInputRecordSize = 72;

// ---- Port states (kCopyPortStates), an addition: u32 output count, u32 input count, then one byte
// per output port and one per input port, in port index order ----
constexpr uint32_t kPortStatesHeaderSize = 8;
constexpr uint32_t kMaxPortStates = 255;  // ports a table holds at most
constexpr uint8_t kPortPresent = 0;  // the port's device is there (the port may be open or closed)
constexpr uint8_t kPortAbsent = 1;   // its device has gone away; the port keeps its index (and shows as closed)

// ---- Open-ports request and reply (kCopyOpenPorts), both of kOpenPortsSize bytes ----
constexpr uint32_t kOpenPortsSize = 1080;
constexpr uint32_t kOpenPortsWindowOffset = 0;         // reply: the client's window
constexpr uint32_t kOpenPortsCountOffset = 4;          // output count (request; echoed in the reply)
constexpr uint32_t kOpenPortsOutputsOffset = 8;        // request: device ids; reply: one result each
constexpr int32_t kOpenPortsMaxOutputs = 256;          // room for this many outputs
constexpr uint32_t kOpenPortsInputOffset = 1032;       // request: input device id; reply: its result
constexpr uint32_t kOpenPortsChannelMaskOffset = 1064; // request: the input filter's channel mask
constexpr uint32_t kOpenPortsInputFlagsOffset = 1068;  // request: the input filter's flags
constexpr int32_t kNoInputDevice = -1;     // request: no input port (reply: no input result)
constexpr int32_t kPortNotRegistered = 1;  // reply: the first result when the sender is not registered
constexpr int32_t kPortNoDevice = 2;       // reply: no port has the device id asked for

// ---- Start request (kCopyStart, kCopyContinue), kStartRequestSize bytes ----
constexpr uint32_t kStartRequestSize = 32;
constexpr uint32_t kStartTickOffset = 0;
constexpr uint32_t kStartLoopStartOffset = 4;
constexpr uint32_t kStartLoopEndOffset = 8;      // kLoopEndOpen: the song's end
constexpr uint32_t kStartLoopOnOffset = 12;      // nonzero: loop
constexpr uint32_t kStartSysexModeOffset = 16;   // one of the sysex modes below
constexpr uint32_t kStartSetupSysexOffset = 20;  // nonzero: send the song's setup sysex too
constexpr uint32_t kStartRecordOnOffset = 24;    // nonzero: record
constexpr uint32_t kStartParamOffset = 28;       // returned in lParam of kStartMessage
constexpr int32_t kLoopEndOpen = 0x7FFFFFFF;     // a loop end at the song's end
constexpr int32_t kSysexModeHoldSetup = 0;       // sysex passed is sent, the setup sysex held back
constexpr int32_t kSysexModeAll = 1;             // every sysex passed is sent
constexpr int32_t kSysexModeNone = 2;            // (any other value) no sysex is sent at a start

// ---- Tempo factor (kCopyTempoFactor): one little-endian IEEE double ----
constexpr uint32_t kTempoFactorSize = 8;

// ---- Input filter (kCopyInputFilter) ----
constexpr uint32_t kInputFilterSize = 8;
constexpr uint32_t kFilterChannelMaskOffset = 0;  // bit n: channel n + 1 is listened to
constexpr uint32_t kFilterFlagsOffset = 4;        // the input flags below
constexpr uint32_t kAllChannels = 0xFFFF;         // a channel mask accepting every channel (the default)
constexpr uint32_t kInputNotes = 1;               // flag: note-on and note-off (the default)
constexpr uint32_t kInputControllers = 2;         // flag: control changes
constexpr uint32_t kInputPitchBend = 4;           // flag: pitch bend
constexpr uint32_t kInputSysex = 8;               // flag: record system-exclusive input

// ---- Metronome settings (kCopySetMetronome, kCopyMetronomeSettings) ----
constexpr uint32_t kMetronomeSettingsSize = 16;
constexpr uint32_t kMetronomeDeviceOffset = 0;       // output device id; kNoDevice: none
constexpr uint32_t kMetronomeChannelOffset = 4;
constexpr uint32_t kMetronomeMeasureNoteOffset = 8;  // the note of a bar's first beat
constexpr uint32_t kMetronomeBeatNoteOffset = 12;    // the note of the other beats

// ---- Thru settings (kCopySetThru) ----
constexpr uint32_t kThruSettingsSize = 16;
constexpr uint32_t kThruDeviceOffset = 0;          // output device id; kNoDevice: thru off
constexpr uint32_t kThruChannelOffset = 4;         // 0-15, or kThruOwnChannel
constexpr int32_t kThruOwnChannel = -1;           // (any negative channel) keep each message's own channel
constexpr uint32_t kThruTransposeOffset = 8;       // semitones added to notes
constexpr uint32_t kThruVelocityOffsetOffset = 12; // added to note-on velocities

// ---- Sync-out settings (kCopySetSyncOut, kCopySyncOutSettings), an addition: a header, then `count` port entries ----
constexpr uint32_t kSyncOutFlagsOffset = 0;       // the flags below
constexpr uint32_t kSyncOutRateOffset = 4;        // the time code's rate: 0 24, 1 25, 2 29.97 drop-frame, 3 30
constexpr uint32_t kSyncOutIdleTempoOffset = 8;   // pulses while stopped: quarter notes a minute x 1000; 0 the last playback's
constexpr uint32_t kSyncOutCountOffset = 12;      // port entries that follow (0-255)
constexpr uint32_t kSyncOutHeaderSize = 16;
constexpr uint32_t kSyncOutEntrySize = 8;         // u32 output device id, u32 what it sends
constexpr uint32_t kSyncOutMaxPorts = 255;
constexpr uint32_t kSyncRunWhileStopped = 1;      // flag: MIDI clock pulses go on while nothing plays
constexpr uint32_t kSyncJackTransport = 2;        // flag: the playback drives the JACK transport
constexpr uint32_t kSyncOutClock = 1;             // what: MIDI clock, song position, start, continue, stop
constexpr uint32_t kSyncOutTimecode = 2;          // what: MIDI time code

// ---- Clock in (kCopyClockIn), an addition: i32 input device id; kNoInputDevice (-1): none ----
constexpr uint32_t kClockInSize = 4;
constexpr int32_t kClockInJackTransport = -2;  // instead of a device: follow the JACK transport

// ---- Take (kCopyTake): header, entries, then the sysex bytes back to back ----
constexpr uint32_t kTakeHeaderSize = 20;
constexpr uint32_t kTakeEventCountOffset = 0;      // entries that follow the header
constexpr uint32_t kTakeRecordStartOffset = 4;     // the tick recording began at
constexpr uint32_t kTakeCountInOffset = 8;         // the count-in's length in ticks
constexpr uint32_t kTakeBlockCountOffset = 12;     // sysex messages
constexpr uint32_t kTakeByteCountOffset = 16;      // sysex bytes after the entries
constexpr uint32_t kTakeEntrySize = 8;             // i32 tick, then the u32 word
constexpr uint32_t kTakeEntryWordOffset = 4;
constexpr uint32_t kTakeEndMarker = 0x000000FF;    // word closing a loop pass and the take
constexpr uint32_t kTakeSysexMarker = 0xF0;        // word bits 0-7; bits 8-31: offset in the sysex bytes

// ---- Activity report (kCopyActivity): per output port, 16 channels x 128 note counters ----
constexpr int kActivityPerPort = 2048;

// ---- Notifications: kEngineCommand posted to a client, wParam = code ----
enum Notification : uint32_t {
  kNotifyStopped = 5,       // lParam kNotifyOwn for the client whose playback stopped, kNotifyOther for others
  kNotifyFailed = 10,       // lParam = error code below
  kNotifyEnded = 12,        // the playback came to its end by itself
  kNotifyPortsClosed = 14,  // lParam kPortsClosedClient or kPortsClosedShutdown
  kNotifyStarted = 21,      // lParam kNotifyOwn for the client that started, kNotifyOther for the others
  kNotifyPortsChanged = 33,  // an addition: a port came, went or came back (lParam: PortChangeWord)
  kNotifyClockLost = 34,     // an addition: the followed clock stopped arriving (lParam 1) or came back (0)
};
constexpr uint32_t kNotifyOther = 0;          // started or stopped: another client's playback
constexpr uint32_t kNotifyOwn = 1;            // started or stopped: the receiver's own playback
constexpr uint32_t kPortsClosedClient = 0;    // this client's ports closed
constexpr uint32_t kPortsClosedShutdown = 1;  // the engine is shutting down

// Notification kNotifyPortsChanged's lParam: the port index in bits 0-7, kPortChangeInput for the
// input table, the change in bits 16-23.
enum PortChangeCode : uint32_t {
  kPortAdded = 1,    // a new device: its port appended at the index
  kPortGone = 2,     // the port's device went away: the port is absent
  kPortBack = 3,     // the device came back: the port is present, reopened for those who held it
};
constexpr uint32_t kPortChangeIndexMask = 0xFF;
constexpr uint32_t kPortChangeInput = 0x100;
constexpr uint32_t kPortChangeKindShift = 16;
constexpr uint32_t PortChangeWord(uint32_t change, bool input, uint32_t index) {
  return (index & kPortChangeIndexMask) | (input ? kPortChangeInput : 0) | change << kPortChangeKindShift;
}
constexpr uint32_t PortChangeOf(uint32_t word) { return (word >> kPortChangeKindShift) & 0xFF; }

// Error codes carried by notification 10.
enum ErrorCode : uint32_t {
  kErrorNotRegistered = 1,
  kErrorSongSlotEmpty = 2,
  kErrorNoInputPort = 3,
  kErrorBadLoop = 10,
  kErrorAlreadyPlaying = 11,
  kErrorOutOfMemory = 12,    // a song copy could not be made; after a take: input was lost (take_reader.h)
  kErrorMalformedSong = 13,  // the song image breaks the format's limits; the slot stays empty
  kErrorNoOutputPorts = 14,  // a start on an engine without any output port: nothing can play
  kErrorQueueFull = 15,      // a message that had to wait found its port's queue (or the sender's share) full: not sent
  kErrorMessageTooLong = 16, // a system-exclusive message longer than the port's device carries: not sent
  kErrorPortAbsent = 17,     // an addition: a direct send (types 15, 16, 17) to a port whose device has gone: not sent
};

}  // namespace tovu::protocol
