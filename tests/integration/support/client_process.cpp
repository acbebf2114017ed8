// Integration-test support: client processes, engine guards and the timed virtual log. See
// client_process.h.
#include "integration/support/client_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "client/tovu_client.h"

namespace {

// Closes every descriptor the child inherited except standard input, output, error and `keep`, so
// that it holds no other process's pipe or connection open.
void CloseInherited(int keepA, int keepB) {
  std::vector<int> fds;
  std::error_code ec;
  for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    int fd = atoi(entry.path().filename().c_str());
    if (fd > 2 && fd != keepA && fd != keepB) fds.push_back(fd);
  }
  for (int fd : fds) close(fd);
}

bool WriteAllTo(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The child's whole life; never returns.
[[noreturn]] void RunChild(const EngineEnv& env, const std::vector<std::vector<uint32_t>>& outputsPerWindow,
                           bool launcher, bool registerFirst, const std::vector<uint32_t>& strikes, int report,
                           int hold) {
  std::vector<tovu::Client> clients(outputsPerWindow.size());
  std::vector<uint32_t> windows;
  bool ok = true;
  for (size_t i = 0; ok && i < clients.size(); ++i) {
    tovu::Client& c = clients[i];
    ok = env.Connect(c, launcher);
    if (ok && (!launcher || registerFirst)) ok = tovu::Register(c) == 0;
    if (ok && !outputsPerWindow[i].empty()) {
      tovu::OpenPortsRequest request;
      request.outputDevices = outputsPerWindow[i];
      tovu::OpenPortsReply reply;
      ok = tovu::OpenPorts(c, request, &reply);
    }
    for (uint32_t event : strikes)
      if (ok) tovu::SendShort(c, event);
    windows.push_back(c.window);
  }
  uint32_t count = ok ? static_cast<uint32_t>(windows.size()) : 0;
  WriteAllTo(report, &count, sizeof count);
  if (count > 0) WriteAllTo(report, windows.data(), 4 * windows.size());
  close(report);
  for (;;) {
    char b;
    ssize_t n = read(hold, &b, 1);
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  _exit(0);
}

// The two pipes a child process is started with: it reports on `report`, and is held at `hold`
// until the parent closes its end. False (nothing left open) when either cannot be made.
bool OpenReportAndHold(int report[2], int hold[2]) {
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  if (pipe2(hold, O_CLOEXEC) == 0) return true;
  close(report[0]);
  close(report[1]);
  return false;
}

bool Spawn(const EngineEnv& env, const std::vector<std::vector<uint32_t>>& outputsPerWindow, bool launcher,
           bool registerFirst, const std::vector<uint32_t>& strikes, ClientProcess* out, int timeoutMs) {
  out->Kill();
  int report[2], hold[2];
  if (!OpenReportAndHold(report, hold)) return false;
  pid_t pid = fork();
  if (pid == 0) {
    CloseInherited(report[1], hold[0]);
    RunChild(env, outputsPerWindow, launcher, registerFirst, strikes, report[1], hold[0]);
  }
  close(report[1]);
  close(hold[0]);
  out->pid = pid;
  out->holdFd = hold[1];
  out->windows.clear();
  if (pid < 0) {
    close(report[0]);
    return false;
  }

  std::vector<uint8_t> got;
  size_t wanted = 4;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < wanted) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) break;
    pollfd p{report[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    uint8_t chunk[4096];
    ssize_t n = read(report[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.insert(got.end(), chunk, chunk + n);
    if (wanted == 4 && got.size() >= 4) {
      uint32_t count;
      memcpy(&count, got.data(), 4);
      wanted = 4 + 4 * static_cast<size_t>(count);
    }
  }
  close(report[0]);
  if (got.size() < wanted || wanted == 4) return false;
  out->windows.resize((wanted - 4) / 4);
  memcpy(out->windows.data(), got.data() + 4, wanted - 4);
  return true;
}

}  // namespace

ClientProcess::ClientProcess(ClientProcess&& other) noexcept { *this = std::move(other); }

ClientProcess& ClientProcess::operator=(ClientProcess&& other) noexcept {
  if (this != &other) {
    Kill();
    pid = other.pid;
    windows = std::move(other.windows);
    holdFd = other.holdFd;
    other.pid = -1;
    other.holdFd = -1;
  }
  return *this;
}

ClientProcess::~ClientProcess() { Kill(); }

void ClientProcess::Kill() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid = -1;
  if (holdFd >= 0) close(holdFd);
  holdFd = -1;
}

bool StartClientProcess(const EngineEnv& env, const std::vector<std::vector<uint32_t>>& outputsPerWindow,
                        ClientProcess* out, int timeoutMs, const std::vector<uint32_t>& strikes) {
  return Spawn(env, outputsPerWindow, false, true, strikes, out, timeoutMs);
}

bool StartPeerProcess(const std::function<void(const PeerReady& ready)>& body, ClientProcess* out, int timeoutMs) {
  out->Kill();
  int report[2], hold[2];
  if (!OpenReportAndHold(report, hold)) return false;
  pid_t pid = fork();
  if (pid == 0) {
    CloseInherited(report[1], hold[0]);
    signal(SIGPIPE, SIG_IGN);
    int reportFd = report[1];
    body([&reportFd](uint32_t window) {
      if (reportFd >= 0) WriteAllTo(reportFd, &window, sizeof window);
      if (reportFd >= 0) close(reportFd);
      reportFd = -1;
    });
    if (reportFd >= 0) close(reportFd);
    for (;;) {
      char b;
      ssize_t n = read(hold[0], &b, 1);
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    _exit(0);
  }
  close(report[1]);
  close(hold[0]);
  out->pid = pid;
  out->holdFd = hold[1];
  out->windows.clear();
  if (pid < 0) {
    close(report[0]);
    return false;
  }
  pollfd p{report[0], POLLIN, 0};
  uint32_t window = 0;
  bool ready = poll(&p, 1, timeoutMs) == 1 && read(report[0], &window, sizeof window) == sizeof window;
  close(report[0]);
  if (ready) out->windows.push_back(window);
  return ready;
}

bool StartLauncherProcess(const EngineEnv& env, bool registerFirst, ClientProcess* out, int timeoutMs) {
  return Spawn(env, {{}}, true, registerFirst, {}, out, timeoutMs);
}

std::vector<LogEntry> ReadTimedLog(const EngineEnv& env) {
  std::vector<LogEntry> entries;
  std::ifstream in(env.logPath);
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    entries.push_back({std::stoll(line.substr(0, space)), line.substr(space + 1)});
  }
  return entries;
}

std::vector<std::string> DataLines(const std::vector<LogEntry>& entries) {
  std::vector<std::string> out;
  for (auto& e : entries)
    if (e.text.rfind("data ", 0) == 0) out.push_back(e.text.substr(5));
  return out;
}

std::vector<LogEntry> DataEntries(const EngineEnv& env, const std::string& output) {
  std::string prefix = output.empty() ? "data " : "data " + output + " ";
  std::vector<LogEntry> out;
  for (LogEntry& e : ReadTimedLog(env))
    if (e.text.rfind(prefix, 0) == 0) out.push_back({e.ns, e.text.substr(5)});
  return out;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool WaitForLogLine(const EngineEnv& env, const std::string& text, int timeoutMs) {
  return WaitUntil(
      [&] {
        for (auto& e : ReadTimedLog(env))
          if (e.text == text) return true;
        return false;
      },
      timeoutMs);
}
