// bench_neighbours: what misbehaving neighbours cost a well-behaved client. For each attack, a fresh
// engine (TOVU_ENGINE_BINARY, or the path in TOVU_BENCH_ENGINE) with virtual devices; the attack runs
// in processes of its own (forked before the probe starts), and the probe (neighbours_probe.h) plays
// its song, asks, posts, and reports, beside the same run alone:
//
//   alone                       nobody else
//   40 windows answer after 1.9s  one process, 40 connections: each asks for the port list, answers
//                               the engine's answer after 1.9 s, and asks again
//   40 windows never answer     one process, 40 connections asking once and never replying
//   1 window answers after 1.9s one connection asking again after each late answer
//   answers 1.9s, 2.1s, at once one connection, its answers late, too late and prompt in turn
//   answers every other send    one connection, every other answer never given
//   unknown REPLY before asking one connection that never answers but writes a REPLY with an id the
//                               engine never sent before each request
//   posted WM_CLOSE in a wait   the probe posts WM_CLOSE 100 ms after a slow window (1.9 s) began
//                               its answer: notes sounded after it and the engine's end are reported
//   1500 idle + 5 never read    one process: 1,500 idle connections and 5 that post port-list
//                               requests without reading; the probe records (an 80 KB take)
//   1500 idle + 3 x 64 MiB      one process: 1,500 idle connections and 3 frames announcing 64 MiB;
//                               the probe first loads a 600 KiB song (its load time is reported)
//   8000 idle connections       one process trying 8,000 connections; then 32 processes of 250
//   stop of a slow player       the probe stops another client's playback (command 5), a client
//                               that answers late, every other time, or has stopped reading
//   stop of a deaf recorder     the probe stops the playback of a recording client that has stopped
//                               reading, 40,000 input events recorded
//
// Usage: bench_neighbours [seconds per attack, default 6] [only attacks whose name contains this]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/neighbours_probe.h"
#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "platform/posix/bus_client.h"
#include "platform/event.h"
#include "platform/wire.h"

namespace {

using platform::FrameHeader;

// ---- The engine and its environment ----

struct Env {
  std::string dir, socket, log, fifo, settings;
  pid_t engine = -1;

  Env() {
    char tmpl[] = "/tmp/tovu-bench-neighbours-XXXXXX";
    dir = mkdtemp(tmpl);
    socket = dir + "/run/TovuEngine.sock";
    log = dir + "/virtual.log";
    fifo = dir + "/virtual.in";
    settings = dir + "/settings";
    std::filesystem::create_directories(settings);
    setenv("TOVU_ENGINE_SOCKET", socket.c_str(), 1);
    setenv("TOVU_SETTINGS_DIR", settings.c_str(), 1);
    setenv("TOVU_VIRTUAL_LOG", log.c_str(), 1);
    setenv("TOVU_VIRTUAL_INPUT", fifo.c_str(), 1);
    setenv("TOVU_MIDI", "virtual", 1);
  }
  ~Env() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  bool Start() {
    const char* binary = std::getenv("TOVU_BENCH_ENGINE");
    std::string path = binary && *binary ? binary : TOVU_ENGINE_BINARY;
    engine = fork();
    if (engine == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      int fd = platform::BusConnect(socket);
      if (fd >= 0) {
        platform::CloseFd(fd);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Waits for the engine to end, at most `ms`; its time to end in ms, or -1 (then it is killed).
  double WaitEnd(int ms) {
    if (engine < 0) return 0;
    int64_t from = platform::MonotonicNs();
    while (platform::MonotonicNs() - from < static_cast<int64_t>(ms) * 1000000) {
      int status;
      if (waitpid(engine, &status, WNOHANG) == engine) {
        engine = -1;
        return static_cast<double>(platform::MonotonicNs() - from) / 1e6;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Stop();
    return -1;
  }

  void Stop() {
    if (engine < 0) return;
    kill(engine, SIGKILL);
    waitpid(engine, nullptr, 0);
    engine = -1;
  }
};

bool Connect(const Env& env, tovu::Client& c) {
  tovu::ConnectOptions options;
  options.socketPath = env.socket;
  options.startEngine = false;
  return tovu::Connect(c, options);
}

// The probe's client: registered, outputs 0 and 1 open (and input 0 when it records).
bool ProbeClient(const Env& env, tovu::Client& c, bool record) {
  if (!Connect(env, c) || tovu::Register(c) != 0) return false;
  tovu::OpenPortsRequest open;
  open.outputDevices = {0, 1};
  if (record) open.inputDevice = 0;
  tovu::OpenPortsReply reply;
  return tovu::OpenPorts(c, open, &reply);
}

// ---- Attackers: processes of their own, speaking raw frames ----

struct Raw {
  int fd = -1;
  uint32_t window = 0, engine = 0;
  std::vector<uint8_t> in;
  uint32_t nextId = 1;
};

bool Write(Raw& r, const FrameHeader& h, const void* payload = nullptr, uint32_t size = 0) {
  std::vector<uint8_t> frame;
  platform::AppendFrame(frame, h, payload, size);
  return platform::WriteAll(r.fd, frame.data(), frame.size());
}

// Takes the complete frames out of what was read.
std::vector<FrameHeader> Frames(Raw& r) {
  std::vector<FrameHeader> out;
  size_t at = 0;
  while (r.in.size() - at >= platform::kFrameHeaderSize) {
    FrameHeader h = platform::DecodeHeader(r.in.data() + at);
    size_t total = 4 + static_cast<size_t>(h.size);
    if (r.in.size() - at < total) break;
    out.push_back(h);
    at += total;
  }
  r.in.erase(r.in.begin(), r.in.begin() + static_cast<ptrdiff_t>(at));
  return out;
}

bool Open(const std::string& socket, Raw& r) {
  r.fd = platform::BusConnect(socket);
  if (r.fd < 0) return false;
  while (r.window == 0) {
    uint8_t buffer[4096];
    long n = platform::ReadSome(r.fd, buffer, sizeof buffer, 5000);
    if (n <= 0) return false;
    r.in.insert(r.in.end(), buffer, buffer + n);
    for (const FrameHeader& h : Frames(r))
      if (h.kind == platform::kFrameHello) {
        r.engine = h.wParam;
        r.window = h.lParam;
      }
  }
  return true;
}

FrameHeader Ask(Raw& r, uint32_t kind, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData = 0) {
  return platform::HeaderFor(kind, kind == platform::kFrameSend ? r.nextId++ : 0, r.engine, msg, wParam, lParam, dwData);
}

FrameHeader ReplyTo(uint32_t id, int32_t result = 0) {
  FrameHeader h;
  h.kind = platform::kFrameReply;
  h.id = id;
  h.lParam = static_cast<uint32_t>(result);
  return h;
}

void RaiseDescriptors() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// A process of its own running `body`; killed at the end of the attack.
struct Attacker {
  pid_t pid = -1;
  int ready = -1;  // readable once the attack is under way (or the process has ended)
};

Attacker Fork(const std::function<void(int readyFd)>& body) {
  int p[2];
  if (pipe(p) != 0) return {};
  Attacker a;
  a.pid = fork();
  if (a.pid == 0) {
    close(p[0]);
    signal(SIGPIPE, SIG_IGN);
    body(p[1]);
    _exit(0);
  }
  close(p[1]);
  a.ready = p[0];
  return a;
}

void SayReady(int fd) {
  char byte = 1;
  if (write(fd, &byte, 1) != 1) {
  }
}

void WaitReady(const Attacker& a, int ms = 30000) {
  pollfd p{a.ready, POLLIN, 0};
  poll(&p, 1, ms);
}

void End(std::vector<Attacker>& attackers) {
  for (Attacker& a : attackers) {
    if (a.pid > 0) {
      kill(a.pid, SIGKILL);
      waitpid(a.pid, nullptr, 0);
    }
    if (a.ready >= 0) close(a.ready);
  }
  attackers.clear();
}

// How each connection of a slow or silent attacker answers the engine's sends, in turn: a delay in
// ms, or -1 for never.
struct Answering {
  int windows = 1;
  std::vector<int> delaysMs{1900};
  bool askAgainAfterAnswer = true;  // a new request once an answer has been given
  int askEveryMs = 0;               // and/or a new request this often
  bool bogusReplyFirst = false;     // a REPLY with an id the engine never sent before each request
};

void RunAnswering(const std::string& socket, const Answering& how, int readyFd) {
  RaiseDescriptors();
  struct Conn {
    Raw raw;
    size_t answered = 0;  // sends seen
    std::vector<std::pair<int64_t, uint32_t>> due;  // reply time, id
    int64_t lastAsk = 0;
  };
  std::vector<Conn> conns(static_cast<size_t>(how.windows));
  auto ask = [&](Conn& c) {
    if (how.bogusReplyFirst) Write(c.raw, ReplyTo(0x7FFF0000u + c.raw.nextId));
    Write(c.raw, Ask(c.raw, platform::kFrameSend, tovu::kEngineCommand, tovu::kCommandOutputPorts, c.raw.window));
    c.lastAsk = platform::MonotonicNs();
  };
  for (Conn& c : conns)
    if (!Open(socket, c.raw)) return;
  for (Conn& c : conns) ask(c);
  SayReady(readyFd);
  std::vector<pollfd> fds(conns.size());
  for (;;) {
    for (size_t i = 0; i < conns.size(); ++i) fds[i] = {conns[i].raw.fd, POLLIN, 0};
    poll(fds.data(), fds.size(), 10);
    int64_t now = platform::MonotonicNs();
    for (size_t i = 0; i < conns.size(); ++i) {
      Conn& c = conns[i];
      if (fds[i].revents & POLLIN) {
        uint8_t buffer[65536];
        long n = platform::ReadSome(c.raw.fd, buffer, sizeof buffer, 0);
        if (n < 0) return;
        c.raw.in.insert(c.raw.in.end(), buffer, buffer + n);
        for (const FrameHeader& h : Frames(c.raw)) {
          if (h.kind != platform::kFrameSend) continue;
          int delay = how.delaysMs[c.answered++ % how.delaysMs.size()];
          if (delay >= 0) c.due.emplace_back(now + static_cast<int64_t>(delay) * 1000000, h.id);
        }
      }
      for (size_t k = 0; k < c.due.size();) {
        if (c.due[k].first > now) {
          ++k;
          continue;
        }
        Write(c.raw, ReplyTo(c.due[k].second));
        c.due.erase(c.due.begin() + static_cast<ptrdiff_t>(k));
        if (how.askAgainAfterAnswer) ask(c);
      }
      if (how.askEveryMs > 0 && now - c.lastAsk > static_cast<int64_t>(how.askEveryMs) * 1000000) ask(c);
    }
  }
}

// Idle connections (as many as the engine takes of `count`), then `body` with the socket; the
// number taken is written to `report` (a pipe) when given.
std::vector<Raw> IdleConnections(const std::string& socket, int count) {
  RaiseDescriptors();
  std::vector<Raw> idle;
  for (int i = 0; i < count; ++i) {
    Raw r;
    if (!Open(socket, r)) {
      if (r.fd >= 0) close(r.fd);
      continue;
    }
    idle.push_back(r);
  }
  return idle;
}

void Sleep() {
  for (;;) pause();
}

// ---- The attacks ----

struct Outcome {
  bench::ProbeFigures figures;
  std::string extra;
};

std::string Format(const char* fmt, double a, double b = 0, double c = 0) {
  char text[200];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

using Attack = std::function<Outcome(Env& env, double seconds)>;

// The probe beside attackers started by `start` (before the probe's client connects).
Outcome ProbeBeside(Env& env, double seconds, const std::function<std::vector<Attacker>(Env&)>& start,
                    bench::ProbeOptions options = {}, const std::function<void(tovu::Client&)>& before = {}) {
  Outcome o;
  std::vector<Attacker> attackers = start(env);
  for (const Attacker& a : attackers) WaitReady(a);
  tovu::Client c;
  if (!ProbeClient(env, c, options.record)) {
    o.figures.note = "the probe could not register and open its ports";
    End(attackers);
    return o;
  }
  if (before) before(c);
  options.seconds = seconds;
  o.figures = bench::RunProbe(c, env.log, options);
  End(attackers);
  tovu::Unregister(c);
  tovu::Disconnect(c);
  env.WaitEnd(5000);
  return o;
}

Attack Answerers(Answering how) {
  return [how](Env& env, double seconds) {
    return ProbeBeside(env, seconds, [&](Env& e) {
      std::string socket = e.socket;
      return std::vector<Attacker>{Fork([socket, how](int ready) { RunAnswering(socket, how, ready); })};
    });
  };
}

Outcome Alone(Env& env, double seconds) {
  return ProbeBeside(env, seconds, [](Env&) { return std::vector<Attacker>{}; });
}

// The probe posts WM_CLOSE 100 ms after a slow window began its answer, halfway through its song.
Outcome CloseInAWait(Env& env, double seconds) {
  Outcome o;
  std::string socket = env.socket;
  int go[2];
  if (pipe(go) != 0) return o;
  // The slow window asks for the port list when told to, and says when the engine's answer came.
  Attacker slow = Fork([socket, go](int ready) {
    Raw r;
    if (!Open(socket, r)) return;
    SayReady(ready);
    char byte;
    if (read(go[0], &byte, 1) != 1) return;
    Write(r, Ask(r, platform::kFrameSend, tovu::kEngineCommand, tovu::kCommandOutputPorts, r.window));
    for (;;) {
      uint8_t buffer[4096];
      long n = platform::ReadSome(r.fd, buffer, sizeof buffer, -1);
      if (n <= 0) return;
      r.in.insert(r.in.end(), buffer, buffer + n);
      for (const FrameHeader& h : Frames(r))
        if (h.kind == platform::kFrameSend) {
          SayReady(ready);  // the answer has begun
          std::this_thread::sleep_for(std::chrono::milliseconds(1900));
          Write(r, ReplyTo(h.id));
        }
    }
  });
  close(go[0]);
  std::vector<Attacker> attackers{slow};
  WaitReady(slow);
  char byte;
  if (read(slow.ready, &byte, 1) != 1) {
  }
  tovu::Client c;
  if (!ProbeClient(env, c, false)) {
    o.figures.note = "the probe could not register";
    End(attackers);
    return o;
  }
  int32_t lengthMs = 0;
  tovu::LoadSong(c, bench::ProbeSong(seconds, &lengthMs));
  tovu::Start(c, tovu::StartRequest{});
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 500)));
  if (write(go[1], &byte, 1) != 1) {
  }
  WaitReady(slow, 5000);  // the engine now waits for the slow window
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int64_t closedNs = platform::MonotonicNs();
  tovu::Post(c, tovu::kWmClose, 0, 0);
  double endedMs = env.WaitEnd(10000);
  End(attackers);
  close(go[1]);
  int after = 0;
  int64_t lastNote = 0;
  for (const bench::LogLine& l : bench::ReadLog(env.log))
    if (l.ns > closedNs && l.text == "data out0 90 3c 64") {
      ++after;
      lastNote = l.ns;
    }
  o.extra = Format("posted WM_CLOSE: %.0f note-ons after it (the last %.0f ms after), engine ended after %.0f ms",
                   after, after ? static_cast<double>(lastNote - closedNs) / 1e6 : 0, endedMs);
  tovu::Disconnect(c);
  return o;
}

// 1,500 idle connections and 5 that post port-list requests without reading; the probe records
// an 80 KB take (10,000 input events written to the virtual input while its song plays).
Outcome IdleAndUnreadPosts(Env& env, double seconds) {
  std::string socket = env.socket;
  std::thread input;
  bench::ProbeOptions options;
  options.record = true;
  options.tick = [&](int64_t sinceMs) {
    if (input.joinable() || sinceMs < 2500) return;  // after the count-in
    std::string fifo = env.fifo;
    input = std::thread([fifo] {
      int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) return;
      for (int i = 0; i < 10000; ++i) {
        char line[32];
        int n = std::snprintf(line, sizeof line, "0 90 %02x 40\n", i % 128);
        if (write(fd, line, static_cast<size_t>(n)) != n) break;
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      close(fd);
    });
  };
  Outcome o = ProbeBeside(
      env, seconds,
      [&](Env&) {
        return std::vector<Attacker>{Fork([socket](int ready) {
          std::vector<Raw> floods;
          for (int i = 0; i < 5; ++i) {
            Raw r;
            if (!Open(socket, r)) continue;
            fcntl(r.fd, F_SETFL, fcntl(r.fd, F_GETFL) | O_NONBLOCK);
            floods.push_back(r);
          }
          std::vector<Raw> idle = IdleConnections(socket, 1500);
          SayReady(ready);
          // Posted port lists, 70,000 per connection, written as fast as the engine reads them.
          for (int round = 0; round < 280; ++round)
            for (Raw& r : floods) {
              std::vector<uint8_t> block;
              for (int k = 0; k < 250; ++k)
                platform::AppendFrame(block, Ask(r, platform::kFramePost, tovu::kEngineCommand,
                                                 tovu::kCommandOutputPorts, r.window), nullptr, 0);
              size_t at = 0;
              while (at < block.size()) {
                ssize_t n = write(r.fd, block.data() + at, block.size() - at);
                if (n > 0)
                  at += static_cast<size_t>(n);
                else
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
            }
          Sleep();
        })};
      },
      options);
  if (input.joinable()) input.join();
  o.extra = Format("take of 10000 events: %.0f bytes", static_cast<double>(o.figures.takeBytes));
  if (o.figures.takeError) o.extra += ", notification 10 after the stop";
  return o;
}

// 1,500 idle connections and 3 frames announcing 64 MiB (of which the engine gets what it reads);
// before its run the probe loads a 600 KiB song.
Outcome IdleAndHugeFrames(Env& env, double seconds) {
  std::string socket = env.socket;
  std::string load;
  bench::ProbeOptions options;
  Outcome o = ProbeBeside(
      env, seconds,
      [&](Env&) {
        return std::vector<Attacker>{Fork([socket](int ready) {
          std::vector<Raw> huge;
          for (int i = 0; i < 3; ++i) {
            Raw r;
            if (!Open(socket, r)) continue;
            FrameHeader h = Ask(r, platform::kFrameSend, tovu::kWmCopyData, r.window, 0, tovu::kCopyLoadSong);
            std::vector<uint8_t> frame;
            platform::AppendFrame(frame, h, nullptr, 0);
            platform::StoreLe32(frame.data(), platform::kFrameMinSize + (64u << 20));
            platform::StoreLe32(frame.data() + 32, 64u << 20);
            platform::WriteAll(r.fd, frame.data(), frame.size());
            fcntl(r.fd, F_SETFL, fcntl(r.fd, F_GETFL) | O_NONBLOCK);
            huge.push_back(r);
          }
          std::vector<Raw> idle = IdleConnections(socket, 1500);
          std::vector<uint8_t> filler(1 << 16, 0x5A);
          std::vector<size_t> sent(huge.size(), 0);
          // As much of each as the engine takes until it takes no more for a while (or all but the
          // last bytes are there); then whatever more it takes, never the whole.
          int64_t lastProgress = platform::MonotonicNs();
          while (platform::MonotonicNs() - lastProgress < 2000 * 1000000LL) {
            bool any = false;
            for (size_t i = 0; i < huge.size(); ++i) {
              if (sent[i] + filler.size() >= (64u << 20)) continue;
              ssize_t n = write(huge[i].fd, filler.data(), filler.size());
              if (n > 0) {
                sent[i] += static_cast<size_t>(n);
                any = true;
              }
            }
            if (any)
              lastProgress = platform::MonotonicNs();
            else
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
          SayReady(ready);
          for (;;) {
            bool any = false;
            for (size_t i = 0; i < huge.size(); ++i) {
              if (sent[i] + filler.size() >= (64u << 20)) continue;
              ssize_t n = write(huge[i].fd, filler.data(), filler.size());
              if (n > 0) {
                sent[i] += static_cast<size_t>(n);
                any = true;
              }
            }
            if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        })};
      },
      options, [&](tovu::Client& c) {
        // 75,000 events of 8 bytes: a 600 KiB song image, sent with a 10 s limit.
        tovu::SongBuilder song;
        song.Tempo(0, 120);
        for (int32_t k = 0; k < 37500; ++k) {
          song.NoteOn(k, 0, 0, 0x3c, 0x10);
          song.NoteRelease(k, 0, 0, 0x3c);
        }
        song.End(37500);
        std::vector<uint8_t> image = song.Build();
        int64_t from = platform::MonotonicNs();
        // On a thread of its own: a client writing to an engine that does not read is held in its
        // write; after 10 s the connection is shut under it.
        std::atomic<bool> taken{false}, done{false};
        std::thread loader([&] {
          int32_t result = 0;
          taken = tovu::SendCopyData(c, tovu::kCopyLoadSong, 0, image.data(), static_cast<uint32_t>(image.size()),
                                     &result, 10000);
          done = true;
        });
        while (!done && platform::MonotonicNs() - from < 10000 * 1000000LL)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        double ms = static_cast<double>(platform::MonotonicNs() - from) / 1e6;
        if (!done) shutdown(c.fd, SHUT_RDWR);
        loader.join();
        load = taken ? Format("a %.0f KiB song loaded in %.1f ms", static_cast<double>(image.size() >> 10), ms)
                     : Format("a %.0f KiB song not taken within %.0f ms", static_cast<double>(image.size() >> 10), ms);
      });
  o.extra = load;
  return o;
}

// One process trying 8,000 connections (the engine takes at most its per-process limit), then 32
// processes of 250 each: the probe's figures beside so many windows.
Outcome ManyIdle(Env& env, double seconds, int processes, int each) {
  std::string socket = env.socket;
  int counts[2];
  if (pipe(counts) != 0) return {};
  Outcome o = ProbeBeside(env, seconds, [&](Env&) {
    std::vector<Attacker> attackers;
    for (int p = 0; p < processes; ++p)
      attackers.push_back(Fork([socket, each, counts](int ready) {
        std::vector<Raw> idle = IdleConnections(socket, each);
        int n = static_cast<int>(idle.size());
        if (write(counts[1], &n, sizeof n) != sizeof n) {
        }
        SayReady(ready);
        Sleep();
      }));
    return attackers;
  });
  close(counts[1]);
  int total = 0, n = 0;
  while (read(counts[0], &n, sizeof n) == sizeof n) total += n;
  close(counts[0]);
  o.extra = Format("%.0f of %.0f connections taken", total, static_cast<double>(processes) * each);
  return o;
}

// A raw client's synchronous request: writes the SEND and reads until its REPLY, answering the
// engine's own sends at once meanwhile. False when the connection ends or 10 s pass.
bool Call(Raw& r, FrameHeader h, const std::vector<uint8_t>& payload = {}) {
  h.kind = platform::kFrameSend;
  h.id = r.nextId++;
  h.hwnd = r.engine;
  if (!Write(r, h, payload.data(), static_cast<uint32_t>(payload.size()))) return false;
  int64_t deadline = platform::MonotonicNs() + 10000 * 1000000LL;
  while (platform::MonotonicNs() < deadline) {
    uint8_t buffer[65536];
    long n = platform::ReadSome(r.fd, buffer, sizeof buffer, 100);
    if (n < 0) return false;
    r.in.insert(r.in.end(), buffer, buffer + n);
    for (const FrameHeader& f : Frames(r)) {
      if (f.kind == platform::kFrameSend) Write(r, ReplyTo(f.id));
      if (f.kind == platform::kFrameReply && f.id == h.id) return true;
    }
  }
  return false;
}

// Another client's playback stopped by the probe (command 5, timed): a player that answers its
// start at once and then answers late (1.9 s), every other time, or not at all (it stops reading);
// or one that records, stops reading, and has 40,000 input events recorded.
Outcome StopOthers(Env& env, double, bool recorder) {
  Outcome o;
  std::string socket = env.socket;
  const char* modes[] = {"late", "every other", "deaf"};
  int trials = recorder ? 3 : 9;
  int windows[2], next[2];
  if (pipe(windows) != 0 || pipe(next) != 0) return o;
  Attacker player = Fork([&](int ready) {
    SayReady(ready);
    tovu::SongBuilder song;
    song.Tempo(0, 120);
    for (int32_t k = 0; k < 240; ++k) {
      song.NoteOn(k * 60, 0, 0, 0x40, 0x30);
      song.NoteRelease(k * 60 + 30, 0, 0, 0x40);
    }
    song.End(240 * 60);
    std::vector<uint8_t> image = song.Build();
    std::vector<Raw> done;
    for (int t = 0; t < trials; ++t) {
      Raw r;
      if (!Open(socket, r)) return;
      tovu::OpenPortsRequest open;
      open.outputDevices = {0};
      if (recorder) open.inputDevice = 0;
      tovu::StartRequest start;
      start.recordOn = recorder ? 1 : 0;
      if (!Call(r, Ask(r, platform::kFrameSend, tovu::kEngineCommand, tovu::kCommandRegister, r.window)) ||
          !Call(r, Ask(r, 0, tovu::kWmCopyData, r.window, 0, tovu::kCopyOpenPorts), tovu::EncodeOpenPortsRequest(open)) ||
          !Call(r, Ask(r, 0, tovu::kWmCopyData, r.window, 0, tovu::kCopyLoadSong), image) ||
          !Call(r, Ask(r, 0, tovu::kWmCopyData, r.window, 0, tovu::kCopyStart), tovu::EncodeStartRequest(start)))
        return;
      if (write(windows[1], &r.window, sizeof r.window) != sizeof r.window) return;
      // Until the probe has stopped it: answers as its mode says (a deaf one reads nothing).
      int mode = recorder ? 2 : t % 3;
      size_t seen = 0;
      std::vector<std::pair<int64_t, uint32_t>> due;
      for (;;) {
        pollfd p[2] = {{next[0], POLLIN, 0}, {mode == 2 ? -1 : r.fd, POLLIN, 0}};
        poll(p, 2, 10);
        if (p[0].revents & POLLIN) {
          char byte;
          if (read(next[0], &byte, 1) != 1) return;
          break;
        }
        int64_t now = platform::MonotonicNs();
        if (p[1].revents & POLLIN) {
          uint8_t buffer[65536];
          long n = platform::ReadSome(r.fd, buffer, sizeof buffer, 0);
          if (n < 0) return;
          r.in.insert(r.in.end(), buffer, buffer + n);
          for (const FrameHeader& f : Frames(r)) {
            if (f.kind != platform::kFrameSend) continue;
            if (mode == 0) due.emplace_back(now + 1900 * 1000000LL, f.id);
            if (mode == 1 && seen++ % 2 == 0) Write(r, ReplyTo(f.id));
          }
        }
        for (size_t k = 0; k < due.size();)
          if (due[k].first <= now) {
            Write(r, ReplyTo(due[k].second));
            due.erase(due.begin() + static_cast<ptrdiff_t>(k));
          } else {
            ++k;
          }
      }
      done.push_back(r);  // kept open: it stays registered, deaf or slow
    }
    Sleep();
  });
  std::vector<Attacker> attackers{player};
  WaitReady(player);
  tovu::Client c;
  if (!ProbeClient(env, c, false)) {
    o.figures.note = "the probe could not register";
    End(attackers);
    return o;
  }
  std::map<int, std::vector<double>> byMode;
  for (int t = 0; t < trials; ++t) {
    uint32_t window = 0;
    pollfd p{windows[0], POLLIN, 0};
    if (poll(&p, 1, 20000) != 1 || read(windows[0], &window, sizeof window) != sizeof window) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // it plays a while first
    if (recorder) {
      int fd = open(env.fifo.c_str(), O_WRONLY | O_CLOEXEC);
      std::string lines;
      for (int i = 0; i < 40000; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "0 90 %02x 40\n", i % 128);
        lines += line;
      }
      if (fd >= 0 && write(fd, lines.data(), lines.size()) < 0) {
      }
      if (fd >= 0) close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // all of it recorded
    }
    int64_t from = platform::MonotonicNs();
    int32_t result = -1;
    tovu::Send(c, tovu::kEngineCommand, tovu::kCommandStop, window, &result, 30000);
    byMode[recorder ? 2 : t % 3].push_back(static_cast<double>(platform::MonotonicNs() - from) / 1e6);
    char byte = 1;
    if (write(next[1], &byte, 1) != 1) break;
  }
  for (auto& [mode, ms] : byMode) {
    bench::Spread s = bench::SpreadOf(ms);
    if (!o.extra.empty()) o.extra += "; ";
    o.extra += std::string("command 5 against a ") + (recorder ? "deaf recorder" : modes[mode]) + " player: " +
               Format("p50 %.1f / max %.1f ms", s.p50, s.max);
  }
  End(attackers);
  for (int fd : {windows[0], windows[1], next[0], next[1]}) close(fd);
  tovu::Unregister(c);
  tovu::Disconnect(c);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 6;
  if (seconds <= 0) seconds = 6;
  std::string only = argc > 2 ? argv[2] : "";
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::pair<std::string, Attack>> attacks;
  attacks.emplace_back("alone", Alone);
  {
    Answering a;
    a.windows = 40;
    attacks.emplace_back("40 windows answer after 1.9s", Answerers(a));
  }
  {
    Answering a;
    a.windows = 40;
    a.delaysMs = {-1};
    a.askAgainAfterAnswer = false;
    attacks.emplace_back("40 windows never answer", Answerers(a));
  }
  attacks.emplace_back("1 window answers after 1.9s", Answerers(Answering{}));
  {
    Answering a;
    a.delaysMs = {1900, 2100, 0};
    a.askEveryMs = 2500;
    attacks.emplace_back("answers 1.9s, 2.1s, at once", Answerers(a));
  }
  {
    Answering a;
    a.delaysMs = {0, -1};
    a.askEveryMs = 300;
    attacks.emplace_back("answers every other send", Answerers(a));
  }
  {
    Answering a;
    a.delaysMs = {-1};
    a.askAgainAfterAnswer = false;
    a.askEveryMs = 300;
    a.bogusReplyFirst = true;
    attacks.emplace_back("unknown REPLY before asking", Answerers(a));
  }
  attacks.emplace_back("posted WM_CLOSE in a wait", CloseInAWait);
  attacks.emplace_back("1500 idle + 5 never read", IdleAndUnreadPosts);
  attacks.emplace_back("1500 idle + 3 x 64 MiB", IdleAndHugeFrames);
  attacks.emplace_back("8000 idle, one process", [](Env& env, double s) { return ManyIdle(env, s, 1, 8000); });
  attacks.emplace_back("8000 idle, 32 processes", [](Env& env, double s) { return ManyIdle(env, s, 32, 250); });
  attacks.emplace_back("stop of a slow player", [](Env& env, double s) { return StopOthers(env, s, false); });
  attacks.emplace_back("stop of a deaf recorder", [](Env& env, double s) { return StopOthers(env, s, true); });

  bench::PrintHeader();
  for (auto& [name, attack] : attacks) {
    if (!only.empty() && name.find(only) == std::string::npos) continue;
    Env env;
    if (!env.Start()) {
      std::printf("%-34s the engine did not start\n", name.c_str());
      continue;
    }
    Outcome o = attack(env, seconds);
    if (o.figures.command.n > 0 || !o.figures.note.empty()) bench::PrintRow(name, o.figures);
    else std::printf("%-34s\n", name.c_str());
    if (!o.extra.empty()) std::printf("%-34s %s\n", "", o.extra.c_str());
  }
  return 0;
}
