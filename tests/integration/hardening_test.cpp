// What a hostile or broken local client can try, over the bus, and what the engine must do instead
// of crashing, stalling or misleading anyone: nesting without end, payloads that exhaust memory,
// descriptor exhaustion, a peer that shut its reading side, frames written just before a close,
// commands overtaking each other within one connection, socket directories and engines that belong
// to someone else, and a start-up handle that must reach its end of file.
//
// CPU use is read from /proc over a couple of seconds and held to generous bounds: a busy loop
// shows as most of a CPU, an idle engine as almost none.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <thread>

#include "client/song_builder.h"
#include "integration/support/client_process.h"
#include "integration/support/raw_bus.h"
#include "platform/posix/bus_client.h"
#include "platform/wire.h"

namespace {

// An idle engine uses almost nothing; one spinning uses close to 1.
constexpr double kIdleCpuBound = 0.3;

bool IsCopyDataSend(const RawFrame& f, uint32_t type) {
  return f.kind == platform::kFrameSend && f.msg == tovu::kWmCopyData && (f.dwData & 0xFFFF) == type;
}

// A client that answers every answer with a new request instead of a reply, `total` times, and then
// replies to whatever comes. Returns the number of the engine's answers that arrived before its
// first reply (the handlers running at once), or -1 when not all its requests were replied to.
int NestRequests(RawConnection& raw, uint32_t answerType, int total,
                 const std::function<RawFrame(uint32_t id)>& request) {
  int sent = 0;
  int replies = 0;
  int answersBeforeFirstReply = 0;
  if (!raw.Write(request(static_cast<uint32_t>(++sent)))) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (replies < total && std::chrono::steady_clock::now() < deadline) {
    RawFrame f;
    RawRead r = raw.Read(&f, 5000);
    if (r == RawRead::kClosed) return -1;
    if (r == RawRead::kTimeout) continue;
    if (f.kind == platform::kFrameReply) ++replies;
    if (!IsCopyDataSend(f, answerType)) continue;
    if (replies == 0) ++answersBeforeFirstReply;
    if (sent < total) {
      if (!raw.Write(request(static_cast<uint32_t>(++sent)))) return -1;
    } else if (!raw.Write(ReplyFrame(f.id, 0))) {
      return -1;
    }
  }
  return replies == total ? answersBeforeFirstReply : -1;
}

std::vector<uint8_t> SmallSong() {
  tovu::SongBuilder song;
  song.NoteOn(0, 0, 0, 60, 100);
  song.NoteRelease(120, 0, 0, 60);
  song.End(480);
  return song.Build();
}

bool PollHangsUp(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[256];
  while (std::chrono::steady_clock::now() < deadline) {
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return true;  // end of file: every writing end is closed
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
  }
  return false;
}

}  // namespace

// A client that answers each port list (command 2) or open-ports reply (type 13) with a new request
// drives the engine's handlers ever deeper. At most 32 run at once; deeper requests wait their turn,
// every one is answered, and the engine serves on.
TEST(Hardening, NestingStopsAt32HandlersAndEveryRequestIsAnswered) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));

  RawConnection lists;
  ASSERT_TRUE(lists.Open(env.socketPath));
  int running = NestRequests(lists, 2, 150, [&](uint32_t id) {
    return SendFrame(id, lists.engineWindow, tovu::kEngineCommand, 2, lists.window);
  });
  EXPECT_EQ(running, 32);
  ASSERT_TRUE(engine.Running());

  RawConnection opens;
  ASSERT_TRUE(opens.Open(env.socketPath));
  running = NestRequests(opens, 13, 150, [&](uint32_t id) {
    return SendFrame(id, opens.engineWindow, tovu::kWmCopyData, opens.window, 0, 13, OpenRequest({0}));
  });
  EXPECT_EQ(running, 32);
  ASSERT_TRUE(engine.Running());

  tovu::Client c;
  ASSERT_TRUE(env.ConnectRegistered(c));
  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  EXPECT_EQ(engine.EndWith(c), 0);
}

// With room for a 60 MiB payload but not for a second copy of it, loading a 60 MiB song is refused
// with notification 10 error 12, a 60 MiB audition is dropped, and the engine serves on.
TEST(Hardening, ASongThatCannotBeCopiedIsRefusedWithError12) {
#ifdef TOVU_SANITIZED
  GTEST_SKIP() << "sanitizers cannot run under an address-space limit";
#endif
  EngineEnv env;
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));
  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  // The limit is what the engine uses plus 90 MiB, whatever its threads and libraries take, measured
  // once the watcher (woken by the registration, at idle priority) has made its allocations.
  uint64_t used = VirtualMemoryBytes(engine.pid);
  auto stableSince = std::chrono::steady_clock::now();
  for (int i = 0; i < 100 && std::chrono::steady_clock::now() - stableSince < std::chrono::milliseconds(500); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint64_t now = VirtualMemoryBytes(engine.pid);
    if (now != used) stableSince = std::chrono::steady_clock::now();
    used = now;
  }
  ASSERT_GT(used, 0u);
  rlimit cap{static_cast<rlim_t>(used + (90u << 20)), static_cast<rlim_t>(used + (90u << 20))};
  ASSERT_EQ(prlimit(engine.pid, RLIMIT_AS, &cap, nullptr), 0);

  std::vector<uint8_t> song = SmallSong();
  song.resize(60u << 20);  // bytes after the end marker are never read
  ASSERT_TRUE(tovu::LoadSong(c, song));
  uint32_t error = 0;
  ASSERT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyFailed, 20000, &error));
  EXPECT_EQ(error, tovu::kErrorOutOfMemory);
  ASSERT_TRUE(engine.Running());

  // An audition list as large has no room either: it is dropped.
  std::vector<uint32_t> events((60u << 20) / 4, tovu::PackEvent(0x90, 60, 0, 255));
  ASSERT_TRUE(tovu::Audition(c, events));
  events = std::vector<uint32_t>();
  ASSERT_TRUE(engine.Running());

  // A song that fits still loads (no failure follows), and the engine answers.
  song.clear();
  ASSERT_TRUE(tovu::LoadSong(c, SmallSong()));
  EXPECT_FALSE(tovu::WaitForNotification(c, tovu::kNotifyFailed, 300));
  std::vector<tovu::OutputPortInfo> outs;
  EXPECT_EQ(tovu::RequestOutputPorts(c, &outs), 0);
  EXPECT_EQ(outs.size(), 2u);
  EXPECT_EQ(engine.EndWith(c), 0);
}

// When no thread can start (every thread stack is larger than the address space allowed), the
// set-up fails cleanly: status 1, no socket left behind, the lock free for the next engine.
TEST(Hardening, AThreadThatCannotStartFailsTheSetUpCleanly) {
#ifdef TOVU_SANITIZED
  GTEST_SKIP() << "sanitizers cannot run under an address-space limit";
#endif
  EngineEnv env;
  env.limits.push_back({RLIMIT_STACK, 2ull << 30, 2ull << 30});
  env.limits.push_back({RLIMIT_AS, 1ull << 30, 1ull << 30});
  EngineProcess failed(env.Start());
  EXPECT_EQ(failed.Wait(10000), 1);
  struct stat st;
  EXPECT_NE(lstat(env.socketPath.c_str(), &st), 0) << "a socket file was left behind";

  env.limits.clear();
  tovu::Client c;
  EngineProcess next;
  ASSERT_TRUE(next.StartRegistered(env, c));
  EXPECT_EQ(next.EndWith(c), 0);
}

// With 64 descriptors at most and 80 connections pending, the engine accepts what it can and waits
// for a descriptor without spinning; once clients leave, it serves again.
TEST(Hardening, RunningOutOfDescriptorsNeitherSpinsNorStopsServing) {
  EngineEnv env;
  env.limits.push_back({RLIMIT_NOFILE, 64, 64});
  tovu::Client keeper;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, keeper));

  std::vector<int> crowd;
  for (int i = 0; i < 80; ++i) {
    int fd = ConnectUnchecked(env.socketPath);
    ASSERT_GE(fd, 0) << "connection " << i;
    crowd.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double cpu = CpuShare(engine.pid, 2000);
  EXPECT_GE(cpu, 0.0);
  EXPECT_LT(cpu, kIdleCpuBound) << "the engine spins while out of descriptors";
  EXPECT_EQ(tovu::AuditionHoldTime(keeper), 300);  // those already served still are

  for (int fd : crowd) close(fd);
  tovu::Client late;
  ASSERT_TRUE(env.Connect(late));
  EXPECT_EQ(tovu::AuditionHoldTime(late), 300);
  EXPECT_EQ(engine.EndWith(keeper), 0);
}

// A soft limit below the hard one is raised at start: 80 windows under a soft limit of 64.
TEST(Hardening, TheDescriptorSoftLimitIsRaisedToTheHardLimit) {
  EngineEnv env;
  env.limits.push_back({RLIMIT_NOFILE, 64, 1024});
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  std::vector<std::unique_ptr<RawConnection>> windows;
  for (int i = 0; i < 80; ++i) {
    windows.push_back(std::make_unique<RawConnection>());
    ASSERT_TRUE(windows.back()->Open(env.socketPath, 3000)) << "window " << i;
  }
  tovu::Client c;
  ASSERT_TRUE(env.ConnectRegistered(c));
  EXPECT_EQ(engine.EndWith(c), 0);
}

// A client that shut its reading side and then asks for the port list cannot take the answer: its
// window ends, and the engine does not spin on output it can never deliver.
TEST(Hardening, APeerThatCannotReadIsDisconnectedWithoutSpinning) {
  EngineEnv env;
  tovu::Client keeper;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, keeper));

  RawConnection raw;
  ASSERT_TRUE(raw.Open(env.socketPath));
  ASSERT_EQ(shutdown(raw.fd, SHUT_RD), 0);
  ASSERT_TRUE(raw.Write(SendFrame(1, raw.engineWindow, tovu::kEngineCommand, 2, raw.window)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double cpu = CpuShare(engine.pid, 2000);
  EXPECT_GE(cpu, 0.0);
  EXPECT_LT(cpu, kIdleCpuBound) << "the engine spins on a peer that cannot read";

  // The engine has closed the connection: writing to it fails.
  std::vector<uint8_t> post = RawConnection::Encode(PostFrame(raw.engineWindow, tovu::kEngineCommand, 3, 0));
  EXPECT_TRUE(WaitUntil([&] { return send(raw.fd, post.data(), post.size(), MSG_NOSIGNAL) < 0; }, 3000));
  EXPECT_EQ(tovu::AuditionHoldTime(keeper), 300);
  EXPECT_EQ(engine.EndWith(keeper), 0);
}

// Frames written just before a close are all handled, however the bytes fall into reads: 65,536
// bytes (a padding POST, then WM_CLOSE) arrive together with the end of file.
TEST(Hardening, FramesWrittenBeforeACloseAreHandled) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  RawConnection raw;
  ASSERT_TRUE(raw.Open(env.socketPath));

  RawFrame padding = PostFrame(raw.engineWindow, tovu::kWmCopyData, raw.window, 0);
  padding.dwData = 0x7777;  // an unlisted type: does nothing
  padding.payload.resize(65536 - 2 * platform::kFrameHeaderSize);
  std::vector<uint8_t> bytes = RawConnection::Encode(padding);
  std::vector<uint8_t> close = RawConnection::Encode(PostFrame(raw.engineWindow, tovu::kWmClose, 0, 0));
  bytes.insert(bytes.end(), close.begin(), close.end());
  ASSERT_EQ(bytes.size(), 65536u);

  // Held still while the bytes and the end of file are put in place, so both meet its first read.
  ASSERT_EQ(kill(engine.pid, SIGSTOP), 0);
  bool written = raw.WriteBytes(bytes);
  raw.Close();
  ASSERT_EQ(kill(engine.pid, SIGCONT), 0);
  ASSERT_TRUE(written);
  EXPECT_EQ(engine.Wait(10000), 0) << "the WM_CLOSE before the end of file was not handled";
}

// Two commands in one write, and a third sent while the engine waits inside the first: the third
// is answered after the second was applied, as written.
TEST(Hardening, FramesOfOneConnectionAreHandledInTheOrderWritten) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  RawConnection raw;
  ASSERT_TRUE(raw.Open(env.socketPath));

  std::vector<uint8_t> burst = RawConnection::Encode(SendFrame(1, raw.engineWindow, tovu::kEngineCommand, 2, raw.window));
  std::vector<uint8_t> second = RawConnection::Encode(SendFrame(2, raw.engineWindow, tovu::kEngineCommand, 4, 111));
  burst.insert(burst.end(), second.begin(), second.end());
  ASSERT_TRUE(raw.WriteBytes(burst));

  RawFrame answer;
  ASSERT_EQ(raw.Read(&answer, 5000), RawRead::kFrame);
  ASSERT_TRUE(IsCopyDataSend(answer, 2));
  ASSERT_TRUE(raw.Write(SendFrame(3, raw.engineWindow, tovu::kEngineCommand, 3, 0)));

  // Nothing may overtake command 4 while the port list waits for our reply.
  std::vector<std::pair<uint32_t, int32_t>> replies;
  RawFrame f;
  while (raw.Read(&f, 300) == RawRead::kFrame)
    if (f.kind == platform::kFrameReply) replies.emplace_back(f.id, static_cast<int32_t>(f.lParam));
  EXPECT_TRUE(replies.empty()) << "reply " << replies[0].first << " came before the port list was answered";

  ASSERT_TRUE(raw.Write(ReplyFrame(answer.id, 0)));
  while (replies.size() < 3 && raw.Read(&f, 5000) == RawRead::kFrame)
    if (f.kind == platform::kFrameReply) replies.emplace_back(f.id, static_cast<int32_t>(f.lParam));
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], std::make_pair(1u, 0));
  EXPECT_EQ(replies[1], std::make_pair(2u, 0));
  EXPECT_EQ(replies[2], std::make_pair(3u, 111)) << "command 3 overtook command 4";
}

// A socket directory that others can enter, that another user owns, or that is a link, is refused
// by the engine (a line naming it, status 1) and by the client library (which then starts no engine
// either).
TEST(Hardening, ASocketDirectoryThatIsNotPrivateIsRefused) {
  EngineEnv env;
  std::string run = env.dir + "/run";
  ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
  ASSERT_EQ(chmod(run.c_str(), 0755), 0);
  EngineProcess open(env.Start());
  EXPECT_EQ(open.Wait(10000), 1);
  EXPECT_NE(env.StderrText().find(run), std::string::npos) << env.StderrText();
  struct stat st;
  EXPECT_NE(lstat(env.socketPath.c_str(), &st), 0);

  // Someone else's directory, private to them.
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(run.c_str(), 0700), 0);
    ASSERT_EQ(chown(run.c_str(), 65534, 65534), 0);
    EngineProcess foreign(env.Start());
    EXPECT_EQ(foreign.Wait(10000), 1);
    ASSERT_EQ(chown(run.c_str(), geteuid(), getegid()), 0);
  }

  // A socket planted in a directory others can write: the client library neither connects nor
  // starts an engine.
  ASSERT_EQ(chmod(run.c_str(), 0777), 0);
  int planted = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, env.socketPath.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(planted, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(planted, 8), 0);
  EXPECT_EQ(platform::BusConnect(env.socketPath), platform::kBusRefused);
  tovu::Client c;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(env.Connect(c, /*startEngine=*/true));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  pollfd p{planted, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "the client library connected to the planted socket";
  close(planted);

  // A link in the directory's place, to a private directory of ours (which whoever made the link
  // could re-point at will): refused by the engine and by the client library, even with a live
  // listener behind it.
  std::string real = env.dir + "/real";
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  std::filesystem::remove_all(run);
  ASSERT_EQ(symlink(real.c_str(), run.c_str()), 0);
  EngineProcess linked(env.Start());
  EXPECT_EQ(linked.Wait(10000), 1);
  EXPECT_NE(env.StderrText().find(run), std::string::npos) << env.StderrText();
  EXPECT_NE(access((real + "/TovuEngine.sock").c_str(), F_OK), 0) << "the engine bound behind the link";
  int behind = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  strncpy(addr.sun_path, (real + "/TovuEngine.sock").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(behind, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(behind, 8), 0);
  EXPECT_EQ(platform::BusConnect(env.socketPath), platform::kBusRefused);
  tovu::Client viaLink;
  EXPECT_FALSE(env.Connect(viaLink, /*startEngine=*/true));
  pollfd b{behind, POLLIN, 0};
  EXPECT_EQ(poll(&b, 1, 0), 0) << "the client library connected through the link";
  close(behind);
}

// The client library talks only to an engine of its own user: a listener created by another user
// in our own private directory is refused.
TEST(Hardening, TheClientRefusesAnEngineOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a listener under another user id";
  EngineEnv env;
  std::string run = env.dir + "/run";
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, env.socketPath.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t stranger = fork();
  if (stranger == 0) {
    // The listening credentials are those of whoever calls listen: another user, posing as an engine.
    if (setgid(65534) != 0 || setuid(65534) != 0 || listen(listener, 8) != 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) _exit(0);
      RawFrame hello;
      hello.kind = platform::kFrameHello;
      hello.msg = 1;
      hello.wParam = 0x00010000;
      hello.lParam = 0x00010001;
      std::vector<uint8_t> bytes = RawConnection::Encode(hello);
      if (write(fd, bytes.data(), bytes.size()) < 0) _exit(0);
    }
  }
  EngineProcess guard(stranger);  // killed at the end
  close(ready[1]);
  char x;
  ASSERT_EQ(read(ready[0], &x, 1), 1);
  close(ready[0]);
  close(listener);

  EXPECT_EQ(platform::BusConnect(env.socketPath), platform::kBusRefused);
  tovu::Client c;
  EXPECT_FALSE(env.Connect(c));
}

// A launcher reading the engine's standard error sees its end of file once the start-up phase is
// over (here: a client registered), while the engine runs on.
TEST(Hardening, TheStartUpHandleIsClosedAfterTheStartUpPhase) {
  EngineEnv env;
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  EngineProcess engine(env.Start(p[1]));
  close(p[1]);
  ASSERT_TRUE(env.WaitReady());
  tovu::Client c;
  ASSERT_TRUE(env.ConnectRegistered(c));
  EXPECT_TRUE(PollHangsUp(p[0], 5000)) << "standard error is still open";
  close(p[0]);
  EXPECT_TRUE(engine.Running());
  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  EXPECT_EQ(engine.EndWith(c), 0);
}

// When the lock file or the socket cannot be made (a full disk, or here something in their way),
// the engine says why in one line on standard error and ends with status 2 or 1.
TEST(Hardening, ALockOrSocketThatCannotBeMadeIsExplainedInOneLine) {
  auto lineCount = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
  EngineEnv env;
  std::string run = env.dir + "/run";
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  std::string lock = run + "/WN7WendleCreateWinSem.lock";
  ASSERT_EQ(mkdir(lock.c_str(), 0700), 0);
  EngineProcess noLock(env.Start());
  EXPECT_EQ(noLock.Wait(10000), 2);
  std::string said = env.StderrText();
  EXPECT_EQ(lineCount(said), 1) << said;
  EXPECT_NE(said.find(run), std::string::npos) << said;
  EXPECT_NE(said.find(strerror(EISDIR)), std::string::npos) << said;

  ASSERT_EQ(rmdir(lock.c_str()), 0);
  { std::ofstream truncate(env.dir + "/engine.stderr", std::ios::trunc); }
  ASSERT_EQ(mkdir(env.socketPath.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((env.socketPath + "/x").c_str(), 0700), 0);  // a directory that unlink cannot remove
  EngineProcess noSocket(env.Start());
  EXPECT_EQ(noSocket.Wait(10000), 1);
  said = env.StderrText();
  EXPECT_EQ(lineCount(said), 1) << said;
  EXPECT_NE(said.find(env.socketPath), std::string::npos) << said;
}

// What many connections together may hold is bounded, not only what each may: frames announced far
// larger than what follows cost what has come, and connections that send without reading are no
// longer read once over their share. Meanwhile a well-behaved client is answered at once, and the
// memory goes back once the others have gone.
TEST(Hardening, MemoryIsBoundedAcrossConnectionsAndAWellBehavedClientIsServed) {
#ifdef TOVU_SANITIZED
  GTEST_SKIP() << "sanitizers reserve memory of their own";
#endif
  EngineEnv env;
  tovu::Client good;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, good));
  std::vector<tovu::OutputPortInfo> outs;
  ASSERT_EQ(tovu::RequestOutputPorts(good, &outs), 0);
  uint64_t residentBefore = ResidentBytes(engine.pid);
  uint64_t virtualBefore = VirtualMemoryBytes(engine.pid);
  ASSERT_GT(residentBefore, 0u);

  // Twenty frames announcing 64 MiB each, of which up to 12 MiB follow: 240 MiB offered.
  std::vector<int> half;
  std::vector<uint8_t> filler(1 << 16, 0x5A);
  for (int i = 0; i < 20; ++i) {
    int fd = ConnectUnchecked(env.socketPath);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> head = RawHeader(32 + (64u << 20), 64u << 20, 0x00010000, tovu::kWmCopyData);
    ASSERT_TRUE(platform::WriteAll(fd, head.data(), head.size()));
    WriteUntilStalled(fd, filler, 12u << 20, 300);
    half.push_back(fd);
  }
  // Ten connections asking for the port list 40,000 times each without reading the answers.
  std::vector<int> unread;
  std::vector<uint8_t> asks;
  for (int i = 0; i < 64; ++i) {
    std::vector<uint8_t> one = RawConnection::Encode(SendFrame(1, 0x00010000, tovu::kEngineCommand, 2, 0));
    asks.insert(asks.end(), one.begin(), one.end());
  }
  for (int i = 0; i < 10; ++i) {
    int fd = ConnectUnchecked(env.socketPath);
    ASSERT_GE(fd, 0);
    WriteUntilStalled(fd, asks, asks.size() * 625, 300);
    unread.push_back(fd);
  }
  auto asked = std::chrono::steady_clock::now();
  ASSERT_EQ(tovu::RequestOutputPorts(good, &outs), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
  uint64_t resident = ResidentBytes(engine.pid);
  uint64_t virtualSize = VirtualMemoryBytes(engine.pid);
  std::printf("held by 30 hostile connections: resident %+lld MiB, virtual %+lld MiB\n",
              static_cast<long long>(resident >> 20) - static_cast<long long>(residentBefore >> 20),
              static_cast<long long>(virtualSize >> 20) - static_cast<long long>(virtualBefore >> 20));
  EXPECT_LT(resident, residentBefore + (260u << 20)) << "resident " << (resident >> 20) << " MiB";
  EXPECT_LT(virtualSize, virtualBefore + (600u << 20)) << "virtual " << (virtualSize >> 20) << " MiB";
  ASSERT_TRUE(engine.Running());

  for (int fd : half) close(fd);
  for (int fd : unread) close(fd);
  ASSERT_TRUE(WaitUntil([&] { return ResidentBytes(engine.pid) < residentBefore + (48u << 20); }, 10000))
      << "resident " << (ResidentBytes(engine.pid) >> 20) << " MiB after the others left";
  EXPECT_EQ(tovu::RequestOutputPorts(good, &outs), 0);
}
