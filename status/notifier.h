// The notifier: the one thread that reports to clients while the engine works. Producers never send:
// the scheduler publishes a position under the position lock and sets the position event; the output
// path sets the activity event on every note change. The notifier sends the position message 1625
// to the playing client and the activity table (copy-data type 30) to the playing client, else the
// thru owner.
//
// Each published position carries the playback (serial and window) it belongs to, and is sent only
// while that playback still plays, so no client receives another's position. The last position of a
// playback that came to its end by itself is published as final: the notifier sends it, then posts
// notification 12 and the playback's self-posted stop. Since one thread sends every position, none
// can arrive after the final one.
//
// The notifier's loop: wait for the position event, the activity event or the stop request; a set
// position event is taken before the activity event, which stays set for the next pass.
//
// Threads: PublishPosition runs on the timer thread (under the scheduler lock); the notifier thread
// reads the published position under the position lock. SendActivityReport runs on the notifier
// thread and, at a stop, on the main thread; each caller copies the table with atomic loads into its
// own buffer before sending.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"

struct Engine;

struct PublishedPosition {
  int32_t position = 0;
  uint32_t serial = 0;
  uint32_t window = 0;
  bool final = false;
  bool fresh = false;  // published and not yet taken by the notifier
};

struct Notifier {
  std::mutex positionLock;  // the position lock: guards `published` only
  PublishedPosition published;
  platform::Event positionEvent;
  platform::Event stopEvent;
  std::atomic<bool> stopRequested{false};
  std::thread thread;  // joinable while the notifier runs
};

// Timer thread: the position (0 when negative) for the playback `serial` of `window`.
void PublishPosition(Engine& engine, int32_t position, uint32_t serial, uint32_t window);
// Timer thread: the playback ended by itself at `position`.
void PublishFinalPosition(Engine& engine, int32_t position, uint32_t serial, uint32_t window);
// Copies the activity table as it stands into `out` with atomic loads (empty with no output port).
// False when memory runs out.
bool CopyActivityTable(const Engine& engine, std::vector<uint8_t>* out);
// Sends a copy of the activity table to `window` (nothing when 0).
void SendActivityCopy(Engine& engine, uint32_t window, const std::vector<uint8_t>& table);
// Sends the activity table to `window` (nothing when 0).
void SendActivityReportTo(Engine& engine, uint32_t window);
// Sends it to the playing client, else the thru owner, else nobody.
void SendActivityReport(Engine& engine);

bool StartNotifier(Engine& engine);
void StopNotifier(Engine& engine);
