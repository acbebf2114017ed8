// bench_bus: the round-trip time of a synchronous engine command over the engine bus (command 3,
// a 36-byte SEND answered by a 36-byte REPLY) beside a bare Unix-socket ping-pong of the same frame
// size between two processes, measured in the same run with rounds of the two interleaved.
//
// It starts its own engine (TOVU_ENGINE_BINARY) in a fresh temporary directory and closes it at the
// end. Usage: bench_bus [round trips per round, default 20000] [rounds, default 5]
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/tovu_client.h"

namespace {

constexpr size_t kFrameBytes = 36;

using Clock = std::chrono::steady_clock;

double Ns(Clock::duration d) { return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()); }

bool ReadExactly(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteExactly(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = write(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The baseline: a child process echoes 36-byte messages on a connected Unix stream socket pair.
struct PingPong {
  int fd = -1;
  pid_t child = -1;

  bool Start() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    child = fork();
    if (child == 0) {
      close(sv[0]);
      uint8_t buffer[kFrameBytes];
      while (ReadExactly(sv[1], buffer, sizeof buffer) && WriteExactly(sv[1], buffer, sizeof buffer)) {
      }
      _exit(0);
    }
    close(sv[1]);
    fd = sv[0];
    return child > 0;
  }
  bool RoundTrip() {
    uint8_t buffer[kFrameBytes] = {32};
    return WriteExactly(fd, buffer, sizeof buffer) && ReadExactly(fd, buffer, sizeof buffer);
  }
  void Stop() {
    close(fd);
    int status;
    waitpid(child, &status, 0);
  }
};

struct Stats {
  double median;
  double p99;
  double mean;
};

Stats Summarise(std::vector<double> ns) {
  std::sort(ns.begin(), ns.end());
  double sum = 0;
  for (double v : ns) sum += v;
  return {ns[ns.size() / 2], ns[std::min(ns.size() - 1, ns.size() * 99 / 100)], sum / static_cast<double>(ns.size())};
}

pid_t StartEngine(const std::string& dir) {
  pid_t pid = fork();
  if (pid == 0) {
    // Standard error on /dev/null: the start-up handle is never signalled, so the engine stays
    // until it is told to close.
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(TOVU_ENGINE_BINARY, TOVU_ENGINE_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  int perRound = argc > 1 ? std::max(100, atoi(argv[1])) : 20000;
  int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;

  char tmpl[] = "/tmp/tovu-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    return 1;
  }
  std::string dir = tmpl;
  std::string socketPath = dir + "/run/TovuEngine.sock";
  setenv("TOVU_ENGINE_SOCKET", socketPath.c_str(), 1);
  setenv("TOVU_SETTINGS_DIR", (dir + "/settings").c_str(), 1);
  setenv("TOVU_MIDI", "virtual", 1);
  unsetenv("TOVU_VIRTUAL_LOG");
  unsetenv("TOVU_VIRTUAL_INPUT");

  pid_t engine = StartEngine(dir);
  tovu::Client c;
  tovu::ConnectOptions options;
  options.socketPath = socketPath;
  options.startEngine = false;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!tovu::Connect(c, options) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!tovu::Connected(c)) {
    fprintf(stderr, "bench_bus: the engine did not answer\n");
    kill(engine, SIGKILL);
    return 1;
  }
  PingPong bare;
  if (!bare.Start()) {
    perror("bench_bus: socketpair");
    return 1;
  }

  // Warm-up of both paths.
  for (int i = 0; i < 2000; ++i) {
    tovu::AuditionHoldTime(c);
    bare.RoundTrip();
  }

  std::vector<double> busNs, bareNs;
  busNs.reserve(static_cast<size_t>(perRound) * rounds);
  bareNs.reserve(static_cast<size_t>(perRound) * rounds);
  int failures = 0;
  for (int r = 0; r < rounds; ++r) {
    for (int i = 0; i < perRound; ++i) {
      auto t0 = Clock::now();
      bool ok = bare.RoundTrip();
      bareNs.push_back(Ns(Clock::now() - t0));
      if (!ok) ++failures;
    }
    for (int i = 0; i < perRound; ++i) {
      auto t0 = Clock::now();
      int32_t hold = tovu::AuditionHoldTime(c);
      busNs.push_back(Ns(Clock::now() - t0));
      if (hold != 300) ++failures;
    }
  }
  bare.Stop();
  tovu::CloseEngine(c);
  tovu::Disconnect(c);
  int status = 0;
  waitpid(engine, &status, 0);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);

  Stats bus = Summarise(busNs), base = Summarise(bareNs);
  printf("bench_bus: %d rounds x %d round trips each, interleaved; %u CPUs\n", rounds, perRound,
         std::thread::hardware_concurrency());
  printf("  %-62s median %7.2f us  p99 %7.2f us  mean %7.2f us\n",
         "baseline: bare Unix-socket ping-pong, 36 B each way, 2 processes", base.median / 1000, base.p99 / 1000,
         base.mean / 1000);
  printf("  %-62s median %7.2f us  p99 %7.2f us  mean %7.2f us\n", "engine bus: synchronous command 3 (SEND 36 B, REPLY 36 B)",
         bus.median / 1000, bus.p99 / 1000, bus.mean / 1000);
  printf("  ratio bus / baseline: median %.2fx, p99 %.2fx (aim: median within 2x)\n", bus.median / base.median,
         bus.p99 / base.p99);
  if (failures) printf("  %d round trips failed or returned a wrong hold time\n", failures);
  return failures ? 1 : 0;
}
