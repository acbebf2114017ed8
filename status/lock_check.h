// The guard every engine lock is taken through, and the two checks that debug builds make of the
// lock order written in host/locking.h: no send to a client while the calling thread holds any
// engine lock, and no timer cancel while it holds the scheduler lock.
//
// The checks are on in every build without NDEBUG and in the sanitizer builds (which the tests run
// in); elsewhere EngineLock is a plain std::unique_lock and the checks compile to nothing. They count
// the locks each thread holds in two thread-local integers of the engine's static library: no
// allocation and no lock, so the timer and MIDI input threads run them too. A broken rule prints one
// line and aborts, so that a test run cannot pass over it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <mutex>

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TOVU_LOCK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TOVU_LOCK_CHECKS 1
#endif
#endif

namespace lock_check {

#ifdef TOVU_LOCK_CHECKS
inline thread_local int engineLocksHeld = 0;
inline thread_local int schedulerLocksHeld = 0;

[[noreturn]] inline void Broken(const char* rule) {
  fprintf(stderr, "tovu-engine: lock order broken: %s\n", rule);
  abort();
}
#endif

}  // namespace lock_check

enum class LockKind { kEngine, kScheduler };

// A std::unique_lock on one of the engine's own locks that the checks count while it is held.
class EngineLock {
 public:
  explicit EngineLock(std::mutex& mutex, LockKind kind = LockKind::kEngine)
      : lock_(mutex), scheduler_(kind == LockKind::kScheduler) {
    Count(1);
  }
  ~EngineLock() {
    if (lock_.owns_lock()) Count(-1);
  }
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  void lock() {
    lock_.lock();
    Count(1);
  }
  void unlock() {
    Count(-1);
    lock_.unlock();
  }

 private:
  void Count(int delta) {
#ifdef TOVU_LOCK_CHECKS
    lock_check::engineLocksHeld += delta;
    if (scheduler_) lock_check::schedulerLocksHeld += delta;
#else
    (void)delta;
#endif
  }

  std::unique_lock<std::mutex> lock_;
  bool scheduler_;
};

// Before a send to a client window: a client's handler may send back to the engine, and the main
// thread answers that only once the send returns, so a send under an engine lock can stall every
// thread that wants that lock for as long as the client takes (2 s), or for good.
inline void CheckNoEngineLockHeld() {
#ifdef TOVU_LOCK_CHECKS
  if (lock_check::engineLocksHeld != 0) lock_check::Broken("a send to a client under an engine lock");
#endif
}

// Before a timer cancel: a cancel waits out a wake-up in flight, and the wake-up waits for the
// scheduler lock.
inline void CheckSchedulerLockNotHeld() {
#ifdef TOVU_LOCK_CHECKS
  if (lock_check::schedulerLocksHeld != 0) lock_check::Broken("a timer cancelled under the scheduler lock");
#endif
}
