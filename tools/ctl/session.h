// tovu-ctl's side of the engine: one session (a connected, registered client and the engine's port
// lists), ports named by device id, by name or by a unique part of one, the opening of ports, song
// loads checked for a refusal, and the start request every verb sends.
//
// Threads: the main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/tovu_client.h"

namespace ctl {

struct Session {
  tovu::Client client;
  bool registered = false;
  std::vector<tovu::OutputPortInfo> outputs;
  std::vector<tovu::InputPortInfo> inputs;
  ~Session() {
    if (registered) tovu::Unregister(client);
    tovu::Disconnect(client);
  }
};

// One line for a change of the port tables (notification 33's word): 'output 0 "Synth" has gone',
// '... is back', '... is new'. The lists are read again first when the port is not in them yet.
std::string PortChangeText(Session& s, uint32_t word);
// Connects (starting an engine when allowed and none answers), registers and reads the port lists;
// says why on standard error when it cannot.
bool StartSession(Session& s, bool startEngine = true);

// "a,b,c" as its parts.
std::vector<std::string> SplitList(const std::string& text);
// What the environment says about the engine's MIDI service, for an engine without ports: "; ..."
// to append to a failure, or the engine's own line.
std::string ServiceReason(const tovu::Client& c, bool outputs);
// Port-table indices of output specs (the first output when there are none).
bool ResolveOutputs(Session& s, const std::vector<std::string>& specs, std::vector<uint8_t>* indices);
// The device id of an input spec (the first input when empty).
bool ResolveInput(Session& s, const std::string& spec, int32_t* device);
// Sync out while a verb runs (an engine addition): MIDI clock and time code on the ports named, added
// to what the engine sends already. The engine's settings as they stood are put back when the scope
// ends, which comes before the session's own end (declare it after the session).
struct SyncOutScope {
  Session* session = nullptr;
  tovu::SyncOutSettings before;
  ~SyncOutScope() {
    if (session) tovu::SetSyncOut(session->client, before);
  }
};
// Clock on `clockSpecs`, time code at `rate` (0 24, 1 25, 2 29.97 drop-frame, 3 30) on
// `timecodeSpecs`, the flags and tempo while stopped as the settings carry them. Says why on
// standard error when it cannot (an engine without sync out, an unknown port).
bool ChooseSyncOut(Session& s, const std::vector<std::string>& clockSpecs, const std::vector<std::string>& timecodeSpecs,
                   int32_t rate, uint32_t flags, uint32_t idleTempoMilli, SyncOutScope* scope);
// A time code rate as written (24, 25, 29.97, 30) as the settings number it; false for another.
bool ParseTimecodeRate(const std::string& text, int32_t* rate);
// Opens the outputs (port-table indices, each device once) and the input (-1: none).
bool OpenPorts(Session& s, const std::vector<uint8_t>& outputIndices, int32_t input);
// Clock in (an engine addition): the session's playbacks follow the MIDI clock arriving on input
// `clockDevice`. Its port must be open when the start comes: when it is not the session's own input
// (`ownInput`), `holder` (a second client) opens it beside output `output`, its filter passing
// nothing, for as long as it lives. Says why on standard error when it cannot.
bool FollowClockIn(Session& s, int32_t clockDevice, int32_t ownInput, uint8_t output, Session* holder);
// The session's playbacks follow the JACK transport instead. Says why on standard error when the
// engine does not take it.
bool FollowJackTransport(Session& s);
// What a start refused with `code` means while following the JACK transport, when that is the cause
// (the engine has no transport to follow); empty otherwise.
std::string TransportRefusal(uint32_t code);

// A failure that the engine reported for a request already sent (notification 10), if any.
bool TakeFailure(Session& s, uint32_t* code);
// Loads an image into the current slot (or the next, with `next`) and says so when it is refused.
bool LoadAndCheck(Session& s, const std::vector<uint8_t>& image, bool next = false);
// Every sysex is sent, setup included, so that the devices receive the whole file.
tovu::StartRequest MakeStart(int32_t startTick, bool loop, int32_t loopStart, int32_t loopEnd, bool record);

}  // namespace ctl
