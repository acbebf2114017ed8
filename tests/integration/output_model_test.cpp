// A randomised run checked against a model of what a device holds. With both cores busy, several
// clients at once play, loop, continue and stop songs that press pedals; send notes, pedals,
// auditions and system-exclusive messages to a port that pauses after each; play through thru with a
// pedal from the input and change their filter; panic; leave and come back; and are killed. An
// observer holds both ports open all along, so no last close releases anything for the others.
// Once everyone else has gone, the log read as a device reads it (a strike sounds until a release of
// its key; a pedal is as last set; a reset lifts the channel's pedals) must hold nothing, and no
// message a client sent before a panic may come after it.
// Threads: the test thread and one driver thread per client, two busy threads; the killed clients
// are processes of their own, forked before any other thread starts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/song_builder.h"
#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"
#include "support/owned_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// A device's state as its log builds it up.
struct DeviceModel {
  bool sounding[2][16][128] = {};
  uint8_t pedals[2][16][3] = {};

  void Apply(const std::string& line) {
    unsigned port, status, a = 0, b = 0;
    if (sscanf(line.c_str(), "out%u %x %x %x", &port, &status, &a, &b) < 2 || port > 1) return;
    unsigned kind = status & 0xF0, ch = status & 0x0F;
    if (kind == 0x90 && b != 0) sounding[port][ch][a & 127] = true;
    if (kind == 0x80 || (kind == 0x90 && b == 0)) sounding[port][ch][a & 127] = false;
    if (kind != 0xB0) return;
    if (a == 121) {
      for (uint8_t& p : pedals[port][ch]) p = 0;
    }
    for (int i = 0; i < 3; ++i)
      if (a == kPedals[i]) pedals[port][ch][i] = static_cast<uint8_t>(b);
  }
  // What is left down, described ("out1 ch 3 key 60", "out0 ch 0 pedal 64"), or empty.
  std::vector<std::string> Down() const {
    std::vector<std::string> out;
    for (int p = 0; p < 2; ++p)
      for (int c = 0; c < 16; ++c) {
        for (int k = 0; k < 128; ++k)
          if (sounding[p][c][k]) out.push_back("out" + std::to_string(p) + " ch " + std::to_string(c) + " key " + std::to_string(k));
        for (int i = 0; i < 3; ++i)
          if (pedals[p][c][i] != 0)
            out.push_back("out" + std::to_string(p) + " ch " + std::to_string(c) + " pedal " + std::to_string(kPedals[i]));
      }
    return out;
  }
  static constexpr uint32_t kPedals[3] = {64, 66, 67};
};

std::vector<std::string> DownAfter(const EngineEnv& env) {
  DeviceModel model;
  for (const std::string& line : DataLines(ReadTimedLog(env))) model.Apply(line);
  return model.Down();
}

std::vector<uint8_t> PedalSong(std::mt19937& rng) {
  tovu::SongBuilder s;
  s.sortByTick = true;
  s.Tempo(0, 240 + rng() % 480);
  for (int32_t t = 0; t < 1920; t += 30 + static_cast<int32_t>(rng() % 90)) {
    uint32_t port = rng() % 2, channel = rng() % 3, note = 40 + rng() % 40;
    switch (rng() % 6) {
      case 0: s.Controller(t, port, channel, 64, rng() % 2 ? 127 : 0); break;
      case 1: s.Controller(t, port, channel, 66 + rng() % 2, 100); break;
      case 2: s.NoteOn(t, port, channel, note, 90); break;  // held on
      default:
        s.NoteOn(t, port, channel, note, 80);
        s.NoteRelease(t + 10 + static_cast<int32_t>(rng() % 200), port, channel, note);
    }
  }
  if (rng() % 2) s.Sysex(0, 0, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
  s.End(1920 + static_cast<int32_t>(rng() % 960));
  return s.Build();
}

tovu::StartRequest RandomRequest(std::mt19937& rng) {
  tovu::StartRequest r;
  r.startTick = static_cast<int32_t>(rng() % 1500);
  r.loopOn = rng() % 2;
  r.loopStart = static_cast<int32_t>(rng() % 600);
  r.loopEnd = r.loopStart + 120 + static_cast<int32_t>(rng() % 1200);
  r.sysexMode = static_cast<int32_t>(rng() % 3);
  return r;
}

struct Drive {
  const EngineEnv& env;
  Clock::time_point until;
  std::atomic<int> failures{0};
  std::mutex panicsLock;
  std::vector<std::pair<uint8_t, off_t>> panics;  // each marker and the log's size once its panic returned

  bool Going() const { return Clock::now() < until; }
  void Fail() { failures.fetch_add(1); }
};

off_t LogSize(const EngineEnv& env) {
  struct stat st;
  return stat(env.logPath.c_str(), &st) == 0 ? st.st_size : 0;
}

void Player(Drive& run, uint32_t seed) {
  std::mt19937 rng(seed);
  tovu::Client c;
  if (!run.env.ConnectRegistered(c) || !OpenPorts(c, {0, 1})) return run.Fail();
  tovu::LoadSong(c, PedalSong(rng));
  while (run.Going()) {
    switch (rng() % 8) {
      case 0: case 1: tovu::Start(c, RandomRequest(rng)); break;
      case 2: tovu::LoadNextSong(c, PedalSong(rng)); break;
      case 3: tovu::Continue(c, RandomRequest(rng)); break;
      case 4: tovu::Stop(c); break;
      case 5: tovu::SetTempoFactor(c, 0.5 + (rng() % 600) / 100.0); break;
      case 6: tovu::LoadSong(c, PedalSong(rng)); break;
      default: break;
    }
    tovu::PumpMessages(c, static_cast<int>(20 + rng() % 150));
    c.inbox.clear();
  }
  tovu::Stop(c);
  tovu::Unregister(c);
}

void Direct(Drive& run, uint32_t seed) {
  std::mt19937 rng(seed);
  while (run.Going()) {
    tovu::Client c;
    if (!run.env.ConnectRegistered(c) || !OpenPorts(c, {0})) return run.Fail();
    for (int op = 0; op < 60 && run.Going(); ++op) {
      uint8_t port = static_cast<uint8_t>(rng() % 2), ch = static_cast<uint8_t>(4 + rng() % 2);
      uint8_t note = static_cast<uint8_t>(30 + rng() % 20);
      switch (rng() % 7) {
        case 0: tovu::SendShort(c, tovu::PackEvent(0x90 | ch, note, 100, port)); break;
        case 1: tovu::SendShort(c, tovu::PackEvent(0x80 | ch, note, 0, port)); break;
        case 2: tovu::SendShort(c, tovu::PackEvent(0xB0 | ch, 64, rng() % 2 ? 127 : 0, port)); break;
        case 3: tovu::SendSysex(c, 0, {0xF0, 0x7D, static_cast<uint8_t>(op & 0x7F), 0xF7}); break;
        case 4: tovu::Audition(c, {tovu::PackEvent(0x90 | ch, note, 70, port)}); break;
        case 5:
          tovu::SendShortList(c, {tovu::PackEvent(0x90 | ch, note, 60, port), tovu::PackEvent(0xB0 | ch, 66, 127, port)});
          break;
        default: break;
      }
      tovu::PumpMessages(c, static_cast<int>(rng() % 30));
      c.inbox.clear();
    }
    // Leaving, with or without a word: what it struck and pressed is released either way.
    if (rng() % 2) tovu::Unregister(c);
    tovu::Disconnect(c);
  }
}

void ThruPlayer(Drive& run, uint32_t seed) {
  std::mt19937 rng(seed);
  tovu::Client c;
  if (!run.env.ConnectRegistered(c) || !OpenPorts(c, {1}, 0, 1 | 2)) return run.Fail();
  tovu::ThruSettings thru;
  thru.device = 1;
  thru.channel = 8;
  if (!tovu::SetThru(c, thru)) return run.Fail();
  std::ofstream fifo(run.env.fifoPath);
  char line[64];
  while (run.Going()) {
    unsigned note = 60 + rng() % 12;
    switch (rng() % 6) {
      case 0: case 1: snprintf(line, sizeof line, "0 90 %02x 64\n", note); break;
      case 2: snprintf(line, sizeof line, "0 80 %02x 00\n", note); break;
      case 3: snprintf(line, sizeof line, "0 b0 40 %02x\n", rng() % 2 ? 127u : 0u); break;
      case 4: tovu::SetInputFilter(c, 0xFFFF, rng() % 2 ? 1 : 1 | 2); line[0] = 0; break;
      default: line[0] = 0;
    }
    if (line[0]) fifo << line << std::flush;
    tovu::PumpMessages(c, static_cast<int>(5 + rng() % 40));
    c.inbox.clear();
  }
  tovu::Unregister(c);
}

// Panics until two and a half seconds before the end, so that what the others leave down at the
// end is theirs to release, not the last panic's.
void Panicker(Drive& run, uint32_t seed) {
  std::mt19937 rng(seed);
  tovu::Client c;
  if (!run.env.ConnectRegistered(c)) return run.Fail();
  for (uint8_t marker = 1; Clock::now() < run.until - std::chrono::milliseconds(2500) && marker < 120; ++marker) {
    tovu::PumpMessages(c, static_cast<int>(300 + rng() % 500));
    // Sent just before the panic, most likely while port 0 pauses: it may never come, and must not
    // come after the panic.
    tovu::SendShort(c, tovu::PackEvent(0xBF, 20, marker, 0));
    if (tovu::Panic(c) != 0) run.Fail();
    std::lock_guard<std::mutex> guard(run.panicsLock);
    run.panics.push_back({marker, LogSize(run.env)});
    c.inbox.clear();
  }
  tovu::Unregister(c);
}

TEST(OutputModel, NothingIsLeftDownAndNothingFollowsItsPanic) {
  EngineEnv env;
  env.vars["TOVU_VIRTUAL_OUTPUTS"] = "2";
  env.WriteSetting("Dev0/ExclDly", "150");
  EngineProcess engine;
  tovu::Client observer;
  ASSERT_TRUE(engine.Start(env) && env.ConnectRegistered(observer) && OpenPorts(observer, {0, 1}));
  // Clients in processes of their own, each holding a note and a pedal down on port 0, to be killed.
  std::vector<ClientProcess> victims(3);
  for (size_t i = 0; i < victims.size(); ++i)
    ASSERT_TRUE(StartClientProcess(env, {{0}}, &victims[i], 20000,
                                   {tovu::PackEvent(0x9A, static_cast<uint8_t>(50 + i), 100, 0),
                                    tovu::PackEvent(0xBA, 67, 127, 0)}));

  Drive run{env, Clock::now() + std::chrono::seconds(6), {}, {}, {}};
  std::atomic<bool> spin{false};
  std::vector<OwnedThread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&spin] {
      volatile uint64_t x = 0;
      while (!spin.load(std::memory_order_relaxed)) x = x + 1;
    }, &spin);
  threads.emplace_back([&] { Player(run, 11); });
  threads.emplace_back([&] { Direct(run, 12); });
  threads.emplace_back([&] { ThruPlayer(run, 13); });
  threads.emplace_back([&] { Panicker(run, 14); });
  for (size_t i = 0; i < victims.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    victims[i].Kill();
  }
  threads.clear();  // every driver has left; the busy threads are stopped
  EXPECT_EQ(run.failures.load(), 0);

  // Every departure (the killed ones through the liveness watcher) is through: nothing is left down
  // on the ports the observer still holds open.
  std::vector<std::string> down;
  EXPECT_TRUE(WaitUntil([&] { return (down = DownAfter(env)).empty(); }, 15000))
      << down.size() << " left down, the first " << (down.empty() ? "" : down.front());

  // No marker after its panic.
  std::ifstream log(env.logPath);
  std::string line;
  off_t at = 0;
  for (; std::getline(log, line); at += static_cast<off_t>(line.size() + 1)) {
    unsigned marker;
    size_t data = line.find(" data out0 bf 14 ");
    if (data == std::string::npos || sscanf(line.c_str() + data + 17, "%x", &marker) != 1) continue;
    for (auto& [m, end] : run.panics)
      if (m == marker) {
        EXPECT_LT(at, end) << "marker " << marker << " came after its panic";
      }
  }
  EXPECT_GE(run.panics.size(), 3u);
  EXPECT_EQ(tovu::Unregister(observer), 0);
  EXPECT_EQ(engine.Wait(15000), 0) << env.StderrText();
}

}  // namespace
