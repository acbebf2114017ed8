// The winmm service: the system's MIDI devices through WinMM, in the system's own order, named by
// the capability records' product names.
//
// Outputs: opened with an event callback, so that a long message can be waited for without
// spinning: the send prepares a header on the caller's bytes, hands it over and returns only once
// the system has marked it done. Sends on one device are serialised by its mutex.
//
// Inputs: WinMM calls its input callback on a thread of its own, where little may be done; the
// callback only copies what came (a short message, or which system-exclusive buffer came back) into
// the device's single-producer ring, stamped with the open it belongs to, its start epoch and its
// arrival time, and wakes the input thread of this file. That thread hands each message to the
// engine's callback through the shared delivery rules (midi_common), copies system-exclusive bytes
// out of the returned buffer and queues the buffer again. Each input keeps four 64 KiB buffers of
// its own with WinMM; the engine's buffers are filled from them.
//
//   input device: closed --open--> open (buffers queued with WinMM) --start--> started --stop-->
//   open ... --close--> closed (WinMM reset: buffers come back and are dropped; ring records of an
//   earlier open are dropped by their stamp)
//
// Threads: Start, Stop, opens, closes, starts and stops on the main thread; sends on any thread;
// the WinMM callback thread produces into the rings; the input thread consumes them.
#include "platform/win32/midi_winmm.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/event.h"
#include "platform/midi_common.h"
#include "platform/midi_ring.h"

namespace platform::winmm_midi {
namespace {

constexpr uint32_t kMaxDevices = midi_common::kMaxDevices;
constexpr int kSysexBuffers = 4;
constexpr DWORD kSysexBufferSize = 64 * 1024;
constexpr size_t kRingBytes = 64 * 1024;
constexpr uint32_t kSysexRecord = 0xFFFFFFFFu;  // MidiRecord::length of a returned buffer's record

struct OutDevice {
  std::string name;
  std::mutex mutex;  // serialises sends, open and close
  HMIDIOUT out = nullptr;
  HANDLE done = nullptr;  // set by WinMM as long messages finish
  MidiHandle handle = 0;
};

struct InDevice {
  std::string name;
  midi_common::InputState state;
  std::mutex io;  // guards `in` and the buffers' turns with WinMM between the input thread and close
  HMIDIIN in = nullptr;
  std::atomic<uint32_t> liveHandle{0};  // the open the callback stamps its records with
  std::atomic<uint32_t> epoch{0};
  MidiRing ring;
  MIDIHDR headers[kSysexBuffers] = {};
  std::unique_ptr<char[]> sysex[kSysexBuffers];
  uint32_t device = 0;
};

// A ring record's bytes: a short message, or which buffer came back (its index).
struct RecordBytes {
  int64_t arrivalNs;
  uint8_t bytes[4];
};

struct Service {
  uint32_t outCount = 0;
  uint32_t inCount = 0;
  std::unique_ptr<OutDevice[]> outputs;
  std::unique_ptr<InDevice[]> inputs;
  HANDLE wake = nullptr;  // auto-reset: input arrived, or the service stops
  std::atomic<bool> stopping{false};
  std::thread reader;
};

Service* g_service = nullptr;

OutDevice* FindOut(MidiHandle handle) {
  Service* s = g_service;
  if (!s || midi_common::IsInputHandle(handle)) return nullptr;
  uint32_t id = midi_common::DeviceIdOf(handle);
  return id < s->outCount ? &s->outputs[id] : nullptr;
}

InDevice* FindIn(MidiHandle handle) {
  Service* s = g_service;
  if (!s || !midi_common::IsInputHandle(handle)) return nullptr;
  uint32_t id = midi_common::DeviceIdOf(handle);
  return id < s->inCount ? &s->inputs[id] : nullptr;
}

// WinMM's input thread: copies, stamps and wakes; nothing else.
void CALLBACK OnWinmmInput(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  InDevice* d = reinterpret_cast<InDevice*>(instance);
  Service* s = g_service;
  if (!d || !s || (msg != MIM_DATA && msg != MIM_LONGDATA)) return;
  RecordBytes record{MonotonicNs(), {}};
  MidiRecord header;
  header.device = d->device;
  header.frame = d->liveHandle.load(std::memory_order_acquire);
  header.epoch = d->epoch.load(std::memory_order_acquire);
  if (msg == MIM_DATA) {
    uint32_t word = static_cast<uint32_t>(param1);
    record.bytes[0] = static_cast<uint8_t>(word);
    record.bytes[1] = static_cast<uint8_t>(word >> 8);
    record.bytes[2] = static_cast<uint8_t>(word >> 16);
    header.length = static_cast<uint32_t>(ShortMessageLength(record.bytes[0]));
  } else {
    const MIDIHDR* returned = reinterpret_cast<const MIDIHDR*>(param1);
    int index = -1;
    for (int i = 0; i < kSysexBuffers; ++i)
      if (returned == &d->headers[i]) index = i;
    if (index < 0) return;
    record.bytes[0] = static_cast<uint8_t>(index);
    header.length = kSysexRecord;
  }
  // One ring record: the stamped bytes, then the message length (or kSysexRecord).
  uint8_t raw[sizeof(RecordBytes) + 4];
  std::memcpy(raw, &record, sizeof record);
  std::memcpy(raw + sizeof record, &header.length, 4);
  header.length = sizeof raw;
  // A full ring drops the message (the input thread is far behind): better than holding WinMM's
  // thread up. A buffer whose return is dropped so stays out of use until the device reopens.
  if (MidiRingPush(d->ring, header, raw)) SetEvent(s->wake);
}

// The input thread: hands each ring record of the open that stamped it to the engine.
void ReadInput(Service* s) {
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[kSysexBufferSize]);
  if (!copy) return;
  while (!s->stopping.load(std::memory_order_acquire)) {
    WaitForSingleObject(s->wake, INFINITE);
    for (uint32_t i = 0; i < s->inCount; ++i) {
      InDevice& d = s->inputs[i];
      MidiRecord header;
      while (MidiRingPeek(d.ring, &header)) {
        uint8_t raw[sizeof(RecordBytes) + 4];
        if (header.length != sizeof raw) {
          MidiRingPop(d.ring, header, nullptr);
          continue;
        }
        MidiRingPop(d.ring, header, raw);
        RecordBytes record;
        uint32_t length;
        std::memcpy(&record, raw, sizeof record);
        std::memcpy(&length, raw + sizeof record, 4);
        if (length != kSysexRecord) {
          midi_common::Deliver(d.state, record.bytes, length, record.arrivalNs, header.epoch);
          continue;
        }
        int index = record.bytes[0];
        uint32_t count = 0;
        {
          std::lock_guard<std::mutex> lock(d.io);
          if (!d.in || header.frame != d.liveHandle.load(std::memory_order_acquire)) continue;
          MIDIHDR& h = d.headers[index];
          count = std::min<DWORD>(h.dwBytesRecorded, kSysexBufferSize);
          std::memcpy(copy.get(), h.lpData, count);
          h.dwBytesRecorded = 0;
          midiInAddBuffer(d.in, &h, sizeof(MIDIHDR));
        }
        if (count > 0 && copy[0] == 0xF0)
          midi_common::Deliver(d.state, copy.get(), count, record.arrivalNs, header.epoch);
      }
    }
  }
}

// Closes WinMM's side of an input: buffers come back (their records are dropped) and are released.
void CloseDevice(InDevice& d) {
  std::lock_guard<std::mutex> lock(d.io);
  if (!d.in) return;
  d.liveHandle.store(0, std::memory_order_release);
  midiInStop(d.in);
  midiInReset(d.in);
  for (MIDIHDR& h : d.headers)
    if (h.dwFlags & MHDR_PREPARED) midiInUnprepareHeader(d.in, &h, sizeof h);
  midiInClose(d.in);
  d.in = nullptr;
}

}  // namespace

void Start() {
  Stop();
  auto s = std::make_unique<Service>();
  s->outCount = std::min<uint32_t>(midiOutGetNumDevs(), kMaxDevices);
  s->inCount = std::min<uint32_t>(midiInGetNumDevs(), kMaxDevices);
  s->outputs = std::make_unique<OutDevice[]>(s->outCount);
  s->inputs = std::make_unique<InDevice[]>(s->inCount);
  for (uint32_t i = 0; i < s->outCount; ++i) {
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR) s->outputs[i].name = caps.szPname;
  }
  for (uint32_t i = 0; i < s->inCount; ++i) {
    InDevice& d = s->inputs[i];
    d.device = i;
    MIDIINCAPSA caps{};
    if (midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR) d.name = caps.szPname;
    MidiRingInit(d.ring, kRingBytes);
    for (int k = 0; k < kSysexBuffers; ++k) d.sysex[k].reset(new (std::nothrow) char[kSysexBufferSize]);
  }
  s->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (s->inCount > 0 && s->wake) {
    try {
      s->reader = std::thread(ReadInput, s.get());
    } catch (const std::system_error&) {
      // No thread to read them: no input arrives.
    }
  }
  g_service = s.release();
}

void Stop() {
  Service* s = g_service;
  if (!s) return;
  for (uint32_t i = 0; i < s->inCount; ++i) {
    InDevice& d = s->inputs[i];
    {
      std::lock_guard<std::mutex> lock(d.state.mutex);
      d.state.handle = 0;
      d.state.started = false;
      d.state.callback = nullptr;
      d.state.buffers.clear();
    }
    midi_common::WaitForCallback(d.state);
    CloseDevice(d);
  }
  s->stopping.store(true, std::memory_order_release);
  if (s->wake) SetEvent(s->wake);
  if (s->reader.joinable()) s->reader.join();
  for (uint32_t i = 0; i < s->outCount; ++i) {
    OutDevice& d = s->outputs[i];
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.out) {
      midiOutReset(d.out);
      midiOutClose(d.out);
    }
    if (d.done) CloseHandle(d.done);
    d.out = nullptr;
    d.done = nullptr;
    d.handle = 0;
  }
  if (s->wake) CloseHandle(s->wake);
  g_service = nullptr;
  delete s;
}

uint32_t OutCount() { return g_service ? g_service->outCount : 0; }
uint32_t InCount() { return g_service ? g_service->inCount : 0; }

int OutName(uint32_t deviceId, char* name, size_t capacity) {
  if (!g_service || deviceId >= g_service->outCount) return kMidiBadDeviceId;
  return midi_common::CopyName(g_service->outputs[deviceId].name, name, capacity);
}

int InName(uint32_t deviceId, char* name, size_t capacity) {
  if (!g_service || deviceId >= g_service->inCount) return kMidiBadDeviceId;
  return midi_common::CopyName(g_service->inputs[deviceId].name, name, capacity);
}

int OutOpen(uint32_t deviceId, MidiHandle* handle) {
  Service* s = g_service;
  if (!s || deviceId >= s->outCount) return kMidiBadDeviceId;
  if (!handle) return kMidiError;
  OutDevice& d = s->outputs[deviceId];
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.handle != 0) return kMidiAllocated;
  if (!d.done) d.done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!d.done) return kMidiNoMemory;
  HMIDIOUT out = nullptr;
  MMRESULT r = midiOutOpen(&out, deviceId, reinterpret_cast<DWORD_PTR>(d.done), 0, CALLBACK_EVENT);
  if (r != MMSYSERR_NOERROR) return static_cast<int>(r);
  d.out = out;
  d.handle = midi_common::NewHandle(deviceId, false);
  *handle = d.handle;
  return kMidiOk;
}

int OutClose(MidiHandle handle) {
  OutDevice* d = FindOut(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle || !d->out) return kMidiInvalidHandle;
  midiOutClose(d->out);
  d->out = nullptr;
  d->handle = 0;
  return kMidiOk;
}

int OutShort(MidiHandle handle, uint32_t word) {
  OutDevice* d = FindOut(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle || !d->out) return kMidiInvalidHandle;
  return static_cast<int>(midiOutShortMsg(d->out, word & 0xFFFFFF));
}

int OutLong(MidiHandle handle, const uint8_t* bytes, uint32_t length) {
  OutDevice* d = FindOut(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->handle != handle || !d->out) return kMidiInvalidHandle;
  if (length == 0) return kMidiOk;
  if (!bytes) return kMidiError;
  MIDIHDR h{};
  h.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(bytes));
  h.dwBufferLength = length;
  h.dwBytesRecorded = length;
  MMRESULT r = midiOutPrepareHeader(d->out, &h, sizeof h);
  if (r != MMSYSERR_NOERROR) return static_cast<int>(r);
  r = midiOutLongMsg(d->out, &h, sizeof h);
  // The bytes are the caller's: the send returns only once the system is done with them. The wait
  // wakes on the device's event; its limit only guards against a signal taken by an earlier send.
  if (r == MMSYSERR_NOERROR)
    while (!(h.dwFlags & MHDR_DONE)) WaitForSingleObject(d->done, 20);
  while (midiOutUnprepareHeader(d->out, &h, sizeof h) == MIDIERR_STILLPLAYING) WaitForSingleObject(d->done, 20);
  return static_cast<int>(r);
}

int InOpen(uint32_t deviceId, MidiInCallback callback, uintptr_t instance, MidiHandle* handle) {
  Service* s = g_service;
  if (!s || deviceId >= s->inCount) return kMidiBadDeviceId;
  if (!handle) return kMidiError;
  InDevice& d = s->inputs[deviceId];
  {
    std::lock_guard<std::mutex> lock(d.state.mutex);
    if (d.state.handle != 0) return kMidiAllocated;
  }
  if (!d.ring.data) return kMidiNoMemory;
  MidiHandle opened = midi_common::NewHandle(deviceId, true);
  {
    std::lock_guard<std::mutex> lock(d.io);
    d.liveHandle.store(opened, std::memory_order_release);
    HMIDIIN in = nullptr;
    MMRESULT r = midiInOpen(&in, deviceId, reinterpret_cast<DWORD_PTR>(OnWinmmInput), reinterpret_cast<DWORD_PTR>(&d),
                            CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
      d.liveHandle.store(0, std::memory_order_release);
      return static_cast<int>(r);
    }
    d.in = in;
    for (int k = 0; k < kSysexBuffers; ++k) {
      if (!d.sysex[k]) continue;
      MIDIHDR& h = d.headers[k];
      h = MIDIHDR{};
      h.lpData = d.sysex[k].get();
      h.dwBufferLength = kSysexBufferSize;
      if (midiInPrepareHeader(in, &h, sizeof h) == MMSYSERR_NOERROR) midiInAddBuffer(in, &h, sizeof h);
    }
  }
  std::lock_guard<std::mutex> lock(d.state.mutex);
  d.state.handle = opened;
  d.state.started = false;
  d.state.callback = callback;
  d.state.instance = instance;
  d.state.buffers.clear();
  *handle = opened;
  return kMidiOk;
}

int InStart(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->state.mutex);
  if (d->state.handle != handle) return kMidiInvalidHandle;
  if (!d->state.started) {
    d->state.started = true;
    d->state.startNs = MonotonicNs();
    d->state.epoch += 1;
    d->epoch.store(d->state.epoch, std::memory_order_release);
    std::lock_guard<std::mutex> io(d->io);
    if (d->in) midiInStart(d->in);
  }
  return kMidiOk;
}

int InStop(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  {
    std::lock_guard<std::mutex> lock(d->state.mutex);
    if (d->state.handle != handle) return kMidiInvalidHandle;
    d->state.started = false;
  }
  {
    std::lock_guard<std::mutex> io(d->io);
    if (d->in) midiInStop(d->in);
  }
  midi_common::WaitForCallback(d->state);
  return kMidiOk;
}

int InClose(MidiHandle handle) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  {
    std::lock_guard<std::mutex> lock(d->state.mutex);
    if (d->state.handle != handle) return kMidiInvalidHandle;
    d->state.handle = 0;
    d->state.started = false;
    d->state.callback = nullptr;
    d->state.buffers.clear();
  }
  midi_common::WaitForCallback(d->state);
  CloseDevice(*d);
  return kMidiOk;
}

int InAddBuffer(MidiHandle handle, MidiInBuffer* buffer) {
  InDevice* d = FindIn(handle);
  if (!d) return kMidiInvalidHandle;
  std::lock_guard<std::mutex> lock(d->state.mutex);
  if (d->state.handle != handle) return kMidiInvalidHandle;
  if (!buffer || (!buffer->data && buffer->length > 0)) return kMidiError;
  d->state.buffers.push_back(buffer);
  return kMidiOk;
}

}  // namespace platform::winmm_midi
