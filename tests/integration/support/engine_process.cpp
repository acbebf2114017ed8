// Integration-test support. See engine_process.h.
#include "integration/support/engine_process.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/ioctl.h>
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

#include "platform/posix/bus_client.h"

EngineEnv::EngineEnv() {
  char tmpl[] = "/tmp/tovu-test-XXXXXX";
  dir = mkdtemp(tmpl);
  socketPath = dir + "/run/TovuEngine.sock";
  settingsDir = dir + "/settings";
  logPath = dir + "/virtual.log";
  fifoPath = dir + "/virtual.in";
  controlPath = dir + "/virtual.ctl";
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
  setenv("TOVU_VIRTUAL_CONTROL", controlPath.c_str(), 1);
  setenv("TOVU_ENGINE_BINARY", TOVU_ENGINE_BINARY, 1);
  for (auto& [k, v] : vars) setenv(k.c_str(), v.c_str(), 1);
}

namespace {

// How a process is started in an environment: its program and arguments, where its output and
// errors go, and whether it waits at a gate and takes the environment's resource limits.
struct Launch {
  const char* binary = TOVU_ENGINE_BINARY;
  std::vector<std::string> args;
  std::string outPath = "/dev/null";
  std::string errPath;
  int errFd = -1;       // used instead of errPath when >= 0
  bool truncate = false;  // errPath: truncated, else appended to
  int gateFd = -1;
  bool limits = false;
  int terminalFd = -1;  // >= 0: standard output is this terminal (the pseudo-terminal's other side)
  std::string inPath;   // standard input; empty: /dev/null
};

pid_t Fork(const EngineEnv& env, const Launch& l) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (l.gateFd >= 0) {
    char byte;
    while (read(l.gateFd, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  env.Export();
  if (l.limits)
    for (const ResourceLimit& r : env.limits) {
      rlimit limit{static_cast<rlim_t>(r.soft), static_cast<rlim_t>(r.hard)};
      if (setrlimit(r.resource, &limit) != 0) _exit(126);
    }
  int mode = O_WRONLY | O_CREAT | (l.truncate ? O_TRUNC : O_APPEND);
  if (l.errFd != EngineEnv::kStderrClosed) dup2(l.errFd >= 0 ? l.errFd : open(l.errPath.c_str(), mode, 0600), 2);
  if (l.terminalFd >= 0) {
    setsid();
    ioctl(l.terminalFd, TIOCSCTTY, 0);
    dup2(l.terminalFd, 1);
  } else {
    dup2(open(l.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
  }
  dup2(open(l.inPath.empty() ? "/dev/null" : l.inPath.c_str(), O_RDONLY), 0);
  if (l.errFd == EngineEnv::kStderrClosed) close(2);  // last: the opens above may have taken it
  std::vector<char*> argv{const_cast<char*>(l.binary)};
  for (const std::string& a : l.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(l.binary, argv.data());
  _exit(127);
}

}  // namespace

pid_t EngineEnv::Start(int stderrFd, int gateFd) const {
  Launch l;
  l.errPath = dir + "/engine.stderr";
  l.errFd = stderrFd;
  l.gateFd = gateFd;
  l.limits = true;
  return Fork(*this, l);
}

pid_t EngineEnv::StartCtl(const std::vector<std::string>& args, const std::string& name, const std::string& inPath) const {
  Launch l;
  l.binary = TOVU_CTL_BINARY;
  l.args = args;
  l.outPath = dir + "/" + name + ".out";
  l.errPath = dir + "/" + name + ".err";
  l.truncate = true;
  l.inPath = inPath;
  return Fork(*this, l);
}

int EngineEnv::RunCtl(const std::vector<std::string>& args, int timeoutMs) const {
  return WaitExit(StartCtl(args), timeoutMs);
}

int EngineEnv::RunCtlOnTerminal(const std::vector<std::string>& args, int columns, std::string* shown,
                                int timeoutMs) const {
  shown->clear();
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    close(master);
    return -1;
  }
  winsize size{};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  ioctl(slave, TIOCSWINSZ, &size);
  Launch l;
  l.binary = TOVU_CTL_BINARY;
  l.args = args;
  l.errPath = dir + "/ctl.err";
  l.truncate = true;
  l.terminalFd = slave;
  pid_t pid = Fork(*this, l);
  close(slave);
  // Read until the terminal's last writer has gone (the read fails with EIO then).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    shown->append(buffer, static_cast<size_t>(n));
  }
  close(master);
  return WaitExit(pid, 5000);
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

namespace {

// One line to a FIFO that the engine has made and reads (never a file made here by the open).
bool WriteFifoLine(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  std::string text = line + "\n";
  bool ok = fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode) &&
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

}  // namespace

bool EngineEnv::Control(const std::string& line) const { return WriteFifoLine(controlPath, line); }
bool EngineEnv::Input(const std::string& line) const { return WriteFifoLine(fifoPath, line); }

std::string EngineEnv::StderrText() const { return ReadText(dir + "/engine.stderr"); }

bool OpenPorts(tovu::Client& client, const std::vector<uint32_t>& outputs, int32_t input, uint32_t inputFlags,
               tovu::OpenPortsReply* reply) {
  tovu::OpenPortsRequest request;
  request.outputDevices = outputs;
  request.inputDevice = input;
  request.inputFlags = inputFlags;
  tovu::OpenPortsReply local;
  return tovu::OpenPorts(client, request, reply ? reply : &local);
}

namespace {

template <typename Port>
std::vector<bool> HandlesSet(const std::vector<Port>& ports) {
  std::vector<bool> open;
  for (const Port& p : ports) open.push_back(p.handle != 0);
  return open;
}

}  // namespace

std::vector<bool> OutputsOpen(tovu::Client& client) {
  std::vector<tovu::OutputPortInfo> ports;
  tovu::RequestOutputPorts(client, &ports);
  return HandlesSet(ports);
}

std::vector<bool> InputsOpen(tovu::Client& client) {
  std::vector<tovu::InputPortInfo> ports;
  tovu::RequestInputPorts(client, &ports);
  return HandlesSet(ports);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
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

bool EngineProcess::Start(const EngineEnv& env, int timeoutMs) {
  pid = env.Start();
  return pid > 0 && env.WaitReady(timeoutMs);
}

bool EngineProcess::StartRegistered(const EngineEnv& env, tovu::Client& client) {
  return Start(env) && env.ConnectRegistered(client);
}

int EngineProcess::EndWith(tovu::Client& last, int timeoutMs) {
  int32_t result = tovu::Unregister(last);
  return result != 0 ? 1000 + result : Wait(timeoutMs);
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
