// MIDI device services on Windows: choosing the service at start-up and sending every entry point of
// midi.h to the service that runs, through a table of its operations. `none` has no table and no
// devices, `virtual` lives in win32/midi_virtual.cpp, `winmm` (the system's own devices) in
// win32/midi_winmm.cpp.
//
// Selection: TOVU_MIDI names the service (winmm, virtual or none); unset means winmm. A name that
// is none of these is reported in one line on standard error and gives none.
//
// Threads: as on Linux: MidiStart*, MidiShutdown, opens and closes on the main thread; sends from the
// main, timer and MIDI input threads; the service only changes while no other thread uses the layer.
#include "platform/midi.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/midi_common.h"
#include "platform/midi_virtual.h"
#include "platform/timer.h"
#include "platform/win32/midi_winmm.h"

namespace platform {
namespace {

thread_local double t_arrivalMs = -1.0;

struct MidiOps {
  uint32_t (*outCount)();
  uint32_t (*inCount)();
  int (*outName)(uint32_t, char*, size_t);
  int (*inName)(uint32_t, char*, size_t);
  int (*outOpen)(uint32_t, MidiHandle*);
  int (*outClose)(MidiHandle);
  int (*outShort)(MidiHandle, uint32_t);
  int (*outLong)(MidiHandle, const uint8_t*, uint32_t);
  int (*inOpen)(uint32_t, MidiInCallback, uintptr_t, MidiHandle*);
  int (*inStart)(MidiHandle);
  int (*inStop)(MidiHandle);
  int (*inClose)(MidiHandle);
  int (*inAddBuffer)(MidiHandle, MidiInBuffer*);
  void (*stop)();
};

#define TOVU_MIDI_OPS(ns)                                                                          \
  {ns::OutCount, ns::InCount,  ns::OutName, ns::InName, ns::OutOpen,  ns::OutClose,    ns::OutShort, \
   ns::OutLong,  ns::InOpen,   ns::InStart, ns::InStop, ns::InClose,  ns::InAddBuffer, ns::Stop}
const MidiOps kVirtualOps = TOVU_MIDI_OPS(virtual_midi);
const MidiOps kWinmmOps = TOVU_MIDI_OPS(winmm_midi);
#undef TOVU_MIDI_OPS

// The winmm service reports itself as the system's real service; midi.h names it Alsa, the one
// real-device value a Windows build has no other use for.
constexpr MidiService kWinmm = MidiService::Alsa;

std::atomic<MidiService> g_service{MidiService::None};

MidiService Current() { return g_service.load(std::memory_order_acquire); }

const MidiOps* Ops() {
  switch (Current()) {
    case MidiService::Virtual:
      return &kVirtualOps;
    case kWinmm:
      return &kWinmmOps;
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return nullptr;
}

}  // namespace

MidiService MidiStartFromEnvironment() {
  MidiShutdown();
  const char* value = std::getenv("TOVU_MIDI");
  if (!value || !*value || _stricmp(value, "winmm") == 0) {
    winmm_midi::Start();
    g_service.store(kWinmm, std::memory_order_release);
  } else if (_stricmp(value, "virtual") == 0) {
    MidiStartVirtual(VirtualConfigFromEnvironment());
  } else if (_stricmp(value, "none") != 0) {
    std::fprintf(stderr, "tovu: TOVU_MIDI=%s names no MIDI service; using none\n", value);
  }
  return Current();
}

void MidiStartNone() { MidiShutdown(); }

void MidiStartVirtual(const VirtualMidiConfig& config) {
  MidiShutdown();
  virtual_midi::Start(config);
  g_service.store(MidiService::Virtual, std::memory_order_release);
}

void MidiShutdown() {
  if (const MidiOps* ops = Ops()) ops->stop();
  g_service.store(MidiService::None, std::memory_order_release);
}

MidiService MidiCurrentService() { return Current(); }

uint32_t MidiOutCount() {
  const MidiOps* ops = Ops();
  return ops ? ops->outCount() : 0;
}

uint32_t MidiInCount() {
  const MidiOps* ops = Ops();
  return ops ? ops->inCount() : 0;
}

int MidiOutName(uint32_t deviceId, char* name, size_t capacity) {
  const MidiOps* ops = Ops();
  return ops ? ops->outName(deviceId, name, capacity) : kMidiBadDeviceId;
}

int MidiInName(uint32_t deviceId, char* name, size_t capacity) {
  const MidiOps* ops = Ops();
  return ops ? ops->inName(deviceId, name, capacity) : kMidiBadDeviceId;
}

int MidiOutOpen(uint32_t deviceId, MidiHandle* handle) {
  const MidiOps* ops = Ops();
  return ops ? ops->outOpen(deviceId, handle) : kMidiBadDeviceId;
}

int MidiOutClose(MidiHandle handle) {
  const MidiOps* ops = Ops();
  return ops ? ops->outClose(handle) : kMidiInvalidHandle;
}

int MidiOutShort(MidiHandle handle, uint32_t word) {
  const MidiOps* ops = Ops();
  return ops ? ops->outShort(handle, word) : kMidiInvalidHandle;
}

int MidiOutLong(MidiHandle handle, const uint8_t* bytes, uint32_t length) {
  const MidiOps* ops = Ops();
  return ops ? ops->outLong(handle, bytes, length) : kMidiInvalidHandle;
}

int MidiInOpen(uint32_t deviceId, MidiInCallback callback, uintptr_t instance, MidiHandle* handle) {
  const MidiOps* ops = Ops();
  return ops ? ops->inOpen(deviceId, callback, instance, handle) : kMidiBadDeviceId;
}

int MidiInStart(MidiHandle handle) {
  const MidiOps* ops = Ops();
  return ops ? ops->inStart(handle) : kMidiInvalidHandle;
}

int MidiInStop(MidiHandle handle) {
  const MidiOps* ops = Ops();
  return ops ? ops->inStop(handle) : kMidiInvalidHandle;
}

int MidiInClose(MidiHandle handle) {
  const MidiOps* ops = Ops();
  return ops ? ops->inClose(handle) : kMidiInvalidHandle;
}

int MidiInAddBuffer(MidiHandle handle, MidiInBuffer* buffer) {
  const MidiOps* ops = Ops();
  return ops ? ops->inAddBuffer(handle, buffer) : kMidiInvalidHandle;
}

bool VirtualInject(uint32_t inputId, const uint8_t* bytes, size_t count) {
  return Current() == MidiService::Virtual && virtual_midi::Inject(inputId, bytes, count);
}

double MidiInArrivalMs() { return t_arrivalMs >= 0 ? t_arrivalMs : NowMs(); }

namespace midi_common {

ArrivalScope::ArrivalScope(int64_t arrivalNs) { t_arrivalMs = static_cast<double>(arrivalNs) / 1e6; }
ArrivalScope::~ArrivalScope() { t_arrivalMs = -1.0; }

}  // namespace midi_common

}  // namespace platform
