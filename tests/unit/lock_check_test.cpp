// The lock-order checks of debug and sanitizer builds: a send under any engine lock and a timer
// cancel under the scheduler lock end the process; a lock let go (or taken again) counts right.
// Threads: the test thread only (death tests fork).
#include <gtest/gtest.h>

#include <mutex>

#include "locks/locks.h"

TEST(LockCheck, ASendUnderAnEngineLockAndACancelUnderTheSchedulerLockAreCaught) {
#ifndef TOVU_LOCK_CHECKS
  GTEST_SKIP() << "lock checks are off in this build";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Mutex engineMutex, schedulerMutex;
  CheckNoEngineLockHeld();
  CheckSchedulerLockNotHeld();
  {
    EngineLock lock(engineMutex);
    CheckSchedulerLockNotHeld();  // a leaf lock alone allows a cancel
    EXPECT_DEATH(CheckNoEngineLockHeld(), "a send to a client under an engine lock");
    lock.unlock();
    CheckNoEngineLockHeld();
    lock.lock();
    EXPECT_DEATH(CheckNoEngineLockHeld(), "under an engine lock");
  }
  {
    EngineLock lock(schedulerMutex, LockKind::kScheduler);
    EXPECT_DEATH(CheckSchedulerLockNotHeld(), "a timer cancelled under the scheduler lock");
    EXPECT_DEATH(CheckNoEngineLockHeld(), "under an engine lock");
  }
  // Every guard gone: both are allowed again.
  CheckNoEngineLockHeld();
  CheckSchedulerLockNotHeld();
#endif
}
