// Following an external clock: the inbox taken at each wake-up, the jumps with their chase, the
// anchoring at each pulse, the hold and the lost clock. See follow.h.
#include "playback/follow.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "playback/chase.h"
#include "playback/scheduler.h"
#include "playback/seek.h"
#include "playback/song_image.h"
#include "playback/sync_out.h"
#include "protocol/song_image_format.h"
#include "sync/pulses.h"

using namespace tovu::protocol;

namespace {

int32_t TicksPerSixteenth(const PlaybackState& p) REQUIRES(p.lock) {
  return p.main->ticksPerSixteenth > 0 ? p.main->ticksPerSixteenth : 1;
}

// The tick of a position in pulses: whole ticks toward the past (a millionth absorbs rounding), or,
// `ceil`, the first whole tick at or after it.
int32_t TickOfPulses(const PlaybackState& p, double pulses, bool ceil = false) REQUIRES(p.lock) {
  double exact = pulses * TicksPerSixteenth(p) / midisync::kPulsesPerSixteenth;
  double tick = ceil ? std::ceil(exact - 1e-6) : std::floor(exact + 1e-6);
  if (!std::isfinite(tick)) return 0;
  return static_cast<int32_t>(std::fmax(std::fmin(tick, 2147483647.0), -2147483648.0));
}

void Hold(PlaybackState& p, int32_t tick, double atMs) REQUIRES(p.lock) {
  p.follow.heldTick = tick;
  AnchorClockRate(*p.clock, atMs, tick, 0.0);
  p.clock->stampLimit.store(tick, std::memory_order_release);
}

// The song moves to `tick` with its state chased there: what differs sounds now, notes held there
// are struck again, pedals it does not hold are lifted. The next event is the first at or after it.
void JumpTo(PlaybackState& p, int32_t tick, double atMs) REQUIRES(p.lock) {
  bool loopOn = p.loopOn.load() != 0;
  int32_t songEnd = 0;
  SeekImages(p.song, tick, loopOn ? p.loopStart.load() : -1, *p.scratchStart, *p.scratchLoop, &songEnd);
  ReplayDifferences(*p.ports, *p.scratchStart, *p.main, true);
  LiftPedalsNotHeld(*p.ports, *p.scratchStart);
  CopyStateImage(*p.main, *p.scratchStart);
  if (loopOn) CopyStateImage(*p.loopImage, *p.scratchLoop);
  p.currentTick.store(tick);
  p.echoPosition = tick;
  p.lastStep = -1;  // the new position is reported
  Hold(p, tick, atMs);
}

// The difference between the engine's clock and the server's time in a transport the service reported.
double OffsetOf(const platform::TransportState& s) {
  const double offset = s.atMs - s.mediaMs;
  return s.frameRate > 0 && std::isfinite(offset) ? offset : 0.0;
}

// The clock runs from the follower's last pulse at the loop's period, lagMs behind the loop (whose
// times are the server's: `offsetMs` later on the engine's clock).
void AnchorAtPulse(PlaybackState& p, double offsetMs) REQUIRES(p.lock) {
  const midisync::ClockFollower& f = p.follow.follower;
  double msPerPulse = f.t1 - f.t0;
  double msPerTick = msPerPulse * midisync::kPulsesPerSixteenth / TicksPerSixteenth(p);
  double position = static_cast<double>(f.pulse) * TicksPerSixteenth(p) / midisync::kPulsesPerSixteenth;
  int32_t tick = TickOfPulses(p, static_cast<double>(f.pulse));
  AnchorClockRate(*p.clock, f.t0 + p.follow.lagMs + offsetMs - (position - tick) * msPerTick, tick, msPerTick);
}

// Applies one message (timed on the server's time, `offsetMs` behind the engine's clock) to the
// song. True when a pulse anchored the clock.
bool Apply(PlaybackState& p, const midisync::ClockMessage& m, double guess, double offsetMs) REQUIRES(p.lock) {
  midisync::FollowStep step = midisync::FollowMessage(p.follow.follower, m, guess);
  if (step.stop) {
    // Exactly as a stop releases; the song holds where it had come to.
    ReleasePlayback(p);
    Hold(p, p.currentTick.load(), m.timeMs + offsetMs);
  }
  // What lies at the pulse's tick (or the first tick after it) belongs to the pulse.
  if (step.jump) JumpTo(p, TickOfPulses(p, static_cast<double>(step.to), true), m.timeMs + offsetMs);
  if (step.run || step.pulse) AnchorAtPulse(p, offsetMs);
  return step.run || step.pulse;
}

// Applies a message the transport gives, at `atMs` or after the last one it gave.
bool Give(PlaybackState& p, uint8_t status, double atMs, int64_t pulse, double guess, double offsetMs)
    REQUIRES(p.lock) {
  TransportFollow& t = p.follow.transport;
  midisync::ClockMessage m;
  m.status = status;
  m.pulse = pulse;
  m.timeMs = t.lastMs = std::max(atMs, t.lastMs);
  return Apply(p, m, guess, offsetMs);
}

// Makes and applies the messages the JACK transport `s` gives since the last wake-up (follow.h), at
// `nowMs` on the server's time. True when a pulse anchored the clock.
bool FollowTransport(PlaybackState& p, const platform::TransportState& s, double nowMs, double guess) REQUIRES(p.lock) {
  TransportFollow& t = p.follow.transport;
  const double offset = OffsetOf(s);
  const double msPerFrame = 1000.0 / s.frameRate;
  if (!t.seen || s.segment != t.segment) {
    const bool wasRolling = t.seen && t.rolling;
    t.seen = true;
    t.segment = s.segment;
    t.rolling = s.rolling;
    t.walk = StartTempoWalk(p.song);
    const double tick = WalkToMs(t.walk, s.frame * msPerFrame);
    const double exact = tick * midisync::kPulsesPerSixteenth / TicksPerSixteenth(p);
    const int64_t pulse = static_cast<int64_t>(std::ceil(std::fmin(exact, 1e15) - 1e-6));
    const midisync::ClockFollower& f = p.follow.follower;
    if (f.state != midisync::kFollowStopped) Give(p, midisync::kClockStop, s.mediaMs, -1, guess, offset);
    if (s.rolling) {
      Give(p, midisync::kClockContinue, s.mediaMs, pulse, guess, offset);
      t.nextPulse = pulse;
    } else if (!wasRolling && f.pointer != pulse) {
      // A locate while stopped. (One that stops it leaves the song where it stopped, nothing
      // sounding: its position is taken when it rolls again.)
      Give(p, midisync::kSongPosition, s.mediaMs, pulse, guess, offset);
    }
  }
  t.nextPulseMs = 1e300;
  if (!t.rolling || nowMs - s.mediaMs > kTransportStaleMs) return false;
  // Each pulse once its time has come: the frame of its song time.
  bool pulsed = false;
  for (int made = 0; made < 64; ++made) {
    const double songMs = WalkToTick(t.walk, midisync::PulseTick(t.nextPulse, TicksPerSixteenth(p)));
    const double at = s.mediaMs + songMs - s.frame * msPerFrame;
    if (at > nowMs) {
      t.nextPulseMs = at;
      break;
    }
    pulsed = Give(p, midisync::kClockPulse, at, -1, guess, offset) || pulsed;
    ++t.nextPulse;
  }
  return pulsed;
}

}  // namespace

double MediaOffsetMs(const ClockIn& in) {
  platform::TransportState s;
  return in.readTransport && in.readTransport(&s) ? OffsetOf(s) : 0.0;
}

double ArrivalOnFollowedClock(const ClockIn& in, double arrivalMs, double arrivalServerMs) {
  if (in.port.load() == -1 || !std::isfinite(arrivalServerMs)) return arrivalMs;
  return arrivalServerMs + MediaOffsetMs(in);
}

bool OfferClockInput(ClockIn& in, int32_t port, uint32_t message, double arrivalMs, double arrivalServerMs) {
  uint8_t status = static_cast<uint8_t>(message & 0xFF);
  if (!midisync::IsFollowedMessage(status)) return false;
  if (port < 0 || in.port.load() != port) return true;  // a clock message nobody follows: dropped
  midisync::ClockMessage m;
  m.status = status;
  m.data1 = static_cast<uint8_t>(message >> 8 & 0x7F);
  m.data2 = static_cast<uint8_t>(message >> 16 & 0x7F);
  const double serverMs = std::isfinite(arrivalServerMs) ? arrivalServerMs : arrivalMs - MediaOffsetMs(in);
  m.timeMs = serverMs + in.delayMs.load(std::memory_order_relaxed);
  midisync::PushClockMessage(in.inbox, m);
  return true;
}

void BeginFollowing(PlaybackState& p, int32_t port, int32_t tick) {
  p.follow = Following{};
  p.follow.on = true;
  p.follow.lagMs = port == kTransportClock ? 0.0 : kClockJitterMarginMs;
  p.follow.follower.pointer = midisync::FloorDivide(static_cast<int64_t>(tick) * midisync::kPulsesPerSixteenth,
                                                     TicksPerSixteenth(p));
  p.clock->external.store(true);
  if (p.clockIn)
    p.clock->stampDelayMs.store(port == kTransportClock ? -p.clockIn->outputDelayMs.load()
                                                        : p.clockIn->delayMs.load() + p.follow.lagMs);
  Hold(p, tick, p.lastWakeMs);
  p.follow.transport.lastMs = p.lastWakeMs - (p.clockIn ? MediaOffsetMs(*p.clockIn) : 0.0);
  if (p.clockIn) {
    p.clockIn->port.store(-1);
    midisync::ClearClockInbox(p.clockIn->inbox);
    p.clockIn->port.store(port);
  }
}

void EndFollowing(PlaybackState& p) {
  if (!p.follow.on) return;
  p.follow.on = false;
  p.clock->external.store(false);
  p.clock->stampLimit.store(INT32_MAX, std::memory_order_release);
  p.clock->stampDelayMs.store(0);
  if (p.clockIn) p.clockIn->port.store(-1);
}

int32_t FollowUntil(PlaybackState& p, double nowMs, uint32_t window) {
  Following& fo = p.follow;
  midisync::ClockFollower& f = fo.follower;
  // The period a first pulse assumes: the song's own tempo there.
  double guess = MsPerTick(p.main->ticksPerMinute, 1.0) * TicksPerSixteenth(p) / midisync::kPulsesPerSixteenth;
  // The follower runs on the server's time (follow.h), `offset` behind the engine's clock.
  platform::TransportState s;
  const bool transport = p.clockIn && p.clockIn->readTransport && p.clockIn->readTransport(&s);
  const double offset = transport ? OffsetOf(s) : 0.0;
  const double serverNow = nowMs - offset;
  // What this wake-up sends lands where the server's time puts it (the wake-up's scope ends it):
  // now, and each event at its own time (DispatchDue).
  fo.serverOffsetMs = transport ? offset : NAN;
  if (transport) platform::PlaceOnServerTime(serverNow);
  midisync::ClockMessage m;
  bool pulsed = false;
  if (transport && s.frameRate > 0 && p.clockIn->port.load() == kTransportClock)
    pulsed = FollowTransport(p, s, serverNow, guess);
  while (p.clockIn && midisync::PopClockMessage(p.clockIn->inbox, &m, serverNow))
    pulsed = Apply(p, m, guess, offset) || pulsed;
  fo.nextMessageMs =
      p.clockIn ? std::fmin(midisync::OldestClockMessageMs(p.clockIn->inbox), fo.transport.nextPulseMs) + offset : 1e300;
  // Held: what lies at the held tick itself waits for the first pulse.
  if (f.state != midisync::kFollowRunning) return fo.heldTick > INT32_MIN ? fo.heldTick - 1 : fo.heldTick;
  if (pulsed && fo.lostReported) {
    fo.lostReported = false;
    PostNotification(p.outbox.bus, window, kNotifyClockLost, 0);
  }
  // Events before the next pulse may run on the estimate; those at its tick wait for it (so a stop
  // and a continue from that pulse play each of them once).
  int32_t next = TickOfPulses(p, static_cast<double>(midisync::FollowLimit(f)), true);
  int32_t limit = next > INT32_MIN ? next - 1 : next;
  // Input that arrives while the master is late is stamped at its next pulse at the latest.
  p.clock->stampLimit.store(next, std::memory_order_release);
  // Anchored again at every wake-up: the server's time may have moved against the engine's clock.
  if (!fo.lostReported) AnchorAtPulse(p, offset);
  if (midisync::ClockLost(f, serverNow)) {
    // Held at the next pulse: nothing is stamped or sent past it until the clock comes back.
    if (!fo.lostReported) {
      fo.lostReported = true;
      Hold(p, TickOfPulses(p, midisync::FollowedPosition(f, serverNow - fo.lagMs)), nowMs);
      PostNotification(p.outbox.bus, window, kNotifyClockLost, 1);
    }
  }
  int32_t tick = TickOfPulses(p, midisync::FollowedPosition(f, serverNow - fo.lagMs));
  return tick < limit ? tick : limit;
}
