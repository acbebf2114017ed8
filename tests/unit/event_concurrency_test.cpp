// Auto-reset events set by one thread while another consumes them, waiting as the liveness watcher
// does (poll on the event and other descriptors): however the two interleave, a set that comes
// after the last consumption must wake the next wait. A lost wake-up leaves the watcher deaf to
// registrations and to the stop request, and the engine hanging at teardown.
// Threads: the test thread sets; one waiter thread waits and consumes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/event.h"
#include "platform/process.h"

TEST(EventConcurrency, SetAfterAnyInterleavingWakesTheNextWait) {
  platform::Event event;
  ASSERT_TRUE(platform::EventCreate(&event));
  int rescue[2];  // written by the test to free a waiter the event failed to wake
  ASSERT_EQ(pipe(rescue), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> round{0};  // the setter's round
  std::atomic<int> seen{0};   // the round the waiter read after its last wake-up
  std::thread waiter([&] {
    while (!stop.load()) {
      if (platform::WaitAny(&event, &rescue[0], 1) != 0) return;
      seen.store(round.load());
    }
  });
  // The setter sets without pause for a while, racing the waiter's consumption, then lets the
  // waiter catch up: the last set must have woken it. Repeated, so that the race is met often.
  bool deaf = false;
  int r = 0;
  for (int burst = 0; burst < 20 && !deaf; ++burst) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(15);
    while (std::chrono::steady_clock::now() < end) {
      round.store(++r);
      platform::EventSet(&event);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.load() < r && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    deaf = seen.load() < r;
    EXPECT_FALSE(deaf) << "the last set of burst " << burst << " woke nobody";
  }
  stop.store(true);
  if (deaf) {
    char b = 1;
    ASSERT_EQ(write(rescue[1], &b, 1), 1);
  }
  platform::EventSet(&event);
  waiter.join();
  close(rescue[0]);
  close(rescue[1]);
  platform::EventDestroy(&event);
}
