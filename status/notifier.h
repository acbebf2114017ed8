// The notifier: the one thread that reports to clients while the engine works. Producers never send:
// the scheduler publishes a position under the position lock and sets the position event; the output
// path sets the activity event on every note change. The notifier sends the position message 1625
// to the playing client and the activity table (copy-data type 30) to the playing client, else the
// thru owner.
//
// Each published position carries the playback (serial and window) it belongs to, and goes out only
// through the playback's position gate (PlaybackState::positionGate), which is open while that
// playback plays and closes, before anything else is sent, when it ends or stops. The gate is looked
// at under the client window's write lock, so no position of a playback can follow its final
// position or its notification 5. The end of a playback never goes through this idle thread: the
// scheduler and the main thread deliver it (scheduler.h).
//
// The notifier reads what it reports through pointers the host sets before it starts (the gate,
// the report's targets, the activity table), so that it knows no other subsystem's records.
//
// The notifier's loop: wait for the position event, the activity event or the stop request; a set
// position event is taken before the activity event, which stays set for the next pass.
//
// Threads: PublishPosition runs on the timer thread (under the scheduler lock); the notifier thread
// reads the published position under the position lock. The activity reports run on the notifier
// thread and, at a stop, on the main thread; each caller copies the table with atomic loads into its
// own buffer before sending.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "locks/locks.h"
#include "platform/event.h"
#include "status/background_thread.h"
#include "status/outbox.h"

struct PublishedPosition {
  int32_t position = 0;
  uint32_t serial = 0;
  uint32_t window = 0;
  bool fresh = false;  // published and not yet taken by the notifier
};

struct Notifier {
  Mutex positionLock;  // the position lock
  PublishedPosition published GUARDED_BY(positionLock);
  platform::Event positionEvent;
  BackgroundThread worker;  // its wake event is the stop request's

  // Set by the host before the notifier starts, unchanged afterwards.
  Outbox outbox;
  const std::atomic<uint32_t>* positionGate = nullptr;   // the playback's (see BusGate)
  const std::atomic<uint32_t>* playingClient = nullptr;  // the report's first target
  const std::atomic<uint32_t>* thruOwner = nullptr;      // its target while nothing plays
  const std::atomic<uint8_t>* activity = nullptr;        // the activity table ...
  const std::atomic<int32_t>* portCount = nullptr;       // ... of 2048 counters per output port (it grows)
  platform::Event* activityEvent = nullptr;
};

// Timer thread: the position (0 when negative) for the playback `serial` of `window`.
void PublishPosition(Notifier& notifier, int32_t position, uint32_t serial, uint32_t window);
// Copies the activity table as it stands into `out` with atomic loads (empty with no output port),
// for the output ports there are now.
// False when memory runs out.
bool CopyActivityTable(const Notifier& notifier, std::vector<uint8_t>* out);
// Queues a copy of the activity table for `window` (nothing when 0) without waiting for its answer.
void SendActivityCopy(const Notifier& notifier, uint32_t window, const std::vector<uint8_t>& table);
// Sends the activity table to `window` (nothing when 0).
void SendActivityReportTo(const Notifier& notifier, uint32_t window);
// Sends it to the playing client, else the thru owner, else nobody.
void SendActivityReport(const Notifier& notifier);

bool StartNotifier(Notifier& notifier);
// Asks the notifier to end and joins it. The caller has made the bus give up sends from other
// threads (BusAbandonSends), so the join never waits on a client.
void StopNotifier(Notifier& notifier);
