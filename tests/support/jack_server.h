// Test support for the jack service: a private JACK server with the dummy driver, and a JACK client
// of the test's own ("peer") that owns MIDI sink ports (the engine's output devices) and MIDI source
// ports (its input devices), records every event that reaches a sink with its frame time, and writes
// what the test queues on a source at the start of the next cycle.
//
// Threads: the test thread for everything but the peer's process callback (JACK's thread); the
// recordings and the queued input are handed over under a mutex (test code, not real-time code).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <jack/jack.h>

// A jackd process: `jackd -n <unique name> -S -d dummy -r 48000 -p 256`. Synchronous (-S): the
// server waits for every client in each cycle, so that a client held up by a loaded machine makes
// the cycle late instead of losing its events (asynchronous mode drops them, and tests would
// flicker). Ended (and its files in /dev/shm removed) at destruction.
//
// One private server runs at a time on the machine: test programs running side by side share
// JACK's server registry, and one server starting or ending while another's client opens fails
// that open now and then. Start takes a machine-wide lock (a file lock in /tmp) and Stop gives it
// back, so a second test waits for the first to end its server.
//
// A test that holds a server longer than kHangLimitS is taken to hang: a watch thread prints every
// thread's stack of the test process and of its children (the engine, jackd) through gdb, where
// gdb is installed, and ends the test process, so that the cause is on record and the tests
// waiting for the lock go on. (A benchmark, which runs as long as it is asked to, sets
// `watchForHang` false.) A test waits at most kLockWaitS for the lock, and then goes on
// without it.
struct HangWatch;

struct JackServer {
  static constexpr int kHangLimitS = 150;
  static constexpr int kLockWaitS = 200;

  std::string name;
  pid_t pid = -1;
  int lockFd = -1;  // the machine-wide lock, held from Start to the end of Stop
  HangWatch* watch = nullptr;  // from the first Start to the end of Stop
  bool watchForHang = true;
  std::string failure;  // why Start returned false
  bool killed = false;  // by Kill: Stop then reclaims the name's entry in the server registry

  JackServer() = default;
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;
  ~JackServer() { Stop(); }

  // Starts the server (under a new unique name unless `name` is set) and waits (bounded) until a
  // client can connect. False, with the reason in `failure`, when jackd cannot start.
  bool Start(int timeoutMs = 10000);
  // SIGTERM, then SIGKILL if it has not ended within 3 s. Safe to call twice.
  void Stop();
  // Kills the server at once (SIGKILL), as a crash would.
  void Kill();
  // Starts a killed server again under its name, as a user restarting it would.
  bool Restart(int timeoutMs = 10000);

 private:
  bool WaitStarted(int timeoutMs);
  void RemoveFiles();
};

struct PeerEvent {
  uint32_t port = 0;   // index into the sink names
  uint32_t frame = 0;  // absolute frame time at which it arrived
  std::vector<uint8_t> bytes;
  uint64_t usecs = 0;  // JACK's clock (jack_get_time) when the cycle that took it ran
};

struct JackPeer {
  jack_client_t* client = nullptr;
  std::vector<jack_port_t*> sinks;
  std::vector<jack_port_t*> sources;
  std::string clientName;
  uint32_t rate = 0;
  uint32_t period = 0;

  std::mutex mutex;  // guards the two fields below
  std::vector<PeerEvent> received;
  std::deque<std::pair<uint32_t, std::vector<uint8_t>>> pending;  // source index, bytes
  // A clock master of the peer's own (StartPulses), also under the mutex: the source it plays on
  // (-1 none), the next pulse's grid frame and the frame it goes out at.
  int32_t pulseSource = -1;
  bool pulseStarted = false, pulseStopping = false;
  double pulseStep = 0, pulseGrid = 0;
  int64_t pulseAt = 0;
  uint32_t pulseJitter = 0;
  std::mt19937 pulseRandom{28};
  std::vector<double> pulseGrids;  // the grid frame of every pulse played, in order

  JackPeer() = default;
  JackPeer(const JackPeer&) = delete;
  JackPeer& operator=(const JackPeer&) = delete;
  ~JackPeer() { Close(); }

  // Opens client `name` (exactly that name) on `server` with the given MIDI ports and activates it
  // (unless `activate` is false: then Activate does, later).
  bool Open(const std::string& server, const std::string& name, const std::vector<std::string>& sinkNames,
            const std::vector<std::string>& sourceNames, bool activate = true);
  bool Activate();
  void Close();
  // Queues bytes to go out on a source as one event at the start of the next cycle.
  void Send(uint32_t source, std::vector<uint8_t> bytes);
  // A MIDI clock master at its exact frames: 0xFA at the start of the next cycle, 0xF8 every
  // `framesPerPulse` from a period after it, each moved by a random whole number of frames within
  // +-`jitterFrames`; StopPulses ends it with 0xFC.
  void StartPulses(uint32_t source, double framesPerPulse, uint32_t jitterFrames);
  void StopPulses();
  std::vector<PeerEvent> Received();
  // Waits (bounded) until at least `count` events have arrived; returns them.
  std::vector<PeerEvent> WaitReceived(size_t count, int timeoutMs = 10000);
  // Full names of the ports connected to our port `ownName` ("client:port" each).
  std::vector<std::string> ConnectionsOf(const std::string& ownName) const;
  // Whether a port of that full name exists on the server.
  bool PortExists(const std::string& fullName) const;
  jack_nframes_t FrameTime() const;
};
