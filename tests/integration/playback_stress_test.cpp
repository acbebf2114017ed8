// A long, busy playback driven from several threads at once, with both cores kept busy: looping
// starts, continues into next songs, stops, tempo-factor changes, loads into the playing slots,
// and clients that leave or vanish while they play, also from inside their handlers
// of the engine's position and start messages and of its stops. The engine must keep serving,
// hang no note, leave no playback that cannot be stopped, and end cleanly; in the ThreadSanitizer
// build the engine process exits with a failure status at the first data race it sees.
// Threads: the test thread, one driver thread per client (each client is used by its own thread
// only) and two spinning threads that keep the cores busy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "client/tovu_client.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"

namespace {

std::vector<uint8_t> BusySong(uint32_t seed, int32_t end) {
  std::mt19937 rng(seed);
  tovu::SongBuilder s;
  s.sortByTick = true;
  s.Tempo(0, 200 + rng() % 400);
  for (int32_t t = 0; t < end; t += 1 + static_cast<int32_t>(rng() % 20)) {
    uint32_t port = rng() % 2, channel = rng() % 16, note = 36 + rng() % 60;
    switch (rng() % 5) {
      case 0: s.Controller(t, port, channel, rng() % 120, rng() % 128); break;
      case 1: s.Tempo(t, 100 + rng() % 600); break;
      default:
        s.NoteOn(t, port, channel, note, 1 + rng() % 127);
        s.NoteRelease(t + 1 + static_cast<int32_t>(rng() % 200), port, channel, note);
    }
  }
  s.End(end + 200);
  return s.Build();
}

tovu::StartRequest RandomRequest(std::mt19937& rng) {
  tovu::StartRequest r;
  r.startTick = static_cast<int32_t>(rng() % 3000) - 100;
  r.loopOn = rng() % 3 != 0;
  r.loopStart = static_cast<int32_t>(rng() % 1000);
  r.loopEnd = rng() % 4 == 0 ? 0x7FFFFFFF : r.loopStart + 1 + static_cast<int32_t>(rng() % 1500);
  r.sysexMode = static_cast<int32_t>(rng() % 3);
  return r;
}

void Drive(const EngineEnv& env, uint32_t seed, std::chrono::steady_clock::time_point until,
           std::atomic<int>* failures) {
  std::mt19937 rng(seed);
  while (std::chrono::steady_clock::now() < until) {
    tovu::Client c;
    if (!env.ConnectRegistered(c)) {
      ++*failures;
      return;
    }
    OpenPorts(c, {0, 1});
    tovu::LoadSong(c, BusySong(rng(), 2000 + static_cast<int32_t>(rng() % 3000)));
    // Now and then the client acts from inside what the engine sends it: a position or a start
    // message. Its rng is its own, so the handler never touches the driver's.
    std::mt19937 handlerRng(rng());
    bool gone = false;
    c.windowProc = [&](const tovu::Message& m) -> int32_t {
      if (gone || (m.msg != tovu::kPositionMessage && m.msg != tovu::kStartMessage) || handlerRng() % 12 != 0)
        return 0;
      switch (handlerRng() % 7) {
        case 0: tovu::Stop(c); break;
        case 1: tovu::Start(c, RandomRequest(handlerRng)); break;
        case 2: tovu::Continue(c, RandomRequest(handlerRng)); break;
        case 3: tovu::SetTempoFactor(c, 0.5 + (handlerRng() % 400) / 100.0); break;
        case 4: tovu::LoadNextSong(c, BusySong(handlerRng(), 300)); break;
        case 5: tovu::ClosePorts(c); break;  // possibly the last holder of a port its song plays on
        default:
          gone = true;
          tovu::Unregister(c);
      }
      return 0;
    };
    for (int op = 0; op < 40 && !gone && std::chrono::steady_clock::now() < until; ++op) {
      switch (rng() % 10) {
        case 0: tovu::Start(c, RandomRequest(rng)); break;
        case 1: tovu::LoadNextSong(c, BusySong(rng(), 500 + static_cast<int32_t>(rng() % 2000))); break;
        case 2: tovu::Continue(c, RandomRequest(rng)); break;
        case 3: tovu::SetTempoFactor(c, 0.25 + (rng() % 800) / 100.0); break;
        case 4: tovu::Stop(c); break;
        case 5: tovu::LoadSong(c, BusySong(rng(), 1000)); break;
        case 6: tovu::ClosePorts(c); break;
        case 7: OpenPorts(c, {0, 1}); break;
        default: break;
      }
      tovu::PumpMessages(c, static_cast<int>(rng() % 40));
      // A stop seen (notification 5) is now and then answered by leaving at once.
      bool stopped = false;
      for (auto& m : c.inbox) {
        tovu::NotificationInfo n;
        stopped |= tovu::AsNotification(m, &n) && n.code == tovu::kNotifyStopped;
      }
      c.inbox.clear();
      if (!gone && stopped && rng() % 4 == 0) {
        gone = true;
        tovu::Unregister(c);
      }
    }
    c.windowProc = nullptr;
    // Half the time the client vanishes without a word, possibly while it plays.
    if (!gone && rng() % 2) tovu::Unregister(c);
    tovu::Disconnect(c);
  }
}

}  // namespace

TEST(PlaybackStress, ManyClientsPlayingAtOnceFromSeveralThreads) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client keeper;  // keeps the engine alive between the drivers' clients
  ASSERT_TRUE(env.ConnectRegistered(keeper));
  std::atomic<int> failures{0};
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  std::atomic<bool> spin{true};
  std::vector<std::thread> busy;
  for (int i = 0; i < 2; ++i)
    busy.emplace_back([&spin] {
      volatile uint64_t x = 0;
      while (spin.load(std::memory_order_relaxed)) x = x + 1;
    });
  std::vector<std::thread> drivers;
  for (uint32_t seed = 1; seed <= 3; ++seed)
    drivers.emplace_back(Drive, std::cref(env), seed, until, &failures);
  for (auto& t : drivers) t.join();
  spin = false;
  for (auto& t : busy) t.join();
  EXPECT_EQ(failures.load(), 0);

  // No playback is left behind: the keeper can start one, and stop it.
  ASSERT_TRUE(OpenPorts(keeper, {0}));
  ASSERT_TRUE(tovu::LoadSong(keeper, BusySong(99, 100000)));
  keeper.inbox.clear();
  ASSERT_TRUE(tovu::Start(keeper, tovu::StartRequest{}));
  ASSERT_TRUE(tovu::WaitForNotification(keeper, tovu::kNotifyStarted, 5000));
  tovu::NotificationInfo failed;
  for (auto& m : keeper.inbox) EXPECT_FALSE(tovu::AsNotification(m, &failed) && failed.code == tovu::kNotifyFailed);
  EXPECT_EQ(tovu::Stop(keeper), 0);

  // Still serving, and no note left sounding: every note-on logged has been released.
  EXPECT_EQ(tovu::AuditionHoldTime(keeper), 300);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int sounding[2][16][128] = {};
  for (auto& l : DataLines(ReadTimedLog(env))) {
    unsigned port, status, note, velocity;
    if (sscanf(l.c_str(), "out%u %x %x %x", &port, &status, &note, &velocity) != 4 || port > 1) continue;
    unsigned kind = status & 0xF0, channel = status & 15;
    if (kind == 0x90 && velocity > 0) ++sounding[port][channel][note];
    if (kind == 0x80 || (kind == 0x90 && velocity == 0)) sounding[port][channel][note] = 0;
    if (kind == 0xB0 && note == 123) std::fill(&sounding[port][channel][0], &sounding[port][channel][128], 0);
  }
  int hung = 0;
  for (auto& port : sounding)
    for (auto& channel : port)
      for (int n : channel) hung += n > 0;
  EXPECT_EQ(hung, 0);
  tovu::Unregister(keeper);
  EXPECT_EQ(engine.Wait(15000), 0) << env.StderrText();
}
