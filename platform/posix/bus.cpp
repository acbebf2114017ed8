// The engine bus, server side. See bus.h for the threads that enter it.
//
// A connection's life:
//
//   accepted -> peer uid checked (another uid is closed at once) -> process's window count checked
//   (past kMaxWindowsPerProcess closed at once) -> HELLO sent -> frames read and handled -> closed
//
// It closes when the peer closes (after every complete frame it wrote has been handled), on a bad
// frame, on a frame that cannot be buffered, when a write to it fails for good (EPIPE, ECONNRESET),
// or at BusDestroy. Closing marks the connection dead, signals its closed handle, fails the SENDs
// waiting on it with 0 and removes it from the window table; holders of a reference may still touch
// it safely (writes are refused).
//
// Peers. Every connection belongs to its peer process (SO_PEERCRED): the process, not the window,
// is what answers or does not, and what holds memory. Each peer process is answering or silent:
//
//   answering --a SEND to any of its windows ran out, or one of them asked for something that must
//               wait for the nesting to unwind while the engine waits for it--> silent
//   silent    --a REPLY from any of its windows to a SEND the engine wrote and has not yet seen
//               answered--> answering
//
// A SEND to a silent process is written (its window finds it when it reads again) but not waited
// for (result 0). A REPLY that answers nothing in flight changes nothing.
//
// Order and nesting. Frames of one connection are handled in the order written. While the main
// thread waits for a REPLY, queued messages run nested (at most kMaxNesting handlers deep), each the
// first of its connection still queued: the engine's own work, the messages of connections with
// nothing being handled below, and the requests a client makes while it handles the engine's
// message (SENDs that arrive during a wait with nothing of their connection queued). Nothing read
// lives on the stack of a wait: each connection reads into its own buffers. A close (from a client, the engine or
// a signal) never runs nested: from the moment it is read no send waits any more, and it runs in
// its turn once the waits have unwound.
//
// Who is waited for. A handler on the main thread waits only for the process whose message it
// handles (the engine's own work and another client's request wait for nobody), and for each
// process once at a time, apart from that window's own requests nested in the wait. A wait ends at
// the REPLY, after 2 s (the process turns silent), at a close, as soon as a wait beneath it is over
// (its handler must not be held by one above), or at the nesting limit when another client's message
// is waiting to run. So one slow or silent process costs the others nothing but the turn of the loop
// in which its wait is let go.
//
// Memory. All connections together may hold kInputBudget of input (frames read and not yet
// handled) and kOutputBudget of output not yet taken. Past a budget, the processes holding more
// than their even share (the budget divided among the processes holding any) are no longer read,
// or no longer written to; the other processes go on.
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
#include "platform/posix/process_posix.h"
#include "platform/process.h"
#include "platform/wire.h"

namespace platform {

namespace {

constexpr uint32_t kEngineWindow = 0x00010000;
constexpr int kMaxNesting = 32;           // handlers running at once on the main thread
constexpr size_t kStageSize = 8192;       // bytes one recv takes
constexpr int kReadsPerTurn = 16;         // recvs per connection per turn of the loop
// Messages of one connection waiting in the queue: past this many it is not read on, so that a
// flood of small messages from one client queues a bounded number ahead of everybody else's.
constexpr int kQueuedPerConnection = 64;
constexpr int64_t kAcceptRetryNs = 200 * 1000000LL;  // listener paused for want of descriptors
constexpr int64_t kEndpointCheckNs = 1000 * 1000000LL;  // the socket's look, without a directory watch
constexpr size_t kInputBudget = 128u * 1024 * 1024;
constexpr size_t kOutputBudget = 64u * 1024 * 1024;
constexpr size_t kQueuedOverhead = sizeof(void*) * 16;  // a queued message's own cost, roughly
constexpr size_t kUnansweredKept = 64;    // SENDs not waited for whose REPLY is still recognised
constexpr int64_t kFlushAtEndNs = 500 * 1000000LL;  // BusDestroy's last chance for queued output

struct Peer {
  int32_t pid = 0;
  int windows = 0;                    // under the table lock
  std::atomic<bool> silent{false};
  std::atomic<size_t> output{0};      // output queued for its windows and not yet taken
  size_t input = 0;                   // main thread: input its windows hold, as of the last turn
  uint64_t inputTurn = 0;             // main thread: the turn `input` was summed in
  int waits = 0;                      // main thread: waits on it in the main thread's stack
};

using PeerRef = std::shared_ptr<Peer>;

struct Connection {
  int fd = -1;
  uint32_t hwnd = 0;
  PeerRef peer;
  int closedFd = -1;  // eventfd, made when a closed handle is first asked for; readable once closed
  bool dead = false;  // main thread only
  int active = 0;     // main thread: handlers of its messages running (nested ones included)
  uint64_t scanMark = 0;  // main thread: the queue scan that last met one of its messages

  // Input (main thread only): the last recv's bytes from stageStart to stageEnd not yet taken by the
  // frame reader; whether the peer has closed its side; messages of this connection in the queue.
  FrameReader reader;
  uint8_t stage[kStageSize];
  size_t stageStart = 0;
  size_t stageEnd = 0;
  bool peerClosed = false;
  int queued = 0;
  size_t queuedBytes = 0;  // what its queued messages hold (payloads and their own cost)

  // Ids of SENDs written to it and not waited for (or no longer), whose REPLY still shows that the
  // window answers again; the oldest are forgotten. Guarded by the bus's send lock.
  std::deque<uint32_t> unanswered;

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
  // A SEND that arrived while the main thread waited, with nothing of its connection queued: a
  // request the client makes while it handles the engine's message, which may run nested even while
  // an earlier message of its connection is being handled below.
  bool nestedRequest = false;
  uint32_t sendId = 0;
  ConnectionRef from;  // the sender's connection (messages from clients), else null
  BusMessage m;
  std::vector<uint8_t> payload;
};

struct PendingSend {
  uint32_t hwnd = 0;
  uint32_t id = 0;
  Peer* peer = nullptr;
  bool onMain = false;  // the main thread waits for it, serving nested messages meanwhile
  bool done = false;
  int32_t result = 0;
  int64_t deadlineNs = 0;
};

// A handler running on the main thread: the connection whose message it handles (null for the
// engine's own work), and whether that message was its window's request nested in a wait for that
// very window.
struct HandlerFrame {
  const Connection* from = nullptr;
  const Peer* owner = nullptr;
  bool chained = false;
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

  std::mutex tableLock;  // guards windows and peers
  std::map<uint32_t, ConnectionRef> windows;
  std::map<int32_t, PeerRef> peers;
  std::atomic<size_t> outputHeld{0};     // output queued for every connection together
  std::atomic<size_t> outputHolders{0};  // peers with output queued
  uint32_t nextWindow = kEngineWindow + 1;

  std::mutex queueLock;  // guards queue
  std::deque<QueuedMessage> queue;
  bool quitQueued = false;

  std::mutex sendLock;  // guards pending, nextSendId, abandoned and every connection's unanswered
  std::condition_variable sendDone;
  std::list<PendingSend*> pending;
  uint32_t nextSendId = 1;
  bool abandoned = false;  // sends from other threads give up at once (BusAbandonSends)

  // Main thread only.
  std::vector<Timer> timers;
  std::vector<HandlerFrame> frames;  // the handlers running, innermost last
  std::vector<PendingSend*> waits;   // the main thread's waits, innermost last
  int depth = 0;                     // handlers running (nested ones included)
  bool closing = false;              // a close is under way; no send waits any more
  bool acceptPaused = false;         // accept ran out of descriptors
  bool trimDue = false;              // much was freed; give it back once the queue is empty
  int64_t acceptRetryNs = 0;
  uint64_t turn = 0;                 // turns of I/O, for the peers' input sums
  uint64_t scan = 0;                 // queue scans, for the connections' marks

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

// Output accounting, under the connection's write lock: the bus's total, the peer's, and the number
// of peers holding any (each peer's rise from 0 and fall to 0 is seen by exactly one of these calls).
void AddOutput(Bus* bus, Connection& c, size_t n) {
  if (n == 0) return;
  bus->outputHeld.fetch_add(n);
  if (c.peer->output.fetch_add(n) == 0) bus->outputHolders.fetch_add(1);
}

void SubOutput(Bus* bus, Connection& c, size_t n) {
  if (n == 0) return;
  bus->outputHeld.fetch_sub(n);
  if (c.peer->output.fetch_sub(n) == n) bus->outputHolders.fetch_sub(1);
}

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
      SubOutput(bus, c, before);
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
  SubOutput(bus, c, before - PendingOutput(c));
}

// Past the output budget, only a process holding less than its share is written to.
bool WithinOutputShare(const Bus* bus, const Connection& c, size_t frame) {
  if (bus->outputHeld.load() + frame <= kOutputBudget) return true;
  size_t own = c.peer->output.load();
  size_t holders = bus->outputHolders.load() + (own == 0 ? 1 : 0);
  return own + frame <= kOutputBudget / std::max<size_t>(1, holders);
}

// Queues one frame for a connection. False when the connection is gone, its output is full, its
// process is past its share of the output budget, or the frame cannot be buffered.
bool WriteFrame(Bus* bus, Connection& c, const FrameHeader& h, const void* payload, uint32_t cbData,
                const BusGate* gate = nullptr, bool pastLimits = false) {
  bool wake;
  bool written = true;
  {
    std::lock_guard<std::mutex> lock(c.writeLock);
    if (c.closedForWrites) return false;
    if (gate && gate->value->load() != gate->expected) return false;
    size_t frame = kFrameHeaderSize + cbData;
    if (!pastLimits && PendingOutput(c) + frame > kBusOutputCap) return false;
    if (!pastLimits && !WithinOutputShare(bus, c, frame)) return false;
    try {
      AppendFrame(c.out, h, payload, cbData);
    } catch (const std::exception&) {
      return false;
    }
    AddOutput(bus, c, frame);
    FlushLocked(bus, c);
    if (c.broken) written = false;
    wake = !c.out.empty() || c.broken;
  }
  if (wake && !OnMainThread(bus)) Wake(bus);  // the main loop adds POLLOUT for it, or closes it
  return written;
}

// Under sendLock: a SEND to `c` that nobody waits for (any more), whose REPLY still counts.
void RememberUnanswered(Connection& c, uint32_t id) {
  try {
    c.unanswered.push_back(id);
  } catch (const std::exception&) {
    return;
  }
  if (c.unanswered.size() > kUnansweredKept) c.unanswered.pop_front();
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

// The process is taken as not answering: every SEND waiting for any of its windows, on any thread,
// is abandoned now (result 0), and later ones are not waited for.
void MarkSilent(Bus* bus, Peer& peer) {
  peer.silent.store(true);
  std::lock_guard<std::mutex> lock(bus->sendLock);
  for (PendingSend* p : bus->pending)
    if (p->peer == &peer && !p->done) {
      p->done = true;
      p->result = 0;
    }
  bus->sendDone.notify_all();
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
    SubOutput(bus, *c, PendingOutput(*c));
    c->out.clear();
    c->outStart = 0;
  }
  {
    std::lock_guard<std::mutex> lock(bus->tableLock);
    bus->windows.erase(c->hwnd);
    if (--c->peer->windows == 0) bus->peers.erase(c->peer->pid);
  }
  FailSendsTo(bus, c->hwnd);
  if (c->closedFd >= 0) {
    uint64_t one = 1;
    if (write(c->closedFd, &one, sizeof one) < 0) {
    }
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
    try {
      c = std::make_shared<Connection>();
    } catch (const std::exception&) {
    }
    if (!c) {  // no memory for the window: this peer is turned away
      close(fd);
      PauseAccepting(bus);
      return;
    }
    c->fd = fd;
    bool admitted = false;
    try {
      std::lock_guard<std::mutex> lock(bus->tableLock);
      PeerRef& peer = bus->peers[cred.pid];
      if (!peer) {
        peer = std::make_shared<Peer>();
        peer->pid = cred.pid;
      }
      // A process's windows together cost the engine a bounded share of descriptors, memory and
      // time per turn: past the limit its further connections are closed at once.
      if (peer->windows < kMaxWindowsPerProcess) {
        uint32_t hwnd = bus->nextWindow;
        bus->windows[hwnd] = c;
        c->hwnd = hwnd;
        c->peer = peer;
        ++peer->windows;
        bus->nextWindow = hwnd + 1 == 0 ? kEngineWindow + 1 : hwnd + 1;
        admitted = true;
      }
    } catch (const std::exception&) {
      PauseAccepting(bus);
    }
    if (!admitted) {
      close(fd);
      c->fd = -1;
      if (bus->acceptPaused) return;
      continue;
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

// Runs one message's handler on the main thread, recorded as handling `from`'s message.
int32_t Dispatch(Bus* bus, const BusMessage& m, const ConnectionRef& from, bool chained) {
  // From a close on, what the engine sends is written but never waited for: the teardown tells the
  // clients what it must and ends, whoever does not answer.
  if (IsClose(m)) bus->closing = true;
  bus->frames.push_back({from.get(), from ? from->peer.get() : nullptr, chained});  // room reserved
  ++bus->depth;
  if (from) ++from->active;
  int32_t result = bus->dispatch(bus->context, m);
  if (from) --from->active;
  --bus->depth;
  bus->frames.pop_back();
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

// A REPLY from `c`: it completes the SEND it answers, if one waits, and shows that the window's
// process answers again when it answers any SEND written to it; any other REPLY is ignored.
void HandleReply(Bus* bus, Connection& c, uint32_t id, int32_t result) {
  bool answered = false;
  {
    std::lock_guard<std::mutex> lock(bus->sendLock);
    for (PendingSend* p : bus->pending)
      if (p->hwnd == c.hwnd && p->id == id && !p->done) {
        p->done = true;
        p->result = result;
        bus->sendDone.notify_all();
        answered = true;
        break;
      }
    if (!answered) {
      auto it = std::find(c.unanswered.begin(), c.unanswered.end(), id);
      if (it != c.unanswered.end()) {
        c.unanswered.erase(it);
        answered = true;
      }
    }
  }
  if (answered) c.peer->silent.store(false);
}

// Handles one complete frame taken from a connection: REPLYs are routed at once, messages to the
// engine window queued (in a wait, they run nested from the queue). A close is noticed as soon as
// it is read: from then on no send waits, so that it comes to its turn without delay.
void HandleFrame(Bus* bus, const ConnectionRef& c, const FrameHeader& h, std::vector<uint8_t>&& payload) {
  switch (h.kind) {
    case kFrameReply:
      HandleReply(bus, *c, h.id, static_cast<int32_t>(h.lParam));
      return;
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
      q.nestedRequest = isSend && !bus->waits.empty() && c->queued == 0;
      bool close = IsClose(q.m);
      size_t cost = q.payload.capacity() + kQueuedOverhead;
      ++c->queued;
      c->queuedBytes += cost;
      if (!Enqueue(bus, std::move(q))) {
        --c->queued;
        c->queuedBytes -= cost;
        if (isSend) Reply(bus, c, h.id, 0);
        return;
      }
      if (close) bus->closing = true;
      return;
    }
    default:
      return;  // unknown kinds and HELLOs from clients are ignored
  }
}

// Reads what is available (a bounded amount per turn, and no further than kQueuedPerConnection
// messages queued) and handles every complete frame. A bad size, a cbData that disagrees with the
// size or a payload that cannot be buffered ends this connection only. When the peer has closed,
// every complete frame it wrote is handled before the connection closes.
void ReadConnection(Bus* bus, const ConnectionRef& c) {
  int reads = 0;
  while (!c->dead) {
    if (c->queued >= kQueuedPerConnection) return;  // read on once its queue has gone down
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
        HandleFrame(bus, c, h, std::move(payload));
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

bool EndpointLookDue(const Bus* bus) { return bus->guard && bus->watchFd < 0 && MonotonicNs() >= bus->endpointCheckNs; }

// Sums, for this turn, what each connection's process holds of input (frames being read and
// messages queued), and counts the processes holding any.
size_t SumInputByPeer(Bus* bus, const std::vector<ConnectionRef>& conns, size_t* total) {
  ++bus->turn;
  size_t holders = 0;
  *total = 0;
  for (const ConnectionRef& c : conns) {
    Peer& p = *c->peer;
    if (p.inputTurn != bus->turn) {
      p.inputTurn = bus->turn;
      p.input = 0;
    }
    size_t held = c->reader.payload.capacity() + c->queuedBytes;
    if (held > 0 && p.input == 0) ++holders;
    p.input += held;
    *total += held;
  }
  return holders;
}

// One turn of I/O: waits up to timeoutMs for something to happen, then accepts, reads and flushes.
void Pump(Bus* bus, int timeoutMs) {
  std::vector<ConnectionRef> conns;
  std::vector<pollfd> fds;
  try {
    std::lock_guard<std::mutex> lock(bus->tableLock);
    conns.reserve(bus->windows.size());
    fds.reserve(bus->windows.size() + 4);
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
  // Past a budget, the connections of processes above their share wait (those holding nothing may
  // still be read: a process's well-behaved window is not held for its others).
  size_t inputHeld = 0;
  size_t inputHolders = SumInputByPeer(bus, conns, &inputHeld);
  bool inputPressed = inputHeld >= kInputBudget;
  size_t inputShare = kInputBudget / std::max<size_t>(1, inputHolders);
  bool outputPressed = bus->outputHeld.load() >= kOutputBudget / 2;
  size_t outputShare = kOutputBudget / 2 / std::max<size_t>(1, bus->outputHolders.load());
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
    size_t input = c->reader.payload.capacity() + c->queuedBytes;
    bool queueFull = c->queued >= kQueuedPerConnection;
    held[i] = queueFull || (inputPressed && input > 0 && c->peer->input >= inputShare) ||
              (outputPressed && pending > 0 && c->peer->output.load() >= outputShare);
    if (held[i]) events = 0;
    // Bytes it read before its queue filled are taken on now that it has room again.
    if (!held[i] && c->stageStart < c->stageEnd) timeoutMs = 0;
    if (pending) events |= POLLOUT;
    // A full queue is left out even of hang-ups, which would wake every turn until it has room.
    fds.push_back({c->dead || (queueFull && !pending) ? -1 : c->fd, events, 0});
  }
  int r = poll(fds.data(), fds.size(), timeoutMs);
  if (r < 0 && errno != EINTR) SleepMs(10);  // never spin on a failing poll
  if (r == 0 && EndpointLookDue(bus)) RestoreEndpoint(bus);
  if (r <= 0) {
    for (size_t i = 0; i < conns.size(); ++i)
      if (!held[i] && !conns[i]->dead && conns[i]->stageStart < conns[i]->stageEnd) ReadConnection(bus, conns[i]);
    return;
  }
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
  if ((fds[3].revents & POLLIN) || EndpointLookDue(bus)) RestoreEndpoint(bus);
  for (size_t i = 0; i < conns.size(); ++i) {
    const ConnectionRef& c = conns[i];
    short re = fds[i + 4].revents;
    if (!held[i] && !c->dead && re == 0 && c->stageStart < c->stageEnd) ReadConnection(bus, c);
    if (c->dead || re == 0) continue;
    if (re & (POLLOUT | POLLHUP | POLLERR)) {
      std::lock_guard<std::mutex> lock(c->writeLock);
      FlushLocked(bus, *c);
    }
    if ((!held[i] && (re & POLLIN)) || (re & (POLLHUP | POLLERR))) ReadConnection(bus, c);
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

// Main thread, in a wait, under queueLock: the first queued message that may run nested now, or
// end(): the engine's own work; a client's message that is the first of its connection still
// queued, once no earlier message of its connection is still being handled below, or at once when
// it is a request the client made while handling the engine's message. A close met first makes the
// engine close: nothing after it runs nested.
std::deque<QueuedMessage>::iterator FindNestableLocked(Bus* bus) {
  ++bus->scan;
  for (auto it = bus->queue.begin(); it != bus->queue.end(); ++it) {
    if (it->quit) break;
    if (IsClose(it->m)) {
      bus->closing = true;
      break;
    }
    if (!it->from) return it;
    Connection& c = *it->from;
    if (c.scanMark == bus->scan) continue;  // an earlier message of its connection waits first
    c.scanMark = bus->scan;
    if (c.active == 0 || it->nestedRequest) return it;
  }
  return bus->queue.end();
}

// Main thread: takes the queued message out, as PopMessage does.
void TakeQueued(QueuedMessage& q) {
  if (q.from) {
    --q.from->queued;
    q.from->queuedBytes -= q.payload.capacity() + kQueuedOverhead;
  }
}

// Main thread, while a SEND waits for its REPLY: nobody else waits behind it. Window timers that are
// due, the engine's own posts, and clients' messages run now, nested, in the order their
// connections wrote them.
void RunNestable(Bus* bus) {
  ExpireTimers(bus);
  while (bus->depth < kMaxNesting && !bus->closing) {
    QueuedMessage q;
    {
      std::lock_guard<std::mutex> lock(bus->queueLock);
      auto it = FindNestableLocked(bus);
      if (it == bus->queue.end()) return;
      q = std::move(*it);
      bus->queue.erase(it);
    }
    TakeQueued(q);
    q.m.payload = q.payload.empty() ? nullptr : q.payload.data();
    bool chained = q.from && !bus->waits.empty() && bus->waits.back()->hwnd == q.from->hwnd;
    int32_t result = Dispatch(bus, q.m, q.from, chained);
    if (q.isSend) Reply(bus, q.from, q.sendId, result);
  }
}

// Main thread, at the nesting limit: what the innermost wait must do about a message that could run
// nested but has no room. Nothing waits: kKeep. The window waited for asked for it (a request of its
// own that cannot run before the waits unwind, while the engine waits for the window: neither can go
// on): kSilence. Anyone else's, or the engine's: kLetGo, so that it runs.
enum class AtTheLimit { kKeep, kSilence, kLetGo };

AtTheLimit LookAtTheLimit(Bus* bus) {
  std::lock_guard<std::mutex> lock(bus->queueLock);
  auto it = FindNestableLocked(bus);
  if (it == bus->queue.end()) return AtTheLimit::kKeep;
  if (it->from && it->nestedRequest && !bus->waits.empty() && bus->waits.back()->peer == it->from->peer.get())
    return AtTheLimit::kSilence;
  return AtTheLimit::kLetGo;
}

// Main thread: true once a wait beneath the innermost one has its REPLY or has run out of time: its
// handler is ready to go on, and must not be held by the waits above it.
bool WaitBeneathIsOver(Bus* bus, int64_t now) {
  std::lock_guard<std::mutex> lock(bus->sendLock);
  for (size_t i = 0; i + 1 < bus->waits.size(); ++i)
    if (bus->waits[i]->done || now >= bus->waits[i]->deadlineNs) return true;
  return false;
}

// Main thread.
bool PopMessage(Bus* bus, QueuedMessage* out) {
  {
    std::lock_guard<std::mutex> lock(bus->queueLock);
    if (bus->queue.empty()) return false;
    *out = std::move(bus->queue.front());
    bus->queue.pop_front();
  }
  TakeQueued(*out);
  return true;
}

}  // namespace

Bus* BusCreate(const std::string& socketPath, OsHandle listenFd, BusDispatch dispatch, void* context) {
  Bus* bus = new Bus;
  bus->socketPath = socketPath;
  bus->listenFd = listenFd;
  bus->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  bus->dispatch = dispatch;
  bus->context = context;
  bus->mainThread = std::this_thread::get_id();
  bus->frames.reserve(kMaxNesting + 2);
  bus->waits.reserve(kMaxNesting + 2);
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
  int64_t deadline = MonotonicNs() + kFlushAtEndNs;
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
    int32_t result = Dispatch(bus, q.m, q.from, false);
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
  Pump(bus, static_cast<int>(wait));
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
  return Dispatch(bus, m, nullptr, false);
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

void BusPostPastLimits(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  ConnectionRef c = FindWindow(bus, hwnd);
  if (!c) return;
  WriteFrame(bus, *c, HeaderFor(kFramePost, 0, hwnd, msg, wParam, lParam, 0), nullptr, 0, nullptr, true);
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

// Main thread: whether the handler now running may wait for `c`'s answer. Only the process whose
// message it handles is waited for (the engine's own work and another client's request wait for
// nobody), and each process once at a time, apart from its window's own requests nested in the wait.
bool MainMayWaitFor(const Bus* bus, const Connection& c) {
  if (bus->closing || bus->frames.empty()) return false;
  const HandlerFrame& f = bus->frames.back();
  if (f.owner != c.peer.get()) return false;
  return c.peer->waits == 0 || (f.chained && f.from == &c);
}

// Main thread: waits for the REPLY to `pending`, serving nested messages meanwhile (RunNestable).
// Returns true when the wait ran out of time.
bool WaitOnMain(Bus* bus, PendingSend& pending) {
  bus->waits.push_back(&pending);  // room reserved
  ++pending.peer->waits;
  bool ranOut = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(bus->sendLock);
      if (pending.done) break;
    }
    if (bus->closing) break;
    int64_t now = MonotonicNs();
    if (now >= pending.deadlineNs) {
      ranOut = true;
      break;
    }
    if (WaitBeneathIsOver(bus, now)) break;
    if (bus->depth >= kMaxNesting) {
      AtTheLimit next = LookAtTheLimit(bus);
      if (next == AtTheLimit::kSilence) {
        MarkSilent(bus, *pending.peer);
        break;
      }
      if (next == AtTheLimit::kLetGo) break;
    }
    if (bus->waitHook) bus->waitHook(bus->waitHookContext);
    int64_t left = (pending.deadlineNs - MonotonicNs()) / 1000000;
    int64_t timer = NextTimerDelayMs(bus);
    int64_t turn = std::clamp<int64_t>(left, 0, 100);
    if (timer >= 0 && timer < turn) turn = timer;
    Pump(bus, static_cast<int>(turn));
    RunNestable(bus);
  }
  --pending.peer->waits;
  bus->waits.pop_back();
  return ranOut;
}

// Sends and, when it may, waits. *written says whether the message went out to the window at all.
int32_t SendAndWait(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                    const void* payload, uint32_t cbData, const BusGate* gate, bool* written) {
  if (written) *written = false;
  ConnectionRef c = FindWindow(bus, hwnd);
  if (!c) return 0;
  bool onMain = OnMainThread(bus);
  bool wait = !c->peer->silent.load() && (!onMain || MainMayWaitFor(bus, *c));
  PendingSend pending;
  pending.hwnd = hwnd;
  pending.peer = c->peer.get();
  pending.onMain = onMain;
  try {
    std::lock_guard<std::mutex> lock(bus->sendLock);
    // Once the teardown has given up other threads' sends, theirs are not even written.
    if (bus->abandoned && !onMain) return 0;
    pending.id = TakeSendId(bus);
    if (wait)
      bus->pending.push_back(&pending);
    else
      RememberUnanswered(*c, pending.id);
  } catch (const std::exception&) {
    return 0;
  }
  bool out = WriteFrame(bus, *c, SendHeader(pending.id, hwnd, msg, wParam, lParam, dwData), payload, cbData, gate);
  if (written) *written = out;
  if (!wait) return 0;
  pending.deadlineNs = MonotonicNs() + static_cast<int64_t>(kBusSendTimeoutMs) * 1000000;
  bool ranOut = false;
  if (out && onMain) {
    ranOut = WaitOnMain(bus, pending);
  } else if (out) {
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
    // Let go unanswered: its REPLY, when it comes, still shows that the window answers.
    if (!answered && out) RememberUnanswered(*c, pending.id);
  }
  if (ranOut && !answered) MarkSilent(bus, *c->peer);
  return answered ? result : 0;
}

}  // namespace

int32_t BusSend(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                const void* payload, uint32_t cbData, bool* written) {
  return SendAndWait(bus, hwnd, msg, wParam, lParam, dwData, payload, cbData, nullptr, written);
}

int32_t BusSendGated(Bus* bus, const BusGate& gate, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam,
                     uint32_t dwData, const void* payload, uint32_t cbData) {
  return SendAndWait(bus, hwnd, msg, wParam, lParam, dwData, payload, cbData, &gate, nullptr);
}

bool BusSendNoWait(Bus* bus, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t dwData,
                   const void* payload, uint32_t cbData) {
  ConnectionRef c = FindWindow(bus, hwnd);
  if (!c) return false;
  uint32_t id;
  {
    std::lock_guard<std::mutex> lock(bus->sendLock);
    id = TakeSendId(bus);
    RememberUnanswered(*c, id);  // its REPLY shows the window answers, and is otherwise ignored
  }
  return WriteFrame(bus, *c, SendHeader(id, hwnd, msg, wParam, lParam, dwData), payload, cbData);
}

void BusAbandonSends(Bus* bus) {
  std::lock_guard<std::mutex> lock(bus->sendLock);
  bus->abandoned = true;
  bus->sendDone.notify_all();
}

void BusWatchTermination(Bus* bus, OsHandle signalFd) { bus->signalFd = signalFd; }

void BusKeepEndpoint(Bus* bus, OsHandle* guard) {
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
  return c ? c->peer->pid : 0;
}

OsHandle BusWindowClosedHandle(Bus* bus, uint32_t hwnd) {
  ConnectionRef c = FindWindow(bus, hwnd);
  if (!c) return -1;
  // Made when first asked for (the client registers): an idle connection costs one descriptor.
  if (c->closedFd < 0) c->closedFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (c->closedFd < 0) return -1;
  return fcntl(c->closedFd, F_DUPFD_CLOEXEC, 0);
}

bool BusWindowExists(Bus* bus, uint32_t hwnd) { return FindWindow(bus, hwnd) != nullptr; }

}  // namespace platform
