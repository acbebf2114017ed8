// Fuzz harness: the engine window procedure, in process, over virtual devices, driven through a real
// engine bus by two clients whose every move comes from the input.
//
// One input is one engine life: the bus listens in a private directory, the engine window is created
// (virtual devices: 2 outputs, 1 input), two clients connect, the input's operations run one by one,
// and a final WM_CLOSE tears everything down. The harness is the engine's main thread and plays both
// clients itself, single-threaded: it runs the loop a turn at a time (BusTurn) and, through the bus's
// wait hook, answers the engine's SENDs while the engine waits for them, first sending whatever
// nested messages the input queued for that client (so handlers nest, up to the bus's limit and
// beyond it). Sanitizers and the engine's own state do the checking: nothing may crash, leak or
// hang, and the loop must reach its end after the WM_CLOSE.
//
// Operations (one byte each, then its arguments): bit 0 the client; bits 1-3 the action: SEND or
// POST an engine command, SEND or POST a copy-data message, queue a nested message for the client's
// next answer, write raw bytes, POST another message (WM_TIMER, WM_CLOSE, a random number), or
// reconnect the client.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "host/engine.h"
#include "platform/bus.h"
#include "platform/posix/bus_client.h"
#include "platform/midi.h"
#include "platform/posix/process_posix.h"
#include "platform/process.h"
#include "platform/wire.h"

namespace {

struct FuzzClient {
  int fd = -1;
  uint32_t window = 0;
  platform::FrameReader reader;
  std::deque<std::vector<uint8_t>> answers;  // frames to send before replying to the engine's next SEND
};

struct Harness {
  std::string dir;
  std::string path;
  platform::Bus* bus = nullptr;
  Engine* engine = nullptr;
  FuzzClient clients[2];
  bool quit = false;
  uint32_t nextId = 1;
};

void Check(bool condition) {
  if (!condition) abort();
}

void WriteBytes(FuzzClient& c, const std::vector<uint8_t>& bytes) {
  if (c.fd < 0 || bytes.empty()) return;
  // Never block: the engine is this very thread. What the socket does not take is lost.
  ssize_t n = send(c.fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)n;
}

std::vector<uint8_t> Frame(uint32_t kind, uint32_t id, uint32_t hwnd, uint32_t msg, uint32_t wParam, uint32_t lParam,
                           uint32_t dwData, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out;
  platform::AppendFrame(out, platform::HeaderFor(kind, id, hwnd, msg, wParam, lParam, dwData), payload.data(),
                        static_cast<uint32_t>(payload.size()));
  return out;
}

// Reads what the engine wrote to a client; answers its SENDs (after the queued nested messages).
void Drain(Harness& h, FuzzClient& c) {
  uint8_t buffer[16384];
  while (c.fd >= 0) {
    ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(c.fd);
        c.fd = -1;
      }
      return;
    }
    size_t at = 0;
    while (at < static_cast<size_t>(n)) {
      size_t used = 0;
      platform::FrameStatus status = platform::FrameReaderPush(c.reader, buffer + at, static_cast<size_t>(n) - at, &used);
      at += used;
      Check(status != platform::kFrameBad);  // the engine writes only well-formed frames
      if (status != platform::kFrameComplete) continue;
      platform::FrameHeader f;
      std::vector<uint8_t> payload;
      platform::FrameReaderTake(c.reader, &f, &payload);
      if (f.kind == platform::kFrameHello) c.window = f.lParam;
      if (f.kind == platform::kFrameSend) {
        Check(f.hwnd == c.window);
        while (!c.answers.empty()) {
          WriteBytes(c, c.answers.front());
          c.answers.pop_front();
        }
        WriteBytes(c, Frame(platform::kFrameReply, f.id, 0, 0, 0, 0, 0, {}));
      }
    }
  }
}

void DrainAll(Harness& h) {
  for (FuzzClient& c : h.clients) Drain(h, c);
}

void WaitHook(void* context) { DrainAll(*static_cast<Harness*>(context)); }

int32_t Dispatch(void* context, const platform::BusMessage& m) {
  return EngineWindowProc(*static_cast<Engine*>(context), m);
}

void WindowClosed(void* context, uint32_t window) { NoteWindowClosed(*static_cast<Engine*>(context), window); }

// Runs the loop until it has had nothing to do for a few turns in a row, or has quit.
void Settle(Harness& h) {
  for (int idle = 0; idle < 3 && !h.quit;) {
    int r = platform::BusTurn(h.bus, 0);
    if (r < 0) h.quit = true;
    DrainAll(h);
    idle = r == 0 ? idle + 1 : 0;
  }
}

void ConnectClient(Harness& h, FuzzClient& c) {
  if (c.fd >= 0) close(c.fd);
  c = FuzzClient();
  c.fd = platform::BusConnect(h.path);
  Settle(h);  // accept and HELLO
}

uint32_t PickWindow(FuzzedDataProvider& in, Harness& h, int self) {
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: return h.clients[self].window;
    case 1: return h.clients[1 - self].window;
    case 2: return h.engine->window;
    case 3: return 0;
    default: return in.ConsumeIntegral<uint32_t>();
  }
}

uint32_t PickCode(FuzzedDataProvider& in) {
  static const uint32_t kCodes[] = {0, 0, 1, 2, 2, 3, 4, 5, 8, 18, 24, 24, 26, 31, 6, 40};
  uint32_t i = in.ConsumeIntegralInRange<uint32_t>(0, sizeof kCodes / sizeof kCodes[0]);
  return i < sizeof kCodes / sizeof kCodes[0] ? kCodes[i] : in.ConsumeIntegral<uint32_t>();
}

std::vector<uint8_t> CommandFrame(FuzzedDataProvider& in, Harness& h, int self, uint32_t kind) {
  uint32_t code = PickCode(in);
  uint32_t lParam = code == 4 || code == 18 ? in.ConsumeIntegral<uint32_t>() : PickWindow(in, h, self);
  uint32_t hwnd = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? in.ConsumeIntegral<uint32_t>() : h.engine->window;
  return Frame(kind, kind == platform::kFrameSend ? h.nextId++ : 0, hwnd, kEngineCommand, code, lParam, 0, {});
}

std::vector<uint8_t> CopyDataFrame(FuzzedDataProvider& in, Harness& h, int self, uint32_t kind) {
  uint32_t type = in.ConsumeIntegralInRange<uint32_t>(12, 31);
  uint32_t argument = in.ConsumeIntegralInRange<uint32_t>(0, 4);
  uint32_t sender = PickWindow(in, h, self);
  size_t length = in.ConsumeIntegralInRange<size_t>(0, 1200);
  std::vector<uint8_t> payload = in.ConsumeBytes<uint8_t>(length);
  if (type == 13 && payload.size() < kOpenPortsSize && in.ConsumeBool()) payload.resize(kOpenPortsSize);
  return Frame(kind, kind == platform::kFrameSend ? h.nextId++ : 0, h.engine->window, kWmCopyData, sender, 0,
               type | argument << 16, payload);
}

void RunOne(Harness& h, FuzzedDataProvider& in) {
  while (in.remaining_bytes() > 0 && !h.quit) {
    uint8_t op = in.ConsumeIntegral<uint8_t>();
    int self = op & 1;
    FuzzClient& c = h.clients[self];
    switch ((op >> 1) & 7) {
      case 0: WriteBytes(c, CommandFrame(in, h, self, platform::kFrameSend)); break;
      case 1: WriteBytes(c, CommandFrame(in, h, self, platform::kFramePost)); break;
      case 2: WriteBytes(c, CopyDataFrame(in, h, self, platform::kFrameSend)); break;
      case 3: WriteBytes(c, CopyDataFrame(in, h, self, platform::kFramePost)); break;
      case 4:
        if (c.answers.size() < 64)
          c.answers.push_back(in.ConsumeBool() ? CommandFrame(in, h, self, platform::kFrameSend)
                                               : CopyDataFrame(in, h, self, platform::kFrameSend));
        break;
      case 5: WriteBytes(c, in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 64))); break;
      case 6: {
        static const uint32_t kMessages[] = {platform::kWmTimer, platform::kWmClose, platform::kWmCreate, 1625};
        uint32_t i = in.ConsumeIntegralInRange<uint32_t>(0, 4);
        uint32_t msg = i < 4 ? kMessages[i] : in.ConsumeIntegral<uint32_t>();
        uint32_t wParam = msg == platform::kWmTimer && in.ConsumeBool() ? kAuditionTimerId : in.ConsumeIntegral<uint32_t>();
        WriteBytes(c, Frame(platform::kFramePost, 0, h.engine->window, msg, wParam, 0, 0, {}));
        break;
      }
      default: ConnectClient(h, c); break;
    }
    Settle(h);
  }
}

struct Setup {
  std::string dir;
  Setup() {
    platform::IgnoreBrokenPipes();
    char tmpl[] = "/tmp/tovu-fuzz-window-XXXXXX";
    dir = mkdtemp(tmpl);
    setenv("TOVU_SETTINGS_DIR", (dir + "/settings").c_str(), 1);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  platform::VirtualMidiConfig config;
  config.outputs = {"Fuzz Out 1", "Fuzz Out 2"};
  config.inputs = {"Fuzz In 1"};
  platform::MidiStartVirtual(config);

  Harness h;
  h.path = setup.dir + "/TovuEngine.sock";
  int listenFd = platform::BusListen(h.path);
  Check(listenFd >= 0);
  h.engine = new Engine;
  h.bus = platform::BusCreate(h.path, listenFd, Dispatch, h.engine);
  h.engine->bus = h.bus;
  h.engine->window = platform::BusEngineWindow(h.bus);
  platform::BusSetWaitHook(h.bus, WaitHook, &h);
  platform::BusSetWindowClosedHandler(h.bus, WindowClosed, h.engine);
  Check(platform::BusDispatchNow(h.bus, platform::kWmCreate, 0, 0) != -1);
  ConnectClient(h, h.clients[0]);
  ConnectClient(h, h.clients[1]);

  FuzzedDataProvider in(data, size);
  RunOne(h, in);

  // The end of this life: whatever state it is in, a WM_CLOSE must bring the loop to its end.
  platform::BusPostToEngine(h.bus, platform::kWmClose, 0, 0);
  for (int turns = 0; !h.quit; ++turns) {
    Check(turns < 100000);
    if (platform::BusTurn(h.bus, 0) < 0) h.quit = true;
    DrainAll(h);
  }
  TearDownEngine(*h.engine);
  platform::BusDestroy(h.bus);
  for (FuzzClient& c : h.clients)
    if (c.fd >= 0) close(c.fd);
  platform::EventDestroy(&h.engine->activityEvent);
  delete h.engine;
  platform::MidiShutdown();
  return 0;
}
