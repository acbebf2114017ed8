// The Tovu client library: how an application talks to the engine. One call per request, each
// joining the transport (client/transport.h: connecting, sending, receiving into the inbox) with the
// payload encoders and decoders (protocol/payloads.h); the message catalogue is protocol/protocol.h.
// Including this header brings all three.
//
//   tovu::Client c;
//   if (!tovu::Connect(c)) ...;             // starts tovu-engine when none answers
//   tovu::Register(c);                      // engine command 0; keeps the engine alive
//   std::vector<tovu::OutputPortInfo> outs;
//   tovu::RequestOutputPorts(c, &outs);     // command 2; the type-2 answer arrives during the send
//   tovu::Unregister(c);                    // the engine closes when its last client leaves
//   tovu::Disconnect(c);
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
#include <vector>

#include "protocol/payloads.h"
#include "protocol/protocol.h"
#include "client/song_builder.h"
#include "client/transport.h"

namespace tovu {

// Engine commands 0 and 1. Register closes the started engine's start-up pipe once registered,
// keeping the engine's own lines in `engineLines`.
int32_t Register(Client& client);
int32_t Unregister(Client& client);
// Command 2 / 24: the result (0 sent, 1 no ports) and the records that arrived during the call.
int32_t RequestOutputPorts(Client& client, std::vector<OutputPortInfo>* ports);
int32_t RequestInputPorts(Client& client, std::vector<InputPortInfo>* ports);
// Command 33 (an addition): whether each port's device is there; false when no answer came.
bool RequestPortStates(Client& client, PortStates* states);
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
// Sends type 13 and returns the reply that arrived during the call (false when none came, as for
// an output count of 0).
bool OpenPorts(Client& client, const OpenPortsRequest& request, OpenPortsReply* reply);
bool ClosePorts(Client& client);

// Song slots (types 19 and 20): a failure arrives later as notification 10.
bool LoadSong(Client& client, const std::vector<uint8_t>& image);
bool LoadNextSong(Client& client, const std::vector<uint8_t>& image);
// Playback (types 21 and 22, command 5). A refusal arrives later as notification 10.
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
// Thru (type 29; engine-wide). The sender becomes the thru owner when the device's port opens.
bool SetThru(Client& client, const ThruSettings& settings);
// Additions: sync out (type 34; engine-wide), MIDI clock and time code on output devices, and the
// settings as the engine holds them (command 33, answered with a type-33 copy-data during the call;
// false when no answer came: an engine without sync out).
bool SetSyncOut(Client& client, const SyncOutSettings& settings);
bool RequestSyncOutSettings(Client& client, SyncOutSettings* settings);
// Addition: clock in (type 36). This client's later starts follow the MIDI clock arriving on input
// device `device` (-1: none, the default); its port must be open when a start comes.
bool SetClockIn(Client& client, int32_t device);

}  // namespace tovu
