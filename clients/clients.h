// Registered clients: the client table, the liveness watcher, each client's ports and song slots.
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

#include "client/protocol.h"
#include "platform/event.h"

constexpr int kMaxClientOutputs = tovu::protocol::kOpenPortsMaxOutputs;

struct ClientRecord {
  uint32_t window = 0;
  int32_t outputCount = 0;
  int32_t outputs[kMaxClientOutputs] = {};
  std::atomic<int32_t> inputPort{-1};
  uint8_t* currentSong = nullptr;
  uint8_t* nextSong = nullptr;
  uint32_t currentSongSize = 0;
  uint32_t nextSongSize = 0;
  double tempoFactor = 1.0;
  bool leaving = false;  // main thread: its unregistration is under way (it can start nothing)
  std::atomic<uint32_t> channelMask{tovu::protocol::kAllChannels};
  std::atomic<uint32_t> inputFlags{tovu::protocol::kInputNotes};
  int32_t processId = 0;  // under the table lock; 0 once the watcher saw the process end
  // The process handle: the owner's pidfd, and a handle that is signalled when the client's window
  // closes; either one signalled means the client can never be served again.
  int processHandle = -1;
  int windowClosedHandle = -1;
  // Names this registration for the watcher: unlike a descriptor number, never used twice.
  uint64_t watchId = 0;
};

struct ClientTable {
  std::mutex lock;  // the client-table lock: shape, processId, process handles
  std::vector<ClientRecord*> records;  // registration order; each record heap-allocated
  uint64_t lastWatchId = 0;  // main thread
};

struct Watcher {
  platform::Event wake;  // the watcher wake event
  std::atomic<bool> stopRequested{false};
  std::thread thread;  // joinable while the watcher runs
};

struct Engine;

int FindClient(const ClientTable& table, uint32_t window);
// Any thread but the main one: calls read(record) for the client's record under the client-table
// lock and returns true, or returns false when the window is not registered. Keep `read` short.
template <typename Read>
bool WithClientLocked(ClientTable& table, uint32_t window, Read&& read) {
  std::lock_guard<std::mutex> lock(table.lock);
  for (ClientRecord* record : table.records)
    if (record->window == window) {
      read(*record);
      return true;
    }
  return false;
}
ClientRecord* ClientOf(Engine& engine, uint32_t window);  // main thread; null when not registered
int32_t RegisterClient(Engine& engine, uint32_t window);
int32_t UnregisterClient(Engine& engine, uint32_t window);
// Main thread, from the bus: the window's connection has closed. A registered client is then
// unregistered through a posted engine command 1, as the watcher would have it (which it may still
// also do; the later of the two finds nothing to do). The watcher runs at idle priority and can be
// kept waiting by any busy process; this keeps dead clients from piling up meanwhile.
void NoteWindowClosed(Engine& engine, uint32_t window);
// Frees every record (teardown); the caller has stopped the watcher.
void DestroyClientTable(ClientTable& table);

// One entry of the watcher's wait list: a descriptor and the registration it was taken from.
struct WatchEntry {
  int fd = -1;
  uint64_t watchId = 0;
};
// Watcher: the entry became ready during a wait, so its client has ended. Marks the client of that
// registration (processId 0) and returns its window, or returns 0 when no record carries its watch
// id any more: the client left while the watcher waited, and the entry's descriptor number may by
// now belong to another client.
uint32_t ClaimEndedClient(ClientTable& table, const WatchEntry& entry);

// Starts the watcher with the start-up handle (standard error) in its start-up phase. False when the
// thread cannot be started.
bool StartWatcher(Engine& engine);
// Asks the watcher to end and joins it.
void StopWatcher(Engine& engine);

// Client ports and song slots (copy-data types 13, 14, 19, 20, 23, 25).
using tovu::protocol::kOpenPortsSize;
void OpenClientPorts(Engine& engine, uint32_t window, const uint8_t* request);
void CloseClientPorts(Engine& engine, uint32_t window);
void LoadSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes);
void LoadNextSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes);
void SetTempoFactor(Engine& engine, uint32_t window, const uint8_t* payload);
void SetInputFilter(Engine& engine, uint32_t window, const uint8_t* payload);
