// The timer service (order, cancellation, capacity, never early) and the playback clock (truncation,
// due times that read their own tick, re-anchoring that keeps the beat, whole readings across
// threads).
// Threads: the test thread, the timer service's thread, and a writer thread in the clock test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/timer.h"
#include "playback/clock.h"

namespace {

struct Fired {
  std::mutex lock;
  std::vector<int> order;
  std::vector<double> lateness;
};

struct Shot {
  Fired* fired;
  int tag;
  double due;
};

void Record(void* context, uint64_t) {
  Shot* s = static_cast<Shot*>(context);
  double now = platform::NowMs();
  std::lock_guard<std::mutex> guard(s->fired->lock);
  s->fired->order.push_back(s->tag);
  s->fired->lateness.push_back(now - s->due);
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  for (int i = 0; i < ms; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

}  // namespace

TEST(TimerService, FiresInDueOrderNeverEarlyAndNotWhenCancelled) {
  platform::TimerService* service = platform::TimerServiceStart();
  ASSERT_NE(service, nullptr);
  Fired fired;
  double now = platform::NowMs();
  // Armed out of order; the third is cancelled; the last is already past and fires at once. The
  // soonest future one is due 35 ms on, so that a test thread held up while arming (both cores
  // busy) does not see it fire before the past one is armed.
  Shot shots[5] = {{&fired, 0, now + 60}, {&fired, 1, now + 40}, {&fired, 2, now + 50}, {&fired, 3, now + 35},
                   {&fired, 4, now - 100}};
  uint64_t ids[5];
  for (int i = 0; i < 5; ++i) ids[i] = platform::TimerArm(service, shots[i].due, Record, &shots[i]);
  for (int i = 1; i < 5; ++i) EXPECT_GT(ids[i], ids[i - 1]);  // ids only grow
  platform::TimerCancel(service, ids[2]);
  ASSERT_TRUE(WaitFor([&] { std::lock_guard<std::mutex> g(fired.lock); return fired.order.size() == 4; }, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::lock_guard<std::mutex> guard(fired.lock);
  EXPECT_EQ(fired.order, (std::vector<int>{4, 3, 1, 0}));
  for (double late : fired.lateness) EXPECT_GE(late, 0.0);
  platform::TimerServiceStop(service);
}

TEST(TimerService, EqualDueTimesFireInTheOrderTheyWereArmed) {
  platform::TimerService* service = platform::TimerServiceStart();
  ASSERT_NE(service, nullptr);
  Fired fired;
  double due = platform::NowMs() + 20;
  std::vector<Shot> shots;
  for (int i = 0; i < 12; ++i) shots.push_back({&fired, i, due});
  for (int i = 0; i < 12; ++i) ASSERT_NE(platform::TimerArm(service, due, Record, &shots[i]), 0u);
  // Removing from the middle of the table reshuffles it; the order must still hold.
  uint64_t extra = platform::TimerArm(service, due, Record, &shots[0]);
  platform::TimerCancel(service, extra);
  ASSERT_TRUE(WaitFor([&] { std::lock_guard<std::mutex> g(fired.lock); return fired.order.size() == 12; }, 2000));
  std::lock_guard<std::mutex> guard(fired.lock);
  EXPECT_EQ(fired.order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  platform::TimerServiceStop(service);
}

TEST(TimerService, CancelWaitsOutARunningCallbackUnlessItIsTheCallersOwn) {
  platform::TimerService* service = platform::TimerServiceStart();
  ASSERT_NE(service, nullptr);
  struct Slow {
    platform::TimerService* service;
    std::atomic<bool> started{false}, finished{false};
    uint64_t self = 0;
  } slow;
  slow.service = service;
  auto callback = [](void* context, uint64_t id) {
    Slow* s = static_cast<Slow*>(context);
    s->started = true;
    platform::TimerCancel(s->service, id);  // its own: must not wait for itself
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s->finished = true;
  };
  uint64_t id = platform::TimerArm(service, platform::NowMs(), callback, &slow);
  ASSERT_TRUE(WaitFor([&] { return slow.started.load(); }, 2000));
  platform::TimerCancel(service, id);
  EXPECT_TRUE(slow.finished.load());
  platform::TimerCancel(service, id);  // finished ids are ignored
  platform::TimerServiceStop(service);
}

TEST(TimerService, AFullTableRefusesAndStopCancelsEverything) {
  platform::TimerService* service = platform::TimerServiceStart();
  ASSERT_NE(service, nullptr);
  Fired fired;
  Shot shot{&fired, 0, 0};
  double later = platform::NowMs() + 60000;
  for (int i = 0; i < platform::kTimerCapacity; ++i) EXPECT_NE(platform::TimerArm(service, later, Record, &shot), 0u);
  EXPECT_EQ(platform::TimerArm(service, later, Record, &shot), 0u);
  platform::TimerServiceStop(service);
  EXPECT_TRUE(fired.order.empty());
  uint32_t low = 0, high = 0;
  EXPECT_EQ(platform::TimerGetDevCaps(&low, &high), 0u);
  EXPECT_EQ(low, 1u);
  EXPECT_EQ(high, 1u);
}

TEST(PlaybackClock, TruncatesTowardZeroAndReadsEachTickAtItsDueTime) {
  ClockAnchor a{1000.0, -480, 1.0};
  EXPECT_EQ(TickAt(a, 1000.25), -479);
  a.anchorTick = 480;
  EXPECT_EQ(TickAt(a, 1000.25), 480);

  // A rate whose milliseconds per tick are not exact in binary: at every tick's due time the clock
  // reads that tick, never the one before.
  PlaybackClock clock;
  clock.playbackTempoFactor = 1.1;
  AnchorClockAt(clock, 12345.678, 7, 14400);
  for (int32_t tick = 7; tick < 20000; tick += 13) EXPECT_EQ(TickAt(ReadClock(clock), TickDueTime(clock, tick)), tick);
  // 14400 ticks per minute is 240 per second; at factor 0.5, 120.
  clock.playbackTempoFactor = 0.5;
  AnchorClockAt(clock, 0, 0, 14400);
  EXPECT_EQ(TickAt(ReadClock(clock), 1000.0), 120);
}

TEST(PlaybackClock, ReanchoringAtATickKeepsItsDueTime) {
  PlaybackClock clock;
  AnchorClockAt(clock, 500.0, 0, 14400);
  double due = TickDueTime(clock, 960);
  ReanchorAtTick(clock, 960, 28800);
  EXPECT_DOUBLE_EQ(TickDueTime(clock, 960), due);
  EXPECT_DOUBLE_EQ(TickDueTime(clock, 1200) - due, 240 * 60000.0 / 28800);
  // Rates no clock can run at fall back to the reset tempo or stay finite.
  EXPECT_DOUBLE_EQ(MsPerTick(0, 1.0), 60000.0 / 14400);
  EXPECT_DOUBLE_EQ(MsPerTick(14400, -2.0), 60000.0 / 14400);
  EXPECT_TRUE(std::isfinite(MsPerTick(1, 1e-300)));
  EXPECT_GT(MsPerTick(INT32_MAX, 1e300), 0.0);
}

// Factors are held to 1/100 to 100 (0, negative and broken ones play at 1), and ticks saturate at
// the ends of the 32-bit range instead of wrapping into negative ones.
TEST(PlaybackClock, FactorsStayInRangeAndTicksSaturate) {
  EXPECT_EQ(ClockTempoFactor(1e300), kMaxTempoFactor);
  EXPECT_EQ(ClockTempoFactor(1e-300), kMinTempoFactor);
  for (double broken : {0.0, -2.0, double(NAN), double(INFINITY), -double(INFINITY)}) EXPECT_EQ(ClockTempoFactor(broken), 1.0) << broken;
  EXPECT_DOUBLE_EQ(MsPerTick(14400, 1e300), 60000.0 / (14400 * kMaxTempoFactor));
  ClockAnchor a{0.0, INT32_MAX - 10, 1.0};
  EXPECT_EQ(TickAt(a, 1e12), INT32_MAX);
  a.anchorTick = INT32_MIN + 10;
  EXPECT_EQ(TickAt(a, -1e12), INT32_MIN);
  a.msPerTick = 1e-300;
  EXPECT_EQ(TickAt(a, 5.0), INT32_MAX);

  // A factor change goes on from the exact position reached: no part of a tick is lost or replayed.
  PlaybackClock clock;
  clock.playbackTempoFactor = 0.01;
  AnchorClockAt(clock, 0.0, 100, 14400);  // 2.4 ticks per second
  ChangeTempoFactorAt(clock, 1000.0, 1.0, 14400);  // at 102.4
  EXPECT_EQ(TickAt(ReadClock(clock), 1000.0), 102);
  EXPECT_NEAR(TickDueTime(clock, 103), 1000.0 + 0.6 * 60000.0 / 14400, 1e-6);
}

TEST(PlaybackClock, ReadersNeverSeeHalfAnAnchor) {
  PlaybackClock clock;
  AnchorClockAt(clock, 0, 0, 14400);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    // Every anchor written keeps anchorTime == anchorTick x 2.
    for (int32_t i = 1; i < 200000; ++i) AnchorClockAt(clock, i * 2.0, i, 14400);
    done = true;
  });
  int torn = 0;
  while (!done.load()) {
    ClockAnchor a = ReadClock(clock);
    if (a.anchorTime != a.anchorTick * 2.0) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0);
}
