// Integration-test support: a private engine environment (socket, settings root, virtual device
// log and input FIFO in a fresh temporary directory), engine and tovu-ctl processes started in it
// (the one place that forks and execs them), clients connected to it, and a reader of the virtual
// output log.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/tovu_client.h"

// A resource limit (setrlimit) for engines started by EngineEnv::Start.
struct ResourceLimit {
  int resource = 0;
  uint64_t soft = 0;
  uint64_t hard = 0;
};

struct EngineEnv {
  std::string dir;  // fresh temporary directory, removed at destruction
  std::string socketPath;
  std::string settingsDir;
  std::string logPath;
  std::string fifoPath;
  std::string controlPath;  // the virtual control FIFO (`add out NAME` ...)
  std::map<std::string, std::string> vars;  // extra environment (TOVU_MIDI, TOVU_VIRTUAL_OUTPUTS, ...)
  std::vector<ResourceLimit> limits;         // applied to the engines Start starts

  EngineEnv();
  ~EngineEnv();

  // Writes a settings file (sub-key path with '/' separators) holding `text`.
  void WriteSetting(const std::string& subPath, const std::string& text) const;
  // Starts an engine process in this environment. Its standard error goes to `stderrFd` when given
  // (>= 0), else to a file in the directory; kStderrClosed leaves descriptor 2 closed, as a launcher
  // that closes it would. With `gateFd` (>= 0) the process waits for one byte on it before it
  // execs, so that several can be let go at the same instant. Returns the pid.
  static constexpr int kStderrClosed = -2;
  pid_t Start(int stderrFd = -1, int gateFd = -1) const;
  // Starts tovu-ctl with `args`, its output and errors to <dir>/<name>.out and .err.
  // Standard input is `inPath` (a FIFO the test writes keys to), else /dev/null.
  pid_t StartCtl(const std::vector<std::string>& args, const std::string& name = "ctl", const std::string& inPath = "") const;
  // Runs tovu-ctl to its end: its exit status, or -1 when it has not ended within timeoutMs.
  int RunCtl(const std::vector<std::string>& args, int timeoutMs = 60000) const;
  // Runs tovu-ctl with a terminal `columns` wide as its standard output: its exit status, and what it
  // wrote there in `shown` (the terminal turns each "\n" into "\r\n"). Errors go to <dir>/ctl.err.
  int RunCtlOnTerminal(const std::vector<std::string>& args, int columns, std::string* shown,
                       int timeoutMs = 60000) const;
  // Waits until the bus socket answers (true) or the time is up.
  bool WaitReady(int timeoutMs = 5000) const;
  // Connects a client to this engine (never starts one unless startEngine is set).
  bool Connect(tovu::Client& client, bool startEngine = false) const;
  // Connects and registers (engine command 0 answered with 0).
  bool ConnectRegistered(tovu::Client& client) const;
  // The data lines of the virtual log so far, without the timestamp ("data out0 90 3c 64",
  // "open out1", ...).
  std::vector<std::string> LogLines() const;
  // Writes one line to the virtual control FIFO (which the engine makes): `add out NAME`, ...
  // False when no engine reads it (the FIFO is not there yet, or nobody has it open).
  bool Control(const std::string& line) const;
  // Writes one line to the virtual input FIFO: `<input id> <hex bytes>`.
  bool Input(const std::string& line) const;
  // Sets the variables of this environment in the current process (for the client library's own
  // engine start).
  void Export() const;
  std::string StderrText() const;
};

// Opens ports for a client: the given output device ids, and the input device (-1: none) with
// `inputFlags`. True when the reply arrived (whatever its results); the reply is kept in `reply`.
bool OpenPorts(tovu::Client& client, const std::vector<uint32_t>& outputs, int32_t input = -1,
               uint32_t inputFlags = 1, tovu::OpenPortsReply* reply = nullptr);

// Which output (input) ports the engine's port list shows open, in device order.
std::vector<bool> OutputsOpen(tovu::Client& client);
std::vector<bool> InputsOpen(tovu::Client& client);

// An engine process that a failing test never leaves behind: killed and reaped at destruction
// unless Wait has already seen it end.
struct EngineProcess {
  pid_t pid = -1;
  EngineProcess() = default;
  explicit EngineProcess(pid_t p) : pid(p) {}
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;
  ~EngineProcess();
  // Starts an engine in `env` and waits until its bus answers (false when it does not in time).
  bool Start(const EngineEnv& env, int timeoutMs = 5000);
  // Starts it and connects and registers `client`.
  bool StartRegistered(const EngineEnv& env, tovu::Client& client);
  // Unregisters `last`, the last client, and waits for the engine to close by itself: 0 when both
  // went as they should (else the exit status, or 1000 + the unregistration's result).
  int EndWith(tovu::Client& last, int timeoutMs = 10000);
  // The exit status (128 + signal when killed), or -1 when it has not ended within timeoutMs.
  int Wait(int timeoutMs);
  bool Running();  // not ended yet (a zombie counts as ended and is reaped)
};

// Waits for a process to end; returns its exit status (or 128 + signal), -1 on timeout.
int WaitExit(pid_t pid, int timeoutMs);
bool ProcessAlive(pid_t pid);
// The share of one CPU the process used over the next `ms` milliseconds (user + system time from
// /proc/<pid>/stat); -1 when it cannot be read.
double CpuShare(pid_t pid, int ms);
// The whole content of a file ("" when it cannot be read).
std::string ReadText(const std::string& path);
// Lines of `lines` that contain `needle`.
std::vector<std::string> Grep(const std::vector<std::string>& lines, const std::string& needle);

// VmSize and VmRSS of a process, in bytes (0 when they cannot be read).
uint64_t VirtualMemoryBytes(pid_t pid);
uint64_t ResidentBytes(pid_t pid);
