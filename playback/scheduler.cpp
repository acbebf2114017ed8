// The playback's state changes: the steps of a start, a continue and a stop, the switch to the next
// song, the loop wrap, the end found on the timer thread, and the tempo factor (the release of what
// a playback leaves sounding is release.cpp's). The state machine and the thread rules are drawn in
// scheduler.h.
//
// Timing: every wake-up is armed for the exact due time of what comes next (next_wake.cpp). A loop
// wrap and a tempo event re-anchor the clock at the due time of their tick, so the lateness of a
// wake-up never carries into the rest of the song. Only the first wake-up after a start or a
// continue comes a fixed 1 ms after the command.
#include "playback/scheduler.h"

#include <algorithm>

#include "playback/chase.h"
#include "playback/seek.h"
#include "playback/song_image.h"
#include "locks/locks.h"

using namespace tovu::protocol;

namespace {

constexpr double kFirstWakeDelayMs = 1.0;
// How often a playback held at its song's end for a continue looks again.
constexpr double kHoldAtEndMs = 1.0;
// A wrap makes up for at most this much lateness past the loop end; a wake-up later than that (a
// stalled machine) starts the new pass now instead of rushing through the missed part of it.
constexpr double kMaxWrapCatchUpMs = 50.0;
// A loop pass lasts at least this long, however short the loop or fast the tempo.
constexpr double kMinLoopPassMs = 1.0;

int32_t SongEndTick(const uint8_t* song) { return ReadI32(song + kSongEndTick); }

// The loop of a start or a switch. Returns `tick`, or the loop start when a loop is asked for and
// `tick` lies past its end.
int32_t TakeLoop(PlaybackState& p, const tovu::StartRequest& r, int32_t tick) REQUIRES(p.lock) {
  bool loopOn = r.loopOn != 0;
  p.loopOn.store(loopOn);
  p.loopStart.store(loopOn ? r.loopStart : 0);
  p.loopEnd.store(loopOn ? r.loopEnd : kNoLoopEnd);
  return loopOn && tick > r.loopEnd ? r.loopStart : tick;
}

// The request's sysex fields go to the new main image (and, looping, to the new loop-start image),
// and a loop end left open becomes the song's end.
void TakeSysexAndLoopEnd(PlaybackState& p, const tovu::StartRequest& r, int32_t songEnd, StateImage& start,
                         StateImage& loop) REQUIRES(p.lock) {
  start.setupSysexFlag = static_cast<uint32_t>(r.setupSysex);
  start.sysexMode = r.sysexMode;
  if (!p.loopOn.load()) return;
  if (p.loopEnd.load() == kNoLoopEnd) p.loopEnd.store(songEnd);
  loop.setupSysexFlag = static_cast<uint32_t>(r.setupSysex);
  loop.sysexMode = r.sysexMode;
}

}  // namespace

bool LoopIsValid(const tovu::StartRequest& r, const uint8_t* song) {
  if (!r.loopOn) return true;
  if (r.loopStart >= r.loopEnd) return false;
  return !(r.loopEnd == kNoLoopEnd && song && r.loopStart >= SongEndTick(song));
}

void PostEnd(PlaybackState& p, uint32_t serial, uint32_t window, bool ended) {
  if (ended) PostNotification(p.outbox.bus, window, kNotifyEnded, 0);
  platform::BusPostToEngine(p.outbox.bus, kPlaybackEndMessage, serial, window);
}

void CancelWakeUp(PlaybackState& p, uint64_t timer) {
  CheckSchedulerLockNotHeld();
  platform::TimerCancel(p.timers, timer);
}


void EndFromTimer(PlaybackState& p, EndKind kind, int32_t position, uint32_t serial, uint32_t window) {
  EndSync(p, p.lastWakeMs);
  EndFollowing(p);
  p.positionGate.store(0);
  p.endKind = kind;
  p.finalPosition = position;
  p.pending = kNoContinue;
  p.timer = 0;
  // The table was sized at the start for every port there may be; the ports there are now are copied.
  size_t size = static_cast<size_t>(std::max(p.ports->outputCount.load(), 0)) * kActivityPerPort;
  if (p.endActivity.size() >= size)
    for (size_t i = 0; i < size; ++i) p.endActivity[i] = p.ports->activity[i].load(std::memory_order_relaxed);
  ReleasePlayback(p);
  platform::BusPostToEngine(p.outbox.bus, kPlaybackEndMessage, serial, window);
}

bool BeginPlayback(PlaybackState& p, const StartingClient& client, const tovu::StartRequest& r, double nowMs) {
  StateImage& main = *p.main;
  StateImage& loopImage = *p.loopImage;
  PlaybackClock& clock = *p.clock;
  ResetClickState(*p.metronome);
  p.playingClient.store(client.window);
  p.positionGate.store(p.serial.load());
  p.endKind = kRunning;
  p.slots = client.songs;
  p.song = client.songs->current;
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
  int32_t countIn = BeginCountIn(*p.metronome, p.ports->settings, &main, recording);
  if (countIn > 0) {
    int32_t firstTempo = main.ticksPerMinute;
    current = ClampToInt32(static_cast<int64_t>(start) - countIn);
    SeekImages(p.song, current, loopOn ? loopStart : -1, main, loopImage, &songEnd);
    if (current < 0) main.ticksPerMinute = firstTempo;
  }
  p.currentTick.store(current);
  clock.positionStep.store(main.ticksPerSixteenth > 0 ? main.ticksPerSixteenth : 1);
  clock.playbackTempoFactor.store(ClockTempoFactor(client.tempoFactor));
  TakeSysexAndLoopEnd(p, r, songEnd, main, loopImage);
  ReplayState(*p.ports, main);

  uint32_t periodMin = 0, periodMax = 0;
  if (platform::TimerGetDevCaps(&periodMin, &periodMax) != 0) return false;
  p.timerPeriod = std::min(std::max(periodMin, 1u), periodMax);
  p.periodBegun = platform::TimerBeginPeriod(p.timerPeriod) == 0;
  p.echoPosition = current;
  AnchorClockAt(clock, nowMs, current, main.ticksPerMinute);
  p.passBeganMs = nowMs;
  // Input is stamped against this playback's clock only from here on.
  if (recording) {
    p.recordingClient.store(client.window);
    if (p.hooks.armRecording) p.hooks.armRecording(p.hooks.context, start, countIn, client.captureSysex);
  }
  if (p.sync) SetTransportFollowed(*p.sync, client.clockInPort == kTransportClock);
  BeginSync(p, nowMs);
  p.lastWakeMs = nowMs;
  if (client.clockInPort != -1) BeginFollowing(p, client.clockInPort, current);
  return ArmAt(p, nowMs + kFirstWakeDelayMs);
}

HaltedPlayback HaltPlayback(PlaybackState& p) {
  EndSync(p, platform::NowMs());
  EndFollowing(p);
  HaltedPlayback h;
  h.endKind = p.endKind;
  h.finalPosition = p.finalPosition;
  h.recordingClient = p.recordingClient.load();
  p.positionGate.store(0);
  p.playingClient.store(0);
  p.recordingClient.store(0);
  p.serial.fetch_add(1);
  p.pending = kNoContinue;
  p.slots = nullptr;
  h.timer = p.timer;
  p.timer = 0;
  return h;
}

bool AnnounceContinue(PlaybackState& p, const tovu::StartRequest& request) {
  // A playback that follows an external clock goes where its master takes it: no continue.
  if (p.endKind != kRunning || p.follow.on) return false;
  FreeRetiredSongs(p);
  p.pendingRequest = request;
  p.pending = kContinueAnnounced;
  return true;
}

bool ArmContinue(PlaybackState& p, double nowMs, uint64_t* replaced) {
  *replaced = p.timer;
  p.lastWakeMs = nowMs;
  bool armed = ArmAt(p, p.lastWakeMs + kFirstWakeDelayMs);
  if (armed) p.pending = kContinueDue;
  if (!armed) p.endKind = kEndedUnarmed;
  return armed;
}

bool HoldForContinue(PlaybackState& p, uint32_t serial, uint32_t window, double nowMs) {
  if (p.pending != kContinueAnnounced) return false;
  if (!ArmAt(p, nowMs + kHoldAtEndMs)) EndFromTimer(p, kEndedUnarmed, 0, serial, window);
  return true;
}

bool SwitchSongs(PlaybackState& p, uint32_t serial, uint32_t window, double nowMs) {
  SongSlots& slots = *p.slots;
  StateImage& main = *p.main;
  StateImage& loopImage = *p.loopImage;
  StateImage& scratchStart = *p.scratchStart;
  StateImage& scratchLoop = *p.scratchLoop;
  const tovu::StartRequest r = p.pendingRequest;
  uint8_t* song = slots.next ? slots.next : slots.current;
  // The loop is checked against the song actually switched to, which may have been loaded since
  // the continue was accepted: a loop it cannot play is refused as at the continue itself.
  if (song && !LoopIsValid(r, song)) {
    PostNotification(p.outbox.bus, window, kNotifyFailed, kErrorBadLoop);
    EndFromTimer(p, kEndedRefused, 0, serial, window);
    return false;
  }
  int32_t t = TickAt(ReadClock(*p.clock), nowMs);
  p.currentTick.store(t);
  t = TakeLoop(p, r, t);
  bool loopOn = p.loopOn.load();
  int32_t songEnd = t;
  // With both slots emptied while playing there is nothing to continue with: the playback ends.
  bool ended = !song || SeekImages(song, t, loopOn ? p.loopStart.load() : -1, scratchStart, scratchLoop, &songEnd);
  if (ended && (!loopOn || !song)) {
    // The final position is the end of the song switched to, which the playback has passed.
    EndFromTimer(p, kEndedAt, songEnd, serial, window);
    return false;
  }
  TakeSysexAndLoopEnd(p, r, songEnd, scratchStart, scratchLoop);
  const uint8_t* oldSong = p.song;
  TakeNextSong(p, slots);
  // The old song stays readable until the copy below has moved the main image off it.
  p.song = song;
  p.clock->positionStep.store(scratchStart.ticksPerSixteenth > 0 ? scratchStart.ticksPerSixteenth : 1);
  AnchorClockAt(*p.clock, nowMs, t, scratchStart.ticksPerMinute);
  p.passBeganMs = nowMs;
  ReplayDifferences(*p.ports, scratchStart, main, song == oldSong);
  LiftPedalsNotHeld(*p.ports, scratchStart);
  CopyStateImage(main, scratchStart);
  if (loopOn) {
    CopyStateImage(loopImage, scratchLoop);
    if (p.recordingClient.load() != 0 && p.hooks.recordPassEnd) p.hooks.recordPassEnd(p.hooks.context, p.loopEnd.load());
  }
  JumpSync(p, t, nowMs, PulsesFollow(p, t), /*newSong=*/true);
  p.pending = kNoContinue;
  return true;
}

double WrapDueTime(PlaybackState& p, double nowMs) {
  double due = TickDueTime(*p.clock, p.loopEnd.load());
  if (nowMs - due > kMaxWrapCatchUpMs) due = nowMs;
  return std::max(due, p.passBeganMs + kMinLoopPassMs);
}

void Wrap(PlaybackState& p, double due) {
  StateImage& main = *p.main;
  StateImage& loopImage = *p.loopImage;
  int32_t loopStart = p.loopStart.load(), loopEnd = p.loopEnd.load();
  p.echoPosition = loopStart;
  p.passBeganMs = due;
  ReplayDifferences(*p.ports, loopImage, main);
  LiftPedalsNotHeld(*p.ports, loopImage);
  CopyStateImage(main, loopImage);
  // A recording closes its pass and re-anchors as one step with respect to input being stamped.
  if (p.recordingClient.load() != 0 && p.hooks.recordWrap)
    p.hooks.recordWrap(p.hooks.context, loopEnd, due, loopStart, main.ticksPerMinute);
  else
    AnchorClockAt(*p.clock, due, loopStart, main.ticksPerMinute);
  JumpSync(p, loopStart, due, false, /*newSong=*/false);
}

void SetPlaybackTempoFactor(PlaybackState& p, double factor, double nowMs) {
  uint64_t replaced = 0;
  bool failed = false;
  uint32_t serial = 0, window = 0;
  {
    EngineLock guard(p.lock, LockKind::kScheduler);
    bool playing = p.playingClient.load() != 0 && p.main && p.endKind == kRunning;
    if (!playing) {
      p.clock->playbackTempoFactor.store(ClockTempoFactor(factor));
      return;
    }
    ChangeTempoFactorAt(*p.clock, nowMs, factor, p.main->ticksPerMinute);
    // The wake-up armed under the old speed is armed again for its tick under the new one.
    PublishTimeline(p, nowMs);
    if (p.timer != 0 && p.wakeRearmable && p.pending == 0) {
      replaced = p.timer;
      if (!ArmWakeUp(p, p.wakePosition, p.wakeByMs, nowMs)) {
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
  if (failed) PostEnd(p, serial, window, false);  // the end posts 12 before the stop
}
