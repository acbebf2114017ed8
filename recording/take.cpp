// The take recorder: a list of fixed chunks of (tick, event) entries appended in arrival order, the
// system-exclusive capture (one buffer per input port, copied block by block), the loop-record echo
// of earlier passes, and the take built and sent at the stop.
//
// A recording's life, drawn:
//
//     idle --ArmRecording--> armed --RecordNow / RecordAt / OnSysexBuffer--> armed (appending)
//     armed --RecordWrap / RecordAt(end marker)--> armed, one more pass ended (echoed from now on)
//     armed --input stamped past the loop end before the wrap--> armed, pass closed early (the
//             wrap that follows appends no marker of its own)
//     armed --FinishTake (the stop)--> idle: final end marker, take built, list and blocks released
//
// Appends stop at kMaxTakeBytes (room for the final end marker is kept) or when memory runs out;
// each lost event or sysex message (past the block table, or cut at the capture buffer's size) is
// counted, and the delivery reports the loss.
//
// The echo plays, at each wake-up, the entries of ended passes whose ticks the wake-up's window
// covers, at most kEchoBudget of them per call. What it strikes and presses is the echo's in its
// port's ledger, and what the echo still holds when a pass ends is released then: a release that
// lies outside the loop as it runs now (a continue that shortened it), or one the budget skipped,
// never leaves a note or a pedal down.
//
// Threads: appends from the MIDI input thread (input, sysex markers), the timer thread (end markers
// at loop wraps, inside a wake-up) and the main thread (the final end marker); the echo on the timer
// thread; arming and finishing on the main thread. Recorder::lock guards everything, and is never
// held across a send or a platform call. The timer thread never allocates: a spare chunk is kept
// ready by the input thread and by the recorder's refill thread, which the appends wake.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "recording/recording.h"
#include "locks/locks.h"

using namespace tovu::protocol;
#include "platform/timer.h"
#include "platform/wire.h"

namespace {

// What a stop or a new start takes off the recorder, to be built and freed outside its lock.
struct Detached {
  RecordChunk* head = nullptr;
  RecordChunk* spare = nullptr;
  int64_t entryCount = 0;
  int32_t recordStartTick = 0;
  int32_t countInLength = 0;
  SysexBlock blocks[kMaxSysexBlocks];
  int32_t blockCount = 0;
  uint32_t byteCount = 0;
  uint32_t droppedEvents = 0;
  uint32_t droppedSysex = 0;
};

void FreeChunks(RecordChunk* chunk) {
  while (chunk) {
    RecordChunk* next = chunk->next;
    delete chunk;
    chunk = next;
  }
}

void FreeDetached(Detached& d) {
  FreeChunks(d.head);
  delete d.spare;
  for (int32_t i = 0; i < d.blockCount; ++i) delete[] d.blocks[i].bytes;
  d = Detached();
}

// Moves the whole recording out and leaves the recorder empty and disarmed.
void DetachLocked(Recorder& r, Detached* d) REQUIRES(r.lock) {
  d->head = r.head;
  d->spare = r.spare;
  d->entryCount = r.entryCount;
  d->recordStartTick = r.recordStartTick;
  d->countInLength = r.countInLength;
  std::copy(r.blocks, r.blocks + r.blockCount, d->blocks);
  d->blockCount = r.blockCount;
  d->byteCount = r.byteCount;
  d->droppedEvents = r.droppedEvents;
  d->droppedSysex = r.droppedSysex;
  r.head = r.tail = r.spare = nullptr;
  r.entryCount = r.echoable = 0;
  std::fill(r.blocks, r.blocks + kMaxSysexBlocks, SysexBlock());
  r.blockCount = 0;
  r.byteCount = 0;
  r.droppedEvents = r.droppedSysex = 0;
  r.armed = false;
  r.passClosedEarly = false;
  r.closedEntries = 0;
  r.passesEnded = 0;
  r.passAtLoopStart = false;
  r.resumeActive = false;
  r.captureArmed = false;
  r.captureHandle = 0;
  r.generation += 1;
  r.needSpare.store(false);
}

// Whether the take, grown by `entries` entries and `bytes` sysex bytes, stays within its limit.
bool FitsLocked(const Recorder& r, int64_t entries, uint32_t bytes) REQUIRES(r.lock) {
  int64_t size = kTakeHeaderSize + kTakeEntrySize * (r.entryCount + entries) + static_cast<int64_t>(r.byteCount) + bytes;
  return size <= static_cast<int64_t>(kMaxTakeBytes);
}

// Appends one entry when it fits with `reserve` more entries after it. A full tail
// takes the spare chunk; without one the entry is lost. False when nothing was appended.
bool AppendLocked(Recorder& r, int32_t tick, uint32_t word, int64_t reserve) REQUIRES(r.lock) {
  if (!FitsLocked(r, 1 + reserve, 0)) return false;
  RecordChunk* tail = r.tail;
  if (!tail || tail->used == kChunkEntries) {
    RecordChunk* chunk = r.spare;
    if (!chunk) return false;
    r.spare = nullptr;
    r.needSpare.store(true);
    if (r.refill.handle != platform::kNoHandle) platform::EventSet(&r.refill);
    chunk->next = nullptr;
    chunk->used = 0;
    if (tail)
      tail->next = chunk;
    else
      r.head = chunk;
    r.tail = tail = chunk;
  }
  tail->entries[tail->used] = RecordEntry{tick, word};
  if (tail->used == 0) {
    tail->minTick = tail->maxTick = tick;
  } else {
    tail->minTick = std::min(tail->minTick, tick);
    tail->maxTick = std::max(tail->maxTick, tick);
  }
  tail->used += 1;
  r.entryCount += 1;
  return true;
}

// On a thread that may allocate: makes the spare chunk when the last one was taken.
void EnsureSpare(Recorder& r) EXCLUDES(r.lock) {
  if (!r.needSpare.load()) return;
  RecordChunk* chunk = new (std::nothrow) RecordChunk;
  if (!chunk) return;
  {
    EngineLock lock(r.lock);
    if (!r.spare) {
      r.spare = chunk;
      chunk = nullptr;
      r.needSpare.store(false);
    }
  }
  delete chunk;
}

// On a thread that may allocate (input, the stop): makes sure that `entries` more entries have a
// place, letting go of the recorder's lock while it makes a chunk (the caller's guard still counts
// it as held meanwhile: nothing in between sends). The spare
// EnsureSpare made before the lock was taken may be gone by the time it is held (a pass end on the
// timer thread took it, and the refill thread has not run yet): input neither waits for the refill
// thread nor is lost to it. False when memory runs out, and when the recording ended while the lock
// was let go (what was to be appended belongs to no take then).
bool MakeRoomLocked(Recorder& r, int32_t entries) REQUIRES(r.lock) {
  if (!r.armed) return false;
  RecordChunk* made = nullptr;
  const uint64_t generation = r.generation;
  for (;;) {
    const bool fits = r.tail && kChunkEntries - r.tail->used >= entries;
    if (fits || r.spare) break;
    if (made) {
      r.spare = made;
      made = nullptr;
      r.needSpare.store(false);
      break;
    }
    r.lock.unlock();
    made = new (std::nothrow) RecordChunk;
    r.lock.lock();
    if (!made) return false;
    if (r.generation != generation) {
      delete made;
      return false;
    }
  }
  delete made;  // the refill thread was quicker
  return true;
}

void RefillMain(Recorder* r) {
  while (!r->refillerStop.load()) {
    platform::EventWait(&r->refill, -1);
    EnsureSpare(*r);
  }
}

// Main thread: starts the refill thread once; without it the input thread and the stop still make
// spares, and a pass end that finds none is counted as lost.
void StartRefiller(Recorder& r) {
  if (r.refiller.joinable()) return;
  if (r.refill.handle == platform::kNoHandle && !platform::EventCreate(&r.refill)) return;
  r.refillerStop.store(false);
  try {
    r.refiller = std::thread(RefillMain, &r);
  } catch (...) {
  }
}

void StopRefiller(Recorder& r) {
  if (r.refiller.joinable()) {
    r.refillerStop.store(true);
    platform::EventSet(&r.refill);
    r.refiller.join();
  }
  if (r.refill.handle != platform::kNoHandle) platform::EventDestroy(&r.refill);
}

// Releases what the loop echo holds on thru's port, by the ledger, at a pass end: its notes, then
// its pedals.
void ReleaseEchoHeld(Recorder& r) EXCLUDES(r.lock) {
  int32_t port = r.thru->port.load();
  if (port < 0) return;
  ReleaseStrikes(*r.ports, port, kOwnerEcho);
  LiftPedals(*r.ports, port, kOwnerEcho);
}

// Closes the pass that runs with an end marker at `tick`, unless input closed it
// already; the pass becomes echoable.
void EndPassLocked(Recorder& r, int32_t tick) REQUIRES(r.lock) {
  if (r.passClosedEarly) {
    r.passClosedEarly = false;
  } else {
    if (!AppendLocked(r, tick, kEndMarker, 1)) r.droppedEvents += 1;
    r.closedEntries = r.entryCount;
  }
  r.echoable = r.closedEntries;
  r.passesEnded += 1;
  r.resumeActive = false;
}

// The tick input that arrived at `arrivalMs` is filed at. While looping, input whose
// tick reached the loop end belongs to the next pass: the pass that runs is closed here (the wrap's
// wake-up may come late) and the tick counted from the loop start (at most to the loop's last tick);
// input that arrived before the wrap that began the running pass (delivered late) is filed at the
// loop start.
int32_t StampLocked(Recorder& r, double arrivalMs) REQUIRES(r.lock) {
  int32_t tick = StampTickAt(*r.clock, arrivalMs);
  const PlaybackState& p = *r.playback;
  if (!p.loopOn.load()) return tick;
  int32_t loopStart = p.loopStart.load(), loopEnd = p.loopEnd.load();
  if (loopStart >= loopEnd) return tick;
  if (tick >= loopEnd) {
    if (!r.passClosedEarly) {
      if (!AppendLocked(r, loopEnd, kEndMarker, 1)) r.droppedEvents += 1;
      r.closedEntries = r.entryCount;
      r.passClosedEarly = true;
      r.passAtLoopStart = true;
    }
    // A wrap later than a whole pass files the rest at the pass's last tick, never back at its start.
    return static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(loopStart) + tick - loopEnd, loopEnd - 1));
  }
  if (r.passAtLoopStart && tick < loopStart) return loopStart;
  return tick;
}

void ResetHeader(CaptureBuffer& c) {
  c.header.data = c.data.get();
  c.header.length = kCaptureBufferSize;
  c.header.bytesRecorded = 0;
  c.header.user = 0;
}

// Plays through thru, in record order, the entries of ended passes whose ticks lie in [from, to),
// at most kEchoBudget of them, and returns the smallest tick at or after `to` among the other
// entries of ended passes (kNoRecordedTick when none). When the budget runs out it returns `from`
// and remembers where it stopped: the next call from `from` goes on with the same window. Markers are
// neither played nor counted. Entries are collected under the lock and played after it in batches;
// a recording released meanwhile ends the walk.
int32_t WalkEndedPasses(Recorder& r, int32_t from, int32_t to) {
  constexpr int kBatch = 64;
  uint32_t batch[kBatch];
  int n = 0;
  const uint32_t thruGeneration = r.thru->generation.load();
  EngineLock lock(r.lock);
  if (!r.armed) return kNoRecordedTick;
  int64_t dueTo = to;
  int64_t best = kNoRecordedTick;
  int64_t first = 0;
  if (r.resumeActive && r.resumeFrom == from) {
    dueTo = r.resumeTo;
    best = r.resumeBest;
    first = r.resumeIndex;
  }
  r.resumeActive = false;
  const uint64_t generation = r.generation;
  const int64_t limit = r.echoable;
  int32_t played = 0;
  int64_t index = 0;
  bool stopped = false;
  for (RecordChunk* chunk = r.head; chunk && index < limit && !stopped; chunk = chunk->next) {
    const int64_t base = index;
    const int32_t count = static_cast<int32_t>(std::min<int64_t>(chunk->used, limit - base));
    index += chunk->used;
    if (base + count <= first) continue;
    // A chunk none of whose ticks can be due or ahead of the best found is passed over whole.
    if (chunk->maxTick < from) continue;
    if (chunk->minTick >= dueTo && chunk->minTick >= best) continue;
    for (int32_t i = static_cast<int32_t>(std::max<int64_t>(first - base, 0)); i < count; ++i) {
      const RecordEntry e = chunk->entries[i];
      const uint32_t code = e.word & 0xFF;
      if (code == kEndMarker || code == kSysexMarkerCode) continue;
      if (e.tick >= from && e.tick < dueTo) {
        if (played == kEchoBudget) {
          r.resumeActive = true;
          r.resumeFrom = from;
          r.resumeTo = static_cast<int32_t>(dueTo);
          r.resumeIndex = base + i;
          r.resumeBest = best;
          stopped = true;
          break;
        }
        played += 1;
        batch[n++] = e.word;
        if (n == kBatch) {
          lock.unlock();
          ThruPlayBatch(*r.thru, batch, n, thruGeneration);
          n = 0;
          lock.lock();
          if (r.generation != generation) return kNoRecordedTick;
        }
      } else if (e.tick >= dueTo && e.tick < best) {
        best = e.tick;
      }
    }
  }
  lock.unlock();
  ThruPlayBatch(*r.thru, batch, n, thruGeneration);
  return stopped ? from : static_cast<int32_t>(best);
}

// The capture buffer the platform handed back, or null when it is none of ours.
CaptureBuffer* FindCaptureLocked(Recorder& r, const platform::MidiInBuffer* buffer) REQUIRES(r.lock) {
  for (int32_t i = 0; i < r.captureSlots; ++i)
    if (r.captures[i] && &r.captures[i]->header == buffer) return r.captures[i].get();
  return nullptr;
}

// Queues the capture buffer of the recording client's input port, unless it is queued there
// already (left from an earlier recording) or on its way back (the input thread will queue it).
void ArmCapture(Recorder& r, int32_t port) {
  Ports& ports = *r.ports;
  if (port < 0 || port >= ports.inputCount) return;
  platform::MidiHandle handle = ports.inputs[port].handle.load();
  if (handle == 0) return;

  std::unique_ptr<CaptureBuffer> made;
  bool haveSlot;
  {
    EngineLock lock(r.lock);
    haveSlot = r.captures && r.captures[port];
  }
  if (!haveSlot) {
    made.reset(new (std::nothrow) CaptureBuffer);
    if (made) made->data.reset(new (std::nothrow) uint8_t[kCaptureBufferSize]);
    if (!made || !made->data) return;  // no capture for this recording
  }
  std::unique_ptr<std::unique_ptr<CaptureBuffer>[]> slots;
  if (!haveSlot) {
    slots.reset(new (std::nothrow) std::unique_ptr<CaptureBuffer>[kMaxPorts]);  // room for ports added later
    if (!slots) return;
  }
  CaptureBuffer* capture;
  bool queue = false;
  {
    EngineLock lock(r.lock);
    if (!r.armed) return;
    if (!r.captures) {
      r.captures = std::move(slots);
      r.captureSlots = kMaxPorts;
    }
    if (!r.captures[port]) r.captures[port] = std::move(made);
    capture = r.captures[port].get();
    r.captureArmed = true;
    r.captureHandle = handle;
    // Queued on an earlier handle of this port means the port has been closed since, which dropped
    // the buffer: it is the engine's again.
    if (capture->queuedOn != handle && !capture->returning) {
      ResetHeader(*capture);
      capture->queuedOn = handle;
      queue = true;
    }
  }
  if (queue && platform::MidiInAddBuffer(handle, &capture->header) != platform::kMidiOk) {
    EngineLock lock(r.lock);
    if (capture->queuedOn == handle) capture->queuedOn = 0;
  }
}

}  // namespace

Recorder::~Recorder() {
  StopRefiller(*this);
  FreeChunks(head);
  delete spare;
  for (int32_t i = 0; i < blockCount; ++i) delete[] blocks[i].bytes;
}

void ArmRecording(Recorder& r, int32_t recordStartTick, int32_t countInLength, int32_t capturePort) {
  StartRefiller(r);
  RecordChunk* spare = new (std::nothrow) RecordChunk;
  Detached leftover;
  {
    EngineLock lock(r.lock);
    DetachLocked(r, &leftover);
    r.spare = spare;
    r.needSpare.store(spare == nullptr);
    r.recordStartTick = recordStartTick;
    r.countInLength = countInLength;
    r.armed = true;
  }
  FreeDetached(leftover);
  if (capturePort >= 0) ArmCapture(r, capturePort);
}

void ArmCaptureAgain(Recorder& r, int32_t capturePort) { ArmCapture(r, capturePort); }

void RecordNow(Recorder& r, uint32_t word) { RecordArrived(r, word, platform::NowMs()); }

void RecordArrived(Recorder& r, uint32_t word, double arrivalMs) {
  EnsureSpare(r);
  EngineLock lock(r.lock);
  // Room for the word and for the end marker stamping may put before it.
  if (!r.armed) return;
  if (!MakeRoomLocked(r, 2)) {
    if (r.armed) r.droppedEvents += 1;
    return;
  }
  int32_t tick = StampLocked(r, arrivalMs);
  if (!AppendLocked(r, tick, word, 1)) r.droppedEvents += 1;
}

void RecordAt(Recorder& r, uint32_t word, int32_t tick) {
  const bool passEnds = (word & 0xFF) == kEndMarker;
  if (passEnds) ReleaseEchoHeld(r);
  EngineLock lock(r.lock);
  if (!r.armed) return;
  if (passEnds) {
    // A song switch: the pass goes on from the tick of the switch, not from the loop start.
    bool early = r.passClosedEarly;
    EndPassLocked(r, tick);
    r.passAtLoopStart = early;
  }
  else if (!AppendLocked(r, tick, word, 1))
    r.droppedEvents += 1;
}

void RecordWrap(Recorder& r, int32_t loopEnd, double dueMs, int32_t loopStart, int32_t ticksPerMinute) {
  ReleaseEchoHeld(r);
  EngineLock lock(r.lock);
  if (r.armed) {
    EndPassLocked(r, loopEnd);
    r.passAtLoopStart = true;
  }
  AnchorClockAt(*r.clock, dueMs, loopStart, ticksPerMinute);
}

int32_t EchoRecorded(Recorder& r, int32_t from, int32_t to) { return WalkEndedPasses(r, from, to); }

void OnSysexBuffer(Recorder& r, platform::MidiHandle handle, platform::MidiInBuffer* buffer, bool accepted,
                   double arrivalMs) {
  CaptureBuffer* capture;
  bool record;
  uint32_t length;
  {
    EngineLock lock(r.lock);
    capture = FindCaptureLocked(r, buffer);
    if (!capture) return;
    capture->queuedOn = 0;
    capture->returning = true;
    record = accepted && r.armed && r.captureArmed && r.captureHandle == handle;
    length = std::min(capture->header.bytesRecorded, kCaptureBufferSize);
  }
  // A message that filled the whole buffer without its closing F7 was longer than the buffer: the
  // rest of it is lost.
  const bool cut = length == kCaptureBufferSize && capture->data[length - 1] != 0xF7;
  uint8_t* block = nullptr;
  if (record && length > 0) {
    block = new (std::nothrow) uint8_t[length];
    if (block) memcpy(block, capture->data.get(), length);
  }
  EnsureSpare(r);
  bool requeue;
  {
    EngineLock lock(r.lock);
    if (record && length > 0) {
      bool room = block && r.blockCount < kMaxSysexBlocks && MakeRoomLocked(r, 2) && r.armed &&
                  FitsLocked(r, 2, length);
      if (room) {
        int32_t tick = StampLocked(r, arrivalMs);
        room = AppendLocked(r, tick, kSysexMarkerCode | r.byteCount << 8, 1);
      }
      if (room) {
        r.blocks[r.blockCount++] = SysexBlock{block, length};
        r.byteCount += length;
        block = nullptr;
        if (cut) r.droppedSysex += 1;
      } else {
        r.droppedSysex += 1;
      }
    }
    // Queued again even once the block table is full, so that what comes later is counted as lost
    // rather than dropped unseen by the platform.
    requeue = r.armed && r.captureArmed && r.captureHandle == handle;
    capture->returning = false;
    if (requeue) {
      ResetHeader(*capture);
      capture->queuedOn = handle;
    }
  }
  delete[] block;
  if (requeue && platform::MidiInAddBuffer(handle, &capture->header) != platform::kMidiOk) {
    EngineLock lock(r.lock);
    if (capture->queuedOn == handle) capture->queuedOn = 0;
  }
}

BuiltTake FinishTake(Recorder& r, int32_t stopTick) {
  EnsureSpare(r);
  Detached d;
  {
    EngineLock lock(r.lock);
    // Room for this marker in the take's size was kept by every other append.
    if (r.entryCount > 0 && !(MakeRoomLocked(r, 1) && AppendLocked(r, stopTick, kEndMarker, 0)))
      r.droppedEvents += 1;
    DetachLocked(r, &d);
  }
  BuiltTake take;
  take.droppedEvents = d.droppedEvents;
  take.droppedSysex = d.droppedSysex;
  if (d.entryCount > 0) {
    uint64_t size = kTakeHeaderSize + kTakeEntrySize * static_cast<uint64_t>(d.entryCount) + d.byteCount;
    if (size <= kMaxTakeBytes) take.bytes.reset(new (std::nothrow) uint8_t[size]);
    if (take.bytes) {
      uint8_t* p = take.bytes.get();
      platform::StoreLe32(p + kTakeEventCountOffset, static_cast<uint32_t>(d.entryCount));
      platform::StoreLe32(p + kTakeRecordStartOffset, static_cast<uint32_t>(d.recordStartTick));
      platform::StoreLe32(p + kTakeCountInOffset, static_cast<uint32_t>(d.countInLength));
      platform::StoreLe32(p + kTakeBlockCountOffset, static_cast<uint32_t>(d.blockCount));
      platform::StoreLe32(p + kTakeByteCountOffset, d.byteCount);
      p += kTakeHeaderSize;
      for (const RecordChunk* chunk = d.head; chunk; chunk = chunk->next) {
        for (int32_t i = 0; i < chunk->used; ++i, p += kTakeEntrySize) {
          platform::StoreLe32(p, static_cast<uint32_t>(chunk->entries[i].tick));
          platform::StoreLe32(p + kTakeEntryWordOffset, chunk->entries[i].word);
        }
      }
      for (int32_t i = 0; i < d.blockCount; ++i) {
        memcpy(p, d.blocks[i].bytes, d.blocks[i].length);
        p += d.blocks[i].length;
      }
      take.size = static_cast<uint32_t>(size);
      take.built = true;
    }
  }
  take.lost = take.droppedEvents > 0 || take.droppedSysex > 0 || (d.entryCount > 0 && !take.built);
  FreeDetached(d);
  return take;
}

void FreeRecorder(Recorder& r) {
  Detached d;
  std::unique_ptr<std::unique_ptr<CaptureBuffer>[]> captures;
  {
    EngineLock lock(r.lock);
    DetachLocked(r, &d);
    captures = std::move(r.captures);
    r.captureSlots = 0;
  }
  FreeDetached(d);
  StopRefiller(r);
}
