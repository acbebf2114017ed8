// MIDI input: the callback every open input port calls, the filter of the listening client (the
// recording client while one is set, else the thru owner), and the hand-over of what passes to thru
// and to the take. The callback knows nothing of the service behind it: any service that calls it
// with MIM_DATA words and MIM_LONGDATA buffers as midi.h describes feeds the same path.
//
// Threads: the MIDI input thread of the device service, one message at a time per port. It reads
// the listening client's record under the client-table lock (WithClientLocked), and the playback's
// recording client and thru's owner as atomics.
#include "recording/recording.h"

namespace {

struct Listener {
  int32_t inputPort = -1;
  uint32_t channelMask = 0;
  uint32_t inputFlags = 0;
};

// The filter settings of `window` and whether `handle` is its input port.
bool ListensOn(const InputRouter& router, uint32_t window, platform::MidiHandle handle, Listener* out) {
  if (window == 0) return false;
  bool found = WithClientLocked(*router.clients, window, [&](const ClientRecord& record) {
    out->inputPort = record.inputPort.load(std::memory_order_relaxed);
    out->channelMask = record.channelMask.load(std::memory_order_relaxed);
    out->inputFlags = record.inputFlags.load(std::memory_order_relaxed);
  });
  return found && out->inputPort != -1 && FindInputPortByHandle(*router.ports, handle) == out->inputPort;
}

bool AcceptShortInput(const InputRouter& router, platform::MidiHandle handle, uint32_t message) {
  uint32_t window = router.recordingClient->load();
  if (window == 0) window = router.thru->owner.load();
  Listener listener;
  return ListensOn(router, window, handle, &listener) &&
         FilterPasses(message, listener.channelMask, listener.inputFlags);
}

// Only the recording client admits system-exclusive input, and only with flag bit 3.
bool AcceptSysexInput(const InputRouter& router, platform::MidiHandle handle) {
  Listener listener;
  return ListensOn(router, router.recordingClient->load(), handle, &listener) &&
         (listener.inputFlags & tovu::protocol::kInputSysex) != 0;
}

// When the input being handled arrived, on the clock the playback keeps (follow.h).
double ArrivalMs(const InputRouter& router) {
  const double arrivalMs = platform::MidiInArrivalMs();
  return router.clockIn ? ArrivalOnFollowedClock(*router.clockIn, arrivalMs, platform::MidiInArrivalServerMs())
                        : arrivalMs;
}

// What passed the filter goes to thru (as the thru settings change it; not when what thru held was
// released since the filter admitted it) and to the take (as it came, stamped when it arrived).
void RouteInput(const InputRouter& router, uint32_t message, uint32_t thruGeneration) {
  if (router.thru->owner.load() != 0) ThruPlayIn(*router.thru, message, thruGeneration);
  if (router.recordingClient->load() != 0) RecordArrived(*router.recorder, message, ArrivalMs(router));
}

}  // namespace

bool FilterPasses(uint32_t message, uint32_t channelMask, uint32_t inputFlags) {
  uint32_t bit = 1u << (message & 0x0F);
  if ((channelMask & bit) == 0) return false;
  switch (message & 0xF0) {
    case 0x80:
    case 0x90: return (inputFlags & tovu::protocol::kInputNotes) != 0;
    case 0xB0: return (inputFlags & tovu::protocol::kInputControllers) != 0;
    case 0xE0: return (inputFlags & tovu::protocol::kInputPitchBend) != 0;
    default: return false;  // poly and channel pressure, program change, system messages
  }
}

void OnMidiInput(platform::MidiHandle handle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t) {
  const InputRouter* router = reinterpret_cast<const InputRouter*>(instance);
  if (!router || !router->clients) return;
  if (msg == platform::kMimData) {
    uint32_t message = static_cast<uint32_t>(param1) & 0x00FFFFFF;
    if (message == 0xFE) return;  // active sensing
    // Clock messages go to the follower before the filter (which refuses every system message).
    if (router->clockIn && (message & 0xF0) == 0xF0 &&
        OfferClockInput(*router->clockIn, FindInputPortByHandle(*router->ports, handle), message,
                        platform::MidiInArrivalMs(), platform::MidiInArrivalServerMs()))
      return;
    // Read before the filter: a release of what thru holds after this point drops the message.
    uint32_t thruGeneration = router->thru->generation.load();
    if (AcceptShortInput(*router, handle, message)) RouteInput(*router, message, thruGeneration);
  } else if (msg == platform::kMimLongData) {
    auto* buffer = reinterpret_cast<platform::MidiInBuffer*>(param1);
    if (buffer)
      OnSysexBuffer(*router->recorder, handle, buffer, AcceptSysexInput(*router, handle), ArrivalMs(*router));
  }
}
