// The scheduler's wake-up on the timer thread: a continue's switch, the loop wrap, the position
// step with the metronome's click, the dispatch of due events (dispatch.cpp), the loop echo of a
// recording, and the next wake-up (next_wake.cpp). See scheduler.h for the state machine and the
// thread rules.
#include <algorithm>
#include <climits>

#include "platform/midi.h"
#include "playback/scheduler.h"
#include "playback/song_image.h"
#include "locks/locks.h"

void SchedulerWakeUp(void* context, uint64_t timerId) {
  SchedulerWakeUpAt(*static_cast<PlaybackState*>(context), timerId, platform::NowMs());
}

void SchedulerWakeUpAt(PlaybackState& p, uint64_t timerId, double nowMs) {
  EngineLock guard(p.lock, LockKind::kScheduler);
  // A playback that follows may place what it sends on the server's time, until this wake-up ends.
  platform::ServerTimeScope serverTime;
  if (timerId != p.timer) return;  // replaced by a continue or a tempo-factor change, or stopped
  p.timer = 0;
  uint32_t window = p.playingClient.load();
  if (window == 0 || !p.main || p.endKind != kRunning) return;
  p.lastWakeMs = nowMs;
  uint32_t serial = p.serial.load();
  if (p.pending == kContinueDue) {
    SyncUntil(p, nowMs);  // what the song switched from still owes
    if (!SwitchSongs(p, serial, window, nowMs)) return;
  }

  bool loopOn = p.loopOn.load() != 0;
  const bool recording = p.recordingClient.load() != 0;
  // A playback that follows an external clock is where its follower puts it (follow.h).
  int32_t current = p.follow.on ? FollowUntil(p, nowMs, window) : TickAt(ReadClock(*p.clock), nowMs);
  if (current >= p.loopEnd.load()) {
    if (!loopOn && !recording) {
      // The clock has run to the last tick there is: the dispatch below meets the song's end marker,
      // and the playback ends at the marker's tick.
      current = p.loopEnd.load();
    } else if (!loopOn || p.loopStart.load() >= p.loopEnd.load()) {
      // A recording past the last tick, or a loop whose start is not before its end (which could
      // only wrap for ever): it ends here.
      p.currentTick.store(current);
      if (HoldForContinue(p, serial, window, nowMs)) return;
      EndFromTimer(p, kEndedAt, p.loopEnd.load(), serial, window);
      return;
    } else {
      // A pass lasts at least kMinLoopPassMs, however short the loop: no song keeps the timer thread
      // wrapping thousands of times a second.
      double due = WrapDueTime(p, nowMs);
      if (due > nowMs) {
        if (!ArmAt(p, due)) EndFromTimer(p, kEndedUnarmed, 0, serial, window);
        return;
      }
      // The rest of the pass is echoed before the wrap, however late this wake-up came.
      if (recording && p.hooks.echo) p.hooks.echo(p.hooks.context, p.echoPosition, p.loopEnd.load());
      SyncUntil(p, due);  // the pass's last pulses, before it jumps
      Wrap(p, due);
      current = p.loopStart.load();
    }
  }
  p.currentTick.store(current);
  // The clock's pulses and time code go out ahead of the events due with them.
  SyncUntil(p, nowMs);

  const int32_t stepSize = PositionStep(p);
  int32_t step = ClampToInt32(FloorDiv(current, stepSize) * stepSize);
  Metronome& metronome = *p.metronome;
  if (MetronomeOn(metronome)) EndLongClick(metronome, *p.ports, p.lastWakeMs);
  // The click goes out at its step; the position is handed to the notifier only after the due
  // events have gone out, so that waking the notifier never delays them.
  const bool newStep = step != p.lastStep;
  if (newStep) {
    if (MetronomeOn(metronome)) MetronomeStep(metronome, *p.ports, *p.main, *p.clock, step);
    p.lastStep = step;
  }

  const bool holdAtEnd = loopOn || recording;
  Dispatched d = DispatchDue(p, current, holdAtEnd, nowMs);
  if (d.ended) {
    if (HoldForContinue(p, serial, window, nowMs)) return;
    EndFromTimer(p, kEndedAt, d.endTick, serial, window);
    return;
  }

  if (newStep && p.hooks.publish) p.hooks.publish(p.hooks.context, step, serial, window);
  RefreshTimeline(p);  // a tempo or time signature the dispatch applied

  int32_t echoNext = INT32_MAX;
  if (recording && p.hooks.echo) {
    echoNext = p.hooks.echo(p.hooks.context, p.echoPosition, current == INT32_MAX ? current : current + 1);
    p.echoPosition = echoNext;
  }
  // Without a timer the playback could never end: it ends now.
  if (!ArmNextWake(p, current, echoNext, holdAtEnd, d.portMovesMs, nowMs))
    EndFromTimer(p, kEndedUnarmed, 0, serial, window);
}
