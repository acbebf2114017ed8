// Test support for the jack service. See jack_server.h.
#include "support/jack_server.h"

#include <fcntl.h>
#include <jack/midiport.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/midi_jack.h"

namespace {

void Quiet(const char*) {}

// Waits for `pid` to end within timeoutMs; true when it has (and is reaped).
bool Reap(pid_t pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Starts `argv` with its standard output on standard error and waits for it. posix_spawn: the
// child execs at once, running nothing of this (instrumented, multithreaded) process.
void RunToStderr(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  pid_t child;
  if (posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) Reap(child, 60000);
  posix_spawn_file_actions_destroy(&actions);
}

// The processes whose parent is this one.
std::vector<pid_t> Children() {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::string file = entry.path().filename().string();
    if (file.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    size_t close = stat.rfind(')');  // the command may hold spaces and parentheses
    if (close == std::string::npos) continue;
    char state;
    int parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == getpid())
      found.push_back(static_cast<pid_t>(std::stoi(file)));
  }
  return found;
}

}  // namespace

struct HangWatch {
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;
  std::thread thread;

  HangWatch() : thread([this] { Run(); }) {}
  ~HangWatch() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    wake.notify_all();
    thread.join();
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    if (wake.wait_for(lock, std::chrono::seconds(JackServer::kHangLimitS), [this] { return done; })) return;
    std::fprintf(stderr, "\nA JACK test has held its server for %d s: it hangs. The stacks follow.\n",
                 JackServer::kHangLimitS);
    std::vector<pid_t> all{getpid()};
    for (pid_t child : Children()) all.push_back(child);
    for (pid_t p : all) {
      std::ifstream in("/proc/" + std::to_string(p) + "/cmdline");
      std::string command;
      std::getline(in, command, '\0');
      std::fprintf(stderr, "---- process %d (%s)\n", static_cast<int>(p), command.c_str());
      std::fflush(stderr);
      RunToStderr({"gdb", "-nx", "-p", std::to_string(p), "-batch", "-ex", "thread apply all bt"});
    }
    for (pid_t child : all)
      if (child != getpid()) kill(child, SIGKILL);
    std::fflush(nullptr);
    _exit(1);
  }
};

namespace {

std::string FindJackd() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  dirs += ":/usr/bin:/usr/sbin";
  size_t begin = 0;
  while (begin <= dirs.size()) {
    size_t colon = dirs.find(':', begin);
    std::string dir = dirs.substr(begin, colon == std::string::npos ? std::string::npos : colon - begin);
    begin = colon == std::string::npos ? dirs.size() + 1 : colon + 1;
    if (dir.empty()) continue;
    std::string candidate = dir + "/jackd";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

jack_client_t* OpenClient(const std::string& server, const char* name, jack_options_t extra) {
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  jack_status_t status;
  return jack_client_open(name, static_cast<jack_options_t>(JackNoStartServer | JackServerName | extra), &status,
                          server.c_str());
}

int PeerProcess(jack_nframes_t nframes, void* arg) {
  JackPeer& p = *static_cast<JackPeer*>(arg);
  jack_nframes_t start = jack_last_frame_time(p.client);
  uint64_t now = jack_get_time();
  // Test code: the test thread holds the mutex only to copy, so waiting for it here is harmless.
  std::lock_guard<std::mutex> lock(p.mutex);
  for (uint32_t i = 0; i < p.sinks.size(); ++i) {
    void* buffer = jack_port_get_buffer(p.sinks[i], nframes);
    platform::jack_midi::JackBufferTake(buffer);
    uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t k = 0; k < count; ++k) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, k) != 0) continue;
      p.received.push_back({i, start + event.time, std::vector<uint8_t>(event.buffer, event.buffer + event.size), now});
    }
    platform::jack_midi::JackBufferLeave(buffer);
  }
  // Cleared after the sinks are read: a sink connected to the peer's own source reads what it
  // wrote in the cycle before.
  for (jack_port_t* port : p.sources) {
    void* buffer = jack_port_get_buffer(port, nframes);
    platform::jack_midi::JackBufferTake(buffer);
    jack_midi_clear_buffer(buffer);
  }
  while (!p.pending.empty()) {
    auto& [source, bytes] = p.pending.front();
    if (source < p.sources.size()) {
      void* buffer = jack_port_get_buffer(p.sources[source], nframes);
      if (jack_midi_event_write(buffer, 0, bytes.data(), bytes.size()) != 0) break;  // full: next cycle
    }
    p.pending.pop_front();
  }
  if (p.pulseSource >= 0 && static_cast<uint32_t>(p.pulseSource) < p.sources.size()) {
    void* buffer = jack_port_get_buffer(p.sources[p.pulseSource], nframes);
    auto jitter = [&p] {
      const int32_t j = static_cast<int32_t>(p.pulseJitter);
      return std::uniform_int_distribution<int32_t>(-j, j)(p.pulseRandom);
    };
    const uint8_t kStart = 0xFA, kPulse = 0xF8, kStop = 0xFC;
    // (Written after any pending event at offset 0: offsets never go back within a cycle.)
    if (!p.pulseStarted) {
      jack_midi_event_write(buffer, 0, &kStart, 1);
      p.pulseStarted = true;
      p.pulseGrid = static_cast<double>(start + nframes);
      p.pulseAt = std::llround(p.pulseGrid) + jitter();
    }
    while (!p.pulseStopping && p.pulseAt < static_cast<int64_t>(start) + nframes) {
      const int64_t offset = std::max<int64_t>(0, p.pulseAt - start);
      jack_midi_event_write(buffer, static_cast<jack_nframes_t>(offset), &kPulse, 1);
      p.pulseGrids.push_back(p.pulseGrid);
      p.pulseGrid += p.pulseStep;
      p.pulseAt = std::llround(p.pulseGrid) + jitter();
    }
    if (p.pulseStopping) {
      jack_midi_event_write(buffer, nframes - 1, &kStop, 1);
      p.pulseSource = -1;
    }
  }
  for (jack_port_t* port : p.sources) platform::jack_midi::JackBufferLeave(jack_port_get_buffer(port, nframes));
  return 0;
}

}  // namespace

bool JackServer::Start(int timeoutMs) {
  static std::atomic<int> counter{0};
  if (lockFd < 0) {
    lockFd = open("/tmp/tovu-jack-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLockWaitS);
    while (lockFd >= 0 && flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        std::fprintf(stderr, "the JACK tests' lock was held for %d s: going on without it\n", kLockWaitS);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  if (!watch && watchForHang) watch = new HangWatch;
  std::string jackd = FindJackd();
  if (jackd.empty()) {
    failure = "jackd is not installed";
    return false;
  }
  if (name.empty()) name = "tovu-test-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
  std::string log = "/tmp/" + name + ".log";
  pid_t parent = getpid();
  pid = fork();
  if (pid < 0) {
    failure = "fork failed";
    return false;
  }
  if (pid == 0) {
    // A test program that dies (a sanitizer's abort, a time-out) takes its server with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    int devnull = open("/dev/null", O_RDWR);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(devnull, 0);
    dup2(out >= 0 ? out : devnull, 1);
    dup2(out >= 0 ? out : devnull, 2);
    execl(jackd.c_str(), jackd.c_str(), "-n", name.c_str(), "-S", "-d", "dummy", "-r", "48000", "-p", "256",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  bool started = WaitStarted(timeoutMs);
  if (!started) {
    std::ifstream in(log);
    std::string line, before, last;  // jackd's last two lines say why
    while (std::getline(in, line)) {
      if (line.empty() || line.find("no message buffer overruns") != std::string::npos) continue;
      before = last;
      last = line;
    }
    if (!last.empty()) failure += " (jackd: " + before + (before.empty() ? "" : "; ") + last + ")";
  }
  unlink(log.c_str());
  return started;
}

bool JackServer::WaitStarted(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (jack_client_t* probe = OpenClient(name, "tovu-probe", JackNullOption)) {
      jack_client_close(probe);
      return true;
    }
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      failure = "jackd ended at start-up";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  failure = "jackd did not answer within " + std::to_string(timeoutMs) + " ms";
  Stop();
  return false;
}

void JackServer::Stop() {
  if (killed && pid <= 0) {
    // A server that was killed never took its name out of the machine's JACK server registry, which
    // has room for 8; a server started again under the same name reclaims the entry, and ended
    // properly, frees it.
    killed = false;
    RemoveFiles();
    Start(5000);
  }
  if (pid > 0) {
    kill(pid, SIGTERM);
    if (!Reap(pid, 3000)) {
      kill(pid, SIGKILL);
      Reap(pid, 3000);
    }
    pid = -1;
  }
  if (!name.empty()) {
    RemoveFiles();
    name.clear();
  }
  if (lockFd >= 0) {
    close(lockFd);  // gives the machine-wide lock back
    lockFd = -1;
  }
  delete watch;
  watch = nullptr;
}

void JackServer::RemoveFiles() {
  // A killed server leaves its sockets and semaphores behind.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    std::string file = entry.path().filename().string();
    if (file.find("_" + name + "_") != std::string::npos) std::filesystem::remove_all(entry.path(), ec);
  }
}

void JackServer::Kill() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  Reap(pid, 3000);
  pid = -1;
  killed = true;
}

bool JackServer::Restart(int timeoutMs) {
  killed = false;
  RemoveFiles();
  return Start(timeoutMs);
}

bool JackPeer::Open(const std::string& server, const std::string& name, const std::vector<std::string>& sinkNames,
                    const std::vector<std::string>& sourceNames, bool activate) {
  client = OpenClient(server, name.c_str(), JackUseExactName);
  if (!client) return false;
  clientName = jack_get_client_name(client);
  rate = jack_get_sample_rate(client);
  period = jack_get_buffer_size(client);
  for (const std::string& n : sinkNames) {
    jack_port_t* port = jack_port_register(client, n.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!port) return false;
    sinks.push_back(port);
  }
  for (const std::string& n : sourceNames) {
    jack_port_t* port = jack_port_register(client, n.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!port) return false;
    sources.push_back(port);
  }
  received.reserve(1 << 16);
  return jack_set_process_callback(client, PeerProcess, this) == 0 && (!activate || Activate());
}

bool JackPeer::Activate() { return jack_activate(client) == 0; }

void JackPeer::Close() {
  if (!client) return;
  jack_deactivate(client);
  jack_client_close(client);
  client = nullptr;
}

void JackPeer::Send(uint32_t source, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex);
  pending.emplace_back(source, std::move(bytes));
}

void JackPeer::StartPulses(uint32_t source, double framesPerPulse, uint32_t jitterFrames) {
  std::lock_guard<std::mutex> lock(mutex);
  pulseSource = static_cast<int32_t>(source);
  pulseStarted = pulseStopping = false;
  pulseStep = framesPerPulse;
  pulseJitter = jitterFrames;
  pulseGrids.clear();
}

void JackPeer::StopPulses() {
  std::lock_guard<std::mutex> lock(mutex);
  if (pulseSource >= 0) pulseStopping = true;
}

std::vector<PeerEvent> JackPeer::Received() {
  std::lock_guard<std::mutex> lock(mutex);
  return received;
}

std::vector<PeerEvent> JackPeer::WaitReceived(size_t count, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<PeerEvent> events = Received();
    if (events.size() >= count || std::chrono::steady_clock::now() >= deadline) return events;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<std::string> JackPeer::ConnectionsOf(const std::string& ownName) const {
  std::vector<std::string> names;
  jack_port_t* port = jack_port_by_name(client, (clientName + ":" + ownName).c_str());
  if (!port) return names;
  const char** connections = jack_port_get_all_connections(client, port);
  if (!connections) return names;
  for (size_t i = 0; connections[i]; ++i) names.emplace_back(connections[i]);
  jack_free(connections);
  return names;
}

bool JackPeer::PortExists(const std::string& fullName) const {
  return jack_port_by_name(client, fullName.c_str()) != nullptr;
}

jack_nframes_t JackPeer::FrameTime() const { return jack_frame_time(client); }
