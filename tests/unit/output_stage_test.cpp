// The output stage against in-process virtual devices, with the stages' clock pushed in: a port's
// queue keeps its messages in order through its pause and holds no other port; the ledger counts
// what is queued, a withdrawn message takes its change back, and releases work from the ledger by
// owner; the bounds refuse senders but never a release; a panic empties the queue first and a last
// close sends it, then releases what the device holds; a message longer than the device carries is
// refused whole.
// Threads: the test thread only (nothing drains by itself: the tests drain at chosen moments).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ports/ports.h"
#include "support/virtual_ports.h"

namespace {

using Lines = std::vector<std::string>;

double g_now = 1000.0;
double PushedClock() { return g_now; }

constexpr Owner kClientA = kFirstClientOwner;
constexpr Owner kClientB = kFirstClientOwner + 1;

struct Stage : VirtualPorts {
  explicit Stage(int outputs = 2, uint32_t longest = 0) : VirtualPorts(outputs, 0, true, longest) {
    g_now = 1000.0;
    ports.stages.clock = PushedClock;
  }
  // A sysex on `port` that makes it pause `ms` from now.
  void Pause(int port, int ms, uint8_t tag = 1) {
    ports.outputs[port].sysexDelayMs = ms;
    const uint8_t sysex[] = {0xF0, tag, 0xF7};
    EXPECT_EQ(SendSysexOnPort(ports, sizeof sysex, sysex, static_cast<uint32_t>(port)), 0);
  }
  void DrainAt(double ms) {
    g_now = ms;
    DrainStages(ports, ms);
  }
  int Held(uint32_t key, Owner owner, int port = 0) { return HeldStrikes(ports, port, 0, key, owner); }
};

TEST(OutputStage, APauseHoldsItsPortsMessagesInOrderAndNoOtherPort) {
  Stage v;
  v.Pause(0, 100);
  EXPECT_EQ(SendShortMessage(v.ports, 0x00643C90, kOwnerPlayback), 0);
  const uint8_t second[] = {0xF0, 0x02, 0xF7};
  EXPECT_EQ(SendSysexOnPort(v.ports, sizeof second, second, 0, kClientA), 0);
  EXPECT_EQ(SendShortMessage(v.ports, 0x00004090, kOwnerPlayback), 0);
  EXPECT_EQ(SendShortMessage(v.ports, 0x01643C91, kOwnerThru), 0);  // another port goes at once
  EXPECT_EQ(v.TakeData(), (Lines{"out0 f0 01 f7", "out1 91 3c 64"}));
  EXPECT_EQ(v.Activity(0, 0, 60), 1);  // the ledger already counts what waits
  v.DrainAt(1099.9);
  EXPECT_TRUE(v.TakeData().empty());
  // The pause over, the queue leaves in order until the next sysex starts a pause of its own.
  v.DrainAt(1100);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 90 3c 64", "out0 f0 02 f7"}));
  v.DrainAt(1199);
  EXPECT_TRUE(v.TakeData().empty());
  // A message sent while something waits goes behind it, even once the pause is over.
  g_now = 1250;
  EXPECT_EQ(SendShortMessage(v.ports, 0x00004190, kOwnerPlayback), 0);
  EXPECT_TRUE(v.TakeData().empty());
  v.DrainAt(1250);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 90 40 00", "out0 90 41 00"}));
  EXPECT_EQ(SendShortMessage(v.ports, 0x00004290), 0);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 90 42 00"}));
}

TEST(OutputStage, TheLedgerTellsOwnersApartAndAReleaseEndsTheKeyWhoeverStruckIt) {
  Stage v;
  SendShortMessage(v.ports, 0x00643C90, kOwnerPlayback);
  SendShortMessage(v.ports, 0x00643C90, kOwnerPlayback);
  SendShortMessage(v.ports, 0x00503C90, kOwnerThru);
  SendShortMessage(v.ports, 0x00403E90, kClientA);
  SendShortMessage(v.ports, 0x007F40B0, kOwnerThru);  // thru's sustain pedal down
  v.TakeData();
  EXPECT_EQ(v.Held(60, kOwnerPlayback), 2);
  EXPECT_EQ(v.Held(60, kOwnerThru), 1);
  EXPECT_EQ(v.Held(60, kOwnerNone), 3);
  EXPECT_EQ(v.Held(62, kClientA), 1);
  ReleaseStrikes(v.ports, 0, kOwnerPlayback);
  LiftPedals(v.ports, 0, kOwnerPlayback);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 90 3c 00", "out0 90 3c 00"}));
  EXPECT_EQ(v.Activity(0, 0, 60), 1);
  // B releases a key it never struck: the device's key ends all the same, and with it thru's strike.
  SendShortMessage(v.ports, 0x00003C80, kClientB);
  EXPECT_EQ(v.Held(60, kOwnerThru), 0);
  EXPECT_EQ(v.Activity(0, 0, 60), 0);
  ReleaseOwner(v.ports, kOwnerThru);
  ReleaseOwner(v.ports, kClientA);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 80 3c 00", "out0 b0 40 00", "out0 90 3e 00"}));
  // The pedal is up now, whoever asks.
  LiftPedals(v.ports, 0, kOwnerNone);
  EXPECT_TRUE(v.TakeData().empty());
}

TEST(OutputStage, AWithdrawnMessageTakesItsChangeBackAndTheRestLeavesInOrder) {
  Stage v;
  SendShortMessage(v.ports, 0x00643C90, kOwnerPlayback);  // sounding before the pause
  v.Pause(0, 100);
  v.TakeData();
  SendShortMessage(v.ports, 0x00003C90, kOwnerPlayback);  // its release, queued
  SendShortMessage(v.ports, 0x00643D90, kClientA);
  SendShortMessage(v.ports, 0x007F40B0, kOwnerPlayback);  // a pedal down, queued
  SendShortMessage(v.ports, 0x00643E90, kOwnerPlayback);  // a strike, queued
  EXPECT_EQ(v.Held(60, kOwnerPlayback), 0);
  EXPECT_EQ(v.Held(62, kOwnerPlayback), 1);
  DropQueued(v.ports, kOwnerPlayback);
  // What never left counts for nothing: the key struck before the pause sounds, the pedal is up.
  EXPECT_EQ(v.Held(60, kOwnerPlayback), 1);
  EXPECT_EQ(v.Held(62, kOwnerPlayback), 0);
  ReleaseStrikes(v.ports, 0, kOwnerPlayback);
  LiftPedals(v.ports, 0, kOwnerPlayback);
  v.DrainAt(1100);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 90 3d 64", "out0 90 3c 00"}));
  // A departure withdraws only a client's strikes; what else it queued still goes out.
  v.Pause(0, 100, 2);
  SendShortMessage(v.ports, 0x00643590, kClientA);
  const uint8_t patch[] = {0xF0, 0x7D, 0x01, 0xF7};
  SendSysexOnPort(v.ports, sizeof patch, patch, 0, kClientA);
  ReleaseOwner(v.ports, kClientA);
  v.DrainAt(1200);
  v.DrainAt(1300);
  EXPECT_EQ(v.TakeData(), (Lines{"out0 f0 02 f7", "out0 f0 7d 01 f7", "out0 90 3d 00"}));
  EXPECT_EQ(v.Activity(0, 0, 61), 0);
}

TEST(OutputStage, BoundsRefuseSendersButNeverARelease) {
  Stage v;
  SendShortMessage(v.ports, 0x00643C90, kClientA);
  v.Pause(0, 100);
  v.TakeData();
  // B's share runs out first, then the port's.
  int byB = 0, byC = 0;
  while (SendShortMessage(v.ports, 0x00400790, kClientB) == 0) ++byB;  // controller 7
  while (SendShortMessage(v.ports, 0x00400790, kClientB + 1) == 0) ++byC;
  EXPECT_EQ(byB, kOwnerQueueEntries);
  EXPECT_EQ(byB + byC, static_cast<int>(kStageSenderShare));
  EXPECT_EQ(SendShortMessage(v.ports, 0x00643D90, kOwnerPlayback), kStageQueueFull);
  EXPECT_EQ(v.Activity(0, 0, 61), 0);  // a refused message changes nothing
  EXPECT_FALSE(StageTakes(v.ports, 0, 1, 0, kOwnerPlayback));
  EXPECT_TRUE(StageTakes(v.ports, 1, 1, 0, kOwnerPlayback));
  ReleaseOwner(v.ports, kClientA);  // A leaves: its release still queues, behind the rest
  EXPECT_EQ(v.Activity(0, 0, 60), 0);
  v.DrainAt(1100);
  Lines out = v.TakeData();
  ASSERT_EQ(out.size(), kStageSenderShare + 1);
  EXPECT_EQ(out.back(), "out0 90 3c 00");

  // A client's share of system-exclusive bytes waiting across the ports.
  v.Pause(0, 100, 3);
  std::vector<uint8_t> big(256 * 1024, 0x11);
  int sysexTaken = 0;
  while (SendSysexOnPort(v.ports, static_cast<uint32_t>(big.size()), big.data(), 0, kClientA) == 0) ++sysexTaken;
  EXPECT_EQ(sysexTaken, static_cast<int>(kOwnerQueueBytes / big.size()));
  // Another client still has room; a sender that may not allocate only has the port's own buffer.
  EXPECT_EQ(SendSysexOnPort(v.ports, 16, big.data(), 0, kClientB), 0);
  EXPECT_EQ(SendSysexOnPort(v.ports, static_cast<uint32_t>(big.size()), big.data(), 0, kClientB,
                            SysexCopy::kNoAllocation),
            kStageQueueFull);
  Panic(v.ports);
  ReclaimSpent(v.ports);
}

TEST(OutputStage, APanicEmptiesTheQueueFirstAndALastCloseSendsItThenReleases) {
  Stage v(1);
  v.Pause(0, 1000);
  SendShortMessage(v.ports, 0x00643C90, kClientA);  // would sound a second from now
  v.TakeData();
  EXPECT_EQ(Panic(v.ports), 0);
  Lines panic = v.TakeData();
  ASSERT_EQ(panic.size(), 2048u + 128u);
  v.DrainAt(5000);
  EXPECT_TRUE(v.TakeData().empty());
  EXPECT_EQ(v.Activity(0, 0, 60), 0);

  v.Pause(0, 1000, 2);
  SendShortMessage(v.ports, 0x00643C90, kClientA);
  SendShortMessage(v.ports, 0x007F43B0, kOwnerThru);  // soft pedal down
  SendShortMessage(v.ports, 0x00703E90, kOwnerThru);
  v.TakeData();
  v.ports.outputs[0].Close();
  EXPECT_EQ(v.TakeAll(), (Lines{"out0 90 3c 64", "out0 b0 43 7f", "out0 90 3e 70", "out0 90 3c 00",
                                "out0 90 3e 00", "out0 b0 43 00", "close out0"}));
  EXPECT_EQ(v.Activity(0, 0, 60), 0);
}

TEST(OutputStage, AMessageLongerThanTheDeviceCarriesIsRefusedWhole) {
  Stage v(1, 32);
  v.ports.outputs[0].sysexDelayMs = 100;
  std::vector<uint8_t> longer(33, 0x22);
  EXPECT_EQ(SendSysexOnPort(v.ports, static_cast<uint32_t>(longer.size()), longer.data(), 0), kStageTooLong);
  EXPECT_EQ(SendShortMessage(v.ports, 0x00643C90), 0);  // no pause was started
  EXPECT_EQ(v.TakeData(), (Lines{"out0 90 3c 64"}));
  longer.pop_back();
  EXPECT_EQ(SendSysexOnPort(v.ports, static_cast<uint32_t>(longer.size()), longer.data(), 0), 0);
  EXPECT_EQ(v.TakeData().size(), 1u);
}

}  // namespace
