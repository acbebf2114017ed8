// The output path: each output port's stage (ports/output_stage.h draws it): the queue that keeps a
// port's messages in order through its pauses, the ledger of what its device holds, every release
// worked out from that ledger, the panic, and the drain that sends what waited out a pause.
//
// Threads: any thread sends; each port's stage lock is held for one message (with its device send)
// or a batch of at most kStageBatch. The drain runs on the timer service's thread. The drain timer
// is armed and cancelled with no stage lock held (a cancel waits out a drain in flight, which takes
// stage locks). Nothing here allocates on a thread other than the main thread.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/timer.h"
#include "ports/ports.h"

namespace {

enum EntryKind : uint8_t { kEntryShort = 0, kEntrySysexInBuffer = 1, kEntrySysexCopy = 2 };

// Each port's buffer for system-exclusive messages that wait, on threads that may not allocate.
constexpr uint32_t kSysexBufferBytes = 256 * 1024;

// Undo flags of a note's ledger change.
constexpr uint8_t kCounted = 1;  // the strike count changed
constexpr uint8_t kTagged = 2;   // a tag was added (a strike) or taken (a release)

inline uint32_t Kind(uint32_t word) { return word & 0xF0; }
inline bool IsNote(uint32_t word) { return Kind(word) == 0x90 || Kind(word) == 0x80; }
inline bool IsStrike(uint32_t word) { return Kind(word) == 0x90 && ((word >> 16) & 0x7F) != 0; }
inline uint32_t KeyOf(uint32_t word) { return (word & 0x0F) << 7 | ((word >> 8) & 0x7F); }
inline int PedalOf(uint32_t word) {
  if (Kind(word) != 0xB0) return -1;
  switch ((word >> 8) & 0x7F) {
    case 64: return 0;
    case 66: return 1;
    case 67: return 2;
    default: return -1;
  }
}
inline bool PedalDown(const PedalLedger& p) { return p.value != 0 && p.value != 255; }

// ---- The ledger ----

void Strike(OutputPort& port, uint32_t key, Owner owner, StageEntry& e) REQUIRES(port.stage.lock) {
  std::atomic<uint8_t>& count = port.activity[key];
  uint8_t n = count.load(std::memory_order_relaxed);
  if (n == 255) return;  // a counter saturates rather than wrap the note back to silent
  count.store(static_cast<uint8_t>(n + 1), std::memory_order_relaxed);
  e.undoValue = kCounted;
  KeyLedger& k = port.stage.keys[key];
  if (k.tagged < kKeyTags) {
    k.tags[k.tagged++] = owner;
    e.undoValue |= kTagged;
  }
}

// A release ends the owner's latest strike there; when it has none, one owned by nobody in
// particular, else the oldest: a release reaches the device's key whoever struck it.
void Release(OutputPort& port, uint32_t key, Owner owner, StageEntry& e) REQUIRES(port.stage.lock) {
  std::atomic<uint8_t>& count = port.activity[key];
  uint8_t n = count.load(std::memory_order_relaxed);
  if (n == 0) return;
  count.store(static_cast<uint8_t>(n - 1), std::memory_order_relaxed);
  e.undoValue = kCounted;
  KeyLedger& k = port.stage.keys[key];
  int at = -1;
  for (int i = k.tagged - 1; i >= 0 && at < 0; --i)
    if (k.tags[i] == owner) at = i;
  if (at < 0) {
    if (n > k.tagged) return;  // a strike without a tag ends
    at = 0;
  }
  e.undoOwner = k.tags[at];
  e.undoValue |= kTagged;
  for (int i = at; i + 1 < k.tagged; ++i) k.tags[i] = k.tags[i + 1];
  k.tagged -= 1;
}

// Records what a short message does to the device's state, and how to take it back.
void ChangeLedger(OutputPort& port, StageEntry& e) REQUIRES(port.stage.lock) {
  const uint32_t word = e.word;
  if (IsNote(word)) {
    if (port.stage.keys) {
      if (IsStrike(word))
        Strike(port, KeyOf(word), e.owner, e);
      else
        Release(port, KeyOf(word), e.owner, e);
    }
    if (port.activityEvent) platform::EventSet(port.activityEvent);
    return;
  }
  int pedal = PedalOf(word);
  if (pedal < 0) return;
  PedalLedger& p = port.stage.pedals[word & 0x0F][pedal];
  e.undoValue = p.value;
  e.undoOwner = p.owner;
  p.value = static_cast<uint8_t>((word >> 16) & 0x7F);
  p.owner = p.value != 0 ? e.owner : kOwnerNone;
}

void UndoLedger(OutputPort& port, const StageEntry& e) REQUIRES(port.stage.lock) {
  if (e.kind != kEntryShort) return;
  const uint32_t word = e.word;
  if (IsNote(word)) {
    if (!port.stage.keys || (e.undoValue & kCounted) == 0) return;
    const uint32_t key = KeyOf(word);
    std::atomic<uint8_t>& count = port.activity[key];
    KeyLedger& k = port.stage.keys[key];
    uint8_t n = count.load(std::memory_order_relaxed);
    if (IsStrike(word)) {
      if (n > 0) count.store(static_cast<uint8_t>(n - 1), std::memory_order_relaxed);
      if (e.undoValue & kTagged) {
        for (int i = k.tagged - 1; i >= 0; --i) {
          if (k.tags[i] != e.owner) continue;
          for (int j = i; j + 1 < k.tagged; ++j) k.tags[j] = k.tags[j + 1];
          k.tagged -= 1;
          break;
        }
      }
    } else {
      if (n < 255) count.store(static_cast<uint8_t>(n + 1), std::memory_order_relaxed);
      if ((e.undoValue & kTagged) && k.tagged < kKeyTags) k.tags[k.tagged++] = e.undoOwner;
    }
    if (port.activityEvent) platform::EventSet(port.activityEvent);
    return;
  }
  int pedal = PedalOf(word);
  if (pedal < 0) return;
  PedalLedger& p = port.stage.pedals[word & 0x0F][pedal];
  p.value = e.undoValue;
  p.owner = e.undoOwner;
}

void ClearLedger(OutputPort& port) REQUIRES(port.stage.lock) {
  if (port.activity)
    for (int i = 0; i < kActivityPerPort; ++i) port.activity[i].store(0, std::memory_order_relaxed);
  if (port.stage.keys)
    for (int i = 0; i < kActivityPerPort; ++i) port.stage.keys[i].tagged = 0;
  for (auto& channel : port.stage.pedals)
    for (PedalLedger& p : channel) p = PedalLedger();
}

// ---- The queue ----

// Whether a message must wait: something is queued, or the port pauses after a sysex. A port never
// opened has no queue: its messages go to the device (which refuses them) at once.
bool MustWait(PortStage& s) REQUIRES(s.lock) {
  if (!s.ring) return false;
  if (s.count > 0) return true;
  if (s.readyAtMs == 0) return false;
  if (s.shared->clock() < s.readyAtMs) return true;
  s.readyAtMs = 0;
  return false;
}

// Room for one more entry of `owner` (with `bytes` of sysex). A release the engine makes may use
// the whole ring and is bound by no share; a playback is bound by the port's share alone (its
// scheduler holds back rather than be refused).
bool HasRoom(const PortStage& s, Owner owner, bool release, int64_t bytes) REQUIRES(s.lock) {
  if (release) return s.count < kStageCapacity;
  if (s.count >= kStageSenderShare) return false;
  if (s.queuedBytes + bytes > kPortQueueBytes) return false;
  if (owner == kOwnerPlayback) return true;
  return s.shared->ownerEntries[owner].load(std::memory_order_relaxed) < kOwnerQueueEntries &&
         s.shared->ownerBytes[owner].load(std::memory_order_relaxed) + bytes <= kOwnerQueueBytes;
}

void Push(PortStage& s, const StageEntry& e) REQUIRES(s.lock) {
  s.ring[(s.head + s.count) % kStageCapacity] = e;
  s.count += 1;
  s.shared->ownerEntries[e.owner].fetch_add(1, std::memory_order_relaxed);
  if (e.kind != kEntryShort) {
    s.queuedBytes += e.word;
    s.shared->ownerBytes[e.owner].fetch_add(e.word, std::memory_order_relaxed);
  }
}

// A queued entry leaves the queue (sent or dropped): its budgets go back, and a copy of a sysex's
// bytes goes to the spent list for the main thread to free.
void Leave(PortStage& s, const StageEntry& e) REQUIRES(s.lock) {
  s.shared->ownerEntries[e.owner].fetch_sub(1, std::memory_order_relaxed);
  if (e.kind == kEntryShort) return;
  s.shared->ownerBytes[e.owner].fetch_sub(e.word, std::memory_order_relaxed);
  s.queuedBytes -= e.word;
  if (e.kind == kEntrySysexCopy) s.spent[s.spentCount++] = e.bytes;  // room: one per ring entry
}

// The queue has emptied: its buffer starts afresh.
void Emptied(PortStage& s) REQUIRES(s.lock) {
  s.arenaUsed = 0;
}

// The device's long send and the pause that follows it (none for a message the device refused as
// too long: nothing went out).
int DeviceLong(OutputPort& port, const uint8_t* bytes, uint32_t length) REQUIRES(port.stage.lock) {
  int result = platform::MidiOutLong(port.handle.load(std::memory_order_acquire), bytes, length);
  int32_t delay = SysexDelayOf(port);
  if (delay > 0 && result != platform::kMidiInvalidParam) port.stage.readyAtMs = port.stage.shared->clock() + delay;
  return result;
}

// One short message for `owner`: sent when the port is free and nothing
// waits, else queued. `release`: a release the engine works out, never refused: past even the room
// kept for releases it goes to the device at once. *armAt is set when the drain must be armed.
int ShortLocked(OutputPort& port, uint32_t word, Owner owner, bool release, double* armAt) REQUIRES(port.stage.lock) {
  if (port.absent.load(std::memory_order_relaxed)) return platform::kMidiNoDevice;  // reaches nothing, changes nothing
  StageEntry e;
  e.word = word & 0xFFFFFF;
  e.kind = kEntryShort;
  e.owner = owner;
  if (MustWait(port.stage)) {
    if (HasRoom(port.stage, owner, release, 0)) {
      ChangeLedger(port, e);
      if (port.stage.count == 0) *armAt = port.stage.readyAtMs;
      Push(port.stage, e);
      return platform::kMidiOk;
    }
    if (!release) return kStageQueueFull;
  }
  ChangeLedger(port, e);
  return platform::MidiOutShort(port.handle.load(std::memory_order_acquire), e.word);
}

// Sends what may leave now from the front of the queue, at most kStageBatch. True when more may
// leave at once (the batch ran out).
bool DrainLocked(OutputPort& port, double nowMs) REQUIRES(port.stage.lock) {
  for (int sent = 0; port.stage.count > 0; ++sent) {
    if (port.stage.readyAtMs > nowMs) return false;
    if (sent == kStageBatch) return true;
    const StageEntry e = port.stage.ring[port.stage.head];
    port.stage.head = (port.stage.head + 1) % kStageCapacity;
    port.stage.count -= 1;
    port.stage.readyAtMs = 0;
    if (e.kind == kEntryShort)
      platform::MidiOutShort(port.handle.load(std::memory_order_acquire), e.word);
    else
      DeviceLong(port, e.bytes, e.word);
    Leave(port.stage, e);
  }
  Emptied(port.stage);
  return false;
}

void DrainTimerFired(void* context, uint64_t timerId) {
  Ports& ports = *static_cast<Ports*>(context);
  {
    EngineLock guard(ports.stages.drainLock);
    if (ports.stages.drainTimer == timerId) ports.stages.drainTimer = 0;
  }
  DrainStages(ports, ports.stages.clock());
}

// Makes sure the drain runs by `dueMs`. Never under a stage lock: the cancel of a later drain waits
// out one in flight, which takes stage locks.
void ArmDrain(Ports& ports, double dueMs) EXCLUDES(ports.stages.drainLock) {
  StageShared& shared = ports.stages;
  if (dueMs <= 0 || !shared.timers) return;
  uint64_t replaced = 0;
  {
    EngineLock guard(shared.drainLock);
    if (shared.drainTimer != 0 && shared.drainDueMs <= dueMs) return;
    replaced = shared.drainTimer;
    shared.drainTimer = platform::TimerArm(shared.timers, dueMs, DrainTimerFired, &ports);
    shared.drainDueMs = dueMs;
  }
  if (replaced) platform::TimerCancel(shared.timers, replaced);
}

OutputPort* PortAt(Ports& ports, int32_t port) {
  return port < 0 || port >= ports.outputCount ? nullptr : &ports.outputs[port];
}

int SendParameter(Ports& ports, uint32_t base, uint32_t msbController, uint32_t lsbController,
                  uint32_t parameter, uint32_t value, Owner owner) {
  uint32_t paramLow, paramHigh, valueLow, valueHigh;
  SplitFourteenBit(parameter, &paramLow, &paramHigh);
  SplitFourteenBit(value, &valueLow, &valueHigh);
  const uint32_t steps[4][2] = {
      {msbController, paramHigh}, {lsbController, paramLow}, {6, valueHigh}, {38, valueLow}};
  int result = 0;
  for (const auto& step : steps) {
    result = SendShortMessage(ports, base | 0xB0 | (step[0] << 8) | (step[1] << 16), owner);
    if (result != 0) return result;
  }
  return result;
}

int OwnerStrikesLocked(const OutputPort& port, uint32_t key, Owner owner) REQUIRES(port.stage.lock) {
  uint8_t total = port.activity[key].load(std::memory_order_relaxed);
  if (owner == kOwnerNone || !port.stage.keys) return owner == kOwnerNone ? total : 0;
  const KeyLedger& k = port.stage.keys[key];
  int n = 0;
  for (int i = 0; i < k.tagged; ++i) n += k.tags[i] == owner;
  return n;
}

// Withdraws the queued entries `keep` refuses, newest first (so that each change the ledger takes
// back is the last one made), keeping the others in order.
template <typename Keep>
void DropLocked(OutputPort& port, Keep keep) REQUIRES(port.stage.lock) {
  if (port.stage.count == 0) return;
  for (uint32_t i = port.stage.count; i-- > 0;) {
    const StageEntry& e = port.stage.ring[(port.stage.head + i) % kStageCapacity];
    if (keep(e)) continue;
    UndoLedger(port, e);
  }
  uint32_t kept = 0;
  for (uint32_t i = 0; i < port.stage.count; ++i) {
    const StageEntry e = port.stage.ring[(port.stage.head + i) % kStageCapacity];
    if (keep(e)) {
      port.stage.ring[(port.stage.head + kept++) % kStageCapacity] = e;
      continue;
    }
    Leave(port.stage, e);
  }
  port.stage.count = kept;
  if (kept == 0) Emptied(port.stage);
}

void ResetControllersLocked(OutputPort& port, platform::MidiHandle h) {
  static const uint32_t kReset[8] = {
      0x4000E0,               // pitch bend to centre
      0x0001B0,               // modulation 0
      (127u << 16) | 0x07B0,  // volume 127
      (64u << 16) | 0x0AB0,   // pan 64
      0x0040B0,               // sustain 0
      0x0042B0,               // sostenuto 0
      0x0043B0,               // soft pedal 0
      0x0079B0,               // reset all controllers
  };
  (void)port;
  for (uint32_t ch = 0; ch < 16; ++ch)
    for (uint32_t m : kReset) platform::MidiOutShort(h, m | ch);
}

}  // namespace

// ---- Sending ----

int SendShortMessage(Ports& ports, uint32_t event, Owner owner) {
  uint32_t p = event >> 24;
  if (p == kNoPortIndex) return 0;
  if (p >= static_cast<uint32_t>(ports.outputCount)) return platform::kMidiInvalidHandle;
  OutputPort& port = ports.outputs[p];
  double armAt = 0;
  int result;
  {
    EngineLock guard(port.stage.lock);
    result = ShortLocked(port, event, owner, false, &armAt);
  }
  ArmDrain(ports, armAt);
  return result;
}

int SendTiming(Ports& ports, int32_t port, const uint8_t* bytes, uint32_t length, double atMs) {
  OutputPort* out = PortAt(ports, port);
  if (!out) return platform::kMidiInvalidHandle;
  EngineLock guard(out->stage.lock);
  return platform::MidiOutAt(out->handle.load(std::memory_order_acquire), bytes, length, atMs);
}

int SendSysexOnPort(Ports& ports, uint32_t length, const uint8_t* bytes, uint32_t port, Owner owner, SysexCopy copy) {
  if (port >= static_cast<uint32_t>(ports.outputCount)) return platform::kMidiInvalidHandle;
  OutputPort& out = ports.outputs[port];
  uint32_t longest = platform::MidiOutLongest(out.handle.load(std::memory_order_acquire));
  if (longest != 0 && length > longest) return kStageTooLong;
  std::unique_ptr<uint8_t[]> made;  // a copy made with the lock let go, for a message that waits
  double armAt = 0;
  int result = platform::kMidiOk;
  for (;;) {
    EngineLock lock(out.stage.lock);
    if (out.absent.load(std::memory_order_relaxed)) {
      result = platform::kMidiNoDevice;
      break;
    }
    if (!MustWait(out.stage)) {
      result = DeviceLong(out, bytes, length);
      break;
    }
    if (!HasRoom(out.stage, owner, false, length)) {
      result = kStageQueueFull;
      break;
    }
    StageEntry e;
    e.word = length;
    e.owner = owner;
    if (out.stage.arena && kSysexBufferBytes - out.stage.arenaUsed >= length) {
      uint8_t* at = out.stage.arena.get() + out.stage.arenaUsed;
      if (length) memcpy(at, bytes, length);
      out.stage.arenaUsed += length;
      e.bytes = at;
      e.kind = kEntrySysexInBuffer;
    } else if (copy == SysexCopy::kMayAllocate && made) {
      e.bytes = made.release();
      e.kind = kEntrySysexCopy;
    } else if (copy == SysexCopy::kMayAllocate) {
      lock.unlock();
      made.reset(new (std::nothrow) uint8_t[length ? length : 1]);
      if (!made) return kStageQueueFull;
      if (length) memcpy(made.get(), bytes, length);
      continue;  // the port may have moved meanwhile: looked at afresh
    } else {
      result = kStageQueueFull;
      break;
    }
    if (out.stage.count == 0) armAt = out.stage.readyAtMs;
    Push(out.stage, e);
    break;
  }
  ArmDrain(ports, armAt);
  return result;
}

bool StageTakes(Ports& ports, int32_t port, uint32_t messages, uint32_t sysexBytes, Owner owner) {
  OutputPort* out = PortAt(ports, port);
  if (!out) return true;
  PortStage& s = out->stage;
  EngineLock guard(s.lock);
  if (out->absent.load(std::memory_order_relaxed) || !MustWait(s)) return true;  // refused or sent, never queued
  if (s.count + messages + (sysexBytes ? 1 : 0) > kStageSenderShare) return false;
  if (!sysexBytes) return true;
  return s.arena && kSysexBufferBytes - s.arenaUsed >= sysexBytes && HasRoom(s, owner, false, sysexBytes);
}

double StageNextMoveMs(Ports& ports, int32_t port) {
  OutputPort* out = PortAt(ports, port);
  if (!out) return 0;
  EngineLock guard(out->stage.lock);
  return out->stage.count > 0 || out->stage.readyAtMs > 0 ? out->stage.readyAtMs : 0;
}

int32_t SysexDelayOf(const OutputPort& port) {
  int32_t delay = port.sysexDelayMs.load(std::memory_order_relaxed);
  return delay < 0 ? 0 : (delay > kMaxSysexDelayMs ? kMaxSysexDelayMs : delay);
}

double SysexReadyAt(Ports& ports, int32_t port) {
  OutputPort* out = PortAt(ports, port);
  if (!out) return 0.0;
  EngineLock guard(out->stage.lock);
  return out->stage.readyAtMs;
}

void SplitFourteenBit(uint32_t value, uint32_t* low, uint32_t* high) {
  // A song may hold any 16-bit value; a data byte of 0x80 or more would reach the device as a
  // status byte (0xFF a system reset), so what the wire cannot carry is held to its top.
  if (value > 0x3FFF) value = 0x3FFF;
  *low = value & 0x7F;
  *high = value >> 7;
}

int SendRpn(Ports& ports, uint32_t base, uint32_t parameter, uint32_t value, Owner owner) {
  return SendParameter(ports, base, 101, 100, parameter, value, owner);
}

int SendNrpn(Ports& ports, uint32_t base, uint32_t parameter, uint32_t value, Owner owner) {
  return SendParameter(ports, base, 99, 98, parameter, value, owner);
}

// ---- Releases ----

int HeldStrikes(Ports& ports, int32_t port, uint32_t channel, uint32_t key, Owner owner) {
  OutputPort* out = PortAt(ports, port);
  if (!out || !out->activity) return 0;
  EngineLock guard(out->stage.lock);
  return OwnerStrikesLocked(*out, (channel & 15) << 7 | (key & 127), owner);
}

void ReleaseKey(Ports& ports, int32_t port, uint32_t channel, uint32_t key, Owner owner, int atLeast) {
  OutputPort* out = PortAt(ports, port);
  if (!out || !out->activity) return;
  const uint32_t at = (channel & 15) << 7 | (key & 127);
  const uint32_t word = 0x90u | (channel & 15) | (key & 127) << 8;
  double armAt = 0;
  {
    EngineLock guard(out->stage.lock);
    int n = OwnerStrikesLocked(*out, at, owner);
    if (n == 0 && out->activity[at].load(std::memory_order_relaxed) == 0) n = atLeast;
    for (int i = 0; i < n; ++i) ShortLocked(*out, word, owner, true, &armAt);
  }
  ArmDrain(ports, armAt);
}

void ReleaseStrikes(Ports& ports, int32_t port, Owner owner, const uint8_t* atLeast) {
  OutputPort* out = PortAt(ports, port);
  if (!out || !out->activity) return;
  double armAt = 0;
  EngineLock lock(out->stage.lock);
  int sent = 0;
  for (uint32_t at = 0; at < static_cast<uint32_t>(kActivityPerPort); ++at) {
    int n = OwnerStrikesLocked(*out, at, owner);
    if (n == 0 && atLeast && out->activity[at].load(std::memory_order_relaxed) == 0) n = atLeast[at];
    const uint32_t word = 0x90u | (at >> 7) | (at & 127) << 8;
    for (int i = 0; i < n; ++i) ShortLocked(*out, word, owner, true, &armAt);
    sent += n;
    if (sent >= kStageBatch) {  // other senders get a turn between batches
      lock.unlock();
      lock.lock();
      sent = 0;
    }
  }
  lock.unlock();
  ArmDrain(ports, armAt);
}

void LiftPedals(Ports& ports, int32_t port, Owner owner, const uint16_t* keep) {
  OutputPort* out = PortAt(ports, port);
  if (!out) return;
  double armAt = 0;
  {
    EngineLock guard(out->stage.lock);
    for (uint32_t ch = 0; ch < 16; ++ch) {
      for (int i = 0; i < 3; ++i) {
        const PedalLedger& p = out->stage.pedals[ch][i];
        if (!PedalDown(p) || (owner != kOwnerNone && p.owner != owner)) continue;
        if (keep && (keep[i] >> ch & 1)) continue;
        ShortLocked(*out, 0xB0u | ch | kPedals[i] << 8, p.owner, true, &armAt);
      }
    }
  }
  ArmDrain(ports, armAt);
}

void DropQueued(Ports& ports, Owner owner, bool strikesOnly) {
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    OutputPort& out = ports.outputs[i];
    EngineLock guard(out.stage.lock);
    DropLocked(out, [owner, strikesOnly](const StageEntry& e) {
      return e.owner != owner || (strikesOnly && !(e.kind == kEntryShort && IsStrike(e.word)));
    });
  }
}

void ReleaseOwner(Ports& ports, Owner owner) {
  DropQueued(ports, owner, true);
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    ReleaseStrikes(ports, i, owner);
    LiftPedals(ports, i, owner);
  }
}

int Panic(Ports& ports) {
  for (int32_t p = 0; p < ports.outputCount; ++p) {
    OutputPort& port = ports.outputs[p];
    EngineLock lock(port.stage.lock);
    // Nothing sent before the panic may sound after it.
    DropLocked(port, [](const StageEntry&) { return false; });
    ClearLedger(port);
    platform::MidiHandle h = port.handle.load(std::memory_order_acquire);
    if (h == 0) continue;
    for (uint32_t ch = 0; ch < 16; ++ch) {
      for (uint32_t note = 0; note < 128; ++note) platform::MidiOutShort(h, 0x90 | ch | (note << 8));
      lock.unlock();  // other senders get a turn between channels
      lock.lock();
    }
    ResetControllersLocked(port, h);
    // The reset lifted every pedal and ended every note: a strike sent meanwhile is all there is.
    for (auto& channel : port.stage.pedals)
      for (PedalLedger& pedal : channel) pedal = PedalLedger{0, kOwnerNone};
  }
  ReclaimSpent(ports);
  return 0;
}

// ---- The stages' life ----

void StartStages(Ports& ports, platform::TimerService* timers) { ports.stages.timers = timers; }

void DrainStages(Ports& ports, double nowMs) {
  double soonest = 0;
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    OutputPort& out = ports.outputs[i];
    EngineLock lock(out.stage.lock);
    while (DrainLocked(out, nowMs)) {  // other senders get a turn between batches
      lock.unlock();
      lock.lock();
    }
    if (out.stage.count > 0 && (soonest == 0 || out.stage.readyAtMs < soonest)) soonest = out.stage.readyAtMs;
  }
  ArmDrain(ports, soonest);
}

void ForgetDevice(OutputPort& port) {
  platform::MidiHandle h;
  {
    EngineLock lock(port.stage.lock);
    port.absent.store(true, std::memory_order_relaxed);
    // What waited never reaches the device, and what the device held is not released: it is gone.
    DropLocked(port, [](const StageEntry&) { return false; });
    ClearLedger(port);
    port.stage.readyAtMs = 0;
    h = port.handle.exchange(0, std::memory_order_acq_rel);
    for (uint32_t k = 0; k < port.stage.spentCount; ++k) delete[] port.stage.spent[k];
    port.stage.spentCount = 0;
  }
  if (port.activityEvent) platform::EventSet(port.activityEvent);
  if (h != 0) platform::MidiOutClose(h);
}

void ReclaimSpent(Ports& ports) {
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    PortStage& s = ports.outputs[i].stage;
    EngineLock guard(s.lock);
    for (uint32_t k = 0; k < s.spentCount; ++k) delete[] s.spent[k];
    s.spentCount = 0;
  }
}

Owner TakeClientOwner(Ports& ports) {
  for (int o = kFirstClientOwner; o <= kLastClientOwner; ++o) {
    if (ports.stages.ownerInUse[o]) continue;
    ports.stages.ownerInUse[o] = true;
    return static_cast<Owner>(o);
  }
  return kOwnerNone;
}

void GiveBackClientOwner(Ports& ports, Owner owner) {
  if (owner >= kFirstClientOwner && owner <= kLastClientOwner) ports.stages.ownerInUse[owner] = false;
}

// ---- Opening and closing (ports.h) ----

int OutputPort::Open() {
  if (absent.load(std::memory_order_relaxed)) return platform::kMidiNoDevice;
  if (handle.load(std::memory_order_relaxed) != 0) {
    ++openCount;
    return platform::kMidiOk;
  }
  bool made;
  {
    EngineLock guard(stage.lock);
    made = stage.ring != nullptr;
  }
  if (!made) {  // only the main thread makes it
    std::unique_ptr<StageEntry[]> ring(new (std::nothrow) StageEntry[kStageCapacity]);
    std::unique_ptr<uint8_t[]> arena(new (std::nothrow) uint8_t[kSysexBufferBytes]);
    std::unique_ptr<const uint8_t*[]> spent(new (std::nothrow) const uint8_t*[kStageCapacity]);
    if (!ring || !arena || !spent) return platform::kMidiNoMemory;
    EngineLock guard(stage.lock);
    stage.ring = std::move(ring);
    stage.arena = std::move(arena);
    stage.spent = std::move(spent);
  }
  platform::MidiHandle h = 0;
  int result = platform::MidiOutOpen(deviceId, &h);
  if (result != platform::kMidiOk) return result;
  handle.store(h, std::memory_order_release);
  ++openCount;
  return platform::kMidiOk;
}

void OutputPort::Close() {
  if (--openCount > 0) return;
  openCount = 0;
  EngineLock lock(stage.lock);
  // No other sender reaches the device from here on. What waited goes out now, pause or not, so
  // that nothing is lost and the ledger is what the device holds.
  platform::MidiHandle h = handle.exchange(0, std::memory_order_acq_rel);
  if (h == 0) return;
  while (stage.count > 0) {
    const StageEntry e = stage.ring[stage.head];
    stage.head = (stage.head + 1) % kStageCapacity;
    stage.count -= 1;
    if (e.kind == kEntryShort)
      platform::MidiOutShort(h, e.word);
    else
      platform::MidiOutLong(h, e.bytes, e.word);
    Leave(stage, e);
  }
  Emptied(stage);
  bool released = false;
  stage.readyAtMs = 0;
  // Each key's strikes are released and forgotten as one step: a note-on counted while the port is
  // closing never reached the device and stays counted, as on any closed port.
  if (activity) {
    int sent = 0;
    for (uint32_t at = 0; at < static_cast<uint32_t>(kActivityPerPort); ++at) {
      uint8_t sounding = activity[at].exchange(0, std::memory_order_relaxed);
      if (stage.keys) stage.keys[at].tagged = 0;
      for (uint8_t i = 0; i < sounding; ++i) platform::MidiOutShort(h, 0x90 | (at >> 7) | (at & 127) << 8);
      released = released || sounding != 0;
      sent += sounding;
      if (sent >= kStageBatch) {
        lock.unlock();
        lock.lock();
        sent = 0;
      }
    }
  }
  for (uint32_t ch = 0; ch < 16; ++ch) {
    for (int i = 0; i < 3; ++i) {
      if (PedalDown(stage.pedals[ch][i])) platform::MidiOutShort(h, 0xB0 | ch | kPedals[i] << 8);
      stage.pedals[ch][i] = PedalLedger();
    }
  }
  // The main thread may free: the copies that were dropped or have gone out.
  for (uint32_t k = 0; k < stage.spentCount; ++k) delete[] stage.spent[k];
  stage.spentCount = 0;
  lock.unlock();
  if (released && activityEvent) platform::EventSet(activityEvent);
  platform::MidiOutClose(h);
}
