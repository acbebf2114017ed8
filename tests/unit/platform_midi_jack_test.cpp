// Tests of the real MIDI services in process: the jack service against a private JACK server with
// the dummy driver and a JACK client of the test's own (device lists, opens that connect, sends that
// arrive whole, in order and one period after their send time, concurrent senders, a full ring,
// input through the callback with system-exclusive buffers, a server that dies) and its selection
// when TOVU_MIDI is unset. Built only with the jack service.
// Threads: the test thread, sender threads where a test says so, the layer's input thread (the
// callback) and JACK's threads.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi.h"
#include "platform/timer.h"
#include "support/jack_server.h"

namespace platform {
namespace {

using Bytes = std::vector<uint8_t>;

class Env {
 public:
  Env(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~Env() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// What an input callback receives, in order.
struct Inbox {
  struct Item {
    uint32_t msg;
    uint32_t word;  // kMimData
    Bytes sysex;    // kMimLongData
    MidiInBuffer* buffer;
    uintptr_t ms;
  };
  std::mutex mutex;
  std::vector<Item> items;
  std::thread::id thread;

  static void Callback(MidiHandle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2) {
    auto* self = reinterpret_cast<Inbox*>(instance);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->thread = std::this_thread::get_id();
    Item item{msg, 0, {}, nullptr, param2};
    if (msg == kMimData) item.word = static_cast<uint32_t>(param1);
    if (msg == kMimLongData) {
      item.buffer = reinterpret_cast<MidiInBuffer*>(param1);
      item.sysex.assign(item.buffer->data, item.buffer->data + item.buffer->bytesRecorded);
    }
    self->items.push_back(item);
  }
  std::vector<Item> Wait(size_t count, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (items.size() >= count || std::chrono::steady_clock::now() >= deadline) return items;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
};

Bytes Sysex(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

const std::string kLongPort(70, 'p');

// Input device 0 opened with a callback that records `stamp()` for each message, while the sink
// sends `count` notes 7 ms apart: the stamps, once all have come (or 10 s have passed).
std::vector<double> InputStamps(JackPeer& peer, size_t count, double (*stamp)()) {
  struct Stamps {
    std::mutex mutex;
    std::vector<double> values;
    double (*stamp)();
    static void Callback(MidiHandle, uint32_t, uintptr_t instance, uintptr_t, uintptr_t) {
      auto* self = reinterpret_cast<Stamps*>(instance);
      const double value = self->stamp();
      std::lock_guard<std::mutex> lock(self->mutex);
      self->values.push_back(value);
    }
  } stamps;
  stamps.stamp = stamp;
  MidiHandle in = 0;
  if (MidiInOpen(0, Stamps::Callback, reinterpret_cast<uintptr_t>(&stamps), &in) != kMidiOk) return {};
  MidiInStart(in);
  for (size_t i = 0; i < count; ++i) {
    peer.Send(0, {0x90, static_cast<uint8_t>(60 + i), 0x64});
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
  }
  for (int waited = 0; waited < 10000; waited += 5) {
    {
      std::lock_guard<std::mutex> lock(stamps.mutex);
      if (stamps.values.size() >= count) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(MidiInClose(in), kMidiOk);
  std::lock_guard<std::mutex> lock(stamps.mutex);
  return stamps.values;
}

// A private server, the test's client "sink" (sinks "in" and a 70-character name, source "out"), and
// the jack service started in this process as client "engine".
class JackMidiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.Start()) GTEST_SKIP() << "no JACK server can be started here: " << server.failure;
    ASSERT_TRUE(peer.Open(server.name, "sink", {"in", kLongPort}, {"out"}));
    serverEnv.emplace("JACK_DEFAULT_SERVER", server.name.c_str());
    Env midi("TOVU_MIDI", "jack"), client("TOVU_JACK_CLIENT", "engine");
    ASSERT_EQ(MidiStartFromEnvironment(), MidiService::Jack);
  }
  void TearDown() override {
    MidiShutdown();
    peer.Close();
    server.Stop();
  }

  JackServer server;
  JackPeer peer;
  std::optional<Env> serverEnv;
  Inbox inbox;  // outlives the service, which may still call into it until shutdown
  uint8_t storage[2][16] = {};
};

TEST_F(JackMidiTest, DevicesAreTheOtherClientsPortsAndOpensConnectThem) {
  ASSERT_EQ(MidiOutCount(), 2u);
  ASSERT_EQ(MidiInCount(), 1u);
  char name[128];
  ASSERT_EQ(MidiOutName(0, name, sizeof name), kMidiOk);
  EXPECT_STREQ(name, "sink:in");
  char cut[64];
  ASSERT_EQ(MidiOutName(1, cut, sizeof cut), kMidiOk);
  EXPECT_EQ(std::string(cut), ("sink:" + kLongPort).substr(0, 63));
  ASSERT_EQ(MidiInName(0, name, sizeof name), kMidiOk);
  EXPECT_STREQ(name, "sink:out");
  EXPECT_EQ(MidiOutName(2, name, sizeof name), kMidiBadDeviceId);
  EXPECT_EQ(MidiInName(1, name, sizeof name), kMidiBadDeviceId);

  MidiHandle out = 0, again = 0, in = 0;
  EXPECT_EQ(MidiOutOpen(2, &out), kMidiBadDeviceId);
  ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);
  EXPECT_EQ(MidiOutOpen(0, &again), kMidiAllocated);
  EXPECT_EQ(peer.ConnectionsOf("in"), std::vector<std::string>{"engine:out0"});
  ASSERT_EQ(MidiInOpen(0, nullptr, 0, &in), kMidiOk);
  EXPECT_EQ(peer.ConnectionsOf("out"), std::vector<std::string>{"engine:in0"});
  EXPECT_EQ(MidiOutShort(in, 0x90), kMidiInvalidHandle);  // an input handle is no output

  EXPECT_EQ(MidiOutClose(out), kMidiOk);
  EXPECT_EQ(MidiInClose(in), kMidiOk);
  EXPECT_TRUE(peer.ConnectionsOf("in").empty());
  EXPECT_TRUE(peer.ConnectionsOf("out").empty());
  EXPECT_FALSE(peer.PortExists("engine:out0"));
  EXPECT_FALSE(peer.PortExists("engine:in0"));
  EXPECT_EQ(MidiOutShort(out, 0x90), kMidiInvalidHandle);
  EXPECT_EQ(MidiOutClose(out), kMidiInvalidHandle);
  // Reopened: a new handle, connected again.
  ASSERT_EQ(MidiOutOpen(0, &again), kMidiOk);
  EXPECT_NE(again, out);
  EXPECT_EQ(peer.ConnectionsOf("in"), std::vector<std::string>{"engine:out0"});
}

TEST_F(JackMidiTest, SendsArriveWholeInOrderOnePeriodAfterTheirSendTime) {
  MidiHandle out = 0;
  ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);
  // Every kind of short message shows as many bytes as its status implies.
  const std::vector<std::pair<uint32_t, Bytes>> shorts = {
      {0x643C90, {0x90, 0x3C, 0x64}}, {0x7705C3, {0xC3, 0x05}}, {0x0000F8, {0xF8}},
      {0x000AF2, {0xF2, 0x0A, 0x00}}, {0x00403C, {0x3C, 0x40, 0x00}}, {0x0010D1, {0xD1, 0x10}}};
  for (auto& [word, bytes] : shorts) ASSERT_EQ(MidiOutShort(out, word), kMidiOk);
  Bytes sysex = Sysex(1000, 3);
  ASSERT_EQ(MidiOutLong(out, sysex.data(), static_cast<uint32_t>(sysex.size())), kMidiOk);
  EXPECT_EQ(MidiOutLong(out, sysex.data(), 0), kMidiOk);  // nothing goes out

  std::vector<PeerEvent> got = peer.WaitReceived(shorts.size() + 1);
  ASSERT_EQ(got.size(), shorts.size() + 1);
  for (size_t i = 0; i < shorts.size(); ++i) EXPECT_EQ(got[i].bytes, shorts[i].second) << i;
  EXPECT_EQ(got[shorts.size()].bytes, sysex);  // one event, byte for byte

  // Latency: notes sent 2 ms apart, each timed by this thread just before its send, arrive one
  // period after the send, within a little slack for two readings of the clock. A server held up by
  // a loaded machine makes its frame clock's estimate run ahead for a while, so a round counts when
  // most of its notes are on time, and a stalled round is tried again (at most three rounds).
  size_t bestOnTime = 0, expected = shorts.size() + 1;
  for (int round = 0; round < 3 && bestOnTime < 12; ++round) {
    std::vector<jack_nframes_t> sentAt;
    for (int i = 0; i < 24; ++i) {
      sentAt.push_back(peer.FrameTime());
      ASSERT_EQ(MidiOutShort(out, 0x400090u | static_cast<uint32_t>(i) << 8), kMidiOk);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    expected += sentAt.size();
    got = peer.WaitReceived(expected);
    ASSERT_EQ(got.size(), expected);
    size_t onTime = 0;
    for (size_t i = 0; i < sentAt.size(); ++i) {
      const PeerEvent& e = got[expected - sentAt.size() + i];
      EXPECT_EQ(e.bytes, (Bytes{0x90, static_cast<uint8_t>(i), 0x40}));
      int32_t extra = static_cast<int32_t>(e.frame - sentAt[i]) - static_cast<int32_t>(peer.period);
      if (extra >= -8 && extra <= 48) ++onTime;
    }
    bestOnTime = std::max(bestOnTime, onTime);
  }
  for (size_t i = 1; i < got.size(); ++i) {
    EXPECT_GE(static_cast<int32_t>(got[i].frame - got[i - 1].frame), 0) << "event " << i << " before an earlier one";
  }
  EXPECT_GE(bestOnTime, 12u) << "notes written one period after their send time";
}

// A server that stalls (stopped here with SIGSTOP for 1.5 s) leaves the messages sent meanwhile
// late: they go out together as soon as it runs again, and a message sent after the stall follows
// them at once, instead of after the stall's length replayed on the timeline the server abandoned.
TEST_F(JackMidiTest, WhatWasSentWhileTheServerStalledGoesOutAtOnceWhenItRunsAgain) {
  MidiHandle out = 0;
  ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);
  auto sendFor = [&](int ms, uint8_t note) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int sent = 0;
    while (std::chrono::steady_clock::now() < end) {
      EXPECT_EQ(MidiOutShort(out, 0x400090u | static_cast<uint32_t>(note) << 8), kMidiOk);
      ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return sent;
  };
  int before = sendFor(200, 0x30);
  ASSERT_EQ(kill(server.pid, SIGSTOP), 0);
  int during = sendFor(1500, 0x31);
  ASSERT_EQ(kill(server.pid, SIGCONT), 0);
  ASSERT_EQ(MidiOutShort(out, 0x400090u | 0x32u << 8), kMidiOk);  // the stop's note, say
  std::vector<PeerEvent> got = peer.WaitReceived(static_cast<size_t>(before + during + 1), 20000);
  ASSERT_EQ(got.size(), static_cast<size_t>(before + during + 1));
  const PeerEvent& firstLate = got[static_cast<size_t>(before)];
  const PeerEvent& last = got.back();
  ASSERT_EQ(firstLate.bytes, (Bytes{0x90, 0x31, 0x40}));
  ASSERT_EQ(last.bytes, (Bytes{0x90, 0x32, 0x40}));
  // Counted in the server's own frames, so a slow machine (late cycles) does not change it.
  int32_t spread = static_cast<int32_t>(last.frame - firstLate.frame);
  EXPECT_LT(spread, static_cast<int32_t>(20 * peer.period))
      << "the stall's messages were played over " << spread << " frames after it";
  for (size_t i = 1; i < got.size(); ++i)
    EXPECT_GE(static_cast<int32_t>(got[i].frame - got[i - 1].frame), 0) << "event " << i << " before an earlier one";
}

TEST_F(JackMidiTest, ConcurrentSendersKeepTheirOrderAndLoseNothing) {
  MidiHandle out = 0;
  ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);
  constexpr int kThreads = 4, kEach = 300;
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        uint32_t word = (0x90u | t) | static_cast<uint32_t>(i & 0x7F) << 8 | static_cast<uint32_t>(i >> 7) << 16;
        if (MidiOutShort(out, word) != kMidiOk) ++failures;
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<PeerEvent> got = peer.WaitReceived(kThreads * kEach);
  ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kEach));
  int next[kThreads] = {};
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].bytes.size(), 3u);
    int t = got[i].bytes[0] & 0x0F;
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(got[i].bytes[1] | got[i].bytes[2] << 7, next[t]++) << "sender " << t;
    if (i > 0) {
      EXPECT_GE(static_cast<int32_t>(got[i].frame - got[i - 1].frame), 0);
    }
  }
}

TEST_F(JackMidiTest, AFullRingRefusesWithNoMemoryAndWhatWasTakenArrivesWhole) {
  MidiHandle out = 0;
  ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);
  // More than any one event can carry: refused as too long once a cycle has shown the buffer size
  // (until then it does not fit the ring either).
  Bytes huge = Sysex(200000, 1);
  int hugeResult = kMidiNoMemory;
  for (int i = 0; i < 400 && hugeResult == kMidiNoMemory; ++i) {
    hugeResult = MidiOutLong(out, huge.data(), static_cast<uint32_t>(huge.size()));
    if (hugeResult == kMidiNoMemory) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(hugeResult, kMidiInvalidParam);
  // The longest message the port reports arrives whole; one byte more is refused, not lost.
  const uint32_t longest = MidiOutLongest(out);
  ASSERT_GT(longest, 0u);
  ASSERT_LT(longest, huge.size());
  Bytes edge = Sysex(longest, 3);
  ASSERT_EQ(MidiOutLong(out, edge.data(), longest), kMidiOk);
  Bytes over = Sysex(longest + 1, 4);
  EXPECT_EQ(MidiOutLong(out, over.data(), longest + 1), kMidiInvalidParam);
  std::vector<PeerEvent> first = peer.WaitReceived(1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].bytes, edge);
  {
    std::lock_guard<std::mutex> guard(peer.mutex);
    peer.received.clear();
  }

  std::vector<Bytes> taken;
  int refused = 0;
  // The ring holds six of these; the callback writes one per cycle.
  std::vector<Bytes> burst;
  for (int i = 0; i < 40; ++i) burst.push_back(Sysex(20000, static_cast<uint8_t>(i)));
  for (const Bytes& sysex : burst) {
    int r = MidiOutLong(out, sysex.data(), static_cast<uint32_t>(sysex.size()));
    if (r == kMidiOk) taken.push_back(sysex);
    if (r == kMidiNoMemory) ++refused;
    EXPECT_TRUE(r == kMidiOk || r == kMidiNoMemory) << r;
  }
  EXPECT_GT(refused, 0);
  // Room again once the callback has written what it holds.
  int r = kMidiNoMemory;
  for (int i = 0; i < 1000 && (r = MidiOutShort(out, 0x643C90)) == kMidiNoMemory; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(r, kMidiOk);
  std::vector<PeerEvent> got = peer.WaitReceived(taken.size() + 1);
  ASSERT_EQ(got.size(), taken.size() + 1);
  for (size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(got[i].bytes, taken[i]) << i;
  EXPECT_EQ(got.back().bytes, (Bytes{0x90, 0x3C, 0x64}));
}

TEST_F(JackMidiTest, InputReachesTheCallbackInOrderWithSysexFillingQueuedBuffers) {
  MidiHandle in = 0;
  ASSERT_EQ(MidiInOpen(0, Inbox::Callback, reinterpret_cast<uintptr_t>(&inbox), &in), kMidiOk);
  peer.Send(0, {0x90, 0x3C, 0x01});  // not started yet: never delivered
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  MidiInBuffer buffers[2];
  for (int i = 0; i < 2; ++i) {
    buffers[i].data = storage[i];
    buffers[i].length = sizeof storage[i];
    ASSERT_EQ(MidiInAddBuffer(in, &buffers[i]), kMidiOk);
  }
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  Bytes a = {0xF0, 0x43, 0x10, 0x4C, 0xF7};
  Bytes b = Sysex(20, 9);  // cut to the buffer's 16 bytes
  peer.Send(0, {0x90, 0x3C, 0x64});
  peer.Send(0, a);
  peer.Send(0, {0x80, 0x3C, 0x00});
  std::this_thread::sleep_for(std::chrono::milliseconds(15));  // the rest in later cycles
  peer.Send(0, b);
  peer.Send(0, Sysex(8, 2));  // no buffer left: dropped
  peer.Send(0, {0xC1, 0x07});
  peer.Send(0, {0x90, 0x01, 0x02, 0x03});  // four bytes and no sysex: not a message, dropped
  peer.Send(0, {0xF8});
  std::vector<Inbox::Item> got = inbox.Wait(6);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].msg, kMimData);
  EXPECT_EQ(got[0].word, 0x643C90u);
  EXPECT_EQ(got[1].msg, kMimLongData);
  EXPECT_EQ(got[1].buffer, &buffers[0]);
  EXPECT_EQ(got[1].sysex, a);
  EXPECT_EQ(got[2].word, 0x003C80u);
  EXPECT_EQ(got[3].msg, kMimLongData);
  EXPECT_EQ(got[3].buffer, &buffers[1]);
  EXPECT_EQ(got[3].sysex, Bytes(b.begin(), b.begin() + 16));
  EXPECT_EQ(got[4].word, 0x07C1u);
  EXPECT_EQ(got[5].word, 0xF8u);
  for (size_t i = 1; i < got.size(); ++i) EXPECT_GE(got[i].ms, got[i - 1].ms);
  EXPECT_LT(got.back().ms, 5000u);
  EXPECT_NE(inbox.thread, std::this_thread::get_id());

  // Stopped: nothing more arrives; started again, it flows again.
  ASSERT_EQ(MidiInStop(in), kMidiOk);
  peer.Send(0, {0x90, 0x40, 0x40});
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  peer.Send(0, {0x90, 0x41, 0x40});
  got = inbox.Wait(7);
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[6].word, 0x404190u);
  EXPECT_EQ(MidiInClose(in), kMidiOk);
  EXPECT_EQ(MidiInStart(in), kMidiInvalidHandle);
}

TEST_F(JackMidiTest, InputIsStampedWhenItArrivedNotWhenItWasDelivered) {
  // Input read in a cycle arrived during the period before it: the time the callback reports lies
  // at least a period (256 frames at 48 kHz) before the callback runs, and not much more.
  // Delivery minus reported arrival, ms.
  const std::vector<double> leads = InputStamps(peer, 8, [] { return NowMs() - MidiInArrivalMs(); });
  const double periodMs = 256.0 / 48.0;
  ASSERT_EQ(leads.size(), 8u);
  for (double lead : leads) {
    EXPECT_GE(lead, periodMs * 0.95);
    EXPECT_LT(lead, 1000.0);
  }
  EXPECT_GT(MidiInArrivalMs(), NowMs() - 1.0);  // outside a callback: now
}

// On the server's time: messages sent together but placed 10 ms and 12.5 ms apart there are
// written exactly that many frames apart; and input is stamped there from its frame, so that two
// messages the sink sends at the starts of its cycles arrive a whole number of periods apart.
TEST_F(JackMidiTest, OnTheServersTimeOutputIsWrittenAtTheFrameItNamesAndInputIsStampedByItsFrame) {
  MidiHandle out = 0;
  ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);
  TransportState t;
  for (int waited = 0; waited < 5000 && !MidiTransportRead(&t); waited += 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(MidiTransportRead(&t));
  {
    ServerTimeScope scope;
    const double serverNow = NowMs() - (t.atMs - t.mediaMs);
    for (double at : {30.0, 40.0, 52.5}) {
      PlaceOnServerTime(serverNow + at);
      ASSERT_EQ(MidiOutShort(out, 0x400090u | static_cast<uint32_t>(at) << 8), kMidiOk);
    }
  }
  std::vector<PeerEvent> got = peer.WaitReceived(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].frame - got[0].frame, 480u);
  EXPECT_EQ(got[2].frame - got[1].frame, 600u);

  const std::vector<double> serverMs = InputStamps(peer, 4, [] { return MidiInArrivalServerMs(); });
  ASSERT_EQ(serverMs.size(), 4u);
  const double periodMs = peer.period * 1000.0 / peer.rate;
  for (size_t i = 1; i < 4; ++i) {
    const double periods = (serverMs[i] - serverMs[i - 1]) / periodMs;
    EXPECT_GE(periods, 1.0 - 1e-6) << i;
    EXPECT_NEAR(periods, std::round(periods), 1e-6) << i;
  }
  EXPECT_TRUE(std::isnan(MidiInArrivalServerMs()));  // outside a callback: none

  // A server stopped for a second loses that second of frames against the clock. Soon after it runs
  // again, the server's time is where its frames are: a message placed 30 ms on there is written
  // about that much after one sent as it is, rather than standing a second ahead (and being written
  // at once, as not believed).
  ASSERT_EQ(kill(server.pid, SIGSTOP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  ASSERT_EQ(kill(server.pid, SIGCONT), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(MidiTransportRead(&t));
  ASSERT_EQ(MidiOutShort(out, 0x400090u | 69u << 8), kMidiOk);
  {
    ServerTimeScope scope;
    PlaceOnServerTime(NowMs() - (t.atMs - t.mediaMs) + 30.0);
    ASSERT_EQ(MidiOutShort(out, 0x400090u | 70u << 8), kMidiOk);
  }
  got = peer.WaitReceived(5);
  ASSERT_EQ(got.size(), 5u);
  // (Counted in frames: a slow machine moves the first by a period or two at most.)
  EXPECT_GE(static_cast<int32_t>(got[4].frame - got[3].frame), static_cast<int32_t>(peer.rate / 100))
      << "written long before its frame";
}

TEST_F(JackMidiTest, AServerThatDiesTurnsSendsIntoErrorsAndNothingHangs) {
  MidiHandle out = 0, in = 0;
  ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);
  ASSERT_EQ(MidiInOpen(0, Inbox::Callback, reinterpret_cast<uintptr_t>(&inbox), &in), kMidiOk);
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  ASSERT_EQ(MidiOutShort(out, 0x643C90), kMidiOk);
  server.Kill();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int result = kMidiOk;
  while (std::chrono::steady_clock::now() < deadline && (result = MidiOutShort(out, 0x643C90)) == kMidiOk)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Refused at once (the server is gone), and once the service has looked, because every device is
  // absent.
  EXPECT_TRUE(result == kMidiError || result == kMidiNoDevice) << result;
  while (std::chrono::steady_clock::now() < deadline && (MidiOutPresence(0).present || MidiInPresence(0).present))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(MidiOutPresence(0).present || MidiInPresence(0).present);
  EXPECT_EQ(MidiOutShort(out, 0x643C90), kMidiNoDevice);
  uint8_t bytes[] = {0xF0, 0x01, 0xF7};
  EXPECT_EQ(MidiOutLong(out, bytes, sizeof bytes), kMidiNoDevice);
  MidiHandle other = 0;
  EXPECT_EQ(MidiOutOpen(1, &other), kMidiNoDevice);
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(MidiOutClose(out), kMidiOk);
  EXPECT_EQ(MidiInClose(in), kMidiOk);
  MidiShutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  EXPECT_EQ(MidiOutCount(), 0u);
}

// A client registers its ports before it activates, and the server lists them at once but refuses
// to connect them until then: a port found in between (here listed when another port registers)
// cannot be opened yet, and the service tells of the client's activation, so that a holder can
// try again and succeed.
TEST_F(JackMidiTest, AClientsActivationIsToldSoThatItsPortsCanBeOpened) {
  static std::atomic<int> told{0};  // static: the handler outlives a test that fails halfway
  MidiSetChangeHandler([](void* context) { ++*static_cast<std::atomic<int>*>(context); }, &told);
  JackPeer late;
  ASSERT_TRUE(late.Open(server.name, "late", {"in"}, {}, /*activate=*/false));
  ASSERT_NE(jack_port_register(peer.client, "extra", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0), nullptr);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (MidiOutCount() < 4 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(MidiOutCount(), 4u);
  uint32_t id = 0;
  char name[128] = {};
  while (id < 4 && (MidiOutName(id, name, sizeof name) != kMidiOk || std::string(name) != "late:in")) ++id;
  ASSERT_LT(id, 4u) << "late:in is not listed";
  MidiHandle out = 0;
  EXPECT_NE(MidiOutOpen(id, &out), kMidiOk) << "the server connected a client that is not active";

  const int before = told.load();
  ASSERT_TRUE(late.Activate());
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (told.load() == before && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GT(told.load(), before) << "the activation was not told";
  ASSERT_EQ(MidiOutOpen(id, &out), kMidiOk);
  EXPECT_EQ(late.ConnectionsOf("in"), std::vector<std::string>{"engine:out" + std::to_string(id)});
  ASSERT_EQ(MidiOutShort(out, 0x643C90), kMidiOk);
  std::vector<PeerEvent> got = late.WaitReceived(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes, (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(MidiOutClose(out), kMidiOk);
  MidiSetChangeHandler(nullptr, nullptr);
}

TEST(MidiSelection, WithoutTovuMidiARunningJackServerIsChosen) {
  JackServer server;
  if (!server.Start()) GTEST_SKIP() << "no JACK server can be started here: " << server.failure;
  Env name("JACK_DEFAULT_SERVER", server.name.c_str()), midi("TOVU_MIDI", nullptr);
  EXPECT_EQ(MidiStartFromEnvironment(), MidiService::Jack);
  EXPECT_EQ(MidiOutCount(), 0u);  // the dummy driver has no MIDI ports
  MidiShutdown();
  EXPECT_EQ(MidiCurrentService(), MidiService::None);
}

}  // namespace
}  // namespace platform
