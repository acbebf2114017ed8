// Benchmarks' engine processes: an engine of its own in a fresh directory, with the virtual service
// (its input read from a FIFO there, its output logged nowhere, its standard streams on /dev/null),
// settings written before it starts, and clients connected to it. Shared by the benchmarks that
// measure an engine over the bus.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "client/tovu_client.h"

// An engine process with the virtual service in `dir`, its input read from `fifoPath`.
inline pid_t ForkEngine(const std::string& dir, const std::string& socketPath, const std::string& fifoPath) {
  setenv("TOVU_ENGINE_SOCKET", socketPath.c_str(), 1);
  setenv("TOVU_SETTINGS_DIR", (dir + "/settings").c_str(), 1);
  setenv("TOVU_MIDI", "virtual", 1);
  setenv("TOVU_VIRTUAL_INPUT", fifoPath.c_str(), 1);
  unsetenv("TOVU_VIRTUAL_LOG");
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(TOVU_ENGINE_BINARY, TOVU_ENGINE_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// An engine process of its own and a registered client of it.
struct EngineChild {
  pid_t pid = -1;
  std::string dir, socketPath, fifoPath;
  tovu::Client c;
};

// Connects and registers `client` to the child's engine, trying for up to ten seconds.
inline bool ConnectToChild(const EngineChild& e, tovu::Client& client) {
  tovu::ConnectOptions options;
  options.socketPath = e.socketPath;
  options.startEngine = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!tovu::Connect(client, options) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return tovu::Connected(client) && tovu::Register(client) == 0;
}

// Starts the engine with `settings` (sub-key path with '/' separators -> text) in its store; false
// when it does not answer.
inline bool StartEngineChild(EngineChild* e, const std::map<std::string, std::string>& settings = {}) {
  char tmpl[] = "/tmp/tovu-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  e->dir = tmpl;
  e->socketPath = e->dir + "/run/TovuEngine.sock";
  e->fifoPath = e->dir + "/virtual.in";
  for (const auto& [path, text] : settings) {
    std::filesystem::path p = std::filesystem::path(e->dir) / "settings" / path;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  e->pid = ForkEngine(e->dir, e->socketPath, e->fifoPath);
  return ConnectToChild(*e, e->c);
}

inline void EndEngineChild(EngineChild* e) {
  tovu::Unregister(e->c);
  tovu::Disconnect(e->c);
  if (e->pid > 0) waitpid(e->pid, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(e->dir, ignored);
}

// An engine the client library starts itself (TOVU_BENCH_ENGINE, or this build's), in a fresh
// directory, on whatever MIDI service the environment names, with `client` registered to it. The
// client is the engine's last: End unregisters it, so the engine closes by itself.
struct LaunchedEngine {
  std::string dir, socketPath;
  tovu::Client client;
};

inline bool LaunchEngine(LaunchedEngine* e) {
  char tmpl[] = "/tmp/tovu-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  e->dir = tmpl;
  e->socketPath = e->dir + "/TovuEngine.sock";
  setenv("TOVU_ENGINE_SOCKET", e->socketPath.c_str(), 1);
  setenv("TOVU_SETTINGS_DIR", (e->dir + "/settings").c_str(), 1);
  tovu::ConnectOptions options;
  options.socketPath = e->socketPath;
  options.startEngine = true;
  const char* other = std::getenv("TOVU_BENCH_ENGINE");
  options.enginePath = other && *other ? other : TOVU_ENGINE_BINARY;
  return tovu::Connect(e->client, options) && tovu::Register(e->client) == 0;
}

// Unregisters the client, waits (bounded) for the engine's socket to go, and removes the directory.
inline void EndLaunchedEngine(LaunchedEngine* e) {
  tovu::Unregister(e->client);
  tovu::Disconnect(e->client);
  for (int i = 0; i < 500 && std::filesystem::exists(e->socketPath); ++i) usleep(10000);
  std::error_code ignored;
  std::filesystem::remove_all(e->dir, ignored);
}
