// Test support: a whole engine in process, set up and torn down through the host's own entry points
// (window creation through EngineWindowProc, TearDownEngine) over in-process virtual devices and a
// bus without a listening socket, so that no client can connect and no file is touched. Whatever
// the set-up starts (the timer service; the notifier and the watcher when a case starts them), the
// teardown ends, and the MIDI service is shut down after it: a case leaves no thread behind.
// Clients are entered into the table directly, as registration would leave them; messages to them
// go to windows that do not exist, so posts are dropped and sends yield 0.
// Threads: the test thread stands in for the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/engine.h"
#include "platform/midi.h"
#include "platform/timer.h"
#include "support/virtual_ports.h"

struct InProcessEngine {
  Engine engine;
  bool created = false;  // window creation answered 0

  // `outputs` and `inputs` virtual devices named "Virtual Out N" / "Virtual In N"; opening an
  // output whose id is in `failOut` fails. The device layer captures what the devices receive.
  explicit InProcessEngine(int outputs = 2, int inputs = 2, std::vector<uint32_t> failOut = {});
  ~InProcessEngine();
  InProcessEngine(const InProcessEngine&) = delete;
  InProcessEngine& operator=(const InProcessEngine&) = delete;

  // Enters a registered client as RegisterClient leaves it (the process fields are not used).
  ClientRecord& AddClient(uint32_t window);
  // A copy-data message from `sender`, handed to the window procedure as the message loop would.
  int32_t CopyData(uint32_t sender, uint32_t type, const std::vector<uint8_t>& payload);
};

// Runs the playback's wake-ups as they come due, in order, until none is armed or the next is due
// after `untilMs`: each at the moment `at(due)` gives (a pushed clock is set there), the stages
// drained to it first, and `after(moment)` once it has run. Time is handed in: nothing sleeps.
template <typename At, typename After>
void RunWakeUps(Engine& engine, double untilMs, At at, After after) {
  PlaybackState& p = engine.playback;
  for (;;) {
    uint64_t id;
    double due;
    {
      EngineLock guard(p.lock, LockKind::kScheduler);
      id = p.timer;
      due = p.timerDueMs;
    }
    if (id == 0 || due > untilMs) return;
    const double moment = at(due);
    DrainStages(engine.ports, moment);
    platform::TimerCancel(p.timers, id);
    SchedulerWakeUpAt(p, id, moment);
    after(moment);
  }
}

// The threads of this process that run now and did not run in `before` (ThreadIds()): a thread
// that ended meanwhile, one an earlier test left behind say, does not count either way.
std::vector<uint64_t> ThreadIds();
std::vector<uint64_t> ThreadsStartedSince(const std::vector<uint64_t>& before);
