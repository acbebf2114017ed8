// The outbox: everything the engine tells its clients leaves through here, below every subsystem
// that has something to tell (the client table, the scheduler, the take, the metronome, the
// notifier). Notifications are posted (never waited for); copy-data answers, the start message and
// the position message are sent, with or without waiting for the answer.
//
// Threads: any thread may post or send. A send never happens under an engine lock (checked in debug
// builds, see locks/locks.h): the client's handler may call back into the engine, whose main
// thread must be free to answer. Posts may be made under a lock (the timer thread posts under the
// scheduler lock): they only queue a frame.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/bus.h"

// Where a subsystem's messages to clients go: the bus, and the engine window they come from (fixed
// when the engine window is created, before any other thread starts).
struct Outbox {
  platform::Bus* bus = nullptr;
  uint32_t engineWindow = 0;
};

// Posts engine command message 1624 with a notification `code` to a client window.
void PostNotification(platform::Bus* bus, uint32_t window, uint32_t code, uint32_t lParam);
// Posts notification 10 error 12 after a take that was lost (in part or whole), past the window's
// output limits: the client must learn of it even when its output is full.
void PostTakeLost(platform::Bus* bus, uint32_t window);
// Posts `code` to each of `windows` (the registered clients, in table order; 0 skipped), with lParam
// 1 for `sender` and 0 for the others. Main thread.
void PostToAll(platform::Bus* bus, const std::vector<uint32_t>& windows, uint32_t code, uint32_t sender);

// Sends a copy-data message of `type` from the engine window and waits for the client's result.
int32_t SendCopyData(platform::Bus* bus, uint32_t engineWindow, uint32_t window, uint32_t type, const void* data,
                     uint32_t size);
// As SendCopyData, for what must not be lost unnoticed (a take): false when it could not even be
// queued for the window (its output full, its process past its share of the output budget).
bool DeliverCopyData(platform::Bus* bus, uint32_t engineWindow, uint32_t window, uint32_t type, const void* data,
                     uint32_t size);
// The same without waiting for the answer; false when it could not be queued.
bool QueueCopyData(platform::Bus* bus, uint32_t engineWindow, uint32_t window, uint32_t type, const void* data,
                   uint32_t size);
// Sends `msg` (the start message) with `lParam` and waits for the client's result.
int32_t SendToClient(platform::Bus* bus, uint32_t window, uint32_t msg, uint32_t lParam);
// Queues `msg` (a final position) with `lParam` without waiting for the answer.
bool QueueToClient(platform::Bus* bus, uint32_t window, uint32_t msg, uint32_t lParam);
// Sends `msg` with `lParam` while `gate` is open (a playback's positions); 0 when it is closed.
int32_t SendGatedToClient(platform::Bus* bus, const platform::BusGate& gate, uint32_t window, uint32_t msg,
                          uint32_t lParam);
