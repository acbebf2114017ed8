// Fault signals in a process that blocked the termination signals: sent by another process they ask
// for a close (read from the termination descriptor); raised by the process itself (a fault, an
// abort) they end it as they would have. Each case runs in a forked child.
#include <gtest/gtest.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/process_posix.h"
#include "platform/process.h"

namespace {

constexpr int kSawClose = 42;
constexpr int kNoClose = 43;

enum class Fault { kNone, kNullWrite, kRaise, kAbort };

// Forks a child that blocks the termination signals, says it is ready on a pipe, commits `fault`
// (or not), and then waits up to 5 s for the close: exit kSawClose when it came, else kNoClose.
pid_t StartChild(Fault fault, int* ready) {
  int p[2];
  if (pipe(p) != 0) return -1;
  pid_t pid = fork();
  if (pid != 0) {
    close(p[1]);
    *ready = p[0];
    return pid;
  }
  close(p[0]);
  int fd = platform::BlockTerminationSignals();
  if (fd < 0) _exit(1);
  char byte = 1;
  if (write(p[1], &byte, 1) != 1) _exit(1);
  switch (fault) {
    case Fault::kNullWrite: *static_cast<volatile int*>(nullptr) = 1; break;
    case Fault::kRaise: raise(SIGSEGV); break;
    case Fault::kAbort: abort();
    case Fault::kNone: break;
  }
  pollfd pfd{fd, POLLIN, 0};
  int r;
  while ((r = poll(&pfd, 1, 5000)) < 0 && errno == EINTR) {
  }
  _exit(r == 1 ? kSawClose : kNoClose);
}

int WaitFor(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

}  // namespace

TEST(FaultSignals, SentOnesCloseAndTheProcesssOwnKeepTheirEnd) {
  for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGTRAP, SIGSYS}) {
    int ready = -1;
    pid_t child = StartChild(Fault::kNone, &ready);
    ASSERT_GT(child, 0);
    char byte;
    ASSERT_EQ(read(ready, &byte, 1), 1);
    close(ready);
    ASSERT_EQ(kill(child, sig), 0);
    int status = WaitFor(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kSawClose) << "signal " << sig << ", status " << status;
  }
  // A fault of its own, a raise and an abort: the process ends by the signal (or a sanitizer's
  // report of it), never as a close.
  for (Fault fault : {Fault::kNullWrite, Fault::kRaise, Fault::kAbort}) {
    int ready = -1;
    pid_t child = StartChild(fault, &ready);
    ASSERT_GT(child, 0);
    close(ready);
    int status = WaitFor(child);
    SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) + ", status " + std::to_string(status));
    EXPECT_FALSE(WIFEXITED(status) && (WEXITSTATUS(status) == kSawClose || WEXITSTATUS(status) == kNoClose));
    EXPECT_TRUE(WIFSIGNALED(status) || WIFEXITED(status));
  }
}
