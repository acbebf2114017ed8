// Registered clients: the client table, the liveness watcher, and each client's record with the
// ports it holds and the handle of its song slots (playback/song_slots.h). A client's life as a
// whole (registration, the port set, departure by any cause) is sequenced in host/client_life.cpp;
// what is here touches only these records and the port tables.
//
// Threads: the main thread registers, unregisters and changes every record. The liveness watcher
// reads the table and the process fields under the client-table lock and only ever writes
// `processId` (to 0). The timer and MIDI input threads reach records only through WithClientLocked,
// which holds the same lock while they read; records live at stable addresses until unregistration
// (which removes and frees them under the lock), and the fields those threads read are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/protocol.h"
#include "platform/bus.h"
#include "platform/event.h"
#include "playback/song_slots.h"
#include "ports/ports.h"
#include "status/background_thread.h"
#include "locks/locks.h"

constexpr int kMaxClientOutputs = tovu::protocol::kOpenPortsMaxOutputs;

struct ClientRecord {
  uint32_t window = 0;
  // Whose the client's direct sends and auditions are in the ports' ledgers (kOwnerNone when every
  // client owner is taken); released at its port close and departure.
  Owner owner = kOwnerNone;
  int32_t outputCount = 0;
  int32_t outputs[kMaxClientOutputs] = {};
  std::atomic<int32_t> inputPort{-1};
  SongSlots songs;  // playback's: read and written only there, under the scheduler lock
  double tempoFactor = 1.0;
  int32_t clockInDevice = tovu::protocol::kNoInputDevice;  // main thread: copy-data 36, the clock its playbacks follow
  bool leaving = false;  // main thread: its unregistration is under way (it can start nothing)
  std::atomic<uint32_t> channelMask{tovu::protocol::kAllChannels};
  std::atomic<uint32_t> inputFlags{tovu::protocol::kInputNotes};
  int32_t processId = 0;  // under the table lock; 0 once the watcher saw the process end
  // The process handle: the owner's pidfd, and a handle that is signalled when the client's window
  // closes; either one signalled means the client can never be served again.
  platform::OsHandle processHandle = platform::kNoHandle;
  platform::OsHandle windowClosedHandle = platform::kNoHandle;
  // Names this registration for the watcher: unlike a descriptor number, never used twice.
  uint64_t watchId = 0;
};

struct ClientTable {
  // The client-table lock: taken on its own, under no other engine lock and with none under it. The
  // table's shape and each record's processId and handles change only under it; the main thread,
  // the only one that changes them, reads them without it.
  Mutex lock;
  std::vector<ClientRecord*> records;  // registration order; each record heap-allocated
  uint64_t lastWatchId GUARDED_BY(lock) = 0;
};

// The liveness watcher's thread; `wake` is the watcher wake event, which registration and
// unregistration set as well.
using Watcher = BackgroundThread;

int FindClient(const ClientTable& table, uint32_t window);
// Main thread: the registered clients' windows, in table order.
std::vector<uint32_t> ClientWindows(const ClientTable& table);
// Main thread: the record of `window`, or null when it is not registered.
ClientRecord* ClientOf(ClientTable& table, uint32_t window);
// Any thread but the main one: calls read(record) for the client's record under the client-table
// lock and returns true, or returns false when the window is not registered. Keep `read` short.
template <typename Read>
bool WithClientLocked(ClientTable& table, uint32_t window, Read&& read) {
  EngineLock lock(table.lock);
  for (ClientRecord* record : table.records)
    if (record->window == window) {
      read(*record);
      return true;
    }
  return false;
}
// Main thread: enters a new record for `window` whose process and window-closed handles the record
// then owns; null (the handles closed) when memory runs out.
ClientRecord* AddClient(ClientTable& table, uint32_t window, int32_t processId, platform::OsHandle processHandle,
                        platform::OsHandle windowClosedHandle);
// Main thread: takes `window`'s record out of the table, closes its handles and frees it (its song
// slots with it), setting the watcher's wake event under the lock. False when it is not registered.
bool RemoveClient(ClientTable& table, platform::Event& watcherWake, uint32_t window);
// Frees every record (teardown); the caller has stopped the watcher.
void DestroyClientTable(ClientTable& table);

// Watcher: a handle of the registration `watchId` became ready during a wait, so its client has
// ended. Marks the client of that registration (processId 0) and returns its window, or returns 0
// when no record carries that watch id any more: the client left while the watcher waited, and the
// handle's number may by now belong to another client.
uint32_t ClaimEndedClient(ClientTable& table, uint64_t watchId);

// Starts the watcher with the start-up handle (standard error) in its start-up phase; it posts its
// findings to the engine window through `bus`. False when the thread cannot be started.
bool StartWatcher(Watcher& watcher, ClientTable& table, platform::Bus* bus);
// Asks the watcher to end and joins it.
void StopWatcher(Watcher& watcher);

// ---- The ports a client holds (copy-data 13 and 14, main thread) ----

using tovu::protocol::kOpenPortsSize;
// Opens the ports an open-ports request names for `client`, whose ports are all closed, and fills
// the reply's results; stores the request's input filter.
void OpenPortsOf(ClientRecord& client, Ports& ports, const uint8_t* request, uint8_t* reply);
// Closes every port `client` holds.
void ClosePortsOf(ClientRecord& client, Ports& ports);
// Copy-data 23: stores the tempo factor (a factor that is not a finite number above 0 is stored as
// 1.0) and returns it.
double StoreTempoFactor(ClientRecord& client, const uint8_t* payload);
// Copy-data 25: stores the input filter (channel mask and flags) as given.
void StoreInputFilter(ClientRecord& client, const uint8_t* payload);
