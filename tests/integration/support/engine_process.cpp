// Integration-test support. See engine_process.h.
#include "integration/support/engine_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/bus_client.h"

EngineEnv::EngineEnv() {
  char tmpl[] = "/tmp/tovu-test-XXXXXX";
  dir = mkdtemp(tmpl);
  socketPath = dir + "/run/TovuEngine.sock";
  settingsDir = dir + "/settings";
  logPath = dir + "/virtual.log";
  fifoPath = dir + "/virtual.in";
  std::filesystem::create_directories(settingsDir);
  vars["TOVU_MIDI"] = "virtual";
}

EngineEnv::~EngineEnv() {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

void EngineEnv::WriteSetting(const std::string& subPath, const std::string& text) const {
  std::filesystem::path p = std::filesystem::path(settingsDir) / subPath;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

void EngineEnv::Export() const {
  setenv("TOVU_ENGINE_SOCKET", socketPath.c_str(), 1);
  setenv("TOVU_SETTINGS_DIR", settingsDir.c_str(), 1);
  setenv("TOVU_VIRTUAL_LOG", logPath.c_str(), 1);
  setenv("TOVU_VIRTUAL_INPUT", fifoPath.c_str(), 1);
  setenv("TOVU_ENGINE_BINARY", TOVU_ENGINE_BINARY, 1);
  for (auto& [k, v] : vars) setenv(k.c_str(), v.c_str(), 1);
}

pid_t EngineEnv::Start(int stderrFd) const {
  std::string errPath = dir + "/engine.stderr";
  pid_t pid = fork();
  if (pid == 0) {
    Export();
    for (const ResourceLimit& l : limits) {
      rlimit r{static_cast<rlim_t>(l.soft), static_cast<rlim_t>(l.hard)};
      if (setrlimit(l.resource, &r) != 0) _exit(126);
    }
    int err = stderrFd >= 0 ? stderrFd : open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(err, 2);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    execl(TOVU_ENGINE_BINARY, TOVU_ENGINE_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

bool EngineEnv::WaitReady(int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = platform::BusConnect(socketPath);
    if (fd >= 0) {
      platform::CloseFd(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool EngineEnv::Connect(tovu::Client& client, bool startEngine) const {
  tovu::ConnectOptions options;
  options.socketPath = socketPath;
  options.startEngine = startEngine;
  options.enginePath = TOVU_ENGINE_BINARY;
  if (startEngine) Export();
  return tovu::Connect(client, options);
}

bool EngineEnv::ConnectRegistered(tovu::Client& client) const {
  return Connect(client) && tovu::Register(client) == 0;
}

std::vector<std::string> EngineEnv::LogLines() const {
  std::vector<std::string> lines;
  std::ifstream in(logPath);
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    lines.push_back(space == std::string::npos ? line : line.substr(space + 1));
  }
  return lines;
}

std::string EngineEnv::StderrText() const {
  std::ifstream in(dir + "/engine.stderr");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

EngineProcess::~EngineProcess() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int EngineProcess::Wait(int timeoutMs) {
  if (pid <= 0) return -1;
  int status = WaitExit(pid, timeoutMs);
  if (status != -1) pid = -1;
  return status;
}

bool EngineProcess::Running() {
  if (pid <= 0) return false;
  int status;
  pid_t r = waitpid(pid, &status, WNOHANG);
  if (r == 0) return true;
  pid = -1;
  return false;
}

int WaitExit(pid_t pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ProcessAlive(pid_t pid) { return kill(pid, 0) == 0; }

// User + system clock ticks the process has used, or -1.
static long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  long utime = -1, stime = -1;
  for (int i = 3; i <= 15 && fields >> f; ++i) {  // field 3 is the state; 14 utime, 15 stime
    if (i == 14) utime = std::stol(f);
    if (i == 15) stime = std::stol(f);
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

double CpuShare(pid_t pid, int ms) {
  long before = CpuTicks(pid);
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  long after = CpuTicks(pid);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (before < 0 || after < 0) return -1;
  return static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
}

std::vector<std::string> Grep(const std::vector<std::string>& lines, const std::string& needle) {
  std::vector<std::string> out;
  for (auto& l : lines)
    if (l.find(needle) != std::string::npos) out.push_back(l);
  return out;
}

namespace {

uint64_t StatusKiB(pid_t pid, const char* format) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return 0;
  char line[256];
  uint64_t kib = 0;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, format, &kib) == 1) break;
  fclose(f);
  return kib;
}

}  // namespace

uint64_t VirtualMemoryBytes(pid_t pid) { return StatusKiB(pid, "VmSize: %lu kB") * 1024; }
uint64_t ResidentBytes(pid_t pid) { return StatusKiB(pid, "VmRSS: %lu kB") * 1024; }
