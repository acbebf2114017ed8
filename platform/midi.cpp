// MIDI device services: choosing the service at start-up, and the entry points of midi.h on the one
// service state this file owns. The entry points themselves are midi_common's, written once for
// every service; each service differs only in its table of operations (MidiOps): `virtual` in
// midi_virtual.cpp, `jack` in posix/midi_jack.cpp, `alsa` in posix/midi_alsa.cpp and, on Windows, `winmm` in
// win32/midi_winmm.cpp; `none` has no table and no devices. A build without libjack or RtMidi has no
// jack or alsa service (a Windows build has neither, and a Linux build no winmm): its name then
// selects nothing, as for a service that cannot be had.
//
// Selection: TOVU_MIDI names the service; a named real service that cannot be had is reported in one
// line on standard error and leaves no devices. Unset: jack when a JACK server answers (none is ever
// started), else alsa when the ALSA sequencer can be opened, else none, without a word; on Windows,
// winmm.
//
// Threads: MidiStart*, MidiShutdown, opens and closes on the main thread; sends from the main,
// timer and MIDI input threads; the service is only ever changed while no other thread uses the
// layer. The change handler is set from any thread and run by the service's (midi_common's Changed).
#include "platform/midi.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/midi_common.h"
#include "platform/midi_virtual.h"
#if TOVU_HAVE_JACK
#include "platform/midi_jack.h"
#endif
#if TOVU_HAVE_RTMIDI
#include "platform/midi_alsa.h"
#endif
#if TOVU_HAVE_WINMM
#include "platform/win32/midi_winmm.h"
#endif

namespace platform {
namespace {

midi_common::MidiServiceState g_midi;

MidiService Current() {
  const midi_common::MidiOps* ops = g_midi.ops.load(std::memory_order_acquire);
  return ops ? ops->service : MidiService::None;
}

const char* ServiceName(MidiService service) {
  return service == MidiService::Alsa ? "alsa" : service == MidiService::Winmm ? "winmm" : "jack";
}

// Starts jack, alsa or winmm. False (nothing running) when it cannot be had; `say` reports that in one line.
bool StartReal(MidiService service, bool say) {
  std::string why = "this build has no support for it";
  bool started = false;
#if TOVU_HAVE_JACK
  if (service == MidiService::Jack) started = jack_midi::Start(g_midi, &why);
#endif
#if TOVU_HAVE_RTMIDI
  if (service == MidiService::Alsa) started = alsa_midi::Start(g_midi, &why);
#endif
#if TOVU_HAVE_WINMM
  if (service == MidiService::Winmm) started = winmm_midi::Start(g_midi, &why);
#endif
  if (!started && say) {
    std::fprintf(stderr, "tovu: MIDI service %s cannot be used (%s); no MIDI devices\n", ServiceName(service),
                 why.c_str());
  }
  return started;
}

}  // namespace

MidiService MidiStartFromEnvironment() {
  MidiShutdown();
  const char* value = std::getenv("TOVU_MIDI");
  if (!value || !*value) {
#if TOVU_HAVE_WINMM
    StartReal(MidiService::Winmm, false);
#else
    if (!StartReal(MidiService::Jack, false)) StartReal(MidiService::Alsa, false);
#endif
  } else if (strcasecmp(value, "winmm") == 0) {
    StartReal(MidiService::Winmm, true);
  } else if (strcasecmp(value, "alsa") == 0) {
    StartReal(MidiService::Alsa, true);
  } else if (strcasecmp(value, "jack") == 0) {
    StartReal(MidiService::Jack, true);
  } else if (strcasecmp(value, "virtual") == 0) {
    MidiStartVirtual(VirtualConfigFromEnvironment());
  } else if (strcasecmp(value, "none") != 0) {
    std::fprintf(stderr, "tovu: TOVU_MIDI=%s names no MIDI service; using none\n", value);
  }
  return Current();
}

void MidiStartNone() { MidiShutdown(); }

void MidiStartVirtual(const VirtualMidiConfig& config) {
  MidiShutdown();
  virtual_midi::Start(g_midi, config);
}

void MidiShutdown() { midi_common::EndService(g_midi); }

MidiService MidiCurrentService() { return Current(); }

uint32_t MidiOutCount() { return g_midi.outCount.load(std::memory_order_acquire); }
uint32_t MidiInCount() { return g_midi.inCount.load(std::memory_order_acquire); }

MidiPresence MidiOutPresence(uint32_t deviceId) { return midi_common::Presence(g_midi, false, deviceId); }
MidiPresence MidiInPresence(uint32_t deviceId) { return midi_common::Presence(g_midi, true, deviceId); }

void MidiSetChangeHandler(MidiChangeHandler changed, void* context) {
  std::lock_guard<std::mutex> lock(g_midi.changeMutex);
  g_midi.changed = changed;
  g_midi.changedContext = context;
}

int MidiOutName(uint32_t deviceId, char* name, size_t capacity) {
  return midi_common::OutName(g_midi, deviceId, name, capacity);
}

int MidiInName(uint32_t deviceId, char* name, size_t capacity) {
  return midi_common::InName(g_midi, deviceId, name, capacity);
}

int MidiOutOpen(uint32_t deviceId, MidiHandle* handle) { return midi_common::OutOpen(g_midi, deviceId, handle); }
int MidiOutClose(MidiHandle handle) { return midi_common::OutClose(g_midi, handle); }
int MidiOutShort(MidiHandle handle, uint32_t word) { return midi_common::OutShort(g_midi, handle, word); }

int MidiOutLong(MidiHandle handle, const uint8_t* bytes, uint32_t length) {
  return midi_common::OutSend(g_midi, handle, bytes, length);
}

uint32_t MidiOutLongest(MidiHandle handle) { return midi_common::OutLongest(g_midi, handle); }

int MidiOutAt(MidiHandle handle, const uint8_t* bytes, uint32_t length, double atMs) {
  return midi_common::OutSendAt(g_midi, handle, bytes, length, atMs);
}

bool MidiTransportTimebase(TransportTimebase timebase, void* context) {
  const midi_common::MidiOps* ops = g_midi.ops.load(std::memory_order_acquire);
  return ops && ops->transportTimebase && ops->transportTimebase(g_midi, timebase, context);
}

void MidiTransportRoll(bool rolling) {
  const midi_common::MidiOps* ops = g_midi.ops.load(std::memory_order_acquire);
  if (ops && ops->transportRoll) ops->transportRoll(g_midi, rolling);
}

void MidiTransportLocate(double songMs, double atMs) {
  const midi_common::MidiOps* ops = g_midi.ops.load(std::memory_order_acquire);
  if (ops && ops->transportLocate) ops->transportLocate(g_midi, songMs, atMs);
}

bool MidiTransportRead(TransportState* out) {
  const midi_common::MidiOps* ops = g_midi.ops.load(std::memory_order_acquire);
  return ops && ops->transportRead && ops->transportRead(g_midi, out);
}

double MidiInputDelayMs() {
  const midi_common::MidiOps* ops = g_midi.ops.load(std::memory_order_acquire);
  return ops && ops->delayMs ? ops->delayMs(g_midi, true) : 0;
}

double MidiOutputDelayMs() {
  const midi_common::MidiOps* ops = g_midi.ops.load(std::memory_order_acquire);
  return ops && ops->delayMs ? ops->delayMs(g_midi, false) : 0;
}

void MidiListAgain() {
  const midi_common::MidiOps* ops = g_midi.ops.load(std::memory_order_acquire);
  if (ops && ops->listAgain) ops->listAgain(g_midi);
}

int MidiInOpen(uint32_t deviceId, MidiInCallback callback, uintptr_t instance, MidiHandle* handle) {
  return midi_common::InOpen(g_midi, deviceId, callback, instance, handle);
}

int MidiInStart(MidiHandle handle) { return midi_common::InStart(g_midi, handle); }
int MidiInStop(MidiHandle handle) { return midi_common::InStop(g_midi, handle); }
int MidiInClose(MidiHandle handle) { return midi_common::InClose(g_midi, handle); }

int MidiInAddBuffer(MidiHandle handle, MidiInBuffer* buffer) {
  return midi_common::InAddBuffer(g_midi, handle, buffer);
}

bool VirtualInject(uint32_t inputId, const uint8_t* bytes, size_t count) {
  if (Current() != MidiService::Virtual || inputId >= MidiInCount()) return false;
  return midi_common::DeliverNow(g_midi.inputs[inputId], bytes, count);
}

bool VirtualControl(const std::string& line) {
  if (Current() != MidiService::Virtual) return false;
  return virtual_midi::Control(g_midi, line.data(), line.size());
}

}  // namespace platform
