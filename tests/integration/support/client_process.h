// Integration-test support for clients that live in processes of their own (so that a test can
// kill them), for engines that must not outlive a failed test, and for reading the virtual output
// log with its timestamps.
//
// A client process is a fork of the test program: it connects one or more windows to the engine
// with the client library, registers each, opens the given output devices for each, reports the
// windows to the test, and then waits until it is killed or until the test drops it (the test holds
// the only writing end of the pipe it waits on, so it also ends when the test program dies).
//
// Threads: the test thread only; call StartClientProcess while no other thread of the test runs
// (the process is forked).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "integration/support/engine_process.h"

struct ClientProcess {
  pid_t pid = -1;
  std::vector<uint32_t> windows;  // one per connected window, in the order asked for
  int holdFd = -1;                // writing end of the pipe the process waits on

  ClientProcess() = default;
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;
  ClientProcess(ClientProcess&& other) noexcept;
  ClientProcess& operator=(ClientProcess&& other) noexcept;
  ~ClientProcess();  // kills the process if it still runs

  // SIGKILL, then reaps it. Safe to call twice.
  void Kill();
};

// Starts a client process in `env` with one window per entry of `outputsPerWindow`, each opening
// those output device ids and then sending `strikes` (command 18 each). True once every window has
// registered, opened its ports (the open results need not be 0) and sent; false when the process
// could not get that far within timeoutMs.
bool StartClientProcess(const EngineEnv& env, const std::vector<std::vector<uint32_t>>& outputsPerWindow,
                        ClientProcess* out, int timeoutMs = 20000, const std::vector<uint32_t>& strikes = {});

// Starts a process of the test's own that runs `body` (a misbehaving peer speaking raw frames, say)
// and then waits like a client process until it is killed or dropped. `body` calls `ready` with a
// window of its choice once its misbehaviour is under way (kept in out->windows); true once it has
// (false when the process ended first or timeoutMs passed). The child holds none of the test's
// descriptors.
using PeerReady = std::function<void(uint32_t window)>;
bool StartPeerProcess(const std::function<void(const PeerReady& ready)>& body, ClientProcess* out,
                      int timeoutMs = 30000);

// Starts a launcher process: it connects with the client library allowed to start an engine (which
// it then does, with a pipe as the engine's standard error), registers when `registerFirst` is set,
// reports, and waits like a client process.
bool StartLauncherProcess(const EngineEnv& env, bool registerFirst, ClientProcess* out, int timeoutMs = 20000);


// One line of the virtual log: its CLOCK_MONOTONIC time and the rest ("data out0 90 3c 64").
struct LogEntry {
  int64_t ns = 0;
  std::string text;
};
std::vector<LogEntry> ReadTimedLog(const EngineEnv& env);
// The texts of the entries that start with "data " (that prefix removed: "out0 90 3c 64").
std::vector<std::string> DataLines(const std::vector<LogEntry>& entries);
// The data entries of the log (prefix removed), of all outputs or of one ("out1").
std::vector<LogEntry> DataEntries(const EngineEnv& env, const std::string& output = "");
// Polls `condition` every few milliseconds until it holds (true) or timeoutMs has passed (false).
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);
// Waits until the log holds a line equal to `text` (after the timestamp); false on timeout.
bool WaitForLogLine(const EngineEnv& env, const std::string& text, int timeoutMs);
