// The engine bus, server side. See bus.h for the threads that enter it.
//
// A connection's life:
//
//   accepted -> peer uid checked (another uid is closed at once) -> HELLO sent -> frames read and
//   handled -> closed
//
// It closes when the peer closes (after every complete frame it wrote has been handled), on a bad
// frame, on a frame that cannot be buffered, when a write to it fails for good (EPIPE, ECONNRESET),
// or at BusDestroy. Closing marks the connection dead, signals its closed handle, fails the SENDs
// waiting on it with 0 and removes it from the window table; holders of a reference may still touch
// it safely (writes are refused).
//
// Order and nesting. Frames of one connection are handled in the order written: a SEND that arrives
// while the main thread waits in BusSend runs nested at once only when nothing of its connection is
// still queued and fewer than kMaxNesting handlers are running; otherwise it is queued like any other
// message. Nothing read lives on the stack of a wait: each connection reads into its own buffers.
// The engine's own work (its posts to itself, window timers) runs nested in a wait as well; a close
// never runs nested, but from the moment one is asked for no send waits any more.
//
// A window that does not answer. Each window is answering or silent:
//
//   answering --a SEND to it ran out, or it asked for something that must wait for the nesting to
//               unwind while the engine waits for it (neither side can go on)--> silent
//   silent    --any REPLY from it--> answering
//
// A SEND to a silent window is written (the window finds it when it reads again) but abandoned at
// once with result 0, so one window that stops reading costs everybody at most one wait.
//
// Running out. A frame whose payload cannot be reserved ends its connection; a message that cannot
// be queued is dropped (its SEND answered 0). When accept fails for want of descriptors, the
// listening socket is left out of the poll until a connection closes or a short retry delay passes,
// so the loop never spins on a listener it cannot serve.
#include "platform/bus.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/process.h"
#include "platform/wire.h"

namespace platform {

namespace {

constexpr uint32_t kEngineWindow = 0x00010000;
constexpr int kMaxNesting = 32;           // handlers running at once on the main thread
constexpr size_t kStageSize = 8192;       // bytes one recv takes
constexpr int kReadsPerTurn = 16;         // recvs per connection per turn of the loop
constexpr int64_t kAcceptRetryNs = 200 * 1000000LL;  // listener paused for want of descriptors
constexpr int64_t kEndpointCheckNs = 1000 * 1000000LL;  // the socket's look, without a directory watch
// What all connections together may hold: frames read and not yet handled (the one being read and
// those queued) and output not yet taken by the peers. Past a budget, a connection holding more than
// its even share is no longer read (input), or is written no more (output); the others go on.
constexpr size_t kInputBudget = 128u * 1024 * 1024;
constexpr size_t kOutputBudget = 64u * 1024 * 1024;
constexpr size_t kQueuedOverhead = sizeof(void*) * 16;  // a queued message's own cost, roughly

struct Connection {
  int fd = -1;
  uint32_t hwnd = 0;
  int32_t pid = 0;
  int closedFd = -1;  // eventfd, readable once the connection has closed
  bool dead = false;  // main thread only

  // Input (main thread only): the last recv's bytes from stageStart to stageEnd not yet taken by the
  // frame reader; whether the peer has closed its side; messages of this connection in the queue.
  FrameReader reader;
  uint8_t stage[kStageSize];
  size_t stageStart = 0;
  size_t stageEnd = 0;
  bool peerClosed = false;
  int queued = 0;
  size_t queuedBytes = 0;  // what its queued messages hold (payloads and their own cost)

  // Set when a SEND to this window ran out, or could never be answered (the window waits on the
  // engine's reply to a request of its own that the engine cannot take yet): later SENDs to it are
  // written and abandoned at once. Cleared by the next REPLY that comes from the window.
  std::atomic<bool> silent{false};

  // Output (any thread, under writeLock).
  std::mutex writeLock;
  std::vector<uint8_t> out;
  size_t outStart = 0;
  bool closedForWrites = false;
  bool broken = false;  // a write failed for good: the main thread closes the connection

  ~Connection() {
    if (closedFd >= 0) close(closedFd);
  }
};

using ConnectionRef = std::shared_ptr<Connection>;

struct QueuedMessage {
  bool quit = false;
  bool isSend = false;
  uint32_t sendId = 0;
  ConnectionRef from;  // the sender's connection (SENDs from clients), else null
  BusMessage m;
  std::vector<uint8_t> payload;
};

struct PendingSend {
  uint32_t hwnd = 0;
  uint32_t id = 0;
  bool onMain = false;  // the main thread waits for it, serving nested messages meanwhile
  bool done = false;
  int32_t result = 0;
};

struct Timer {
  uint32_t id;
  int32_t intervalMs;
  int64_t deadlineNs;
};

}  // namespace

struct Bus {
  std::string socketPath;
  int listenFd = -1;
  int wakeFd = -1;  // eventfd: another thread queued a message or left output buffered
  int signalFd = -1;  // termination signals, queued as WM_CLOSE
  // The endpoint kept for the engine's life (BusKeepEndpoint): the instance guard, the socket file's
  // identity, and a watch on their directory (inotify; without it, a look every second).
  int* guard = nullptr;
  int watchFd = -1;
  dev_t socketDev = 0;
  ino_t socketIno = 0;
  int64_t endpointCheckNs = 0;
  BusDispatch dispatch = nullptr;
  void* context = nullptr;
  std::thread::id mainThread;

  std::mutex tableLock;  // guards windows
  std::map<uint32_t, ConnectionRef> windows;
  std::atomic<size_t> windowCount{0};
  std::atomic<size_t> outputHeld{0};  // output queued for every connection together
  uint32_t nextWindow = kEngineWindow + 1;

  std::mutex queueLock;  // guards queue
  std::deque<QueuedMessage> queue;
  bool quitQueued = false;

  std::mutex sendLock;  // guards pending, nextSendId and abandoned
  std::condition_variable sendDone;
  std::list<PendingSend*> pending;
  uint32_t nextSendId = 1;
  bool abandoned = false;  // sends from other threads give up at once (BusAbandonSends)

  std::vector<Timer> timers;  // main thread only
  int depth = 0;              // main thread: handlers running (nested ones included)
  bool closing = false;       // main thread: a close is under way; no send waits any more
  bool acceptPaused = false;  // main thread: accept ran out of descriptors
  bool trimDue = false;       // main thread: much was freed; give it back once the queue is empty
  int64_t acceptRetryNs = 0;

  BusWindowClosed windowClosed = nullptr;
  void* windowClosedContext = nullptr;
  BusWaitHook waitHook = nullptr;
  void* waitHookContext = nullptr;
};

namespace {

void Wake(Bus* bus) {
  uint64_t one = 1;
  while (write(bus->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool OnMainThread(const Bus* bus) { return std::this_thread::get_id() == bus->mainThread; }

ConnectionRef FindWindow(Bus* bus, uint32_t hwnd) {
  std::lock_guard<std::mutex> lock(bus->tableLock);
  auto it = bus->windows.find(hwnd);
  return it == bus->windows.end() ? nullptr : it->second;
}

size_t PendingOutput(const Connection& c) { return c.out.size() - c.outStart; }

// Writes what the socket takes now; the rest waits for POLLOUT. A write that fails for good (the
// peer shut its reading side or reset the connection) drops the output and marks the connection
// broken, for the main thread to close. Caller holds writeLock.
void FlushLocked(Bus* bus, Connection& c) {
  size_t before = PendingOutput(c);
  while (c.outStart < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.outStart, c.out.size() - c.outStart, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
      c.broken = true;
      c.closedForWrites = true;
      c.out.clear();
      c.outStart = 0;
      bus->outputHeld.fetch_sub(before);
      return;
    }
    if (n <= 0) break;
    c.outStart += static_cast<size_t>(n);
  }
  if (c.outStart == c.out.size()) {
    c.out.clear();
    c.outStart = 0;
  } else if (c.outStart > (1u << 20) && c.outStart * 2 > c.out.size()) {
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<ptrdiff_t>(c.outStart));
    c.outStart = 0;
  }
  bus->outputHeld.fetch_sub(before - PendingOutput(c));
}

// Queues one frame for a connection. False when the connection is gone, its output is full or the
// frame cannot be buffered.
bool WriteFrame(Bus* bus, Connection& c, const FrameHeader& h, const void* payload, uint32_t cbData,
                const BusGate* gate = nullptr) {
  bool wake;
  bool written = true;
  {
    std::lock_guard<std::mutex> lock(c.writeLock);
    if (c.closedForWrites) return false;
    if (gate && gate->value->load() != gate->expected) return false;
    size_t frame = kFrameHeaderSize + cbData;
    size_t pending = PendingOutput(c);
    if (pending + frame > kBusOutputCap) return false;
    // Past the budget, only a window holding less than its share is written to.
    size_t share = kOutputBudget / std::max<size_t>(1, bus->windowCount.load());
    if (bus->outputHeld.load() + frame > kOutputBudget && pending + frame > share) return false;
    try {
      AppendFrame(c.out, h, payload, cbData);
    } catch (const std::exception&) {
      return false;
    }
    bus->outputHeld.fetch_add(frame);
    FlushLocked(bus, c);
    if (c.broken) written = false;
    wake = !c.out.empty() || c.broken;
  }
  if (wake && !OnMainThread(bus)) Wake(bus);  // the main loop adds POLLOUT for it, or closes it
  return written;
}

void FailSendsTo(Bus* bus, uint32_t hwnd) {
  std::lock_guard<std::mutex> lock(bus->sendLock);
  for (PendingSend* p : bus->pending)
    if (p->hwnd == hwnd && !p->done) {
      p->done = true;
      p->result = 0;
    }
  bus->sendDone.notify_all();
}

// The window is taken as not answering: every SEND waiting for it, on any thread, is abandoned now
// (result 0), and later ones are abandoned as soon as they are written.
void MarkSilent(Bus* bus, Connection& c) {
  c.silent.store(true);
  FailSendsTo(bus, c.hwnd);
}

// True when the main thread, somewhere down its stack of nested handlers, waits for this window.
bool MainWaitsOn(Bus* bus, uint32_t hwnd) {
  std::lock_guard<std::mutex> lock(bus->sendLock);
  for (const PendingSend* p : bus->pending)
    if (p->hwnd == hwnd && p->onMain && !p->done) return true;
  return false;
}

void CloseConnection(Bus* bus, const ConnectionRef& c) {
  if (c->dead) return;
  c->dead = true;
  bus->acceptPaused = false;  // a descriptor is free again
  if (c->reader.payload.capacity() + c->queuedBytes > (1u << 20)) bus->trimDue = true;
  c->reader.payload = std::vector<uint8_t>();
  {
    std::lock_guard<std::mutex> lock(c->writeLock);
    c->closedForWrites = true;
    bus->outputHeld.fetch_sub(PendingOutput(*c));
    c->out.clear();
    c->outStart = 0;
  }
  {
    std::lock_guard<std::mutex> lock(bus->tableLock);
    bus->windows.erase(c->hwnd);
    bus->windowCount.store(bus->windows.size());
  }
  FailSendsTo(bus, c->hwnd);
  uint64_t one = 1;
  if (write(c->closedFd, &one, sizeof one) < 0) {
  }
  shutdown(c->fd, SHUT_RDWR);
  close(c->fd);
  c->fd = -1;
  // closedFd stays open until the last reference goes: duplicates handed out stay readable.
  // BusDestroy closes the listener first: the windows it closes are not reported.
  if (bus->windowClosed && bus->listenFd >= 0) bus->windowClosed(bus->windowClosedContext, c->hwnd);
}

// Leaves the listener out of the poll until a connection closes or the retry delay has passed.
void PauseAccepting(Bus* bus) {
  bus->acceptPaused = true;
  bus->acceptRetryNs = MonotonicNs() + kAcceptRetryNs;
}

void Accept(Bus* bus) {
  for (;;) {
    int fd = accept4(bus->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) PauseAccepting(bus);
      return;
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
      close(fd);  // a peer of another user is never served
      continue;
    }
    ConnectionRef c;
    int closedFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    try {
      if (closedFd >= 0) c = std::make_shared<Connection>();
    } catch (const std::exception&) {
    }
    if (!c) {  // no descriptor or no memory for the window: this peer is turned away
      if (closedFd >= 0) close(closedFd);
      close(fd);
      PauseAccepting(bus);
      return;
    }
    c->fd = fd;
    c->pid = cred.pid;
    c->closedFd = closedFd;
    try {
      std::lock_guard<std::mutex> lock(bus->tableLock);
      uint32_t hwnd = bus->nextWindow;
      bus->windows[hwnd] = c;
      bus->windowCount.store(bus->windows.size());
      c->hwnd = hwnd;
      bus->nextWindow = hwnd + 1 == 0 ? kEngineWindow + 1 : hwnd + 1;
    } catch (const std::exception&) {
      close(fd);
      c->fd = -1;
      PauseAccepting(bus);
      return;
    }
    FrameHeader hello;
    hello.kind = kFrameHello;
    hello.msg = kBusProtocolVersion;
    hello.wParam = kEngineWindow;
    hello.lParam = c->hwnd;
    WriteFrame(bus, *c, hello, nullptr, 0);
  }
}

void Reply(Bus* bus, const ConnectionRef& to, uint32_t id, int32_t result) {
  if (!to) return;
  FrameHeader r;
  r.kind = kFrameReply;
  r.id = id;
  r.lParam = static_cast<uint32_t>(result);
  WriteFrame(bus, *to, r, nullptr, 0);
}

bool IsClose(const BusMessage& m) { return m.msg == kWmClose || m.msg == kWmDestroy; }

int32_t Dispatch(Bus* bus, const BusMessage& m) {
  // From a close on, what the engine sends is written but never waited for: the teardown tells the
  // clients what it must and ends, whoever does not answer.
  if (IsClose(m)) bus->closing = true;
  ++bus->depth;
  int32_t result = bus->dispatch(bus->context, m);
  --bus->depth;
  return result;
}

// Queues a message; false when it cannot be (no memory), in which case nothing was queued.
bool Enqueue(Bus* bus, QueuedMessage&& q) {
  std::lock_guard<std::mutex> lock(bus->queueLock);
  if (bus->quitQueued) return true;  // nothing after the quit is handled
  try {
    bus->queue.push_back(std::move(q));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

// Handles one complete frame taken from a connection. `nested` is set while the main thread waits
// for a REPLY: a SEND then runs at once, unless the nesting is at its limit or earlier messages of
// its connection still wait in the queue (they go first).
void HandleFrame(Bus* bus, const ConnectionRef& c, const FrameHeader& h, std::vector<uint8_t>&& payload,
                 bool nested) {
  switch (h.kind) {
    case kFrameReply: {
      c->silent.store(false);  // it reads and answers again
      std::lock_guard<std::mutex> lock(bus->sendLock);
      for (PendingSend* p : bus->pending)
        if (p->hwnd == c->hwnd && p->id == h.id && !p->done) {
          p->done = true;
          p->result = static_cast<int32_t>(h.lParam);
          bus->sendDone.notify_all();
          break;
        }
      return;  // a REPLY that answers nothing in flight is ignored
    }
    case kFramePost:
    case kFrameSend: {
      bool isSend = h.kind == kFrameSend;
      if (h.hwnd != kEngineWindow) {  // only the engine window is routed
        if (isSend) Reply(bus, c, h.id, 0);
        return;
      }
      QueuedMessage q;
      q.isSend = isSend;
      q.sendId = h.id;
      q.from = c;
      q.m.hwnd = h.hwnd;
      q.m.source = c->hwnd;
      q.m.msg = h.msg;
      q.m.wParam = h.wParam;
      q.m.lParam = h.lParam;
      q.m.dwData = h.dwData;
      q.m.cbData = h.cbData;
      q.payload = std::move(payload);
      if (isSend && nested) {
        // A close never runs nested: the waits below it are abandoned, and it runs once they have
        // unwound, in its turn.
        if (IsClose(q.m)) {
          bus->closing = true;
        } else if (bus->depth < kMaxNesting && c->queued == 0) {
          q.m.payload = q.payload.empty() ? nullptr : q.payload.data();
          int32_t result = Dispatch(bus, q.m);
          Reply(bus, c, q.sendId, result);
          return;
        } else if (bus->depth >= kMaxNesting && MainWaitsOn(bus, c->hwnd)) {
          // The window waits for the reply to a request that cannot run before the waits unwind,
          // while the engine waits for the window: neither can answer. The engine stops waiting.
          MarkSilent(bus, *c);
        }
      }
      size_t cost = q.payload.capacity() + kQueuedOverhead;
      ++c->queued;
      c->queuedBytes += cost;
      if (!Enqueue(bus, std::move(q))) {
        --c->queued;
        c->queuedBytes -= cost;
        if (isSend) Reply(bus, c, h.id, 0);
      }
      return;
    }
    default:
      return;  // unknown kinds and HELLOs from clients are ignored
  }
}

// Reads what is available (a bounded amount per turn) and handles every complete frame. A bad size,
// a cbData that disagrees with the size or a payload that cannot be buffered ends this connection
// only. When the peer has closed, every complete frame it wrote is handled before the connection
// closes. Reentrant: a frame leaves the reader and the stage before it is handled, so a nested
// dispatch reads on from where this one stopped.
void ReadConnection(Bus* bus, const ConnectionRef& c, bool nested) {
  int reads = 0;
  while (!c->dead) {
    if (c->stageStart < c->stageEnd) {
      size_t used = 0;
      FrameStatus status = FrameReaderPush(c->reader, c->stage + c->stageStart, c->stageEnd - c->stageStart, &used);
      c->stageStart += used;
      if (status == kFrameBad || status == kFrameNoMemory) {
        CloseConnection(bus, c);
        return;
      }
      if (status == kFrameComplete) {
        FrameHeader h;
        std::vector<uint8_t> payload;
        FrameReaderTake(c->reader, &h, &payload);
        HandleFrame(bus, c, h, std::move(payload), nested);
      }
      continue;
    }
    if (c->peerClosed) {
      CloseConnection(bus, c);
      return;
    }
    if (reads == kReadsPerTurn) return;  // the rest waits for the next turn
    ssize_t n = recv(c->fd, c->stage, kStageSize, MSG_DONTWAIT);
    ++reads;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      c->peerClosed = true;  // end of file or a reset: nothing more will come
      continue;
    }
    c->stageStart = 0;
    c->stageEnd = static_cast<size_t>(n);
  }
}

// The socket file at the path, when it is the one this engine bound.
bool SocketIsOurs(const Bus* bus) {
  struct stat st;
  return bus->socketIno != 0 && stat(bus->socketPath.c_str(), &st) == 0 && st.st_dev == bus->socketDev &&
         st.st_ino == bus->socketIno;
}

void RememberSocket(Bus* bus) {
  struct stat st;
  if (stat(bus->socketPath.c_str(), &st) != 0) return;
  bus->socketDev = st.st_dev;
  bus->socketIno = st.st_ino;
}

void WatchDirectory(Bus* bus) {
  if (bus->watchFd >= 0)
    inotify_add_watch(bus->watchFd, DirectoryOf(bus->socketPath).c_str(),
                      IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF);
}

// Something was removed beside the socket (or the look is due): the directory, the lock and the
// socket are made again where they are missing. Connections already made stay as they are; those
// waiting on the old listener are taken first.
void RestoreEndpoint(Bus* bus) {
  if (bus->watchFd >= 0) {
    alignas(inotify_event) char events[4096];
    while (read(bus->watchFd, events, sizeof events) > 0) {
    }
  }
  bus->endpointCheckNs = MonotonicNs() + kEndpointCheckNs;
  if (bus->listenFd < 0) return;
  EnsurePrivateDirectory(DirectoryOf(bus->socketPath));
  WatchDirectory(bus);
  InstanceGuardRenew(bus->socketPath, bus->guard);
  if (SocketIsOurs(bus)) return;
  Accept(bus);
  int fd = BusListen(bus->socketPath);
  if (fd < 0) return;  // tried again at the next event or look
  close(bus->listenFd);
  bus->listenFd = fd;
  bus->acceptPaused = false;
  RememberSocket(bus);
}

// One turn of I/O: waits up to timeoutMs for something to happen, then accepts, reads and flushes.
void Pump(Bus* bus, int timeoutMs, bool nested) {
  std::vector<ConnectionRef> conns;
  std::vector<pollfd> fds;
  try {
    std::lock_guard<std::mutex> lock(bus->tableLock);
    conns.reserve(bus->windows.size());
    fds.reserve(bus->windows.size() + 3);
    for (auto& [hwnd, c] : bus->windows) conns.push_back(c);
  } catch (const std::exception&) {
    SleepMs(10);  // no memory for this turn; try again shortly rather than spin
    return;
  }
  if (bus->acceptPaused && MonotonicNs() >= bus->acceptRetryNs) bus->acceptPaused = false;
  if (bus->acceptPaused) {
    int retryMs = static_cast<int>((bus->acceptRetryNs - MonotonicNs()) / 1000000 + 1);
    if (timeoutMs < 0 || timeoutMs > retryMs) timeoutMs = retryMs;
  }
  fds.push_back({bus->wakeFd, POLLIN, 0});
  fds.push_back({bus->acceptPaused ? -1 : bus->listenFd, POLLIN, 0});
  fds.push_back({bus->signalFd, POLLIN, 0});  // a negative descriptor is skipped by poll
  fds.push_back({bus->watchFd, POLLIN, 0});
  if (bus->guard && bus->watchFd < 0) {
    int checkMs = static_cast<int>(std::max<int64_t>(0, (bus->endpointCheckNs - MonotonicNs()) / 1000000) + 1);
    if (timeoutMs < 0 || timeoutMs > checkMs) timeoutMs = checkMs;
  }
  // Input held by each connection and by all: past the budget, those above their share wait.
  size_t inputHeld = 0;
  for (auto& c : conns) inputHeld += c->reader.payload.capacity() + c->queuedBytes;
  size_t n = std::max<size_t>(1, conns.size());
  bool inputPressed = inputHeld >= kInputBudget;
  bool outputPressed = bus->outputHeld.load() >= kOutputBudget / 2;
  std::vector<bool> held(conns.size(), false);
  for (size_t i = 0; i < conns.size(); ++i) {
    auto& c = conns[i];
    short events = POLLIN;
    bool broken;
    size_t pending;
    {
      std::lock_guard<std::mutex> lock(c->writeLock);
      pending = PendingOutput(*c);
      broken = c->broken;
    }
    if (broken) {
      CloseConnection(bus, c);
      timeoutMs = 0;
    }
    // A connection over its share is not read (it may still be written to) until it is under again,
    // or until its peer has gone: then what it left is read, so that the connection ends.
    held[i] = (inputPressed && c->reader.payload.capacity() + c->queuedBytes >= kInputBudget / n) ||
              (outputPressed && pending >= kOutputBudget / 2 / n);
    if (held[i]) events = 0;
    if (pending) events |= POLLOUT;
    fds.push_back({c->dead ? -1 : c->fd, events, 0});
  }
  int r = poll(fds.data(), fds.size(), timeoutMs);
  if (r < 0 && errno != EINTR) SleepMs(10);  // never spin on a failing poll
  if (r == 0 && bus->guard && bus->watchFd < 0 && MonotonicNs() >= bus->endpointCheckNs) RestoreEndpoint(bus);
  if (r <= 0) return;
  if (fds[0].revents & POLLIN) {
    uint64_t v;
    while (read(bus->wakeFd, &v, sizeof v) < 0 && errno == EINTR) {
    }
  }
  if (fds[1].revents & POLLIN) Accept(bus);
  if (fds[2].revents & POLLIN) {
    DrainTerminationSignals(bus->signalFd);
    BusPostToEngine(bus, kWmClose, 0, 0);
  }
  if ((fds[3].revents & POLLIN) || (bus->guard && bus->watchFd < 0 && MonotonicNs() >= bus->endpointCheckNs))
    RestoreEndpoint(bus);
  for (size_t i = 0; i < conns.size(); ++i) {
    const ConnectionRef& c = conns[i];
    short re = fds[i + 4].revents;
    if (c->dead || re == 0) continue;
    if (re & (POLLOUT | POLLHUP | POLLERR)) {
      std::lock_guard<std::mutex> lock(c->writeLock);
      FlushLocked(bus, *c);
    }
    if ((!held[i] && (re & POLLIN)) || (re & (POLLHUP | POLLERR))) ReadConnection(bus, c, nested);
  }
}

int64_t NextTimerDelayMs(Bus* bus) {
  if (bus->timers.empty()) return -1;
  int64_t now = MonotonicNs();
  int64_t soonest = INT64_MAX;
  for (const Timer& t : bus->timers) soonest = std::min(soonest, t.deadlineNs);
  int64_t ms = (soonest - now + 999999) / 1000000;
  return ms < 0 ? 0 : std::min<int64_t>(ms, 60000);
}

void ExpireTimers(Bus* bus) {
  int64_t now = MonotonicNs();
  for (Timer& t : bus->timers) {
    if (t.deadlineNs > now) continue;
    t.deadlineNs = now + static_cast<int64_t>(std::max(t.intervalMs, 0)) * 1000000;
    std::lock_guard<std::mutex> lock(bus->queueLock);
    bool alreadyQueued = false;
    for (const QueuedMessage& q : bus->queue)
      if (!q.quit && !q.from && q.m.msg == kWmTimer && q.m.wParam == t.id) alreadyQueued = true;
    if (alreadyQueued || bus->quitQueued) continue;
    QueuedMessage q;
    q.m.hwnd = kEngineWindow;
    q.m.msg = kWmTimer;
    q.m.wParam = t.id;
    try {
      bus->queue.push_back(std::move(q));
    } catch (const std::exception&) {
      t.deadlineNs = now;  // expires again at the next turn
    }
  }
}

// Main thread, while a SEND waits for its REPLY: the engine's own work does not wait behind a client.
// Window timers that are due, and messages the engine posted to itself (the stop of a playback that
// ended, the unregistration of a client that is gone), run now, nested, ahead of the clients' POSTs
// queued before them. A close is left in its place, but from then on no send waits.
void RunEngineWork(Bus* bus) {
  ExpireTimers(bus);
  while (bus->depth < kMaxNesting && !bus->closing) {
    QueuedMessage q;
    {
      std::lock_guard<std::mutex> lock(bus->queueLock);
      auto it = std::find_if(bus->queue.begin(), bus->queue.end(),
                             [](const QueuedMessage& m) { return !m.from && !m.quit; });
      if (it == bus->queue.end()) return;
      if (IsClose(it->m)) {
        bus->closing = true;
        return;
      }
      q = std::move(*it);
      bus->queue.erase(it);
    }
    q.m.payload = q.payload.empty() ? nullptr : q.payload.data();
    Dispatch(bus, q.m);
  }
}

// Main thread.
bool PopMessage(Bus* bus, QueuedMessage* out) {
  {
    std::lock_guard<std::mutex> lock(bus->queueLock);
    if (bus->queue.empty()) return false;
    *out = std::move(bus->queue.front());
    bus->queue.pop_front();
  }
  if (out->from) {
    --out->from->queued;
    out->from->queuedBytes -= out->payload.capacity() + kQueuedOverhead;
  }
  return true;
}

}  // namespace

Bus* BusCreate(const std::string& socketPath, int listenFd, BusDispatch dispatch, void* context) {
  Bus* bus = new Bus;
  bus->socketPath = socketPath;
  bus->listenFd = listenFd;
  bus->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  bus->dispatch = dispatch;
  bus->context = context;
  bus->mainThread = std::this_thread::get_id();
  return bus;
}

uint32_t BusEngineWindow(const Bus*) { return kEngineWindow; }

void BusDestroy(Bus* bus) {
  if (!bus) return;
  // The path goes first, while this engine still listens: an engine starting meanwhile either finds
  // this one (and ends) or finds no path and binds its own, which nothing here removes afterwards.
  if (bus->socketIno == 0 || SocketIsOurs(bus)) unlink(bus->socketPath.c_str());
  if (bus->listenFd >= 0) close(bus->listenFd);
  if (bus->watchFd >= 0) close(bus->watchFd);
  bus->listenFd = -1;
  // Give queued output (the last notifications) a bounded chance to leave.
  int64_t deadline = MonotonicNs() + 1000LL * 1000000;
  for (;;) {
    std::vector<ConnectionRef> conns;
    {
      std::lock_guard<std::mutex> lock(bus->tableLock);
      for (auto& [hwnd, c] : bus->windows) conns.push_back(c);
    }
    std::vector<pollfd> fds;
    for (auto& c : conns) {
      std::lock_guard<std::mutex> lock(c->writeLock);
      FlushLocked(bus, *c);
      if (!c->out.empty()) fds.push_back({c->fd, POLLOUT, 0});
    }
    int64_t left = (deadline - MonotonicNs()) / 1000000;
    if (fds.empty() || left <= 0) break;
    poll(fds.data(), fds.size(), static_cast<int>(left));
  }
  std::vector<ConnectionRef> conns;
  {
    std::lock_guard<std::mutex> lock(bus->tableLock);
    for (auto& [hwnd, c] : bus->windows) conns.push_back(c);
  }
  for (auto& c : conns) CloseConnection(bus, c);
  close(bus->wakeFd);
  if (bus->signalFd >= 0) close(bus->signalFd);
  delete bus;
}

int BusTurn(Bus* bus, int timeoutMs) {
  QueuedMessage q;
  if (PopMessage(bus, &q)) {
    if (q.quit) return -1;
    q.m.payload = q.payload.empty() ? nullptr : q.payload.data();
    int32_t result = Dispatch(bus, q.m);
    if (q.isSend) Reply(bus, q.from, q.sendId, result);
    return 1;
  }
  if (bus->trimDue) {
    // What a crowd of connections held goes back to the system once they are gone, rather than
    // staying with the process.
    bus->trimDue = false;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
  }
  int64_t wait = NextTimerDelayMs(bus);
  if (timeoutMs >= 0 && (wait < 0 || wait > timeoutMs)) wait = timeoutMs;
  Pump(bus, static_cast<int>(wait), false);
  ExpireTimers(bus);
  return 0;
}

void BusRun(Bus* bus) {
  bus->mainThread = std::this_thread::get_id();
  while (BusTurn(bus, -1) >= 0) {
  }
}

void BusPostQuit(Bus* bus) {
  std::lock_guard<std::mutex> lock(bus->queueLock);
  if (bus->quitQueued) return;
  QueuedMessage q;
  q.quit = true;
  try {
    bus->queue.push_back(std::move(q));
  } catch (const std::exception&) {
    bus->queue.clear();  // the quit must get through: what was queued is dropped instead
    bus->queue.push_back(std::move(q));
  }
  bus->quitQueued = true;
}

int32_t BusDispatchNow(Bus* bus, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  BusMessage m;
  m.hwnd = kEngineWindow;
  m.msg = msg;
  m.wParam = wParam;
  m.lParam = lParam;
  return Dispatch(bus, m);
}

void BusPostToEngine(Bus* bus, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  QueuedMessage q;
  q.m.hwnd = kEngineWindow;
  q.m.msg = msg;
  q.m.wParam = wParam;
  q.m.lParam = lParam;
  Enqueue(bus, std::move(q));  // dropped when it cannot be queued
  if (!OnMainThread(bus)) Wake(bus);
}

void BusPost(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  ConnectionRef c = FindWindow(bus, hwnd);
  if (!c) return;
  WriteFrame(bus, *c, HeaderFor(kFramePost, 0, hwnd, msg, wParam, lParam, 0), nullptr, 0);
}

namespace {

// Under sendLock: the id of a new SEND (never 0).
uint32_t TakeSendId(Bus* bus) {
  uint32_t id = bus->nextSendId++;
  if (bus->nextSendId == 0) bus->nextSendId = 1;
  return id;
}

FrameHeader SendHeader(uint32_t id, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData) {
  return HeaderFor(kFrameSend, id, hwnd, msg, wParam, lParam, dwData);
}

int32_t SendAndWait(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                    const void* payload, uint32_t cbData, const BusGate* gate) {
  ConnectionRef c = FindWindow(bus, hwnd);
  if (!c) return 0;
  bool onMain = OnMainThread(bus);
  // A window known not to answer, or a close under way: the message is delivered, not waited for.
  bool wait = !c->silent.load() && !(onMain && bus->closing);
  PendingSend pending;
  pending.hwnd = hwnd;
  pending.onMain = onMain;
  try {
    std::lock_guard<std::mutex> lock(bus->sendLock);
    // Once the teardown has given up other threads' sends, theirs are not even written.
    if (bus->abandoned && !onMain) return 0;
    pending.id = TakeSendId(bus);
    if (wait) bus->pending.push_back(&pending);
  } catch (const std::exception&) {
    return 0;
  }
  bool written = WriteFrame(bus, *c, SendHeader(pending.id, hwnd, msg, wParam, lParam, dwData), payload, cbData, gate);
  if (!wait) return 0;
  int64_t deadline = MonotonicNs() + static_cast<int64_t>(kBusSendTimeoutMs) * 1000000;
  bool ranOut = false;
  if (written && onMain) {
    // The main thread keeps serving: nested SENDs and the engine's own work run now, clients' POSTs
    // wait in the queue.
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(bus->sendLock);
        if (pending.done) break;
      }
      if (bus->closing) break;
      int64_t left = (deadline - MonotonicNs()) / 1000000;
      if (left <= 0) {
        ranOut = true;
        break;
      }
      if (bus->waitHook) bus->waitHook(bus->waitHookContext);
      int64_t timer = NextTimerDelayMs(bus);
      int64_t turn = std::min<int64_t>(left, 100);
      if (timer >= 0 && timer < turn) turn = timer;
      Pump(bus, static_cast<int>(turn), true);
      RunEngineWork(bus);
    }
  } else if (written) {
    std::unique_lock<std::mutex> lock(bus->sendLock);
    ranOut = !bus->sendDone.wait_until(
        lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusSendTimeoutMs),
        [&] { return pending.done || bus->abandoned; });
  }
  bool answered;
  int32_t result;
  {
    std::lock_guard<std::mutex> lock(bus->sendLock);
    bus->pending.remove(&pending);
    answered = pending.done;
    result = pending.result;
  }
  if (ranOut && !answered) MarkSilent(bus, *c);
  return answered ? result : 0;
}

}  // namespace

int32_t BusSend(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                const void* payload, uint32_t cbData) {
  return SendAndWait(bus, hwnd, msg, wParam, lParam, dwData, payload, cbData, nullptr);
}

int32_t BusSendGated(Bus* bus, const BusGate& gate, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam,
                     uint32_t dwData, const void* payload, uint32_t cbData) {
  return SendAndWait(bus, hwnd, msg, wParam, lParam, dwData, payload, cbData, &gate);
}

bool BusSendNoWait(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                   const void* payload, uint32_t cbData) {
  ConnectionRef c = FindWindow(bus, hwnd);
  if (!c) return false;
  uint32_t id;
  {
    std::lock_guard<std::mutex> lock(bus->sendLock);
    id = TakeSendId(bus);  // its REPLY answers nothing in flight and is ignored
  }
  return WriteFrame(bus, *c, SendHeader(id, hwnd, msg, wParam, lParam, dwData), payload, cbData);
}

void BusAbandonSends(Bus* bus) {
  std::lock_guard<std::mutex> lock(bus->sendLock);
  bus->abandoned = true;
  bus->sendDone.notify_all();
}

void BusWatchTermination(Bus* bus, int signalFd) { bus->signalFd = signalFd; }

void BusKeepEndpoint(Bus* bus, int* guard) {
  bus->guard = guard;
  bus->watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  WatchDirectory(bus);
  RememberSocket(bus);
  bus->endpointCheckNs = MonotonicNs() + kEndpointCheckNs;
}

void BusSetWindowClosedHandler(Bus* bus, BusWindowClosed closed, void* context) {
  bus->windowClosed = closed;
  bus->windowClosedContext = context;
}

void BusSetWaitHook(Bus* bus, BusWaitHook hook, void* context) {
  bus->waitHook = hook;
  bus->waitHookContext = context;
}

void BusSetTimer(Bus* bus, uint32_t id, int32_t ms) {
  int64_t due = MonotonicNs() + static_cast<int64_t>(std::max(ms, 0)) * 1000000;
  for (Timer& t : bus->timers)
    if (t.id == id) {
      t.intervalMs = ms;
      t.deadlineNs = due;
      return;
    }
  bus->timers.push_back({id, ms, due});
}

bool BusKillTimer(Bus* bus, uint32_t id) {
  auto it = std::find_if(bus->timers.begin(), bus->timers.end(), [&](const Timer& t) { return t.id == id; });
  if (it == bus->timers.end()) return false;
  bus->timers.erase(it);
  // A WM_TIMER already queued for it is withdrawn, so a killed timer never fires.
  std::lock_guard<std::mutex> lock(bus->queueLock);
  for (auto q = bus->queue.begin(); q != bus->queue.end(); ++q)
    if (!q->quit && !q->from && q->m.msg == kWmTimer && q->m.wParam == id) {
      bus->queue.erase(q);
      break;
    }
  return true;
}

int32_t BusWindowProcess(Bus* bus, uint32_t hwnd) {
  ConnectionRef c = FindWindow(bus, hwnd);
  return c ? c->pid : 0;
}

int BusWindowClosedHandle(Bus* bus, uint32_t hwnd) {
  ConnectionRef c = FindWindow(bus, hwnd);
  if (!c) return -1;
  return fcntl(c->closedFd, F_DUPFD_CLOEXEC, 0);
}

bool BusWindowExists(Bus* bus, uint32_t hwnd) { return FindWindow(bus, hwnd) != nullptr; }

}  // namespace platform
