// The engine on the jack service, over the bus, against a private JACK server with the dummy driver
// and a JACK client of the test's own ("sink", MIDI ports "in" and "out"): the port lists name its
// ports, opens connect the engine's ports, direct sends arrive byte for byte (a 1,000-byte sysex in
// one event), closing disconnects, a requested service that cannot be had leaves the engine running
// without devices, and the port tables follow the server: a client that registers later is listed,
// a sink restarted mid-song hears the song's state before its next notes, and a server killed and
// started again is found, with the engine serving meanwhile and the song carrying on.
// Threads: the test thread (and the test client's JACK thread).
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/transport.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"
#include "integration/support/jack_fixture.h"
#include "support/jack_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

Bytes Sysex(size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i % 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

bool Told(tovu::Client& c, uint32_t word) {
  return tovu::WaitForMessage(c, [word](const tovu::Message& m) {
    tovu::NotificationInfo n;
    return tovu::AsNotification(m, &n) && n.code == tovu::kNotifyPortsChanged && n.lParam == word;
  }, 10000);
}

// A song on output 0 that sets a program, a bank and a controller at its start and then strikes a
// short note every quarter second, looped over two seconds.
void PlayStatefulSong(tovu::Client& c) {
  tovu::SongBuilder s;
  s.Tempo(0, 120);  // 240 ticks a second
  s.Controller(0, 0, 0, 0, 2);
  s.Program(0, 0, 0, 5);
  s.Controller(0, 0, 0, 7, 100);
  for (int32_t t = 0; t < 480; t += 60) {
    s.NoteOn(t, 0, 0, 60, 100);
    s.NoteRelease(t + 20, 0, 0, 60);
  }
  s.End(480);
  ASSERT_TRUE(tovu::LoadSong(c, s.Build()));
  tovu::StartRequest r;
  r.loopOn = 1;
  r.loopStart = 0;
  r.loopEnd = 480;
  ASSERT_TRUE(tovu::Start(c, r));
}

// Whether a note-on of the song arrives at the peer's sink after the `skip` events it had.
bool NoteOnAfter(JackPeer& peer, size_t skip) {
  return WaitUntil([&] {
    std::vector<PeerEvent> got = peer.Received();
    return std::any_of(got.begin() + static_cast<std::ptrdiff_t>(std::min(skip, got.size())), got.end(),
                       [](const PeerEvent& e) { return e.bytes.size() == 3 && e.bytes[0] == 0x90 && e.bytes[2] != 0; });
  }, 10000);
}

// A sink that came back heard the song's bank, program and volume before any of its notes, and then
// its notes again.
void ExpectStateBeforeNotes(JackPeer& peer) {
  ASSERT_TRUE(NoteOnAfter(peer, 0));
  std::vector<PeerEvent> got = peer.Received();
  auto note = std::find_if(got.begin(), got.end(), [](const PeerEvent& e) { return e.bytes[0] == 0x90; });
  std::vector<Bytes> before;
  for (auto it = got.begin(); it != note; ++it) before.push_back(it->bytes);
  for (const Bytes& want : {Bytes{0xB0, 0x00, 0x02}, Bytes{0xC0, 0x05}, Bytes{0xB0, 0x07, 0x64}})
    EXPECT_NE(std::find(before.begin(), before.end(), want), before.end())
        << "the state (" << std::hex << int(want[0]) << " " << int(want[1]) << ") before the first note";
}

}  // namespace

TEST(JackDevices, PortListsOpensDirectSendsAndClose) {
  JackFixture f;
  if (!f.server.Start()) GTEST_SKIP() << "no JACK server can be started here: " << f.server.failure;
  ASSERT_TRUE(f.Start());
  std::vector<tovu::OutputPortInfo> outs;
  std::vector<tovu::InputPortInfo> ins;
  ASSERT_EQ(tovu::RequestOutputPorts(f.c, &outs), 0);
  ASSERT_EQ(tovu::RequestInputPorts(f.c, &ins), 0);
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].name, "sink:in");
  ASSERT_EQ(ins.size(), 1u);
  EXPECT_EQ(ins[0].name, "sink:out");

  ASSERT_TRUE(f.Open(0));
  EXPECT_EQ(f.peer.ConnectionsOf("in"), Names{"TovuEngine:out0"});
  EXPECT_EQ(f.peer.ConnectionsOf("out"), Names{"TovuEngine:in0"});

  EXPECT_EQ(tovu::SendShort(f.c, tovu::PackEvent(0x90, 60, 100, 0)), 0);  // command 18
  EXPECT_TRUE(tovu::SendShortList(f.c, {tovu::PackEvent(0xC3, 5, 0, 0), tovu::PackEvent(0xB0, 7, 100, 0)}));
  Bytes sysex = Sysex(1000);
  EXPECT_TRUE(tovu::SendSysex(f.c, 0, sysex));  // type 17
  EXPECT_EQ(tovu::SendShort(f.c, tovu::PackEvent(0x80, 60, 0, 0)), 0);
  std::vector<PeerEvent> got = f.peer.WaitReceived(5);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].bytes, (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(got[1].bytes, (Bytes{0xC3, 0x05}));
  EXPECT_EQ(got[2].bytes, (Bytes{0xB0, 0x07, 0x64}));
  EXPECT_EQ(got[3].bytes, sysex);  // in one event
  EXPECT_EQ(got[4].bytes, (Bytes{0x80, 0x3C, 0x00}));

  // Another program disconnects the engine's ports: while the devices are open they are connected
  // again, and what is sent next arrives.
  ASSERT_EQ(jack_disconnect(f.peer.client, "TovuEngine:out0", "sink:in"), 0);
  ASSERT_EQ(jack_disconnect(f.peer.client, "sink:out", "TovuEngine:in0"), 0);
  EXPECT_TRUE(WaitUntil([&] { return f.peer.ConnectionsOf("in") == Names{"TovuEngine:out0"} &&
                                     f.peer.ConnectionsOf("out") == Names{"TovuEngine:in0"}; }, 5000))
      << "connections not made again";
  EXPECT_EQ(tovu::SendShort(f.c, tovu::PackEvent(0x90, 61, 100, 0)), 0);
  got = f.peer.WaitReceived(6);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[5].bytes, (Bytes{0x90, 0x3D, 0x64}));

  ASSERT_TRUE(tovu::ClosePorts(f.c));
  EXPECT_TRUE(WaitUntil([&] { return f.peer.ConnectionsOf("in").empty() && f.peer.ConnectionsOf("out").empty(); },
                        5000));
  EXPECT_FALSE(f.peer.PortExists("TovuEngine:out0"));
  EXPECT_EQ(tovu::SendShort(f.c, tovu::PackEvent(0x90, 60, 100, 0)), 5);  // closed
  EXPECT_EQ(f.End(), 0);
}

// A server killed mid-song: the engine keeps serving (another client's command is answered while no
// server runs), its ports are absent and refuse sends; a server started again under the same name
// is found within 2 s, the port is reopened by name (connected to the sink again), and the song
// carries on there with its state first.
TEST(JackDevices, AServerKilledAndStartedAgainIsFoundAndTheSongCarriesOnThere) {
  JackFixture f;
  if (!f.server.Start()) GTEST_SKIP() << "no JACK server can be started here: " << f.server.failure;
  ASSERT_TRUE(f.Start("engine"));
  tovu::Client other;
  ASSERT_TRUE(f.env.ConnectRegistered(other));
  ASSERT_TRUE(f.Open());
  EXPECT_EQ(f.peer.ConnectionsOf("in"), Names{"engine:out0"});
  tovu::SyncOutSettings sync;
  ASSERT_TRUE(tovu::RequestSyncOutSettings(f.c, &sync));
  sync.flags |= tovu::kSyncJackTransport;
  ASSERT_TRUE(tovu::SetSyncOut(f.c, sync));
  PlayStatefulSong(f.c);
  ASSERT_TRUE(NoteOnAfter(f.peer, 0));

  f.peer.Close();
  f.server.Kill();
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortGone, false, 0)));
  EXPECT_EQ(tovu::SendShort(f.c, tovu::PackEvent(0x90, 60, 100, 0)), tovu::kResultNoDevice);
  auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(tovu::AuditionHoldTime(other), 300);  // answered, not held up by the missing server
  std::printf("a command answered without a server in %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - asked).count()));
  std::vector<tovu::OutputPortInfo> outs;
  ASSERT_EQ(tovu::RequestOutputPorts(f.c, &outs), 0);
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].handle, 0u);  // absent, shown as closed

  ASSERT_TRUE(f.server.Restart());
  auto answered = std::chrono::steady_clock::now();
  JackPeer again;
  ASSERT_TRUE(again.Open(f.server.name, "sink", {"in"}, {"out"}));
  ASSERT_TRUE(WaitUntil([&] { return again.ConnectionsOf("in") == Names{"engine:out0"}; }, 10000));
  long long reconnectMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                answered).count();
  std::printf("reconnected and reopened %lld ms after the new server answered\n", reconnectMs);
  EXPECT_LT(reconnectMs, 2000);
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortBack, false, 0)));
  ExpectStateBeforeNotes(again);
  // The engine is the new server's timebase master, and its transport rolls with the song.
  jack_position_t pos;
  EXPECT_TRUE(WaitUntil([&] {
    return jack_transport_query(again.client, &pos) == JackTransportRolling && (pos.valid & JackPositionBBT) &&
           pos.beats_per_minute > 119.0 && pos.beats_per_minute < 121.0;
  }, 10000)) << "the transport on the new server neither rolls nor has the song's bar and tempo";
  EXPECT_EQ(tovu::Stop(f.c), 0);
  EXPECT_EQ(tovu::Unregister(other), 0);
  EXPECT_EQ(f.End(), 0);
}

// Clients that come and go while the engine runs: one that registers ports later is appended (and
// its ports open), the sink a song plays to is absent while its client is gone and, started again,
// hears the song's state at the position and then the song's next notes.
TEST(JackDevices, ClientsThatComeLaterAreListedAndARestartedSinkGetsTheSongsStateFirst) {
  JackFixture f;
  if (!f.server.Start()) GTEST_SKIP() << "no JACK server can be started here: " << f.server.failure;
  ASSERT_TRUE(f.Start());
  JackPeer late;
  ASSERT_TRUE(late.Open(f.server.name, "late", {"in"}, {"out"}));
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortAdded, false, 1)));
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortAdded, true, 1)));
  std::vector<tovu::OutputPortInfo> outs;
  std::vector<tovu::InputPortInfo> ins;
  ASSERT_EQ(tovu::RequestOutputPorts(f.c, &outs), 0);
  ASSERT_EQ(tovu::RequestInputPorts(f.c, &ins), 0);
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_EQ(outs[1].name, "late:in");
  ASSERT_EQ(ins.size(), 2u);
  EXPECT_EQ(ins[1].name, "late:out");
  tovu::OpenPortsReply reply;
  ASSERT_TRUE(OpenPorts(f.c, {0, 1}, -1, 1, &reply));
  EXPECT_EQ(reply.outputResults[0], 0);
  EXPECT_EQ(reply.outputResults[1], 0);
  EXPECT_EQ(late.ConnectionsOf("in"), Names{"TovuEngine:out1"});

  PlayStatefulSong(f.c);
  ASSERT_TRUE(NoteOnAfter(f.peer, 0));
  f.peer.Close();
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortGone, false, 0)));
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortGone, true, 0)));
  tovu::PortStates states;
  ASSERT_TRUE(tovu::RequestPortStates(f.c, &states));
  EXPECT_EQ(states.outputs, (std::vector<uint8_t>{tovu::kPortAbsent, tovu::kPortPresent}));
  EXPECT_EQ(states.inputs, (std::vector<uint8_t>{tovu::kPortAbsent, tovu::kPortPresent}));
  late.Close();
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortGone, false, 1)));

  // The sink comes back as a client does, its ports registered before it activates. Listed in
  // between (another client's registration has the engine list the ports), it cannot be connected
  // yet: the held port stays absent, and comes back when the sink activates.
  JackPeer again, poke;
  ASSERT_TRUE(again.Open(f.server.name, "sink", {"in"}, {"out"}, /*activate=*/false));
  ASSERT_TRUE(poke.Open(f.server.name, "poke", {"in"}, {}));
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortAdded, false, 2)));
  ASSERT_TRUE(tovu::RequestPortStates(f.c, &states));
  EXPECT_EQ(states.outputs[0], tovu::kPortAbsent) << "a port that could not be reopened is shown as back";
  EXPECT_EQ(tovu::SendShort(f.c, tovu::PackEvent(0x90, 60, 100, 0)), tovu::kResultNoDevice);
  ASSERT_TRUE(again.Activate());
  ASSERT_TRUE(Told(f.c, tovu::PortChangeWord(tovu::kPortBack, false, 0)));
  EXPECT_EQ(again.ConnectionsOf("in"), Names{"TovuEngine:out0"});
  ExpectStateBeforeNotes(again);
  ASSERT_TRUE(tovu::RequestPortStates(f.c, &states));
  EXPECT_EQ(states.outputs, (std::vector<uint8_t>{tovu::kPortPresent, tovu::kPortAbsent, tovu::kPortPresent}));
  EXPECT_EQ(tovu::Stop(f.c), 0);
  EXPECT_EQ(f.End(), 0);
}

TEST(JackDevices, ARequestedServiceThatCannotBeHadLeavesNoDevicesAndOneLine) {
  for (const char* service : {"jack", "alsa"}) {
    SCOPED_TRACE(service);
    if (std::string(service) == "alsa" && access("/dev/snd/seq", F_OK) == 0) continue;
    EngineEnv env;
    env.vars["TOVU_MIDI"] = service;
    env.vars["JACK_DEFAULT_SERVER"] = "tovu-absent-" + std::to_string(getpid());
    EngineProcess engine(env.Start());
    ASSERT_TRUE(env.WaitReady(10000));
    tovu::Client c;
    ASSERT_TRUE(env.ConnectRegistered(c));
    std::vector<tovu::OutputPortInfo> outs;
    EXPECT_EQ(tovu::RequestOutputPorts(c, &outs), 1);  // no ports
    EXPECT_TRUE(outs.empty());
    EXPECT_EQ(tovu::SendShort(c, tovu::PackEvent(0x90, 60, 100, 0)), 5);
    tovu::Unregister(c);
    EXPECT_EQ(engine.Wait(10000), 0);
    std::string text = env.StderrText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find(std::string("MIDI service ") + service), std::string::npos) << text;
  }
}

// A server that stops answering (here: stopped with SIGSTOP) holds up neither the engine's main
// thread nor an open for long: the open fails with a result code within the bound, another client's
// command is answered meanwhile, a later open fails at once, and once the server answers again the
// port opens as before and carries messages.
TEST(JackDevices, AServerThatDoesNotAnswerHoldsUpNothingForLong) {
  JackFixture f;
  if (!f.server.Start()) GTEST_SKIP() << "no JACK server can be started here: " << f.server.failure;
  ASSERT_TRUE(f.Start());
  tovu::Client other;
  ASSERT_TRUE(f.env.ConnectRegistered(other));
  auto since = [](std::chrono::steady_clock::time_point t) { return std::chrono::steady_clock::now() - t; };

  ASSERT_EQ(kill(f.server.pid, SIGSTOP), 0);
  tovu::OpenPortsRequest request;
  request.outputDevices = {0};
  tovu::OpenPortsReply reply;
  auto start = std::chrono::steady_clock::now();
  bool answered = tovu::OpenPorts(f.c, request, &reply);
  auto openTook = since(start);
  start = std::chrono::steady_clock::now();
  int32_t hold = tovu::AuditionHoldTime(other);
  auto commandTook = since(start);
  start = std::chrono::steady_clock::now();
  tovu::OpenPortsReply second;
  bool secondAnswered = tovu::OpenPorts(other, request, &second);
  auto secondTook = since(start);
  ASSERT_EQ(kill(f.server.pid, SIGCONT), 0);

  ASSERT_TRUE(answered);
  EXPECT_NE(reply.outputResults[0], 0);
  EXPECT_LT(openTook, std::chrono::seconds(3));
  EXPECT_EQ(hold, 300);
  EXPECT_LT(commandTook, std::chrono::seconds(1));
  ASSERT_TRUE(secondAnswered);
  EXPECT_NE(second.outputResults[0], 0);
  EXPECT_LT(secondTook, std::chrono::milliseconds(500)) << "the second open waited for the server again";

  // The server answers again: the port opens and a note reaches the sink.
  ASSERT_TRUE(WaitUntil([&] { return f.Open(); }, 20000)) << "the port never opened again";
  EXPECT_EQ(tovu::SendShort(f.c, tovu::PackEvent(0x90, 60, 100, 0)), 0);
  auto got = f.peer.WaitReceived(1, 10000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes, (Bytes{0x90, 60, 100}));
  EXPECT_EQ(tovu::Unregister(other), 0);
  EXPECT_EQ(f.End(), 0);
}
