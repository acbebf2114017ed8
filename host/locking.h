// The engine's locks, the threads that take them, and the one order they are taken in.
//
// Threads: main (the message loop and every command), watcher (liveness), notifier, timer (the
// timer service's thread: the scheduler's wake-ups), MIDI input (the device service's callback
// thread), refill (the recorder's spare-chunk maker).
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
// waits out a drain in flight, which takes stage locks). The client-table lock is taken on its own
// (under no engine lock, and with none under it). No two of metronome, thru, recorder, position and
// client-table are ever held together: where two of them meet (the echo plays what the recorder
// holds through thru), the first is let go before the second is taken.
//
// The rules, and why:
//   - No send to a client under any engine lock: the client's handler may send back to the engine,
//     which the main thread answers only once the send returns. (Checked: status/outbox.cpp.)
//     Posts only queue a frame and may be made under a lock.
//   - No timer cancel under the scheduler lock: a cancel waits out a wake-up in flight, and that
//     wake-up waits for the scheduler lock. (Checked: CancelWakeUp in playback/scheduler.cpp.)
//   - The timer and MIDI input threads never wait on a lock the main thread holds for long: the
//     main thread holds the scheduler lock only for its critical steps (never across a send, a
//     cancel or a song check), and the leaf locks for one event or one batch of at most 64 sends.
//   - The recorder lock is never held across a send or a platform call.
//   - An output stage lock is held for one message and its device send, or a batch of at most
//     kStageBatch (ports/output_stage.h): the timer and input threads never wait long for it.
//
// Every engine lock is taken through EngineLock (status/lock_check.h), which counts the locks each
// thread holds; debug and sanitizer builds check the first two rules with those counts.
#pragma once

#include "status/lock_check.h"
