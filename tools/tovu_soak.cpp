// tovu-soak: a long-running load on one engine, to show that nothing a client does leaks. Not part
// of the test suite; scripts/soak.sh runs it.
//
//   tovu-soak [minutes] [clients]     (defaults: 10 minutes, 200 clients)
//
// It starts a private engine (virtual devices, a fresh socket directory), keeps one registered
// anchor client so the engine stays up, and keeps `clients` client processes alive. Each process
// lives client after client: connect, register, open both outputs, send short messages, audition,
// load a song (sometimes a next song too), ask for the port list, and then end that client by
// unregistering, by closing without a word, or by exiting the process with the window open. The
// soak itself SIGKILLs a few random processes at every turn of its loop and starts others in their
// place.
// Every 10 seconds it prints the engine's open descriptors and resident memory; at the end it stops
// every client process, waits for the engine to settle and compares both with the start.
//
// Threads: one (plus the forked client processes).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "platform/posix/bus_client.h"

namespace {

using Clock = std::chrono::steady_clock;

int CountDescriptors(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

long ResidentKiB(pid_t pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  fclose(f);
  return kib;
}

std::vector<uint8_t> Song(std::mt19937& rng) {
  tovu::SongBuilder song;
  int notes = 1 + static_cast<int>(rng() % 200);
  for (int i = 0; i < notes; ++i) {
    uint32_t port = rng() % 2, note = 36 + rng() % 48;
    song.NoteOn(i * 30, port, rng() % 16, note, 1 + rng() % 127);
    song.NoteRelease(i * 30 + 20, port, rng() % 16, note);
  }
  song.Controller(0, 0, 0, 7, 100);
  song.Sysex(0, 1, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
  song.End(notes * 30 + 30);
  return song.Build();
}

// One client process: client lives until killed, or until it ends itself with a window open.
[[noreturn]] void ClientProcess(const std::string& socketPath, unsigned seed) {
  std::mt19937 rng(seed);
  tovu::ConnectOptions options;
  options.socketPath = socketPath;
  options.startEngine = false;
  for (;;) {
    tovu::Client c;
    if (!tovu::Connect(c, options)) _exit(3);
    tovu::Client second;  // sometimes a second window in the same process
    bool two = rng() % 4 == 0 && tovu::Connect(second, options);
    if (tovu::Register(c) != 0) _exit(4);
    if (two) tovu::Register(second);
    tovu::OpenPortsRequest request;
    request.outputDevices = {0, 1};
    tovu::OpenPorts(c, request, nullptr);
    tovu::SendShortList(c, {tovu::PackEvent(0x90, 60, 100, 0), tovu::PackEvent(0x90, 60, 0, 0)});
    tovu::SendShort(c, tovu::PackEvent(0xB1, 7, 90, 1));
    tovu::Audition(c, {tovu::PackEvent(0x90, 64, 80, 1)});
    tovu::LoadSong(c, Song(rng));
    if (rng() % 2) tovu::LoadNextSong(c, Song(rng));
    std::vector<tovu::OutputPortInfo> outs;
    tovu::RequestOutputPorts(c, &outs);
    tovu::PumpMessages(c, static_cast<int>(rng() % 20));
    switch (rng() % 3) {
      case 0:
        tovu::Unregister(c);
        if (two) tovu::Unregister(second);
        break;
      case 1:
        break;  // closed without a word
      default:
        _exit(0);  // the process ends with its windows open
    }
    tovu::Disconnect(c);
    tovu::Disconnect(second);
  }
}

pid_t StartEngine(const std::string& dir, const std::string& enginePath) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("TOVU_ENGINE_SOCKET", (dir + "/run/TovuEngine.sock").c_str(), 1);
    setenv("TOVU_SETTINGS_DIR", (dir + "/settings").c_str(), 1);
    setenv("TOVU_MIDI", "virtual", 1);
    setenv("TOVU_VIRTUAL_OUTPUTS", "2", 1);
    setenv("TOVU_VIRTUAL_INPUTS", "1", 1);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(enginePath.c_str(), enginePath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = argc > 1 ? atof(argv[1]) : 10.0;
  int target = argc > 2 ? atoi(argv[2]) : 200;
  signal(SIGPIPE, SIG_IGN);

  char tmpl[] = "/tmp/tovu-soak-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::string socketPath = dir + "/run/TovuEngine.sock";
  pid_t engine = StartEngine(dir, platform::EngineProgramPath());
  tovu::Client anchor;
  tovu::ConnectOptions options;
  options.socketPath = socketPath;
  options.startEngine = false;
  for (int i = 0; i < 500 && !tovu::Connect(anchor, options); ++i) usleep(10000);
  if (!tovu::Connected(anchor) || tovu::Register(anchor) != 0) {
    fprintf(stderr, "tovu-soak: no engine\n");
    kill(engine, SIGKILL);
    return 1;
  }
  tovu::PumpMessages(anchor, 200);
  anchor.inbox.clear();
  int startFds = CountDescriptors(engine);
  long startRss = ResidentKiB(engine);
  printf("start: %d descriptors, %ld KiB resident; %d client processes for %.1f minutes\n", startFds, startRss,
         target, minutes);
  fflush(stdout);

  std::mt19937 rng(12345);
  std::vector<pid_t> workers;
  long started = 0, killed = 0, ended = 0;
  int peakFds = startFds;
  long peakRss = startRss;
  auto begin = Clock::now();
  auto end = begin + std::chrono::milliseconds(static_cast<long>(minutes * 60000));
  auto nextSample = begin + std::chrono::seconds(10);
  while (Clock::now() < end) {
    while (static_cast<int>(workers.size()) < target) {
      unsigned seed = static_cast<unsigned>(rng());
      pid_t pid = fork();
      if (pid == 0) {
        tovu::Disconnect(anchor);
        ClientProcess(socketPath, seed);
      }
      if (pid < 0) break;
      workers.push_back(pid);
      ++started;
    }
    // A few SIGKILLs per turn, so that killed clients stay a good share of all that die.
    for (int k = static_cast<int>(rng() % 4); k > 0 && !workers.empty(); --k) {
      size_t i = rng() % workers.size();
      kill(workers[i], SIGKILL);
      ++killed;
    }
    int status;
    pid_t done;
    while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
      if (done == engine) {
        fprintf(stderr, "tovu-soak: the engine ended (status %d)\n", status);
        return 1;
      }
      workers.erase(std::remove(workers.begin(), workers.end(), done), workers.end());
      ++ended;
    }
    tovu::PumpMessages(anchor, 5);
    anchor.inbox.clear();
    if (Clock::now() >= nextSample) {
      nextSample += std::chrono::seconds(10);
      int fds = CountDescriptors(engine);
      long rss = ResidentKiB(engine);
      peakFds = std::max(peakFds, fds);
      peakRss = std::max(peakRss, rss);
      long seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count();
      printf("%5lds: %4d descriptors, %6ld KiB resident; processes started %ld, killed %ld, ended %ld\n", seconds, fds,
             rss, started, killed, ended);
      fflush(stdout);
    }
  }

  for (pid_t pid : workers) kill(pid, SIGKILL);
  for (pid_t pid : workers) waitpid(pid, nullptr, 0);
  // The engine unregisters the dead clients as its watcher notices them; wait until it has settled.
  int fds = -1;
  auto settle = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < settle) {
    tovu::PumpMessages(anchor, 200);
    anchor.inbox.clear();
    fds = CountDescriptors(engine);
    if (fds <= startFds) break;
  }
  tovu::PumpMessages(anchor, 500);
  fds = CountDescriptors(engine);
  long rss = ResidentKiB(engine);
  printf("end: %d descriptors (start %d, peak %d), %ld KiB resident (start %ld, peak %ld); %ld client processes, "
         "%ld killed\n",
         fds, startFds, peakFds, rss, startRss, peakRss, started, killed);
  bool engineAlive = tovu::AuditionHoldTime(anchor) == 300;
  tovu::Unregister(anchor);
  tovu::Disconnect(anchor);
  int status = 0;
  waitpid(engine, &status, 0);
  std::filesystem::remove_all(dir);
  // Descriptors must come back exactly; resident memory within what the allocator keeps for reuse.
  bool ok = engineAlive && fds == startFds && rss <= startRss + 16 * 1024 && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0;
  printf("%s\n", ok ? "soak passed" : "soak FAILED");
  return ok ? 0 : 1;
}
