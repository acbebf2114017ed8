// The clock follower. See clock_follower.h.
#include "sync/clock_follower.h"

#include <algorithm>
#include <cmath>

#include "sync/pulses.h"

namespace midisync {

namespace {

void StartLoop(ClockFollower& f, double atMs, double period) {
  f.e2 = period;
  f.t0 = atMs;
  f.t1 = atMs + period;
}

bool UsablePeriod(double ms) { return std::isfinite(ms) && ms > 0.01 && ms < 60000.0; }

}  // namespace

bool IsFollowedMessage(uint8_t status) {
  return status == kClockPulse || status == kClockStart || status == kClockContinue || status == kClockStop ||
         status == kSongPosition;
}

bool PushClockMessage(ClockInbox& inbox, const ClockMessage& message) {
  uint32_t head = inbox.head.load(std::memory_order_relaxed);
  if (head - inbox.tail.load(std::memory_order_acquire) >= kClockInboxSize) {
    inbox.dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  inbox.slots[head & (kClockInboxSize - 1)] = message;
  inbox.head.store(head + 1, std::memory_order_release);
  return true;
}

bool PopClockMessage(ClockInbox& inbox, ClockMessage* message, double notAfterMs) {
  uint32_t tail = inbox.tail.load(std::memory_order_relaxed);
  if (tail == inbox.head.load(std::memory_order_acquire)) return false;
  // The producer writes no slot before the tail has passed it: reading one and leaving it is safe.
  if (inbox.slots[tail & (kClockInboxSize - 1)].timeMs > notAfterMs) return false;
  *message = inbox.slots[tail & (kClockInboxSize - 1)];
  inbox.tail.store(tail + 1, std::memory_order_release);
  return true;
}

double OldestClockMessageMs(const ClockInbox& inbox) {
  uint32_t tail = inbox.tail.load(std::memory_order_relaxed);
  if (tail == inbox.head.load(std::memory_order_acquire)) return INFINITY;
  return inbox.slots[tail & (kClockInboxSize - 1)].timeMs;
}

void ClearClockInbox(ClockInbox& inbox) {
  inbox.tail.store(inbox.head.load(std::memory_order_acquire), std::memory_order_release);
}

FollowStep FollowMessage(ClockFollower& f, const ClockMessage& m, double guessMsPerPulse) {
  FollowStep step;
  switch (m.status) {
    case kClockStart:
      step.stop = f.state == kFollowRunning;
      f.pointer = 0;
      f.state = kFollowCued;
      f.placed = true;
      step.jump = true;
      step.to = 0;
      break;
    case kClockContinue: {
      if (f.state != kFollowStopped) break;
      const int64_t pointer = m.pulse >= 0 ? m.pulse : f.pointer;
      // Struck once: a song a jump already put at the pointer is not chased there again.
      step.jump = !(f.placed && pointer == f.pointer);
      f.pointer = pointer;
      f.state = kFollowCued;
      f.placed = true;
      step.to = f.pointer;
      break;
    }
    case kSongPosition:
      if (f.state != kFollowStopped) break;
      f.pointer = m.pulse >= 0 ? m.pulse
                               : static_cast<int64_t>((m.data1 & 0x7F) | (m.data2 & 0x7F) << 7) * kPulsesPerSixteenth;
      f.placed = true;
      step.jump = true;
      step.to = f.pointer;
      break;
    case kClockStop:
      if (f.state == kFollowStopped) break;
      if (f.state == kFollowRunning) f.pointer = f.pulse + 1;
      f.state = kFollowStopped;
      f.placed = false;
      step.stop = true;
      break;
    case kClockPulse: {
      double previousArrival = f.lastArrivalMs;
      f.lastArrivalMs = m.timeMs;
      if (f.state == kFollowCued) {
        f.state = kFollowRunning;
        f.placed = false;
        f.pulse = f.pointer;
        f.pulsesSinceCue = 1;
        // Not at the pulse yet: a song that runs behind the loop reaches it in its time.
        f.reached = static_cast<double>(f.pulse) - 1.0;
        StartLoop(f, m.timeMs, UsablePeriod(guessMsPerPulse) ? guessMsPerPulse : 20.0);
        step.run = true;
      } else if (f.state == kFollowRunning) {
        ++f.pulse;
        double error = m.timeMs - f.t1;
        if (f.pulsesSinceCue == 1) {
          // The second pulse after a cue: the loop starts again with the interval measured.
          double measured = m.timeMs - previousArrival;
          StartLoop(f, m.timeMs, UsablePeriod(measured) ? measured : f.e2);
          f.pulsesSinceCue = 2;
        } else if (std::fabs(error) > 0.5 * f.e2) {
          // Far off the estimate (a clock that paused, a jump in tempo): the loop starts again here
          // with the period it had, and the next pulse measures the interval as after a cue.
          StartLoop(f, m.timeMs, f.e2);
          f.pulsesSinceCue = 1;
        } else {
          // Wide just after a (re)start, so that the period measured from one jittered interval is
          // corrected within a few pulses; narrowing to kFollowBandwidth, which smooths jitter.
          const double w = std::max(kFollowBandwidth, kFollowStartBandwidth / std::sqrt(static_cast<double>(f.pulsesSinceCue)));
          const double b = std::sqrt(2.0) * w, c = w * w;
          if (f.pulsesSinceCue < 1000) ++f.pulsesSinceCue;
          f.t0 = f.t1;
          f.t1 += b * error + f.e2;
          f.e2 += c * error;
          if (!UsablePeriod(f.t1 - f.t0)) StartLoop(f, m.timeMs, f.e2);
        }
        step.pulse = true;
      }
      break;
    }
    default: break;
  }
  return step;
}

double FollowedPosition(ClockFollower& f, double nowMs) {
  if (f.state != kFollowRunning) return static_cast<double>(f.pointer);
  double span = f.t1 - f.t0;
  double at = static_cast<double>(f.pulse) + (span > 0 ? (nowMs - f.t0) / span : 0.0);
  if (!std::isfinite(at)) at = f.reached;
  at = std::clamp(at, f.reached, static_cast<double>(FollowLimit(f)));
  f.reached = at;
  return at;
}

int64_t FollowLimit(const ClockFollower& f) { return f.state == kFollowRunning ? f.pulse + 1 : f.pointer; }

double FollowedMsPerPulse(const ClockFollower& f) { return f.e2; }

bool ClockLost(const ClockFollower& f, double nowMs) {
  return f.state == kFollowRunning && nowMs - f.lastArrivalMs >= kClockLostMs;
}

}  // namespace midisync
