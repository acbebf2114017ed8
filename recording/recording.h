// Recording and thru: the MIDI input callback with its filter, the thru echo, and the take recorder
// (its record list, the system-exclusive capture and the delivery of the take).
//
// Threads and exclusion:
//   - The MIDI input thread runs OnMidiInput: the filter, live thru and the appends of input.
//   - The timer thread (inside a wake-up, holding the scheduler lock) runs EchoRecorded, RecordWrap
//     and RecordAt. RecordWrap re-anchors the playback clock while it holds Recorder::lock, and input
//     is stamped from the clock under that lock, so no input is stamped across a wrap.
//   - The main thread runs SetThru, ArmRecording, DeliverTake and the port releases.
//   - The recorder's refill thread (started by the first recording, ended at teardown) makes the
//     spare record chunk whenever it was taken, so that the timer thread never allocates.
//   Thru's settings, port, owner and image change only under `Thru::lock`, held for one event's
//   image update and its one send (for the echo, a batch of at most 64; or, on the main thread, for collecting the held notes, which are
//   then released outside it). The record list, the sysex blocks and the capture buffers change only
//   under `Recorder::lock`, which is never held across a send or a platform call: the echo collects
//   what is due under it and plays it after. Neither lock is held while the other is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "clients/clients.h"
#include "locks/locks.h"
#include "platform/event.h"
#include "platform/midi.h"
#include "playback/clock.h"
#include "playback/scheduler.h"
#include "playback/state_image.h"
#include "ports/ports.h"
#include "protocol/payloads.h"
#include "protocol/protocol.h"

constexpr int32_t kNoRecordedTick = 0x7FFFFFFF;
constexpr uint32_t kEndMarker = tovu::protocol::kTakeEndMarker;
constexpr uint32_t kSysexMarkerCode = tovu::protocol::kTakeSysexMarker;

// ---- Thru ----

using ThruSettings = tovu::ThruSettings;

struct Thru {
  Mutex lock ACQUIRED_AFTER(PlaybackState::lock) ACQUIRED_BEFORE(PortStage::lock);
  ThruSettings settings GUARDED_BY(lock);
  // Written on the main thread under lock; read by the timer and MIDI input threads (and the
  // notifier, for the owner).
  std::atomic<int32_t> port{-1};   // the output port index thru holds open
  std::atomic<uint32_t> owner{0};  // the client that set thru (0 none)
  // Advanced (under lock) whenever the notes thru holds are released or forgotten: a message
  // admitted before that, by a filter or listener that may no longer hold, is not played after it.
  std::atomic<uint32_t> generation{0};
  // What thru works with, set by the host at the set-up: its state image (null without any output
  // port: thru plays nothing then), the ports, and the clock its event application is handed (thru
  // plays no tempo events).
  StateImage* image = nullptr;
  Ports* ports = nullptr;
  PlaybackClock* clock = nullptr;
};

// The word thru plays for an incoming message: the port byte, the channel override (low four bits),
// and for notes the transposed note clamped to 0-127 and the offset velocity clamped to 1-127 (0
// stays 0; a note-off becomes a velocity-0 note-on). Data bytes are kept to seven bits.
uint32_t ThruWord(const ThruSettings& settings, int32_t port, uint32_t message);
// Plays one message through thru and the thru image (the live echo).
void ThruPlay(Thru& thru, uint32_t message);
// The same, only while thru's generation is still `generation` (read before the message was
// admitted); false when it was dropped for that reason.
bool ThruPlayIn(Thru& thru, uint32_t message, uint32_t generation);
// The loop-record echo: plays `count` messages as ThruPlayIn would (as the echo's, not thru's),
// under one hold of the thru lock.
void ThruPlayBatch(Thru& thru, const uint32_t* messages, int count, uint32_t generation);
// The listening client changed, or its filter did: what thru's live echo holds on its port (by the
// ledger) is released, notes and pedals, so that no release the new filter refuses can leave one
// sounding.
void ReleaseThruNotes(Thru& thru);
// Copy-data type 29 (also every port opening, with the current settings): silences what thru holds
// on the old port, closes it, stores the settings and opens the new port; a successful open makes
// the sender the thru owner.
void SetThru(Thru& thru, uint32_t sender, const ThruSettings& settings);
// Silences what thru holds, closes its port and ends the thru owner (a client closing its ports).
void ReleaseThruPort(Thru& thru);

// ---- Input ----

struct Recorder;

// What the input callback routes with, set by the host at the set-up (Ports::inputInstance points
// here): the client table (the listening client's filter), the ports (which input a handle is),
// thru, the recorder and the playback's recording client.
struct InputRouter {
  ClientTable* clients = nullptr;
  Ports* ports = nullptr;
  Thru* thru = nullptr;
  Recorder* recorder = nullptr;
  const std::atomic<uint32_t>* recordingClient = nullptr;
  ClockIn* clockIn = nullptr;  // the external clock a playback may follow (its messages skip the filter)
};

// The platform's input callback. `instance` is the InputRouter (Ports::inputInstance).
void OnMidiInput(platform::MidiHandle handle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);
// The filter's decision by message class: notes (flag bit 0), control changes (bit 1) and pitch
// bend (bit 2) on a channel of the mask pass; every other class is refused.
bool FilterPasses(uint32_t message, uint32_t channelMask, uint32_t inputFlags);

// ---- Take recorder ----

constexpr int32_t kChunkEntries = 1000;
constexpr int32_t kMaxSysexBlocks = 128;
constexpr uint32_t kCaptureBufferSize = 65500;
using tovu::protocol::kTakeHeaderSize;
// The largest take the engine builds: what the bus can queue for one client (16 MiB) less room for
// the frame and for the messages around it. Input stops being recorded before the take would grow
// past it; the final end marker always fits. What is dropped is counted and reported.
constexpr uint32_t kMaxTakeBytes = (16u << 20) - (64u << 10);

struct RecordEntry {
  int32_t tick;
  uint32_t word;
};

struct RecordChunk {
  RecordChunk* next = nullptr;
  int32_t used = 0;
  int32_t minTick = 0;  // of the entries used
  int32_t maxTick = 0;
  RecordEntry entries[kChunkEntries];
};

struct SysexBlock {
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
};

// One system-exclusive capture buffer per input port, made at its first recording with sysex and
// kept until teardown. The platform takes a queued buffer back only by closing the port, so a buffer
// is never freed or queued again while its port may still fill it: a recording's stop disarms the
// capture, whatever the port hands back later is dropped and not queued again, and the next
// recording on the same port finds it still queued there.
struct CaptureBuffer {
  platform::MidiInBuffer header;
  std::unique_ptr<uint8_t[]> data;
  platform::MidiHandle queuedOn = 0;  // the input it is queued on; 0 = with the engine
  bool returning = false;             // handed back: the input thread is copying it
};

// How many ended-pass entries one echo call plays at most. A wake-up never spends longer than this
// under the scheduler lock: an echo with more due stops, and the scheduler wakes again at once.
constexpr int32_t kEchoBudget = 256;

struct Recorder {
  Mutex lock ACQUIRED_AFTER(PlaybackState::lock) ACQUIRED_BEFORE(PortStage::lock);
  bool armed GUARDED_BY(lock) = false;  // a recording takes input
  // The pass that runs was closed by input that arrived once the loop end was due, before the
  // wake-up that wraps: that wrap appends no second marker.
  bool passClosedEarly GUARDED_BY(lock) = false;
  int64_t closedEntries GUARDED_BY(lock) = 0;  // entries up to the last end marker (echoable from the next wrap)
  int64_t passesEnded GUARDED_BY(lock) = 0;
  bool passAtLoopStart GUARDED_BY(lock) = false;  // the pass that runs began at the loop start (a wrap, not a switch)
  // An echo call that used up its budget: the next call from the same tick resumes the same window.
  bool resumeActive GUARDED_BY(lock) = false;
  int32_t resumeFrom GUARDED_BY(lock) = 0;
  int32_t resumeTo GUARDED_BY(lock) = 0;
  int64_t resumeIndex GUARDED_BY(lock) = 0;
  int64_t resumeBest GUARDED_BY(lock) = 0;
  RecordChunk* head GUARDED_BY(lock) = nullptr;
  RecordChunk* tail GUARDED_BY(lock) = nullptr;
  RecordChunk* spare GUARDED_BY(lock) = nullptr;  // the next chunk, made ahead so that the timer thread never allocates
  int64_t entryCount GUARDED_BY(lock) = 0;
  int64_t echoable GUARDED_BY(lock) = 0;  // entries of passes already ended (the echo plays only these)
  uint64_t generation GUARDED_BY(lock) = 0;  // changes whenever the list is released
  int32_t recordStartTick GUARDED_BY(lock) = 0;
  int32_t countInLength GUARDED_BY(lock) = 0;
  SysexBlock blocks[kMaxSysexBlocks] GUARDED_BY(lock);
  int32_t blockCount GUARDED_BY(lock) = 0;
  uint32_t byteCount GUARDED_BY(lock) = 0;
  bool captureArmed GUARDED_BY(lock) = false;
  platform::MidiHandle captureHandle GUARDED_BY(lock) = 0;
  uint32_t droppedEvents GUARDED_BY(lock) = 0;  // short messages and end markers not recorded
  uint32_t droppedSysex GUARDED_BY(lock) = 0;   // system-exclusive messages not recorded
  std::unique_ptr<std::unique_ptr<CaptureBuffer>[]> captures GUARDED_BY(lock);  // one slot per input port
  int32_t captureSlots GUARDED_BY(lock) = 0;
  // Read without the lock: the spare chunk was used up, and a thread that may allocate makes one:
  // the refill thread, woken by `refill`, so that the timer thread can go on closing passes when no
  // input comes.
  std::atomic<bool> needSpare{false};
  platform::Event refill;
  std::thread refiller;
  std::atomic<bool> refillerStop{false};
  // What the recorder works with, set by the host at the set-up: the playback clock input is
  // stamped from (and a wrap re-anchors), the playback's loop bounds, thru (the echo plays through
  // it, and what the echo holds is released on thru's port) and the ports (the capture's inputs).
  PlaybackClock* clock = nullptr;
  const PlaybackState* playback = nullptr;
  Thru* thru = nullptr;
  Ports* ports = nullptr;

  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder();
};

struct Recording {
  Thru thru;
  Recorder recorder;
  InputRouter input;
};

// The take as built for delivery: its bytes (empty when nothing was recorded or it could not be
// allocated) and what was lost while recording.
struct BuiltTake {
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size = 0;
  uint32_t droppedEvents = 0;
  uint32_t droppedSysex = 0;
  bool built = false;
  bool lost = false;  // input was dropped, or the take could not be built
};

// At a recording start, right after the clock is anchored and before the first wake-up: the take
// begins at `recordStartTick` with `countInLength` ticks counted in; system-exclusive input is
// captured from input port `capturePort` (-1: none).
void ArmRecording(Recorder& r, int32_t recordStartTick, int32_t countInLength, int32_t capturePort);
// Main thread: the capture port's device came back (reopened under a new handle) while a recording
// runs: its capture buffer is queued on the new handle, as at the start.
void ArmCaptureAgain(Recorder& r, int32_t capturePort);
// Input of the recording, stamped with the clock now.
void RecordNow(Recorder& r, uint32_t word);
// Input of the recording that arrived at `arrivalMs` (platform::NowMs's scale). Stamping and
// appending are one step with respect to a wrap: while looping, input that arrived once the loop
// end was due opens the next pass (its end marker is appended first, its tick counted from the loop
// start), and input that arrived before the wrap that began the running pass is filed at the loop
// start.
void RecordArrived(Recorder& r, uint32_t word, double arrivalMs);
// Appends a packed event at `tick`. An end marker closes a loop pass (a song switch): what the echo
// still holds is released, and from here on the pass just closed is echoed too.
void RecordAt(Recorder& r, uint32_t word, int32_t tick);
// The loop wrap of a recording, on the timer thread: releases what the echo holds, closes the pass
// with an end marker at `loopEnd` (unless input closed it already) and re-anchors the clock so that
// `loopStart` falls at `dueMs`, all as one step with respect to input being stamped.
void RecordWrap(Recorder& r, int32_t loopEnd, double dueMs, int32_t loopStart, int32_t ticksPerMinute);
// At each wake-up of a recording: echoes through thru the entries of earlier loop passes recorded
// in [from, to) and returns the earliest tick of such an entry at or after `to` (kNoRecordedTick
// when none). At most kEchoBudget entries are played per call: with more due it returns `from`,
// and the next call from `from` takes up the same window where this one stopped.
int32_t EchoRecorded(Recorder& r, int32_t from, int32_t to);
// The stop: disarms the recording, appends the final end marker at `stopTick` when anything was
// recorded, builds the take and releases the recording.
BuiltTake FinishTake(Recorder& r, int32_t stopTick);
// The returned capture buffer of a MIM_LONGDATA, accepted or not (the buffer comes back to the
// engine either way). `arrivalMs` is when the message arrived (platform::NowMs's scale).
void OnSysexBuffer(Recorder& r, platform::MidiHandle handle, platform::MidiInBuffer* buffer, bool accepted,
                   double arrivalMs);
// Teardown, after every input has closed: releases the recording and the capture buffers.
void FreeRecorder(Recorder& r);
