// The playback: start, continue, stop, the tempo factor, and the scheduler's wake-up. The state
// machine and the thread rules are drawn in scheduler.h.
//
// Timing: every wake-up is armed for the exact due time of the earliest of the next event, the next
// position step, the next recorded event to echo and the loop end, so that events leave when they are
// due rather than on a millisecond grid. A loop wrap and a tempo event re-anchor the clock at the due
// time of their tick, so the lateness of a wake-up never carries into the rest of the song. Only the
// first wake-up after a start or a continue comes a fixed 1 ms after the command.
#include "playback/scheduler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "host/engine.h"
#include "status/outbox.h"
#include "platform/wire.h"
#include "playback/chase.h"
#include "playback/seek.h"
#include "playback/song_image.h"

namespace {

struct StartRequest {
  int32_t startTick, loopStart, loopEnd, loopOn, sysexMode, setupSysex, recordOn, startParam;
};

StartRequest ReadRequest(const uint8_t* r) {
  auto at = [r](uint32_t offset) { return static_cast<int32_t>(platform::LoadLe32(r + offset)); };
  return StartRequest{at(kStartTickOffset),      at(kStartLoopStartOffset), at(kStartLoopEndOffset),
                      at(kStartLoopOnOffset),    at(kStartSysexModeOffset), at(kStartSetupSysexOffset),
                      at(kStartRecordOnOffset),  at(kStartParamOffset)};
}

constexpr double kFirstWakeDelayMs = 1.0;
// A wake-up comes at least this often (a song at a crawl still re-reads its clock) ...
constexpr double kMaxWakeDelayMs = 1000.0;
// ... and never sooner than this after the one before, so that no song (a loop of a fraction of a
// millisecond, say) can keep the real-time timer thread busy.
constexpr double kMinWakeSpacingMs = 0.05;
// How often a playback held at its song's end for a continue looks again.
constexpr double kHoldAtEndMs = 1.0;
// A wrap makes up for at most this much lateness past the loop end; a wake-up later than that (a
// stalled machine) starts the new pass now instead of rushing through the missed part of it.
constexpr double kMaxWrapCatchUpMs = 50.0;
// A loop pass lasts at least this long, however short the loop or fast the tempo.
constexpr double kMinLoopPassMs = 1.0;

int32_t SongEndTick(const uint8_t* song) { return ReadI32(song + kSongEndTick); }

// Loop bounds as a start or continue would play them: the loop must begin before its effective end
// (the song's end when the request leaves the end open).
bool LoopIsValid(const StartRequest& r, const uint8_t* song) {
  if (!r.loopOn) return true;
  if (r.loopStart >= r.loopEnd) return false;
  return !(r.loopEnd == kNoLoopEnd && song && r.loopStart >= SongEndTick(song));
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

int32_t PositionStep(const Engine& engine) {
  int32_t step = engine.clock.positionStep.load();
  return step > 0 ? step : 1;
}

// The playback `serial` of `window` posts its own stop, after `code` 12 when given.
void PostEnd(Engine& engine, uint32_t serial, uint32_t window, bool ended) {
  if (ended) PostNotification(engine.bus, window, kNotifyEnded, 0);
  platform::BusPostToEngine(engine.bus, kPlaybackEndMessage, serial, window);
}

// Under the scheduler lock: the loop of a start or a switch. Returns `tick`, or the loop start
// when a loop is asked for and `tick` lies past its end.
int32_t TakeLoop(PlaybackState& p, const StartRequest& r, int32_t tick) {
  bool loopOn = r.loopOn != 0;
  p.loopOn.store(loopOn);
  p.loopStart.store(loopOn ? r.loopStart : 0);
  p.loopEnd.store(loopOn ? r.loopEnd : kNoLoopEnd);
  return loopOn && tick > r.loopEnd ? r.loopStart : tick;
}

// Under the scheduler lock: the request's sysex fields go to the new main image (and, looping, to the
// new loop-start image), and a loop end left open becomes the song's end.
void TakeSysexAndLoopEnd(PlaybackState& p, const StartRequest& r, int32_t songEnd, StateImage& start,
                         StateImage& loop) {
  start.setupSysexFlag = static_cast<uint32_t>(r.setupSysex);
  start.sysexMode = r.sysexMode;
  if (!p.loopOn.load()) return;
  if (p.loopEnd.load() == kNoLoopEnd) p.loopEnd.store(songEnd);
  loop.setupSysexFlag = static_cast<uint32_t>(r.setupSysex);
  loop.sysexMode = r.sysexMode;
}

// Not under the scheduler lock: a cancel waits out a wake-up in flight, which waits for the lock.
void CancelWakeUp(PlaybackState& p, uint64_t timer) {
  CheckSchedulerLockNotHeld();
  platform::TimerCancel(p.timers, timer);
}

// Under the scheduler lock.
bool ArmAt(Engine& engine, double dueMs) {
  PlaybackState& p = engine.playback;
  p.timer = platform::TimerArm(p.timers, dueMs, SchedulerWakeUp, &engine);
  p.timerDueMs = dueMs;
  p.wakeByTick = false;
  return p.timer != 0;
}

// Under the scheduler lock: arms the next wake-up for the moment the clock reaches `tick`.
bool ArmWakeUp(Engine& engine, int32_t tick, double nowMs) {
  PlaybackState& p = engine.playback;
  double due = TickDueTime(engine.clock, tick);
  double earliest = p.lastWakeMs + kMinWakeSpacingMs;
  if (due < earliest) due = earliest;
  if (due > nowMs + kMaxWakeDelayMs) due = nowMs + kMaxWakeDelayMs;
  bool armed = ArmAt(engine, due);
  p.wakeTick = tick;
  p.wakeByTick = true;
  return armed;
}

// Why a start cannot go ahead (an error code of notification 10), or 0.
uint32_t StartRefusal(Engine& engine, uint32_t sender, const StartRequest& r) {
  ClientRecord* record = ClientOf(engine.clients, sender);
  // A client on its way out (unregistering) cannot start what nobody could stop after it has gone.
  if (!record || record->leaving) return kErrorNotRegistered;
  if (!record->songs.current) return kErrorSongSlotEmpty;
  if (r.recordOn) {
    int32_t input = record->inputPort.load();
    if (input < 0 || input >= engine.ports.inputCount || engine.ports.inputs[input].handle.load() == 0)
      return kErrorNoInputPort;
  }
  if (!LoopIsValid(r, record->songs.current)) return kErrorBadLoop;
  if (!engine.images[kMainImage]) return kErrorNoOutputPorts;
  return 0;
}

// Lifts, on every port, the pedals the playback holds down that `state` does not hold (where it
// sets a pedal, its value is sent by the replay). Under the scheduler lock.
void LiftPedalsNotHeld(Ports& ports, const StateImage& state) {
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    uint16_t keep[3] = {};
    for (uint32_t channel = 0; channel < 16 && i * 16 + static_cast<int32_t>(channel) < state.snapshotCount; ++channel) {
      const ChannelSnapshot& snapshot = SnapshotOf(state, static_cast<uint32_t>(i), channel);
      for (int k = 0; k < 3; ++k)
        if (snapshot.controllers[kPedals[k]] != kNone7) keep[k] |= static_cast<uint16_t>(1u << channel);
    }
    LiftPedals(ports, i, kOwnerPlayback, keep);
  }
}

// Releases what a playback leaves sounding, by the ledger: its queued messages (and the click's and
// the loop echo's) are withdrawn first, then on every port the strikes of the playback, the click and
// the echo are released (and the notes the main image still counts that nobody holds: a song that
// ended a note with a note-off status, which its state counts as sounding), then the pedals they
// hold down are lifted. What thru plays for a player and other clients' direct sends keep sounding.
// Under the scheduler lock.
void ReleasePlayback(Engine& engine) {
  Ports& ports = engine.ports;
  for (Owner owner : {kOwnerPlayback, kOwnerClick, kOwnerEcho}) DropQueued(ports, owner);
  StateImage* main = engine.images[kMainImage];
  uint8_t counted[kActivityPerPort];
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    const uint8_t* atLeast = nullptr;
    if (main && main->snapshots && (i + 1) * 16 <= main->snapshotCount) {
      for (uint32_t at = 0; at < static_cast<uint32_t>(kActivityPerPort); ++at) {
        const NoteStack& stack = SnapshotOf(*main, static_cast<uint32_t>(i), at >> 7).notes[at & 127];
        counted[at] = static_cast<uint8_t>(std::min<int>(stack.count, kNoteStackDepth));
      }
      atLeast = counted;
    }
    ReleaseStrikes(ports, i, kOwnerPlayback, atLeast);
    ReleaseStrikes(ports, i, kOwnerClick);
    ReleaseStrikes(ports, i, kOwnerEcho);
  }
  for (int32_t i = 0; i < ports.outputCount; ++i) {
    LiftPedals(ports, i, kOwnerPlayback);
    LiftPedals(ports, i, kOwnerEcho);
  }
  // What the main image counted is released: a later release (the stop after an end) finds nothing.
  if (main && main->snapshots)
    for (int32_t i = 0; i < main->snapshotCount; ++i)
      for (NoteStack& stack : main->snapshots[i].notes) stack.count = 0;
}

// Timer thread, under the scheduler lock: the playback has ended (`kind`, at `position` for
// kEndedAt). Its positions stop here, the outputs are silenced at once, and the rest of the end is
// posted to the main thread, which waits on nobody to finish it (EndPlayback).
void EndFromTimer(Engine& engine, EndKind kind, int32_t position, uint32_t serial, uint32_t window) {
  PlaybackState& p = engine.playback;
  p.positionGate.store(0);
  p.endKind = kind;
  p.finalPosition = position;
  p.pending = kNoContinue;
  p.timer = 0;
  size_t size = static_cast<size_t>(std::max(engine.ports.outputCount, 0)) * kActivityPerPort;
  if (p.endActivity.size() == size)
    for (size_t i = 0; i < size; ++i) p.endActivity[i] = engine.ports.activity[i].load(std::memory_order_relaxed);
  ReleasePlayback(engine);
  platform::BusPostToEngine(engine.bus, kPlaybackEndMessage, serial, window);
}

// Main thread, under the scheduler lock: the set-up of a start after its messages have gone out.
// Returns false when the playback ends at once (notification 12 and the stop are to be posted).
bool SetUpStart(Engine& engine, ClientRecord& record, const StartRequest& r, uint32_t sender, double nowMs) {
  PlaybackState& p = engine.playback;
  StateImage& main = *engine.images[kMainImage];
  StateImage& loopImage = *engine.images[kLoopStartImage];
  ResetClickState(engine);
  p.playingClient.store(sender);
  p.positionGate.store(p.serial.load());
  p.endKind = kRunning;
  p.slots = &record.songs;
  p.song = record.songs.current;
  p.pending = kNoContinue;
  bool recording = r.recordOn != 0;
  int32_t start = TakeLoop(p, r, r.startTick);
  bool loopOn = p.loopOn.load();
  int32_t loopStart = p.loopStart.load();
  p.currentTick.store(start);
  int32_t songEnd = 0;
  bool ended = SeekImages(p.song, start, loopOn ? loopStart : -1, main, loopImage, &songEnd);
  if (ended && !loopOn && !recording) return false;

  int32_t current = start;
  int32_t countIn = BeginCountIn(engine, recording);
  if (countIn > 0) {
    int32_t firstTempo = main.ticksPerMinute;
    current = ClampToInt32(static_cast<int64_t>(start) - countIn);
    SeekImages(p.song, current, loopOn ? loopStart : -1, main, loopImage, &songEnd);
    if (current < 0) main.ticksPerMinute = firstTempo;
  }
  p.currentTick.store(current);
  engine.clock.positionStep.store(main.ticksPerSixteenth > 0 ? main.ticksPerSixteenth : 1);
  engine.clock.playbackTempoFactor.store(ClockTempoFactor(record.tempoFactor));
  TakeSysexAndLoopEnd(p, r, songEnd, main, loopImage);
  ReplayState(engine.ports, main);

  uint32_t periodMin = 0, periodMax = 0;
  if (platform::TimerGetDevCaps(&periodMin, &periodMax) != 0) return false;
  p.timerPeriod = std::min(std::max(periodMin, 1u), periodMax);
  p.periodBegun = platform::TimerBeginPeriod(p.timerPeriod) == 0;
  p.echoPosition = current;
  AnchorClockAt(engine.clock, nowMs, current, main.ticksPerMinute);
  p.passBeganMs = nowMs;
  // Input is stamped against this playback's clock only from here on.
  if (recording) {
    p.recordingClient.store(sender);
    ArmRecording(engine, start, countIn, (record.inputFlags.load() & kInputSysex) != 0);
  }
  p.lastWakeMs = nowMs;
  return ArmAt(engine, nowMs + kFirstWakeDelayMs);
}

// Timer thread, under the scheduler lock: a wake-up that found the song's end while a continue's
// start message is still with its client holds the playback at the end, a millisecond at a time,
// rather than end it: the continue's own wake-up, armed once the client has answered, switches
// songs. True when held (or ended, should no timer be armed).
bool HoldForContinue(Engine& engine, uint32_t serial, uint32_t window, double nowMs) {
  PlaybackState& p = engine.playback;
  if (p.pending != kContinueAnnounced) return false;
  if (!ArmAt(engine, nowMs + kHoldAtEndMs)) EndFromTimer(engine, kEndedUnarmed, 0, serial, window);
  return true;
}

// Timer thread, under the scheduler lock: the switch of a continue that is due. Returns false when the
// playback ended with it.
bool SwitchSongs(Engine& engine, uint32_t serial, uint32_t window, double nowMs) {
  PlaybackState& p = engine.playback;
  SongSlots& slots = *p.slots;
  StateImage& main = *engine.images[kMainImage];
  StateImage& loopImage = *engine.images[kLoopStartImage];
  StateImage& scratchStart = *engine.images[kScratchStartImage];
  StateImage& scratchLoop = *engine.images[kScratchLoopImage];
  StartRequest r = ReadRequest(p.pendingRequest);
  uint8_t* song = slots.next ? slots.next : slots.current;
  // The loop is checked against the song actually switched to, which may have been loaded since
  // the continue was accepted: a loop it cannot play is refused as at the continue itself.
  if (song && !LoopIsValid(r, song)) {
    PostNotification(engine.bus, window, kNotifyFailed, kErrorBadLoop);
    EndFromTimer(engine, kEndedRefused, 0, serial, window);
    return false;
  }
  int32_t t = TickAt(ReadClock(engine.clock), nowMs);
  p.currentTick.store(t);
  t = TakeLoop(p, r, t);
  bool loopOn = p.loopOn.load();
  int32_t songEnd = t;
  // With both slots emptied while playing there is nothing to continue with: the playback ends.
  bool ended = !song || SeekImages(song, t, loopOn ? p.loopStart.load() : -1, scratchStart, scratchLoop, &songEnd);
  if (ended && (!loopOn || !song)) {
    // The final position is the end of the song switched to, which the playback has passed.
    EndFromTimer(engine, kEndedAt, songEnd, serial, window);
    return false;
  }
  TakeSysexAndLoopEnd(p, r, songEnd, scratchStart, scratchLoop);
  const uint8_t* oldSong = p.song;
  TakeNextSong(p, slots);
  // The old song stays readable until the copy below has moved the main image off it.
  p.song = song;
  engine.clock.positionStep.store(scratchStart.ticksPerSixteenth > 0 ? scratchStart.ticksPerSixteenth : 1);
  AnchorClockAt(engine.clock, nowMs, t, scratchStart.ticksPerMinute);
  p.passBeganMs = nowMs;
  ReplayDifferences(engine.ports, scratchStart, main, song == oldSong);
  LiftPedalsNotHeld(engine.ports, scratchStart);
  CopyStateImage(main, scratchStart);
  if (loopOn) {
    CopyStateImage(loopImage, scratchLoop);
    if (p.recordingClient.load() != 0) RecordAt(engine, kCodeEnd, p.loopEnd.load());
  }
  p.pending = kNoContinue;
  return true;
}

// Timer thread, under the scheduler lock: when the loop wraps, as the clock has it: at the loop
// end's due time, or now when that lies more than kMaxWrapCatchUpMs back (a stalled machine starts
// the new pass now instead of rushing through the missed part of it); but no sooner than
// kMinLoopPassMs after the pass that runs began.
double WrapDueTime(Engine& engine, double nowMs) {
  PlaybackState& p = engine.playback;
  double due = TickDueTime(engine.clock, p.loopEnd.load());
  if (nowMs - due > kMaxWrapCatchUpMs) due = nowMs;
  return std::max(due, p.passBeganMs + kMinLoopPassMs);
}

// Timer thread, under the scheduler lock: the loop wrap at `due`. The clock is re-anchored there, so
// the next pass keeps the beat however late this wake-up came. The loop start's state replaces the
// state at the loop end; a pedal the playback holds down that the loop start's state does not hold
// is lifted.
void Wrap(Engine& engine, double due) {
  PlaybackState& p = engine.playback;
  StateImage& main = *engine.images[kMainImage];
  StateImage& loopImage = *engine.images[kLoopStartImage];
  int32_t loopStart = p.loopStart.load(), loopEnd = p.loopEnd.load();
  p.echoPosition = loopStart;
  p.passBeganMs = due;
  ReplayDifferences(engine.ports, loopImage, main);
  LiftPedalsNotHeld(engine.ports, loopImage);
  CopyStateImage(main, loopImage);
  // A recording closes its pass and re-anchors as one step with respect to input being stamped.
  if (p.recordingClient.load() != 0)
    RecordWrap(engine, loopEnd, due, loopStart, main.ticksPerMinute);
  else
    AnchorClockAt(engine.clock, due, loopStart, main.ticksPerMinute);
}

void StartPlaybackWith(Engine& engine, uint32_t sender, const uint8_t* payload, const double* nowMs) {
  PlaybackState& p = engine.playback;
  if (p.playingClient.load() != 0 || p.starting != 0 || p.stopping != 0) {
    PostNotification(engine.bus, sender, kNotifyFailed, kErrorAlreadyPlaying);
    return;
  }
  StartRequest r = ReadRequest(payload);
  if (uint32_t error = StartRefusal(engine, sender, r)) {
    PostNotification(engine.bus, sender, kNotifyFailed, error);
    return;
  }
  // The start message is sent while the start is marked, so that what the client does from its
  // handler meets a start in progress; whatever it changed is looked at again afterwards.
  p.starting = sender;
  SendToClient(engine.bus, sender, kStartMessage, static_cast<uint32_t>(r.startParam));
  p.starting = 0;
  if (engine.tornDown) return;
  if (p.playingClient.load() != 0 || p.stopping != 0) {
    PostNotification(engine.bus, sender, kNotifyFailed, kErrorAlreadyPlaying);
    return;
  }
  if (uint32_t error = StartRefusal(engine, sender, r)) {
    PostNotification(engine.bus, sender, kNotifyFailed, error);
    return;
  }
  PostToAll(engine.bus, engine.clients, kNotifyStarted, sender);
  ClientRecord& record = *ClientOf(engine.clients, sender);
  uint32_t serial;
  bool running;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    // The table the end copies the activity into, made here so that the timer thread never allocates.
    try {
      p.endActivity.resize(static_cast<size_t>(std::max(engine.ports.outputCount, 0)) * kActivityPerPort);
    } catch (...) {
      p.endActivity.clear();
    }
    serial = p.serial.fetch_add(1) + 1;
    running = SetUpStart(engine, record, r, sender, nowMs ? *nowMs : platform::NowMs());
  }
  if (!running) PostEnd(engine, serial, sender, true);
}

void ContinueWith(Engine& engine, uint32_t sender, const uint8_t* payload, const double* nowMs) {
  PlaybackState& p = engine.playback;
  if (sender == 0 || p.playingClient.load() != sender || p.stopping != 0) return;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    // A continue after the end has been found is ignored, as when nothing plays.
    if (p.pending != kNoContinue || p.endKind != kRunning) return;
  }
  ClientRecord* record = ClientOf(engine.clients, sender);
  if (!record) {
    PostNotification(engine.bus, sender, kNotifyFailed, kErrorNotRegistered);
    return;
  }
  StartRequest r = ReadRequest(payload);
  uint32_t serial = p.serial.load();
  if (!LoopIsValid(r, record->songs.next ? record->songs.next : record->songs.current)) {
    PostNotification(engine.bus, sender, kNotifyFailed, kErrorBadLoop);
    PostEnd(engine, serial, sender, false);
    return;
  }
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    if (p.endKind != kRunning) return;
    FreeRetiredSongs(p);
    memcpy(p.pendingRequest, payload, sizeof p.pendingRequest);
    p.pending = kContinueAnnounced;
  }
  SendToClient(engine.bus, sender, kStartMessage, static_cast<uint32_t>(r.startParam));
  uint64_t replaced = 0;
  bool armed = true;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    // A stop from the client's handler ended this playback; a wake-up may also have switched or
    // found the end already.
    if (p.serial.load() != serial || p.pending != kContinueAnnounced || p.endKind != kRunning) return;
    replaced = p.timer;
    p.lastWakeMs = nowMs ? *nowMs : platform::NowMs();
    armed = ArmAt(engine, p.lastWakeMs + kFirstWakeDelayMs);
    if (armed) p.pending = kContinueDue;
    if (!armed) p.endKind = kEndedUnarmed;
  }
  CancelWakeUp(p, replaced);
  if (!armed) PostEnd(engine, serial, sender, false);  // the end posts 12 before the stop
}

void SetTempoFactorAt(Engine& engine, double factor, const double* nowMs) {
  PlaybackState& p = engine.playback;
  uint64_t replaced = 0;
  bool failed = false;
  uint32_t serial = 0, window = 0;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    bool playing = p.playingClient.load() != 0 && engine.images[kMainImage] && p.endKind == kRunning;
    if (!playing) {
      engine.clock.playbackTempoFactor.store(ClockTempoFactor(factor));
      return;
    }
    double now = nowMs ? *nowMs : platform::NowMs();
    ChangeTempoFactorAt(engine.clock, now, factor, engine.images[kMainImage]->ticksPerMinute);
    // The wake-up armed under the old speed is armed again for its tick under the new one.
    if (p.timer != 0 && p.wakeByTick && p.pending == 0) {
      replaced = p.timer;
      if (!ArmWakeUp(engine, p.wakeTick, now)) {
        // Without a timer the playback could never end: it ends now.
        failed = true;
        p.endKind = kEndedUnarmed;
        serial = p.serial.load();
        window = p.playingClient.load();
      }
    }
  }
  // Cancelled outside the lock: a cancel waits out a wake-up in flight, which waits for the lock.
  CancelWakeUp(p, replaced);
  if (failed) PostEnd(engine, serial, window, false);  // the end posts 12 before the stop
}

}  // namespace

void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* payload) {
  StartPlaybackWith(engine, sender, payload, nullptr);
}

void StartPlayback(Engine& engine, uint32_t sender, const uint8_t* payload, double nowMs) {
  StartPlaybackWith(engine, sender, payload, &nowMs);
}

void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* payload) {
  ContinueWith(engine, sender, payload, nullptr);
}

void ContinueWithNextSong(Engine& engine, uint32_t sender, const uint8_t* payload, double nowMs) {
  ContinueWith(engine, sender, payload, &nowMs);
}

int32_t StopPlayback(Engine& engine, uint32_t window) {
  PlaybackState& p = engine.playback;
  // The playing client's stop is always obeyed, even after its record is gone: nothing else could
  // stop the playback then.
  if (window == 0 || p.playingClient.load() != window) return 1;
  // A stop acts at once, whatever is pending: the playback is over for the scheduler before anything
  // is sent, so no wake-up plays after the note-offs below.
  uint32_t recording;
  uint64_t timer;
  int32_t endKind, finalPosition;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    endKind = p.endKind;
    finalPosition = p.finalPosition;
    recording = p.recordingClient.load();
    p.positionGate.store(0);
    p.playingClient.store(0);
    p.recordingClient.store(0);
    p.serial.fetch_add(1);
    p.pending = kNoContinue;
    p.slots = nullptr;
    timer = p.timer;
    p.timer = 0;
  }
  CancelWakeUp(p, timer);
  if (p.periodBegun) platform::TimerEndPeriod(p.timerPeriod);
  p.periodBegun = false;
  // The whole stop is marked: a start from a handler of what it sends (the take, say) is refused,
  // so that no playback can begin under a client that is closing its ports or leaving.
  p.stopping = window;
  // Once a wake-up has found the end, the end wins, whoever stops: the client is told the final
  // position and notification 12 first. Nothing here waits for its answer.
  if (endKind == kEndedAt)
    QueueToClient(engine.bus, window, kPositionMessage, static_cast<uint32_t>(std::max(finalPosition, 0)));
  if (endKind == kEndedAt || endKind == kEndedUnarmed) PostNotification(engine.bus, window, kNotifyEnded, 0);
  // The last activity report shows what sounded at the stop (at an end, what the end found
  // sounding as well). It is taken before the notes are silenced and queued after, without waiting
  // for the client, so that nothing the client does or fails to do can keep a note from being
  // released.
  std::vector<uint8_t> report;
  bool reported = CopyActivityTable(engine, &report);
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    if (p.endKind != kRunning && reported && p.endActivity.size() == report.size())
      for (size_t i = 0; i < report.size(); ++i)
        report[i] = static_cast<uint8_t>(std::min(255, report[i] + p.endActivity[i]));
    p.endKind = kRunning;
    ReleasePlayback(engine);
    FreeRetiredSongs(p);
  }
  // The report as the stop found it, then the ledger as its releases left it.
  if (reported) SendActivityCopy(engine, window, report);
  if (reported && CopyActivityTable(engine, &report)) SendActivityCopy(engine, window, report);
  ReclaimSpent(engine.ports);
  PostToAll(engine.bus, engine.clients, kNotifyStopped, window);
  if (recording != 0) DeliverTake(engine, recording);
  p.stopping = 0;
  return 0;
}

void EndPlayback(Engine& engine, uint32_t serial, uint32_t window) {
  // The stop tells the client of the end (final position, 12) before its own report and 5.
  if (engine.playback.serial.load() == serial) StopPlayback(engine, window);
}

void SetPlaybackTempoFactor(Engine& engine, double factor) { SetTempoFactorAt(engine, factor, nullptr); }

void SetPlaybackTempoFactor(Engine& engine, double factor, double nowMs) {
  SetTempoFactorAt(engine, factor, &nowMs);
}

void SchedulerWakeUp(void* context, uint64_t timerId) {
  SchedulerWakeUpAt(*static_cast<Engine*>(context), timerId, platform::NowMs());
}

void SchedulerWakeUpAt(Engine& engine, uint64_t timerId, double nowMs) {
  PlaybackState& p = engine.playback;
  EngineLock guard(p.lock, LockKind::kScheduler);
  if (timerId != p.timer) return;  // replaced by a continue or a tempo-factor change, or stopped
  p.timer = 0;
  uint32_t window = p.playingClient.load();
  if (window == 0 || !engine.images[kMainImage] || p.endKind != kRunning) return;
  p.lastWakeMs = nowMs;
  uint32_t serial = p.serial.load();
  if (p.pending == kContinueDue && !SwitchSongs(engine, serial, window, nowMs)) return;

  StateImage& main = *engine.images[kMainImage];
  bool loopOn = p.loopOn.load() != 0;
  int32_t current = TickAt(ReadClock(engine.clock), nowMs);
  if (current >= p.loopEnd.load()) {
    if (!loopOn && p.recordingClient.load() == 0) {
      // The clock has run to the last tick there is: the dispatch below meets the song's end marker,
      // and the playback ends at the marker's tick.
      current = p.loopEnd.load();
    } else if (!loopOn || p.loopStart.load() >= p.loopEnd.load()) {
      // A recording past the last tick, or a loop whose start is not before its end (which could
      // only wrap for ever): it ends here.
      p.currentTick.store(current);
      if (HoldForContinue(engine, serial, window, nowMs)) return;
      EndFromTimer(engine, kEndedAt, p.loopEnd.load(), serial, window);
      return;
    } else {
      // A pass lasts at least kMinLoopPassMs, however short the loop: no song keeps the timer thread
      // wrapping thousands of times a second.
      double due = WrapDueTime(engine, nowMs);
      if (due > nowMs) {
        if (!ArmAt(engine, due)) EndFromTimer(engine, kEndedUnarmed, 0, serial, window);
        return;
      }
      // The rest of the pass is echoed before the wrap, however late this wake-up came.
      if (p.recordingClient.load() != 0) EchoRecorded(engine, p.echoPosition, p.loopEnd.load());
      Wrap(engine, due);
      current = p.loopStart.load();
    }
  }
  p.currentTick.store(current);

  const int32_t stepSize = PositionStep(engine);
  int32_t step = ClampToInt32(FloorDiv(current, stepSize) * stepSize);
  if (MetronomeOn(engine)) EndLongClick(engine, p.lastWakeMs);
  // The click goes out at its step; the position is handed to the notifier only after the due
  // events have gone out, so that waking the notifier never delays them.
  const bool newStep = step != p.lastStep;
  if (newStep) {
    if (MetronomeOn(engine)) MetronomeStep(engine, step);
    p.lastStep = step;
  }

  // Dispatch every event that has come due. The cursor rests on the end marker of a loop or a
  // recording that runs past the song's end. An event for a port waiting out its pause after a sysex
  // is queued there, and the other ports go on; only a port whose queue has no room holds the
  // dispatch back, until it moves again.
  const bool holdAtEnd = loopOn || p.recordingClient.load() != 0;
  double portMoves = 0.0;
  for (;;) {
    const uint8_t* entry = main.eventCursor;
    int32_t tick = ReadI32(entry);
    uint32_t word = ReadU32(entry + kEventWordOffset);
    if (tick > current) break;
    uint32_t sysexBytes = 0, shortMessages = 0;
    int32_t port = EventOutputPort(main, word, &sysexBytes, &shortMessages);
    if (!StageTakes(engine.ports, port, shortMessages, sysexBytes, kOwnerPlayback)) {
      portMoves = StageNextMoveMs(engine.ports, port);
      if (portMoves <= nowMs) portMoves = nowMs + 1.0;  // its queue drains now: looked at again soon
      break;
    }
    if (ApplyEvent(engine.ports, engine.clock, tick, word, main, kOwnerPlayback) == kStageTooLong)
      PostNotification(engine.bus, window, kNotifyFailed, kErrorMessageTooLong);
    if (EventCode(word) != kCodeEnd) {
      main.eventCursor = entry + kEventEntrySize;
      continue;
    }
    if (holdAtEnd) break;
    if (HoldForContinue(engine, serial, window, nowMs)) return;
    EndFromTimer(engine, kEndedAt, tick, serial, window);
    return;
  }

  if (newStep) PublishPosition(engine, step, serial, window);

  int64_t wake = (FloorDiv(current, stepSize) + 1) * stepSize;
  double wakeBy = portMoves;  // a time the next wake-up comes by, whatever the ticks say (0 none)
  if (p.recordingClient.load() != 0) {
    int32_t next = EchoRecorded(engine, p.echoPosition, current == INT32_MAX ? current : current + 1);
    p.echoPosition = next;
    // An echo that stopped on its budget goes on a millisecond later (not at once, so that the
    // commands waiting for this lock are served in between, and not a tick later, which at a slow
    // tempo would be long).
    if (next <= current)
      wakeBy = wakeBy == 0.0 ? p.lastWakeMs + 1.0 : std::min(wakeBy, p.lastWakeMs + 1.0);
    else
      wake = std::min<int64_t>(wake, next);
  }
  uint32_t nextWord = ReadU32(main.eventCursor + kEventWordOffset);
  if (portMoves == 0.0 && !(holdAtEnd && EventCode(nextWord) == kCodeEnd))
    wake = std::min<int64_t>(wake, ReadI32(main.eventCursor));
  if (loopOn) wake = std::min<int64_t>(wake, p.loopEnd.load());
  bool armed;
  if (wakeBy != 0.0) {
    // Whatever else comes due first (a step, the loop end) still wakes it.
    double due = std::min(wakeBy, TickDueTime(engine.clock, ClampToInt32(wake)));
    armed = ArmAt(engine, std::max(due, p.lastWakeMs + kMinWakeSpacingMs));
  } else {
    armed = ArmWakeUp(engine, ClampToInt32(wake), nowMs);
  }
  // Without a timer the playback could never end: it ends now.
  if (!armed) EndFromTimer(engine, kEndedUnarmed, 0, serial, window);
}
