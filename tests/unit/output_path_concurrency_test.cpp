// The output path entered from three threads at once, as the window thread, the timer thread and
// the MIDI input callback enter it, with a fourth reading the activity table as the notifier does.
// Built and run under ThreadSanitizer too: a race anywhere on the path (counters, port handles, the
// activity event, the device layer) fails the run, and the counts must come out exact.
// Threads: the test thread starts and joins three sender threads and one reader thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "ports/ports.h"
#include "support/owned_thread.h"
#include "support/virtual_ports.h"

namespace {

constexpr int kSenders = 3;
constexpr int kRepeats = 80;  // 3 x 80 = 240 note-ons per counter: below the 255 ceiling
constexpr int kRounds = 32;

// Reads the table and waits on the activity event until told to stop, as the notifier does.
struct TableReader {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> wakeups{0};
  OwnedThread thread;

  void Start(VirtualPorts& v) {
    thread = OwnedThread([this, &v] {
      size_t n = static_cast<size_t>(v.ports.outputCount) * kActivityPerPort;
      while (!stop.load()) {
        if (platform::EventWait(&v.activityEvent, 1)) wakeups.fetch_add(1);
        unsigned sum = 0;
        for (size_t i = 0; i < n; ++i) sum += v.ports.activity[i].load(std::memory_order_relaxed);
        (void)sum;
      }
    }, &stop);
  }
  void Stop() { thread.Join(); }
};

// Runs body(sender) on three threads released together. The gate spins rather than waiting on a
// std::latch: under wine, mingw's std::latch (an atomic wait without a system wait behind it) left a
// sender waiting for good once in a while.
template <typename Body>
void RunSenders(Body body) {
  std::atomic<int> arrived{0};
  std::vector<OwnedThread> threads;
  threads.reserve(kSenders);
  for (int s = 0; s < kSenders; ++s)
    threads.emplace_back([&, s] {
      arrived.fetch_add(1);
      while (arrived.load() < kSenders) std::this_thread::yield();
      body(s);
    });
}

TEST(OutputPathConcurrency, ThreeSendersOnTheSameNotesKeepExactCounts) {
  VirtualPorts v(2);
  // Without the capture the device layer's own locking paces the senders less, so all three meet
  // on the same counter as often as possible.
  platform::VirtualCaptureEnable(false);
  TableReader reader;
  reader.Start(v);
  for (int round = 0; round < kRounds; ++round) {
    // Every sender strikes each note of channel 0 on port 0 80 times in a row, and plays balanced
    // on/off pairs on its own channel of port 1 with an RPN write there (which counts nothing).
    RunSenders([&](int s) {
      uint32_t channel = static_cast<uint32_t>(s + 1);
      for (uint32_t note = 0; note < 128; ++note) {
        for (int r = 0; r < kRepeats; ++r) EXPECT_EQ(SendShortMessage(v.ports, 0x00640090 | note << 8), 0);
        for (int r = 0; r < kRepeats / 8; ++r) {
          SendShortMessage(v.ports, 0x01500090 | channel | note << 8);
          SendShortMessage(v.ports, 0x01000080 | channel | note << 8);
        }
        if (note % 16 == 0) SendRpn(v.ports, 0x01000000 | channel, note, 1);
      }
    });
    for (uint32_t note = 0; note < 128; ++note) {
      ASSERT_EQ(v.Activity(0, 0, note), kSenders * kRepeats) << "round " << round << " note " << note;
      for (uint32_t ch = 1; ch <= kSenders; ++ch) ASSERT_EQ(v.Activity(1, ch, note), 0) << ch << "/" << note;
    }
    // All three release what they struck, half with note-offs, half with zero-velocity note-ons.
    RunSenders([&](int s) {
      for (uint32_t note = 0; note < 128; ++note)
        for (int r = 0; r < kRepeats; ++r)
          SendShortMessage(v.ports, ((r + s) % 2 ? 0x00000080u : 0x00000090u) | note << 8);
    });
    for (size_t i = 0; i < 2u * kActivityPerPort; ++i) ASSERT_EQ(v.ports.activity[i].load(), 0) << round << "/" << i;
  }
  reader.Stop();
  EXPECT_GT(reader.wakeups.load(), 0u);
}

TEST(OutputPathConcurrency, EveryMessageOfThreeSendersReachesItsDeviceOnce) {
  VirtualPorts v(2);
  RunSenders([&](int s) {
    for (int r = 0; r < kRepeats; ++r)
      for (uint32_t note = 0; note < 128; ++note) {
        SendShortMessage(v.ports, 0x00640090 | static_cast<uint32_t>(s) | note << 8);
        SendShortMessage(v.ports, 0x010000B0 | static_cast<uint32_t>(s) | note << 8);
      }
  });
  std::map<std::string, size_t> sent;
  for (auto& l : v.TakeData()) ++sent[l.substr(0, 7)];  // "out0 90", "out1 b2", ...
  for (int s = 0; s < kSenders; ++s) {
    EXPECT_EQ(sent["out0 9" + std::to_string(s)], size_t{kRepeats} * 128);
    EXPECT_EQ(sent["out1 b" + std::to_string(s)], size_t{kRepeats} * 128);
  }
  EXPECT_EQ(sent.size(), 2u * kSenders);
  for (uint32_t note = 0; note < 128; ++note)
    for (uint32_t ch = 0; ch < kSenders; ++ch) ASSERT_EQ(v.Activity(0, ch, note), kRepeats);
}

TEST(OutputPathConcurrency, CountersSaturateUnderContentionWithoutWrapping) {
  VirtualPorts v(1);
  RunSenders([&](int) {
    for (int i = 0; i < 200; ++i) SendShortMessage(v.ports, 0x00643C90);
  });
  EXPECT_EQ(v.Activity(0, 0, 60), 255);
  RunSenders([&](int) {
    for (int i = 0; i < 100; ++i) SendShortMessage(v.ports, 0x00003C80);
  });
  EXPECT_EQ(v.Activity(0, 0, 60), 0);  // 300 releases against 255: never below zero
}

TEST(OutputPathConcurrency, PortClosingAndReopeningWhileOthersSend) {
  VirtualPorts v(2);
  TableReader reader;
  reader.Start(v);
  std::atomic<int> refused{0};
  // Sender 0 plays the window thread: it closes and reopens port 1 (and panics once) while the
  // other two send to it; a send that meets the closed port is refused but still counted.
  RunSenders([&](int s) {
    if (s == 0) {
      for (int i = 0; i < 200; ++i) {
        v.ports.outputs[1].Close();
        EXPECT_EQ(v.ports.outputs[1].Open(), 0);
        if (i == 100) SendRpn(v.ports, 0x01000000, 1, 2);
      }
      return;
    }
    for (int r = 0; r < kRepeats; ++r)
      for (uint32_t note = 0; note < 128; ++note) {
        int result = SendShortMessage(v.ports, 0x01640090 | static_cast<uint32_t>(s) | note << 8);
        if (result != 0) {
          EXPECT_EQ(result, 5);
          refused.fetch_add(1);
        }
      }
  });
  reader.Stop();
  size_t notes = 0, controllers = 0;
  int released[16][128] = {};
  for (auto& l : v.TakeData()) {
    unsigned port, status, note, velocity;
    if (sscanf(l.c_str(), "out%u %x %x %x", &port, &status, &note, &velocity) == 4 && port == 1 &&
        (status & 0xF0) == 0x90) {
      if (velocity == 0)
        ++released[status & 15][note & 127];
      else
        ++notes;
    }
    controllers += l.rfind("out1 b0", 0) == 0;
  }
  // Every note-on counted is either still counted or was released by a last close, which cleared
  // its count; every note-on either reached the device or was refused, none twice; the RPN went out
  // whole on the thread that had just opened the port.
  for (uint32_t note = 0; note < 128; ++note)
    for (uint32_t ch = 1; ch <= 2; ++ch)
      ASSERT_EQ(v.Activity(1, ch, note) + released[ch][note], kRepeats) << ch << "/" << note;
  EXPECT_EQ(notes + static_cast<size_t>(refused.load()), size_t{2} * kRepeats * 128);
  EXPECT_EQ(controllers, 4u);
}

}  // namespace
