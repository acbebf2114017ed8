// The output path against in-process virtual devices: port checks and result codes, the activity
// counters and event, the exact bytes and order of RPN/NRPN writes, system-exclusive sends with
// their per-port delay, note-offs from the table and panic.
// Threads: the test thread, and a helper thread that runs each sysex send under a time limit (the
// three-thread run is in output_path_concurrency_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/timer.h"
#include "ports/ports.h"
#include "support/virtual_ports.h"

namespace {

using Lines = std::vector<std::string>;

bool ActivitySignalled(VirtualPorts& v) { return platform::EventConsume(&v.activityEvent); }

size_t NonZeroCounters(const Ports& ports) {
  size_t n = 0;
  for (size_t i = 0; i < static_cast<size_t>(ports.outputCount) * kActivityPerPort; ++i)
    n += ports.activity[i].load() != 0;
  return n;
}

TEST(OutputPath, PortIndexNoneIsDroppedAndOneBeyondTheTableIsRefused) {
  VirtualPorts v(2);
  ActivitySignalled(v);
  EXPECT_EQ(SendShortMessage(v.ports, 0xFF643C90), 0);
  EXPECT_EQ(SendShortMessage(v.ports, 0x02643C90), 5);
  EXPECT_EQ(SendShortMessage(v.ports, 0x7F643C90), 5);
  EXPECT_TRUE(v.TakeData().empty());
  EXPECT_EQ(NonZeroCounters(v.ports), 0u);
  EXPECT_FALSE(ActivitySignalled(v));
  // The last port in the table is still a port.
  EXPECT_EQ(SendShortMessage(v.ports, 0x01643C90), 0);
  EXPECT_EQ(v.TakeData(), (Lines{"out1 90 3c 64"}));
}

TEST(OutputPath, NoteOnsAndReleasesKeepTheCounterAndSignalEveryNoteChange) {
  VirtualPorts v(2);
  ActivitySignalled(v);
  const size_t at = 1 * 2048 + 2 * 128 + 60;
  ASSERT_EQ(ActivityIndex(1, 2, 60), at);
  EXPECT_EQ(SendShortMessage(v.ports, 0x01643C92), 0);
  EXPECT_EQ(v.ports.activity[at].load(), 1);
  EXPECT_TRUE(ActivitySignalled(v));
  EXPECT_EQ(SendShortMessage(v.ports, 0x01643C92), 0);
  EXPECT_EQ(v.ports.activity[at].load(), 2);
  EXPECT_EQ(SendShortMessage(v.ports, 0x01003C82), 0);  // note-off
  EXPECT_EQ(v.ports.activity[at].load(), 1);
  EXPECT_EQ(SendShortMessage(v.ports, 0x01003C92), 0);  // note-on with velocity 0
  EXPECT_EQ(v.ports.activity[at].load(), 0);
  EXPECT_TRUE(ActivitySignalled(v));
  // A release of a silent note leaves it at 0 but still signals.
  EXPECT_EQ(SendShortMessage(v.ports, 0x01403C82), 0);
  EXPECT_EQ(v.ports.activity[at].load(), 0);
  EXPECT_TRUE(ActivitySignalled(v));
  // Messages that are not notes neither count nor signal.
  EXPECT_EQ(SendShortMessage(v.ports, 0x01643CA2), 0);  // poly pressure on the same note
  EXPECT_EQ(SendShortMessage(v.ports, 0x016407B2), 0);
  EXPECT_FALSE(ActivitySignalled(v));
  EXPECT_EQ(NonZeroCounters(v.ports), 0u);
  EXPECT_EQ(v.TakeData(), (Lines{"out1 92 3c 64", "out1 92 3c 64", "out1 82 3c 00", "out1 92 3c 00",
                                  "out1 82 3c 40", "out1 a2 3c 64", "out1 b2 07 64"}));
}

TEST(OutputPath, VelocityAndNoteBytesAreMaskedToSevenBits) {
  VirtualPorts v(1);
  SendShortMessage(v.ports, 0x00643C90);
  EXPECT_EQ(v.Activity(0, 0, 60), 1);
  SendShortMessage(v.ports, 0x00803C90);  // velocity 0x80 reads as 0: a release
  EXPECT_EQ(v.Activity(0, 0, 60), 0);
  SendShortMessage(v.ports, 0x0064BC90);  // note 0xBC counts against 0x3C
  EXPECT_EQ(v.Activity(0, 0, 60), 1);
  EXPECT_EQ(NonZeroCounters(v.ports), 1u);
  // The bytes themselves go out as given.
  EXPECT_EQ(v.TakeData(), (Lines{"out0 90 3c 64", "out0 90 3c 80", "out0 90 bc 64"}));
}

TEST(OutputPath, CounterStopsAt255InsteadOfWrapping) {
  VirtualPorts v(1);
  for (int i = 0; i < 300; ++i) SendShortMessage(v.ports, 0x00643C95);
  EXPECT_EQ(v.Activity(0, 5, 60), 255);
  SendShortMessage(v.ports, 0x00003C85);
  EXPECT_EQ(v.Activity(0, 5, 60), 254);
  // Neighbours are untouched.
  EXPECT_EQ(v.Activity(0, 5, 59), 0);
  EXPECT_EQ(v.Activity(0, 5, 61), 0);
  EXPECT_EQ(v.Activity(0, 4, 60), 0);
  EXPECT_EQ(v.Activity(0, 6, 60), 0);
  EXPECT_EQ(v.TakeData().size(), 301u);
}

TEST(OutputPath, ClosedPortCountsTheNoteAndReturnsTheRefusal) {
  VirtualPorts v(2);
  v.ports.outputs[1].Close();
  v.TakeAll();
  ActivitySignalled(v);
  EXPECT_EQ(SendShortMessage(v.ports, 0x01643C90), 5);
  EXPECT_EQ(v.Activity(1, 0, 60), 1);
  EXPECT_TRUE(ActivitySignalled(v));
  EXPECT_TRUE(v.TakeData().empty());
}

TEST(ParameterWrites, RpnSendsFourControllersInOrderWithoutANullParameter) {
  VirtualPorts v(1);
  EXPECT_EQ(SendRpn(v.ports, 0x00000000, 0, 256), 0);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 b0 65 00", "out0 b0 64 00", "out0 b0 06 02", "out0 b0 26 00"}));
}

TEST(ParameterWrites, NrpnUsesControllers99And98OnTheBasesChannelAndPort) {
  VirtualPorts v(3);
  // Parameter 0x1234 = high 0x24, low 0x34; value 16383 = high 0x7f, low 0x7f.
  EXPECT_EQ(SendNrpn(v.ports, 0x0200000B, 0x1234, 16383), 0);
  EXPECT_EQ(v.TakeData(), (Lines{"out2 bb 63 24", "out2 bb 62 34", "out2 bb 06 7f", "out2 bb 26 7f"}));
}

// Every data byte stays below 0x80, whatever number a song holds (0xFFFF would otherwise send 0xFF,
// a system reset, as the data byte of controller 6).
TEST(ParameterWrites, NumbersAbove16383AreSentAs16383) {
  VirtualPorts v(1);
  EXPECT_EQ(SendRpn(v.ports, 0x00000001, 1, 20000), 0);
  EXPECT_EQ(SendNrpn(v.ports, 0x00000001, 0xFFFF, 0xFFFF), 0);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 b1 65 00", "out0 b1 64 01", "out0 b1 06 7f", "out0 b1 26 7f",
                                 "out0 b1 63 7f", "out0 b1 62 7f", "out0 b1 06 7f", "out0 b1 26 7f"}));
}

TEST(ParameterWrites, StopAtTheFirstRefusalAndReturnIt) {
  VirtualPorts v(2);
  v.ports.outputs[1].Close();
  v.TakeAll();
  EXPECT_EQ(SendNrpn(v.ports, 0x01000000, 5, 5), 5);
  EXPECT_EQ(SendRpn(v.ports, 0x02000000, 5, 5), 5);  // no such port
  EXPECT_TRUE(v.TakeData().empty());
  EXPECT_EQ(NonZeroCounters(v.ports), 0u);
}

// Runs a sysex send on another thread so that a wait that never ends fails the test instead of
// hanging it. Returns the result and the elapsed milliseconds.
std::pair<int, double> TimedSysex(Ports& ports, const std::vector<uint8_t>& bytes, uint32_t port) {
  auto task = std::make_shared<std::packaged_task<std::pair<int, double>()>>([&ports, bytes, port] {
    auto t0 = std::chrono::steady_clock::now();
    int r = SendSysexOnPort(ports, static_cast<uint32_t>(bytes.size()), bytes.data(), port);
    return std::make_pair(r, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  });
  auto result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (result.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the sysex send did not return";
    std::_Exit(1);  // the sender still uses the ports; nothing sane is left to run
  }
  return result.get();
}

TEST(Sysex, BytesGoOutUnframedAndUnchanged) {
  VirtualPorts v(2);
  EXPECT_EQ(TimedSysex(v.ports, {0x01, 0x02, 0x03}, 1).first, 0);
  EXPECT_EQ(TimedSysex(v.ports, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, 0).first, 0);
  EXPECT_EQ(v.TakeData(), (Lines{"out1 01 02 03", "out0 f0 7e 7f 09 01 f7"}));
}

TEST(Sysex, PortIndexOutsideTheTableIsRefused) {
  VirtualPorts v(2);
  EXPECT_EQ(TimedSysex(v.ports, {0xF0, 0xF7}, 2).first, 5);
  EXPECT_EQ(TimedSysex(v.ports, {0xF0, 0xF7}, 255).first, 5);
  EXPECT_EQ(TimedSysex(v.ports, {0xF0, 0xF7}, 0xFFFFFFFF).first, 5);
  EXPECT_TRUE(v.TakeData().empty());
}

// The send never waits: it starts the port's pause, which whoever sends next to the port waits out.
// A failed send pauses too, and a setting beyond a second is held to one.
TEST(Sysex, APauseFollowsEverySendEvenAFailedOneAndIsHeldToASecond) {
  VirtualPorts v(2);
  v.ports.outputs[1].Close();
  v.ports.outputs[0].sysexDelayMs = 20;
  v.ports.outputs[1].sysexDelayMs = INT32_MAX;
  double before = platform::NowMs();
  auto [openResult, openMs] = TimedSysex(v.ports, {0xF0, 0x01, 0xF7}, 0);
  EXPECT_EQ(openResult, 0);
  auto [closedResult, closedMs] = TimedSysex(v.ports, {0xF0, 0x01, 0xF7}, 1);
  EXPECT_EQ(closedResult, 5);
  double after = platform::NowMs();
  EXPECT_LT(openMs + closedMs, 900.0);  // a wait of a second would show here
  EXPECT_GE(SysexReadyAt(v.ports, 0), before + 20.0);
  EXPECT_LE(SysexReadyAt(v.ports, 0), after + 20.0);
  EXPECT_GE(SysexReadyAt(v.ports, 1), before + kMaxSysexDelayMs);
  EXPECT_LE(SysexReadyAt(v.ports, 1), after + kMaxSysexDelayMs);
  EXPECT_EQ(SysexReadyAt(v.ports, 2), 0.0);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 f0 01 f7"}));
}

TEST(Sysex, NegativeDelayCountsAsNone) {
  VirtualPorts v(1);
  v.ports.outputs[0].sysexDelayMs = INT32_MIN;
  auto [result, ms] = TimedSysex(v.ports, {0xF0, 0x01, 0xF7}, 0);
  EXPECT_EQ(result, 0);
  EXPECT_LT(ms, 10000.0);  // no wait at all; only a wait read as a huge unsigned would get here
  v.ports.outputs[0].sysexDelayMs = -1;
  EXPECT_LT(TimedSysex(v.ports, {0xF0, 0x02, 0xF7}, 0).second, 10000.0);
  EXPECT_EQ(v.TakeData().size(), 2u);
}

// The reset sequence for one channel, written out byte for byte.
Lines ResetLines(int port, int channel) {
  char b[64];
  Lines out;
  const int rows[8][3] = {{0xE0, 0x00, 0x40}, {0xB0, 1, 0},  {0xB0, 7, 127},  {0xB0, 10, 64},
                          {0xB0, 64, 0},      {0xB0, 66, 0}, {0xB0, 67, 0},   {0xB0, 121, 0}};
  for (auto& r : rows) {
    snprintf(b, sizeof b, "out%d %02x %02x %02x", port, r[0] + channel, r[1], r[2]);
    out.push_back(b);
  }
  return out;
}

Lines PanicLines(int port) {
  char b[64];
  Lines out;
  for (int ch = 0; ch < 16; ++ch)
    for (int note = 0; note < 128; ++note) {
      snprintf(b, sizeof b, "out%d %02x %02x 00", port, 0x90 + ch, note);
      out.push_back(b);
    }
  for (int ch = 0; ch < 16; ++ch)
    for (auto& l : ResetLines(port, ch)) out.push_back(l);
  return out;
}

TEST(Panic, SilencesAndResetsOnlyTheOpenPortsAndClearsTheTable) {
  VirtualPorts v(4);
  v.ports.outputs[1].Close();
  v.ports.outputs[3].Close();
  SendShortMessage(v.ports, 0x00643C90);
  SendShortMessage(v.ports, 0x01643C90);  // counted on a closed port
  SendShortMessage(v.ports, 0x0364409F);
  v.TakeAll();
  ActivitySignalled(v);
  EXPECT_EQ(Panic(v.ports), 0);
  Lines sent = v.TakeData();
  ASSERT_EQ(sent.size(), 2u * (2048 + 128));
  Lines expected = PanicLines(0);
  for (auto& l : PanicLines(2)) expected.push_back(l);
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(NonZeroCounters(v.ports), 0u);
  EXPECT_FALSE(ActivitySignalled(v));
}

TEST(Panic, WithNothingOpenSendsNothing) {
  VirtualPorts v(2, 0, false);
  SendShortMessage(v.ports, 0x00643C90);
  EXPECT_EQ(Panic(v.ports), 0);
  EXPECT_TRUE(v.TakeData().empty());
  EXPECT_EQ(NonZeroCounters(v.ports), 0u);
}

TEST(Releases, AsManyAsTheLedgerHoldsOnThatPortOnly) {
  VirtualPorts v(2);
  for (int i = 0; i < 3; ++i) SendShortMessage(v.ports, 0x00644090);
  SendShortMessage(v.ports, 0x01644091);  // another port: not this call's business
  v.TakeAll();
  ActivitySignalled(v);
  ReleaseStrikes(v.ports, 0, kOwnerNone);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 90 40 00", "out0 90 40 00", "out0 90 40 00"}));
  EXPECT_EQ(v.Activity(0, 0, 64), 0);
  EXPECT_EQ(v.Activity(1, 1, 64), 1);
  EXPECT_TRUE(ActivitySignalled(v));
}

}  // namespace
