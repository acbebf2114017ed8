// The output stage: one per output port, the only way to its device. Every message the engine sends
// to a device passes through it, whoever sends it (a playback's events, chases and replays, wraps and
// switches; direct sends and auditions; the metronome; thru and the loop echo; panics and every
// release). A stage has two parts:
//
//   - A queue, first in first out, holding what may not leave yet: after a system-exclusive message
//     the port pauses for its sysex delay, and everything sent to the port meanwhile waits in order
//     behind it (other ports and every thread go on). A message that finds the port free and nothing
//     queued leaves at once, on the sender's thread. The queue is a ring of fixed capacity made when
//     the port is first opened, so a real-time sender neither allocates nor waits on it; a drain
//     timer sends what is queued when the pause ends, on the timer service's thread.
//   - A ledger of what the device holds once its queue has gone out: the strikes sounding on each
//     channel and key, each tagged with its owner (a playback, the click, thru, the loop echo, or a
//     client's direct sends and auditions), and the sustain, sostenuto and soft pedals with the owner
//     that pressed them. The ledger changes as a message enters the stage, so that a release worked
//     out from it covers what is still queued; a queued message that is dropped (a panic, a last
//     close, an owner's messages withdrawn at its stop) takes its change back. Every release the
//     engine makes is worked out from the ledger. Its strike counts are the activity table clients
//     are sent (copy-data 30).
//
// A message's way through a stage, drawn:
//
//   sent --port free, nothing queued--> device (ledger changed) --sysex--> port pausing
//   sent --port pausing or something queued--> queued (ledger changed) --pause over: drain--> device
//   queued --panic, last close, its owner's stop or departure--> dropped (ledger change taken back)
//   sent --queue or the owner's share of it full--> refused (kStageQueueFull; nothing changes)
//
// Bounds: kStageCapacity entries per port, of which senders may fill kStageSenderShare (the rest is
// kept for releases, which are never refused); per owner kOwnerQueueEntries entries and
// kOwnerQueueBytes system-exclusive bytes across all ports; per port kPortQueueBytes bytes. A song's
// playback is never refused: its scheduler holds back while the port's queue is full.
//
// Threads: any thread sends (main, timer, MIDI input). Each stage has one lock, held for one message
// (or a batch of at most kStageBatch) together with its device send, so what enters first leaves
// first and the ledger and the device agree; no allocation under it on the timer or input threads.
// The owner budgets are atomics. The drain runs on the timer service's thread. Owned copies of
// system-exclusive messages that the drain sent are freed by the main thread (ReclaimSpent), so the
// timer thread never frees memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include "locks/locks.h"
#include "platform/midi.h"
#include "platform/timer.h"

// Who struck a note or pressed a pedal.
using Owner = uint8_t;
constexpr Owner kOwnerNone = 0;      // no particular owner: released only when everything is
constexpr Owner kOwnerPlayback = 1;  // the playback's events, chases, replays and switches
constexpr Owner kOwnerClick = 2;     // the metronome
constexpr Owner kOwnerThru = 3;      // thru's live echo of input
constexpr Owner kOwnerEcho = 4;      // the loop echo of earlier passes of a recording
constexpr Owner kFirstClientOwner = 5;  // a client's direct sends and auditions: 5 to 254
constexpr Owner kLastClientOwner = 254;
constexpr int kOwnerCount = 256;

// Results beyond the device's own. A sender past the queue's bound is refused with kStageQueueFull
// (the platform's "no memory"); a system-exclusive message longer than the port's device carries in
// one message with kStageTooLong (the platform's "invalid parameter").
constexpr int kStageQueueFull = platform::kMidiNoMemory;
constexpr int kStageTooLong = platform::kMidiInvalidParam;

constexpr uint32_t kStageCapacity = 8192;
constexpr uint32_t kStageSenderShare = 6144;
constexpr int32_t kOwnerQueueEntries = 4096;
constexpr int64_t kOwnerQueueBytes = 16 << 20;
constexpr int64_t kPortQueueBytes = 32 << 20;
constexpr int kStageBatch = 64;

// The strikes sounding on one channel and key beyond their count (the activity counter): the owners
// of up to kKeyTags of them, oldest first. Strikes past the tags are owned by nobody in particular.
constexpr int kKeyTags = 15;
struct KeyLedger {
  uint8_t tagged = 0;
  Owner tags[kKeyTags] = {};
};

// One of the three pedals of a channel (64 sustain, 66 sostenuto, 67 soft): its value as last sent
// (0 up, 255 never sent) and who last pressed it.
constexpr uint32_t kPedals[3] = {64, 66, 67};
struct PedalLedger {
  uint8_t value = 255;
  Owner owner = kOwnerNone;
};

struct StageEntry {
  const uint8_t* bytes = nullptr;  // a system-exclusive message's bytes
  const void* song = nullptr;      // the song image the bytes lie in (borrowed); null: an owned copy
  uint32_t word = 0;               // a short message (port byte cleared), or the sysex length
  uint8_t kind = 0;                // StageEntryKind
  Owner owner = kOwnerNone;
  Owner undoOwner = kOwnerNone;    // a release: the strike it took; a pedal: the owner before it
  uint8_t undoValue = 0;           // a pedal: the value before it
};

struct StageShared;

// One port's stage. The ring, the ledger arrays and the spent list are made on the main thread
// (the tables' build and the port's first open) and kept until the teardown.
struct PortStage {
  Mutex lock;
  StageShared* shared = nullptr;  // the owner budgets (set when the tables are built)
  std::unique_ptr<StageEntry[]> ring GUARDED_BY(lock);  // kStageCapacity entries; null until the port's first open
  uint32_t head GUARDED_BY(lock) = 0;
  uint32_t count GUARDED_BY(lock) = 0;
  int64_t queuedBytes GUARDED_BY(lock) = 0;  // sysex bytes queued
  double readyAtMs GUARDED_BY(lock) = 0;     // the end of the pause after the last sysex (NowMs's scale)
  // Where system-exclusive messages that wait are kept by threads that may not allocate: filled
  // from the front, emptied whenever the queue is.
  std::unique_ptr<uint8_t[]> arena GUARDED_BY(lock);
  uint32_t arenaUsed GUARDED_BY(lock) = 0;
  std::unique_ptr<KeyLedger[]> keys GUARDED_BY(lock);  // 2048: channel x 128 + key
  PedalLedger pedals[16][3] GUARDED_BY(lock);
  // Owned sysex copies the drain has sent, for the main thread to free.
  std::unique_ptr<const uint8_t*[]> spent GUARDED_BY(lock);  // kStageCapacity entries
  uint32_t spentCount GUARDED_BY(lock) = 0;
};

// What all stages share: the owner budgets, the drain timer and the clock pauses are timed by.
struct StageShared {
  double (*clock)() = platform::NowMs;  // a test pushes its own time in here
  std::atomic<int32_t> ownerEntries[kOwnerCount] = {};
  std::atomic<int64_t> ownerBytes[kOwnerCount] = {};
  bool ownerInUse[kOwnerCount] = {};  // client owners handed out (main thread)
  platform::TimerService* timers = nullptr;  // null: nothing drains by itself (tests drain by hand)
  // Taken with no stage lock held (the cancel of a drain timer waits out a drain in flight, which
  // takes stage locks); the timer is cancelled with it let go.
  Mutex drainLock ACQUIRED_BEFORE(PortStage::lock);
  uint64_t drainTimer GUARDED_BY(drainLock) = 0;
  double drainDueMs GUARDED_BY(drainLock) = 0;
};
