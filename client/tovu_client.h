// The Tovu client library: how an application talks to the engine.
//
// A `Client` is one window on the engine bus (one connection). A program may hold several. A client
// is used from one thread at a time.
//
//   tovu::Client c;
//   if (!tovu::Connect(c)) ...;             // starts tovu-engine when none answers
//   tovu::Register(c);                      // engine command 0; keeps the engine alive
//   std::vector<tovu::OutputPortInfo> outs;
//   tovu::RequestOutputPorts(c, &outs);     // command 2; the type-2 answer arrives during the send
//   tovu::Unregister(c);                    // the engine closes when its last client leaves
//   tovu::Disconnect(c);
//
// Receiving. Everything the engine addresses to the window (posted notifications, sent answers,
// position and start messages) is appended to `inbox` in arrival order. Messages the engine SENDs
// are also handed to `windowProc` when one is set; its result is the reply (0 without one). While a
// Send waits for its reply, SENDs addressed to the window are answered at once (nested, so a
// synchronous command never deadlocks against the engine's answer) and POSTs are kept for the loop.
// `PumpMessages` reads for a while and delivers what arrives; `WaitForMessage` waits for one that
// matches.
//
// Notifications (engine command message 1624 posted to the client, wParam = code):
//   5 playback stopped (lParam 1 for the client that played), 10 request failed (lParam = error),
//   12 playback ended by itself, 14 ports closed (lParam 0) or engine shutting down (lParam 1),
//   21 playback started (lParam 1 for the starter).
// Error codes of notification 10: 1 not registered; 2 current song slot empty; 3 recording without
// an input port; 10 loop start not before loop end (the song's end when the loop end is left open);
// 11 a playback already runs; 12 not enough memory for the song copy, or, right after a take, the
// recording lost input (take_reader.h); 13 the song image is malformed (refused at load; the slot
// stays empty); 14 the engine has no output port, so nothing can play.
//
// Playback: Start (type 21) answers with the start message 1626 (sent; lParam = the request's
// startParam), then notification 21 to every client; position messages 1625 (sent; lParam = the
// tick of each sixteenth-note step reached) follow while it plays. At the song's end: the position
// message with the end tick, notification 12, then notification 5 to every client. Stop (command 5)
// answers 0 when it stopped the playback, 1 when the window named does not play.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "client/protocol.h"
#include "client/song_builder.h"

namespace tovu {

// The catalogue's numbers and codes (protocol.h), as tovu::kEngineCommand, tovu::kNotifyFailed, ...
using namespace protocol;

struct Message {
  uint32_t msg = 0;
  uint32_t wParam = 0;
  uint32_t lParam = 0;
  uint32_t dwData = 0;
  std::vector<uint8_t> payload;
  bool sent = false;  // delivered with SEND (the engine waited for our reply)
};

struct Client {
  int fd = -1;
  uint32_t window = 0;        // this client's window handle, from the engine's HELLO
  uint32_t engineWindow = 0;  // the engine window's handle
  int startupPipe = -1;       // reading end of a started engine's standard error, until registered
  // The lines a started engine wrote on its standard error before this client registered ("tovu: "
  // taken off): why it has no MIDI devices, for instance. Empty when the engine was running already.
  std::string engineLines;
  // Why Connect failed, in words: a socket directory that is not private, an engine that could not
  // be started or that exited (with its own line), nothing answering.
  std::string connectError;
  std::function<int32_t(const Message&)> windowProc;
  std::deque<Message> inbox;
  // internal
  std::vector<uint8_t> in;
  uint32_t nextSendId = 1;
  std::vector<uint32_t> repliesWanted;
  std::vector<std::pair<uint32_t, int32_t>> repliesGot;
};

struct ConnectOptions {
  std::string socketPath;   // empty: the platform's bus path (TOVU_ENGINE_SOCKET and so on)
  bool startEngine = true;  // start tovu-engine when nothing answers
  std::string enginePath;   // empty: TOVU_ENGINE_BINARY, beside this program, or on PATH
  int timeoutMs = 5000;     // how long to wait for a started engine to answer
};

// Connects and reads the engine's HELLO. False when no engine could be reached, and at once when the
// socket's directory is not private to this user or the engine answering runs as another user (no
// engine is started then).
bool Connect(Client& client, const ConnectOptions& options = {});
void Disconnect(Client& client);
bool Connected(const Client& client);

// Raw messages to the engine window. Send waits up to timeoutMs for the result (false on timeout
// or disconnection).
bool Post(Client& client, uint32_t msg, uint32_t wParam, uint32_t lParam);
bool Send(Client& client, uint32_t msg, uint32_t wParam, uint32_t lParam, int32_t* result, int timeoutMs = 10000);
bool SendCopyData(Client& client, uint16_t type, uint16_t argument, const void* data, uint32_t size,
                  int32_t* result = nullptr, int timeoutMs = 10000);
bool PostCopyData(Client& client, uint16_t type, uint16_t argument, const void* data, uint32_t size);
// Engine command 1624 with the given code, sent synchronously; returns the result, -1 on failure.
int32_t Command(Client& client, uint32_t code, uint32_t lParam);

// Reads for up to timeoutMs and delivers what arrives. False once the connection has closed.
bool PumpMessages(Client& client, int timeoutMs);
// Waits until a message in the inbox matches (it is removed and returned). False on timeout.
bool WaitForMessage(Client& client, const std::function<bool(const Message&)>& match, int timeoutMs,
                    Message* out = nullptr);
bool WaitForNotification(Client& client, uint32_t code, int timeoutMs, uint32_t* lParam = nullptr);
// A notification: the engine command message posted to the client.
struct NotificationInfo {
  uint32_t code = 0;    // wParam: 5, 10, 12, 14 or 21
  uint32_t lParam = 0;  // the error code for 10; 0/1 flags for the others
};
// True (filling `info`) when the message is a notification.
bool AsNotification(const Message& message, NotificationInfo* info);
// Removes and returns the notifications in the inbox, in arrival order; other messages stay.
std::vector<NotificationInfo> TakeNotifications(Client& client);
// Removes and returns every message in the inbox.
std::vector<Message> TakeInbox(Client& client);

// ---- Typed helpers ----

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
struct MetronomeSettings {
  int32_t device = 0x8000;  // output device id, 0x8000 = none
  int32_t channel = 9;
  int32_t measureNote = 60;
  int32_t beatNote = 61;
};
// Thru: incoming MIDI of the listening client echoed to one output device.
struct ThruSettings {
  int32_t device = 0x8000;    // output device id, 0x8000 = thru off
  int32_t channel = 0;        // 0-15; negative keeps each message's own channel
  int32_t transpose = 0;      // semitones added to notes (the result is clamped to 0-127)
  int32_t velocityOffset = 0; // added to note-on velocities above 0 (clamped to 1-127)
};

// Engine commands 0 and 1. Register closes the started engine's start-up pipe once registered,
// keeping the engine's own lines in `engineLines`.
int32_t Register(Client& client);
int32_t Unregister(Client& client);
// Command 2 / 24: the result (0 sent, 1 no ports) and the records that arrived during the call.
int32_t RequestOutputPorts(Client& client, std::vector<OutputPortInfo>* ports);
int32_t RequestInputPorts(Client& client, std::vector<InputPortInfo>* ports);
// Decoders of the type-2 and type-24 answers (records of 80 and 72 bytes).
std::vector<OutputPortInfo> DecodeOutputPorts(const std::vector<uint8_t>& payload);
std::vector<InputPortInfo> DecodeInputPorts(const std::vector<uint8_t>& payload);
// Command 8: reload the settings store.
int32_t ReloadSettings(Client& client);
// Asks the engine to close (WM_CLOSE, posted).
bool CloseEngine(Client& client);

// Direct sends. A packed event is status | data1 << 8 | data2 << 16 | port index << 24 (255 = none);
// PackEvent (song_builder.h) packs one.
int32_t SendShort(Client& client, uint32_t packedEvent);          // command 18: the output path's result
int32_t Panic(Client& client);                                    // command 31
int32_t AuditionHoldTime(Client& client);                         // command 3
int32_t SetAuditionHoldTime(Client& client, int32_t milliseconds);  // command 4
bool SendShortList(Client& client, const std::vector<uint32_t>& events);  // type 15
bool Audition(Client& client, const std::vector<uint32_t>& events);       // type 16
bool SendSysex(Client& client, uint8_t portIndex, const std::vector<uint8_t>& bytes);  // type 17

// Ports of this client (type 13 and 14).
struct OpenPortsRequest {
  std::vector<uint32_t> outputDevices;  // at most 256 device ids, in the order wanted
  int32_t inputDevice = -1;             // -1: none
  uint32_t channelMask = 0xFFFF;
  uint32_t inputFlags = 1;
  int32_t outputCountOverride = -1;     // >= 0: send this count instead (tests of odd requests)
};
struct OpenPortsReply {
  uint32_t window = 0;
  int32_t outputCount = 0;
  int32_t outputResults[256] = {};
  int32_t inputResult = -1;
};
std::vector<uint8_t> EncodeOpenPortsRequest(const OpenPortsRequest& request);
bool DecodeOpenPortsReply(const std::vector<uint8_t>& payload, OpenPortsReply* reply);
// Sends type 13 and returns the reply that arrived during the call (false when none came, as for
// an output count of 0).
bool OpenPorts(Client& client, const OpenPortsRequest& request, OpenPortsReply* reply);
bool ClosePorts(Client& client);

// Song slots (types 19 and 20): a failure arrives later as notification 10.
bool LoadSong(Client& client, const std::vector<uint8_t>& image);
bool LoadNextSong(Client& client, const std::vector<uint8_t>& image);
// Playback (types 21 and 22, command 5). The start request's 32 bytes, in this order.
struct StartRequest {
  int32_t startTick = 0;
  int32_t loopStart = 0;
  int32_t loopEnd = 0x7FFFFFFF;  // 0x7FFFFFFF: the song's end
  int32_t loopOn = 0;
  int32_t sysexMode = 2;         // 0 send sysex, setup held back; 1 send all; other: none
  int32_t setupSysex = 0;
  int32_t recordOn = 0;
  int32_t startParam = 0;        // returned in lParam of the start message 1626
};
std::vector<uint8_t> EncodeStartRequest(const StartRequest& request);
// A refusal arrives later as notification 10.
bool Start(Client& client, const StartRequest& request);
bool Continue(Client& client, const StartRequest& request);
// Command 5 for this client's window: 0 stopped, 1 not playing.
int32_t Stop(Client& client);

// Tempo factor (type 23) and input filter (type 25).
bool SetTempoFactor(Client& client, double factor);
bool SetInputFilter(Client& client, uint32_t channelMask, uint32_t inputFlags);

// Metronome (type 27; engine-wide) and its settings as the engine holds them (command 26, answered
// with a type-26 copy-data during the call; false when no answer came). A device id that no output
// port has reads back as 0x8000.
bool SetMetronome(Client& client, const MetronomeSettings& settings);
bool RequestMetronomeSettings(Client& client, MetronomeSettings* settings);
// The 16-byte payload of types 26 and 27, and its reading (false when it is too short).
std::vector<uint8_t> EncodeMetronomeSettings(const MetronomeSettings& settings);
bool DecodeMetronomeSettings(const std::vector<uint8_t>& payload, MetronomeSettings* settings);
// Thru (type 29; engine-wide). The sender becomes the thru owner when the device's port opens.
bool SetThru(Client& client, const ThruSettings& settings);
std::vector<uint8_t> EncodeThruSettings(const ThruSettings& settings);

}  // namespace tovu
