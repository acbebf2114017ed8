// The engine's locks: the one mutex type every engine lock is, the guard each is taken through, the
// annotations that say what each lock guards and in which order the locks are taken, and the two
// run-time checks of what the annotations cannot follow.
//
// Threads: main (the message loop and every command), watcher (liveness), notifier, timer (the
// timer service's thread: the scheduler's wake-ups and the output stages' drain), MIDI input (the
// device service's callback thread), refill (the recorder's spare-chunk maker).
//
//   lock                         record                  taken by
//   scheduler lock               PlaybackState::lock     main, timer
//   metronome lock               Metronome::lock         main, timer (inside a wake-up)
//   thru lock                    Thru::lock              main, timer (the loop-record echo), MIDI input
//   recorder lock                Recorder::lock          main, timer, MIDI input, refill
//   position lock                Notifier::positionLock  timer (inside a wake-up), notifier
//   client-table lock            ClientTable::lock       main, watcher, MIDI input (WithClientLocked)
//   output stage locks           PortStage::lock         main, timer (wake-ups and the stages' drain),
//                                                        MIDI input (thru)
//   drain timer lock             StageShared::drainLock  any thread that queues a message
//   -- the platform's own, always innermost, never held while engine code runs --
//   bus window table, connection write, queue and send locks   any thread that posts or sends
//   timer service table lock     any thread that arms or cancels a timer
//   MIDI device locks            any thread that sends to or opens a device
//
// The order: the scheduler lock first; under it at most one of the metronome, thru, recorder and
// position locks; under any of these (or none) one output stage lock at a time, and under that only
// platform locks (the device's send). The drain timer lock is taken with no stage lock held, and
// only the timer service's lock under it; a drain timer is cancelled with neither held (the cancel
// waits out a drain in flight, which takes stage locks). The client-table lock is taken on its own.
// No two of metronome, thru, recorder, position and client-table are ever held together: where two
// of them meet (the echo plays what the recorder holds through thru), the first is let go before
// the second is taken.
//
// As code: each lock is a Mutex, declared with ACQUIRED_BEFORE / ACQUIRED_AFTER the locks it comes
// before or after; the data it guards is GUARDED_BY it, and the functions that run under it
// REQUIRES it (EXCLUDES: must not hold it). Clang's thread-safety analysis checks all of it at
// compile time (the -Wthread-safety build of scripts/test.sh fails on any breach). The analysis does
// not follow calls through function pointers (the playback's hooks, the timer service's callbacks)
// nor a lock held across a platform call; what that leaves open is checked at run time:
//   - No send to a client under any engine lock: the client's handler may send back to the engine,
//     which the main thread answers only once the send returns (CheckNoEngineLockHeld, in every
//     send of status/outbox.cpp). Posts only queue a frame and may be made under a lock.
//   - No timer cancel under the scheduler lock: a cancel waits out a wake-up in flight, and that
//     wake-up waits for the scheduler lock (CheckSchedulerLockNotHeld, in CancelWakeUp).
// And by design, not by a check: the main thread holds the scheduler lock only for its critical
// steps (never across a send, a cancel or a song check) and the leaf locks for one event or one
// batch of at most 64 sends; the recorder lock is never held across a send or a platform call; an
// output stage lock is held for one message and its device send, or a batch of at most kStageBatch.
//
// The run-time checks are on in every build without NDEBUG and in the sanitizer builds (which the
// tests run in); elsewhere they compile to nothing. They count the locks each thread holds in two
// thread-local integers of the engine's static library: no allocation and no lock, so the timer
// and MIDI input threads run them too. A broken rule prints one line and aborts, so that a test run
// cannot pass over it.
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

// Clang's thread-safety attributes; other compilers see nothing.
#if defined(__clang__)
#define TOVU_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TOVU_THREAD_ATTRIBUTE(x)
#endif
#define CAPABILITY(x) TOVU_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY TOVU_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) TOVU_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) TOVU_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TOVU_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TOVU_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TOVU_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TOVU_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TOVU_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TOVU_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS TOVU_THREAD_ATTRIBUTE(no_thread_safety_analysis)

// Every engine lock: a std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

enum class LockKind { kEngine, kScheduler };

// The guard every engine lock is taken through: held from its construction to its destruction
// (or let go and taken again with unlock and lock), and counted by the run-time checks meanwhile.
class SCOPED_CAPABILITY EngineLock {
 public:
  explicit EngineLock(Mutex& mutex, LockKind kind = LockKind::kEngine) ACQUIRE(mutex)
      : mutex_(mutex), scheduler_(kind == LockKind::kScheduler) {
    mutex_.lock();
    Count(1);
  }
  ~EngineLock() RELEASE() {
    if (held_) {
      Count(-1);
      mutex_.unlock();
    }
  }
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
    Count(1);
  }
  void unlock() RELEASE() {
    Count(-1);
    held_ = false;
    mutex_.unlock();
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

  Mutex& mutex_;
  [[maybe_unused]] bool scheduler_;  // counted only where the checks are on
  bool held_ = true;
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
