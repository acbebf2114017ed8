// The winmm service: the system's MIDI devices through WinMM, named by the capability records'
// product names. The device records, handles, opens, closes, starts and the delivery of input are
// midi_common's; what is WinMM's own is here.
//
// Device ids: WinMM numbers its devices from 0 in its own order, and renumbers them when one is
// plugged in or out. The engine's ids are midi_common's, stable by name: at start-up they are
// WinMM's; afterwards this file keeps, for each of them, the WinMM number it has now (none while it
// is absent). When the engine window is told that the system's devices changed (MidiListAgain), the
// follower thread of this file lists WinMM's devices again, at once and then as the system's list
// settles (kSettleMs), and hands the names to midi_common, which keeps ids, appends new devices
// and marks the missing absent. An open checks that the WinMM number still carries the device's
// name, so a renumbering not yet listed opens nothing foreign: it answers kMidiNoDevice and lists
// again.
//
// Outputs: opened with an event callback, so that a long message can be waited for without
// spinning: the send prepares a header on the caller's bytes, hands it over and returns only once
// the system has marked it done. One to three bytes that are not system-exclusive go as a short
// message. Sends on one device are serialised by its mutex (midi_common).
//
// Inputs: WinMM calls the input callback on a thread of its own, where little may be done; the
// callback only copies what came (a short message, or which system-exclusive buffer came back) into
// the device's single-producer ring, stamped with the open it belongs to, the input's epoch and its
// arrival time, and wakes the input thread of this file. That thread hands each message to the
// engine's callback through the shared delivery (midi_common's Deliver, which drops what belongs to
// another epoch or arrives while stopped), copies system-exclusive bytes out of the returned buffer
// and queues the buffer again. Each input keeps four 64 KiB buffers of its own with WinMM, made at
// its first open; the engine's buffers are filled from them. WinMM input runs from open to close;
// starting and stopping are the shared record's.
//
//   input device: closed --open--> open (buffers queued with WinMM, input running) --close-->
//   closed (WinMM reset: buffers come back and are dropped; ring records of an earlier open are
//   dropped by their stamp)
//
// Threads: Start, stop, opens and closes on the main thread; sends on any thread; the WinMM callback
// thread produces into the rings; the input thread consumes them; the follower thread lists the
// devices and changes their presence. The WinMM numbers are guarded by `mapMutex` (the follower
// writes them, opens read them); an input's ring is made before its `ready` is published.
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
#include <vector>

#include "platform/event.h"
#include "platform/midi_ring.h"

namespace platform::winmm_midi {
namespace {

using midi_common::MidiOps;
using midi_common::MidiServiceState;

constexpr int kSysexBuffers = 4;
constexpr DWORD kSysexBufferSize = 64 * 1024;
constexpr size_t kRingBytes = 64 * 1024;
constexpr uint32_t kSysexRecord = 0xFFFFFFFFu;  // the length of a returned buffer's record
constexpr UINT kNotListed = 0xFFFFFFFFu;         // a device with no WinMM number now
// After the system says its devices changed, WinMM's list is read at once and again after these
// waits: a driver may add or drop its devices a little after the message.
constexpr DWORD kSettleMs[] = {250, 1000, 3000};

struct Output {
  HMIDIOUT out = nullptr;
  HANDLE done = nullptr;  // set by WinMM as long messages finish
};

struct Input {
  midi_common::InDevice* shared = nullptr;  // the device's common record
  HANDLE wake = nullptr;                    // the service's
  std::mutex io;  // guards `in` and the buffers' turns with WinMM between the input thread and close
  HMIDIIN in = nullptr;
  std::atomic<uint32_t> open{0};  // the open the callback stamps its records with; 0 when closed
  std::atomic<bool> ready{false};  // the ring and buffers are made (first open); read by the input thread
  MidiRing ring;
  MIDIHDR headers[kSysexBuffers] = {};
  std::unique_ptr<char[]> sysex[kSysexBuffers];
};

// A ring record's bytes: the arrival, a short message or which buffer came back (its index), and the
// message length (or kSysexRecord).
struct RecordBytes {
  int64_t arrivalNs;
  uint8_t bytes[4];
  uint32_t length;
};

struct Service {
  MidiServiceState* state = nullptr;
  std::unique_ptr<Output[]> outputs;  // one per device id the records have room for
  std::unique_ptr<Input[]> inputs;
  uint32_t inRoom = 0;
  HANDLE wake = nullptr;  // auto-reset: input arrived, or the service stops
  std::atomic<bool> stopping{false};
  std::atomic<uint32_t> opens{0};
  std::thread reader;
  std::mutex mapMutex;  // guards the two below
  std::vector<UINT> outNumbers;  // per device id: its WinMM number now, or kNotListed
  std::vector<UINT> inNumbers;
  HANDLE listWake = nullptr;  // auto-reset: list again, or the service stops
  std::thread follower;
};

Service& Own(MidiServiceState& s) { return *static_cast<Service*>(s.own); }

// WinMM's input thread: copies, stamps and wakes; nothing else.
void CALLBACK OnWinmmInput(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  Input* d = reinterpret_cast<Input*>(instance);
  if (!d || (msg != MIM_DATA && msg != MIM_LONGDATA)) return;
  RecordBytes record{MonotonicNs(), {}, 0};
  MidiRecord header;
  header.frame = d->open.load(std::memory_order_acquire);
  header.epoch = d->shared->epoch.load(std::memory_order_acquire);
  header.length = sizeof record;
  if (msg == MIM_DATA) {
    uint32_t word = static_cast<uint32_t>(param1);
    record.bytes[0] = static_cast<uint8_t>(word);
    record.bytes[1] = static_cast<uint8_t>(word >> 8);
    record.bytes[2] = static_cast<uint8_t>(word >> 16);
    record.length = static_cast<uint32_t>(ShortMessageLength(record.bytes[0]));
  } else {
    const MIDIHDR* returned = reinterpret_cast<const MIDIHDR*>(param1);
    int index = -1;
    for (int i = 0; i < kSysexBuffers; ++i)
      if (returned == &d->headers[i]) index = i;
    if (index < 0) return;
    record.bytes[0] = static_cast<uint8_t>(index);
    record.length = kSysexRecord;
  }
  // A full ring drops the message (the input thread is far behind): better than holding WinMM's
  // thread up. A buffer whose return is dropped so stays out of use until the device reopens.
  if (MidiRingPush(d->ring, header, reinterpret_cast<const uint8_t*>(&record))) SetEvent(d->wake);
}

// The input thread: hands each ring record of the open that stamped it to the engine.
void ReadInput(Service* s) {
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[kSysexBufferSize]);
  if (!copy) return;
  while (!s->stopping.load(std::memory_order_acquire)) {
    WaitForSingleObject(s->wake, INFINITE);
    for (uint32_t i = 0; i < s->inRoom; ++i) {
      Input& d = s->inputs[i];
      if (!d.ready.load(std::memory_order_acquire)) continue;
      MidiRecord header;
      while (MidiRingPeek(d.ring, &header)) {
        if (header.length != sizeof(RecordBytes)) {
          MidiRingPop(d.ring, header, nullptr);
          continue;
        }
        RecordBytes record;
        MidiRingPop(d.ring, header, reinterpret_cast<uint8_t*>(&record));
        if (record.length != kSysexRecord) {
          midi_common::Deliver(*d.shared, record.bytes, record.length, record.arrivalNs, header.epoch);
          continue;
        }
        uint32_t count = 0;
        {
          std::lock_guard<std::mutex> lock(d.io);
          if (!d.in || header.frame != d.open.load(std::memory_order_acquire)) continue;
          MIDIHDR& h = d.headers[record.bytes[0] % kSysexBuffers];
          count = std::min<DWORD>(h.dwBytesRecorded, kSysexBufferSize);
          std::memcpy(copy.get(), h.lpData, count);
          h.dwBytesRecorded = 0;
          midiInAddBuffer(d.in, &h, sizeof(MIDIHDR));
        }
        if (count > 0 && copy[0] == 0xF0)
          midi_common::Deliver(*d.shared, copy.get(), count, record.arrivalNs, header.epoch);
      }
    }
  }
}

// ---- Following the system's list ----

std::string OutNameOf(UINT number) {
  MIDIOUTCAPSA caps{};
  return midiOutGetDevCapsA(number, &caps, sizeof caps) == MMSYSERR_NOERROR ? std::string(caps.szPname) : std::string();
}

std::string InNameOf(UINT number) {
  MIDIINCAPSA caps{};
  return midiInGetDevCapsA(number, &caps, sizeof caps) == MMSYSERR_NOERROR ? std::string(caps.szPname) : std::string();
}

std::vector<std::string> OutNames() {
  std::vector<std::string> names(std::min<uint32_t>(midiOutGetNumDevs(), midi_common::kMaxDevices));
  for (UINT i = 0; i < names.size(); ++i) names[i] = OutNameOf(i);
  return names;
}

std::vector<std::string> InNames() {
  std::vector<std::string> names(std::min<uint32_t>(midiInGetNumDevs(), midi_common::kMaxDevices));
  for (UINT i = 0; i < names.size(); ++i) names[i] = InNameOf(i);
  return names;
}

// Each listed name's WinMM number, by the device id it went to.
void Renumber(std::vector<UINT>& numbers, const std::vector<uint32_t>& ids) {
  std::fill(numbers.begin(), numbers.end(), kNotListed);
  for (size_t k = 0; k < ids.size(); ++k)
    if (ids[k] < numbers.size()) numbers[ids[k]] = static_cast<UINT>(k);
}

// Lists WinMM's devices and tells the engine when anything changed.
void ListAgain(Service& s) {
  std::vector<std::string> outs = OutNames(), ins = InNames();
  std::vector<uint32_t> outIds, inIds;
  bool changed = midi_common::SyncDevices(*s.state, false, outs, &outIds);
  changed = midi_common::SyncDevices(*s.state, true, ins, &inIds) || changed;
  {
    std::lock_guard<std::mutex> lock(s.mapMutex);
    Renumber(s.outNumbers, outIds);
    Renumber(s.inNumbers, inIds);
  }
  if (changed) midi_common::Changed(*s.state);
}

void FollowerMain(Service* s) {
  constexpr int kSettleSteps = static_cast<int>(sizeof kSettleMs / sizeof kSettleMs[0]);
  int settle = kSettleSteps;  // the next of kSettleMs to wait; none left
  for (;;) {
    bool woken = WaitForSingleObject(s->listWake, settle < kSettleSteps ? kSettleMs[settle] : INFINITE) == WAIT_OBJECT_0;
    if (s->stopping.load(std::memory_order_acquire)) return;
    ListAgain(*s);
    settle = woken ? 0 : settle + 1;
  }
}

// The WinMM number of device `id` if it still carries the device's name; kNotListed otherwise
// (and the list is read again).
UINT NumberOf(Service& s, bool input, uint32_t id, const std::string& name) {
  UINT number;
  {
    std::lock_guard<std::mutex> lock(s.mapMutex);
    const std::vector<UINT>& numbers = input ? s.inNumbers : s.outNumbers;
    number = id < numbers.size() ? numbers[id] : kNotListed;
  }
  if (number != kNotListed && (input ? InNameOf(number) : OutNameOf(number)) == name) return number;
  if (s.listWake) SetEvent(s.listWake);
  return kNotListed;
}

void ListAgainSoon(MidiServiceState& state) {
  Service& s = Own(state);
  if (s.listWake) SetEvent(s.listWake);
}

// ---- Operations ----

int OutOpen(MidiServiceState& state, uint32_t id) {
  Output& d = Own(state).outputs[id];
  UINT number = NumberOf(Own(state), false, id, state.outputs[id].name);
  if (number == kNotListed) return kMidiNoDevice;
  if (!d.done) d.done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!d.done) return kMidiNoMemory;
  HMIDIOUT out = nullptr;
  MMRESULT r = midiOutOpen(&out, number, reinterpret_cast<DWORD_PTR>(d.done), 0, CALLBACK_EVENT);
  if (r != MMSYSERR_NOERROR) return static_cast<int>(r);
  d.out = out;
  return kMidiOk;
}

void OutClose(MidiServiceState& state, uint32_t id) {
  Output& d = Own(state).outputs[id];
  if (!d.out) return;
  midiOutReset(d.out);
  midiOutClose(d.out);
  d.out = nullptr;
}

int Send(MidiServiceState& state, uint32_t id, const uint8_t* bytes, uint32_t length) {
  Output& d = Own(state).outputs[id];
  if (!d.out) return kMidiInvalidHandle;
  if (length <= 3 && bytes[0] != 0xF0) {
    uint32_t word = bytes[0];
    if (length > 1) word |= static_cast<uint32_t>(bytes[1]) << 8;
    if (length > 2) word |= static_cast<uint32_t>(bytes[2]) << 16;
    return static_cast<int>(midiOutShortMsg(d.out, word));
  }
  MIDIHDR h{};
  h.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(bytes));
  h.dwBufferLength = length;
  h.dwBytesRecorded = length;
  MMRESULT r = midiOutPrepareHeader(d.out, &h, sizeof h);
  if (r != MMSYSERR_NOERROR) return static_cast<int>(r);
  r = midiOutLongMsg(d.out, &h, sizeof h);
  // The bytes are the caller's: the send returns only once the system is done with them. The wait
  // wakes on the device's event; its limit only guards against a signal taken by an earlier send.
  if (r == MMSYSERR_NOERROR)
    while (!(h.dwFlags & MHDR_DONE)) WaitForSingleObject(d.done, 20);
  while (midiOutUnprepareHeader(d.out, &h, sizeof h) == MIDIERR_STILLPLAYING) WaitForSingleObject(d.done, 20);
  return static_cast<int>(r);
}

// Makes an input's ring and buffers at its first open, and publishes them to the input thread.
bool MakeInputRoom(Service& s, MidiServiceState& state, uint32_t id) {
  Input& d = s.inputs[id];
  if (d.ready.load(std::memory_order_relaxed)) return true;
  d.shared = &state.inputs[id];
  d.wake = s.wake;
  MidiRingInit(d.ring, kRingBytes);
  if (!d.ring.data) return false;
  for (int k = 0; k < kSysexBuffers; ++k) d.sysex[k].reset(new (std::nothrow) char[kSysexBufferSize]);
  d.ready.store(true, std::memory_order_release);
  return true;
}

int InOpen(MidiServiceState& state, uint32_t id) {
  Service& s = Own(state);
  Input& d = s.inputs[id];
  UINT number = NumberOf(s, true, id, state.inputs[id].name);
  if (number == kNotListed) return kMidiNoDevice;
  if (!MakeInputRoom(s, state, id)) return kMidiNoMemory;
  std::lock_guard<std::mutex> lock(d.io);
  uint32_t open = s.opens.fetch_add(1, std::memory_order_relaxed) + 1;
  if (open == 0) open = s.opens.fetch_add(1, std::memory_order_relaxed) + 1;  // 0 means closed
  d.open.store(open, std::memory_order_release);
  HMIDIIN in = nullptr;
  MMRESULT r = midiInOpen(&in, number, reinterpret_cast<DWORD_PTR>(OnWinmmInput), reinterpret_cast<DWORD_PTR>(&d),
                          CALLBACK_FUNCTION);
  if (r != MMSYSERR_NOERROR) {
    d.open.store(0, std::memory_order_release);
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
  midiInStart(in);
  return kMidiOk;
}

// WinMM's side of an input: buffers come back (their records are dropped) and are released.
void InClose(MidiServiceState& state, uint32_t id, bool /*fromCallback*/) {
  Input& d = Own(state).inputs[id];
  std::lock_guard<std::mutex> lock(d.io);
  if (!d.in) return;
  d.open.store(0, std::memory_order_release);
  midiInStop(d.in);
  midiInReset(d.in);
  for (MIDIHDR& h : d.headers)
    if (h.dwFlags & MHDR_PREPARED) midiInUnprepareHeader(d.in, &h, sizeof h);
  midiInClose(d.in);
  d.in = nullptr;
}

bool Stop(MidiServiceState& state) {
  Service* s = &Own(state);
  s->stopping.store(true, std::memory_order_release);
  if (s->listWake) SetEvent(s->listWake);
  if (s->follower.joinable()) s->follower.join();
  midi_common::CloseAll(state, /*inputsFirst=*/true);
  if (s->wake) SetEvent(s->wake);
  if (s->reader.joinable()) s->reader.join();
  for (uint32_t i = 0; i < state.outRoom; ++i)
    if (s->outputs[i].done) CloseHandle(s->outputs[i].done);
  if (s->wake) CloseHandle(s->wake);
  if (s->listWake) CloseHandle(s->listWake);
  delete s;
  return true;
}

const MidiOps kOps = {
    MidiService::Winmm, Stop, MonotonicNs, OutOpen, OutClose, Send, InOpen, InClose, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, ListAgainSoon, nullptr, nullptr,
};

}  // namespace

bool Start(MidiServiceState& state, std::string* why) {
  auto s = std::make_unique<Service>();
  std::vector<std::string> outs = OutNames(), ins = InNames();
  s->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  s->listWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!s->wake || !s->listWake) {
    if (s->wake) CloseHandle(s->wake);
    if (s->listWake) CloseHandle(s->listWake);
    *why = "no event for its threads";
    return false;
  }
  Service* own = s.release();
  own->state = &state;
  midi_common::MakeDevices(state, kOps, outs, ins, own);
  // Nothing opens before this returns (opens are the main thread's), so the rooms are made here.
  own->outputs = std::make_unique<Output[]>(state.outRoom);
  own->inputs = std::make_unique<Input[]>(state.inRoom);
  own->inRoom = state.inRoom;
  own->outNumbers.assign(state.outRoom, kNotListed);
  own->inNumbers.assign(state.inRoom, kNotListed);
  for (UINT i = 0; i < state.outCount.load(); ++i) own->outNumbers[i] = i;
  for (UINT i = 0; i < state.inCount.load(); ++i) own->inNumbers[i] = i;
  try {
    own->reader = std::thread(ReadInput, own);
  } catch (const std::system_error&) {
    // No thread to read them: no input arrives.
  }
  try {
    own->follower = std::thread(FollowerMain, own);
  } catch (const std::system_error&) {
    // No thread to follow the system: the devices stay as they were listed.
  }
  return true;
}

}  // namespace platform::winmm_midi
