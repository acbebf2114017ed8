// The choice and arming of the next wake-up: the earliest of the next position step, the next
// event, the next recorded entry to echo, the loop end and a held port's move, armed for its exact
// due time; a wake-up comes at least every kMaxWakeDelayMs and never sooner than kMinWakeSpacingMs
// after the one before. Timer thread (and a tempo factor change on the main thread), under the scheduler lock.
#include <algorithm>
#include <climits>

#include "playback/scheduler.h"
#include "playback/song_image.h"

namespace {

// A wake-up comes at least this often (a song at a crawl still re-reads its clock) ...
constexpr double kMaxWakeDelayMs = 1000.0;
// ... and never sooner than this after the one before, so that no song (a loop of a fraction of a
// millisecond, say) can keep the real-time timer thread busy.
constexpr double kMinWakeSpacingMs = 0.05;

}  // namespace

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

int32_t PositionStep(const PlaybackState& p) {
  int32_t step = p.clock->positionStep.load();
  return step > 0 ? step : 1;
}

// The timer service calls SchedulerWakeUp (wake.cpp) back when the wake-up is due.
bool ArmAt(PlaybackState& p, double dueMs) {
  p.timer = platform::TimerArm(p.timers, dueMs, SchedulerWakeUp, &p);
  p.timerDueMs = dueMs;
  p.wakeRearmable = false;
  return p.timer != 0;
}

bool ArmWakeUp(PlaybackState& p, double position, double byMs, double nowMs) {
  double due = PositionDueTime(ReadClock(*p.clock), position);
  if (byMs != 0.0 && byMs < due) due = byMs;
  double earliest = p.lastWakeMs + kMinWakeSpacingMs;
  if (due < earliest) due = earliest;
  if (due > nowMs + kMaxWakeDelayMs) due = nowMs + kMaxWakeDelayMs;
  bool armed = ArmAt(p, due);
  p.wakePosition = position;
  p.wakeByMs = byMs;
  p.wakeRearmable = true;
  return armed;
}

bool ArmNextWake(PlaybackState& p, int32_t current, int32_t echoNext, bool holdAtEnd, double portMovesMs,
                 double nowMs) {
  const int32_t stepSize = PositionStep(p);
  int64_t wake = (FloorDiv(current, stepSize) + 1) * stepSize;
  double wakeBy = portMovesMs;  // a time the next wake-up comes by, whatever the ticks say (0 none)
  if (echoNext != INT32_MAX) {
    // An echo that stopped on its budget goes on a millisecond later (not at once, so that the
    // commands waiting for this lock are served in between, and not a tick later, which at a slow
    // tempo would be long).
    if (echoNext <= current)
      wakeBy = wakeBy == 0.0 ? p.lastWakeMs + 1.0 : std::min(wakeBy, p.lastWakeMs + 1.0);
    else
      wake = std::min<int64_t>(wake, echoNext);
  }
  const StateImage& main = *p.main;
  uint32_t nextWord = ReadU32(main.eventCursor + kEventWordOffset);
  if (portMovesMs == 0.0 && !(holdAtEnd && EventCode(nextWord) == kCodeEnd))
    wake = std::min<int64_t>(wake, ReadI32(main.eventCursor));
  if (p.loopOn.load()) wake = std::min<int64_t>(wake, p.loopEnd.load());
  // Whatever else comes due first (a step, the loop end) still wakes it; so does sync out's next
  // pulse (a position between ticks) and its next time code (a time).
  double position = static_cast<double>(ClampToInt32(wake));
  double syncPosition = 0, syncByMs = 0;
  if (NextSyncDue(p, &syncPosition, &syncByMs)) position = std::min(position, syncPosition);
  if (syncByMs != 0.0) wakeBy = wakeBy == 0.0 ? syncByMs : std::min(wakeBy, syncByMs);
  // Following an external clock, messages wait in the inbox at most this long (and a message timed
  // sooner wakes it then); and what is due by
  // the clock but waits for the next pulse (or for the master's start) is looked at again then, not
  // at once over and over.
  if (p.follow.on) {
    wakeBy = wakeBy == 0.0 ? nowMs + kFollowPollMs : std::min(wakeBy, nowMs + kFollowPollMs);
    if (p.follow.nextMessageMs > nowMs) wakeBy = std::min(wakeBy, p.follow.nextMessageMs);
    if (PositionDueTime(ReadClock(*p.clock), position) <= nowMs) position = static_cast<double>(INT32_MAX);
  }
  return ArmWakeUp(p, position, wakeBy, nowMs);
}
