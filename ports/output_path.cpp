// The output path: every MIDI byte the engine emits leaves through here. Entered at once from the
// main thread, the timer thread and the MIDI input thread; no lock and no allocation beyond the
// device layer's own per-device send serialisation. Activity counters are atomic bytes updated with
// compare-and-swap so that three writers never lose a count.
#include <cstring>

#include "ports/ports.h"
#include "platform/timer.h"

namespace {

// A counter saturates at 255: a 256th unreleased note-on must not wrap the note back to silent.
void CountNoteOn(std::atomic<uint8_t>& counter) {
  uint8_t v = counter.load(std::memory_order_relaxed);
  while (v < 255 && !counter.compare_exchange_weak(v, static_cast<uint8_t>(v + 1), std::memory_order_relaxed)) {
  }
}

void CountNoteOff(std::atomic<uint8_t>& counter) {
  uint8_t v = counter.load(std::memory_order_relaxed);
  while (v > 0 && !counter.compare_exchange_weak(v, static_cast<uint8_t>(v - 1), std::memory_order_relaxed)) {
  }
}

int SendParameter(Ports& ports, uint32_t base, uint32_t msbController, uint32_t lsbController,
                  uint32_t parameter, uint32_t value) {
  uint32_t paramLow, paramHigh, valueLow, valueHigh;
  SplitFourteenBit(parameter, &paramLow, &paramHigh);
  SplitFourteenBit(value, &valueLow, &valueHigh);
  const uint32_t steps[4][2] = {
      {msbController, paramHigh}, {lsbController, paramLow}, {6, valueHigh}, {38, valueLow}};
  int result = 0;
  for (const auto& step : steps) {
    result = SendShortMessage(ports, base | 0xB0 | (step[0] << 8) | (step[1] << 16));
    if (result != 0) return result;
  }
  return result;
}

}  // namespace

int SendShortMessage(Ports& ports, uint32_t event) {
  uint32_t p = event >> 24;
  if (p == kNoPortIndex) return 0;
  if (p >= static_cast<uint32_t>(ports.outputCount)) return platform::kMidiInvalidHandle;
  uint32_t status = event & 0xFF;
  uint32_t kind = status & 0xF0;
  if (kind == 0x90 || kind == 0x80) {
    std::atomic<uint8_t>& counter = ports.activity[ActivityIndex(p, status & 0x0F, (event >> 8) & 0x7F)];
    if (kind == 0x90 && ((event >> 16) & 0x7F) != 0)
      CountNoteOn(counter);
    else
      CountNoteOff(counter);
    if (ports.activityEvent) platform::EventSet(ports.activityEvent);
  }
  // Counted as under way while the handle is used, so that a last close waits for this send before
  // it releases the port's notes.
  OutputPort& port = ports.outputs[p];
  port.sending.fetch_add(1, std::memory_order_seq_cst);
  int result = platform::MidiOutShort(port.handle.load(std::memory_order_seq_cst), event & 0xFFFFFF);
  port.sending.fetch_sub(1, std::memory_order_release);
  return result;
}

int SendSysexOnPort(Ports& ports, uint32_t length, const uint8_t* bytes, uint32_t port) {
  if (port >= static_cast<uint32_t>(ports.outputCount)) return platform::kMidiInvalidHandle;
  return ports.outputs[port].SendSysex(length, bytes);
}

int OutputPort::SendSysex(uint32_t length, const uint8_t* bytes) {
  int result = platform::MidiOutLong(handle.load(std::memory_order_acquire), bytes, length);
  // The pause runs whatever the send returned.
  int32_t delay = SysexDelayOf(*this);
  if (delay > 0) sysexReadyMs.store(platform::NowMs() + delay);
  return result;
}

int32_t SysexDelayOf(const OutputPort& port) {
  int32_t delay = port.sysexDelayMs.load(std::memory_order_relaxed);
  return delay < 0 ? 0 : (delay > kMaxSysexDelayMs ? kMaxSysexDelayMs : delay);
}

double SysexReadyAt(const Ports& ports, int32_t port) {
  if (port < 0 || port >= ports.outputCount) return 0.0;
  return ports.outputs[port].sysexReadyMs.load();
}

void SplitFourteenBit(uint32_t value, uint32_t* low, uint32_t* high) {
  // A song may hold any 16-bit value; a data byte of 0x80 or more would reach the device as a
  // status byte (0xFF a system reset), so what the wire cannot carry is held to its top.
  if (value > 0x3FFF) value = 0x3FFF;
  *low = value & 0x7F;
  *high = value >> 7;
}

int SendRpn(Ports& ports, uint32_t base, uint32_t parameter, uint32_t value) {
  return SendParameter(ports, base, 101, 100, parameter, value);
}

int SendNrpn(Ports& ports, uint32_t base, uint32_t parameter, uint32_t value) {
  return SendParameter(ports, base, 99, 98, parameter, value);
}

void ResetControllers(OutputPort& port) {
  static const uint32_t kReset[8] = {
      0x4000E0,              // pitch bend to centre
      0x0001B0,              // modulation 0
      (127u << 16) | 0x07B0,  // volume 127
      (64u << 16) | 0x0AB0,   // pan 64
      0x0040B0,              // sustain 0
      0x0042B0,              // sostenuto 0
      0x0043B0,              // soft pedal 0
      0x0079B0,              // reset all controllers
  };
  platform::MidiHandle h = port.handle.load(std::memory_order_acquire);
  for (uint32_t ch = 0; ch < 16; ++ch)
    for (uint32_t m : kReset) platform::MidiOutShort(h, m | ch);
}

void SendNoteOffs(Ports& ports, OutputPort& port, int portIndex, bool allNotes) {
  platform::MidiHandle h = port.handle.load(std::memory_order_acquire);
  for (uint32_t ch = 0; ch < 16; ++ch) {
    for (uint32_t note = 0; note < 128; ++note) {
      uint32_t times = 1;
      if (!allNotes)
        times = ports.activity[ActivityIndex(static_cast<uint32_t>(portIndex), ch, note)].load(std::memory_order_relaxed);
      for (uint32_t i = 0; i < times; ++i) platform::MidiOutShort(h, 0x90 | ch | (note << 8));
    }
  }
}

void ClearActivity(Ports& ports) {
  size_t n = static_cast<size_t>(ports.outputCount) * kActivityPerPort;
  for (size_t i = 0; i < n; ++i) ports.activity[i].store(0, std::memory_order_relaxed);
}

int Panic(Ports& ports) {
  for (int p = 0; p < ports.outputCount; ++p) {
    OutputPort& port = ports.outputs[p];
    if (port.handle.load(std::memory_order_acquire) == 0) continue;
    SendNoteOffs(ports, port, p, true);
    ResetControllers(port);
  }
  ClearActivity(ports);
  return 0;
}
