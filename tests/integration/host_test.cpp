// The engine process over the bus: single instance, start-up, port lists, closing, bad frames.
#include <gtest/gtest.h>
#include <algorithm>
#include <signal.h>
#include <unistd.h>

#include "client/song_builder.h"
#include "integration/support/client_process.h"
#include "integration/support/engine_process.h"

TEST(EngineHost, StartsListsPortsAndClosesOnWmClose) {
  EngineEnv env;
  EngineProcess engine;
  ASSERT_TRUE(engine.Start(env));
  tovu::Client c;
  ASSERT_TRUE(env.Connect(c));
  EXPECT_NE(c.window, 0u);
  EXPECT_NE(c.window, c.engineWindow);
  std::vector<tovu::OutputPortInfo> outs;
  EXPECT_EQ(tovu::RequestOutputPorts(c, &outs), 0);
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_EQ(outs[0].name, "Virtual Out 1");
  EXPECT_EQ(outs[1].deviceId, 1u);
  EXPECT_TRUE(tovu::CloseEngine(c));
  EXPECT_EQ(engine.Wait(5000), 0);
  EXPECT_NE(access(env.socketPath.c_str(), F_OK), 0);
}

// Every signal another process may send whose default would end the engine closes it as WM_CLOSE
// does, the fault signals sent with kill among them: clients are told, the playing note is released
// and the socket goes.
TEST(EngineHost, TerminationSignalClosesTheEngineLikeWmClose) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGRTMIN + 3, SIGABRT, SIGSEGV, SIGBUS, SIGTRAP,
                  SIGSYS, SIGFPE, SIGILL}) {
    EngineEnv env;
    tovu::Client c;
    EngineProcess engine;
    ASSERT_TRUE(engine.StartRegistered(env, c));
    ASSERT_TRUE(OpenPorts(c, {0}));
    tovu::SongBuilder song;
    song.Tempo(0, 120);
    song.NoteOn(0, 0, 0, 0x3c, 0x64);
    song.NoteRelease(9000, 0, 0, 0x3c);
    song.End(9600);
    ASSERT_TRUE(tovu::LoadSong(c, song.Build()));
    ASSERT_TRUE(tovu::Start(c, tovu::StartRequest{}));
    ASSERT_TRUE(WaitForLogLine(env, "data out0 90 3c 64", 5000)) << "signal " << sig;
    ASSERT_EQ(kill(engine.pid, sig), 0);
    uint32_t lParam = 0;
    ASSERT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyPortsClosed, 5000, &lParam)) << "signal " << sig;
    if (lParam == 0) {  // the close that begins the open came first
      ASSERT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyPortsClosed, 5000, &lParam));
    }
    EXPECT_EQ(lParam, 1u) << "signal " << sig;
    EXPECT_EQ(engine.Wait(5000), 0) << "signal " << sig;
    EXPECT_NE(access(env.socketPath.c_str(), F_OK), 0) << "signal " << sig;
    auto lines = env.LogLines();
    EXPECT_FALSE(Grep(lines, "data out0 90 3c 00").empty()) << "signal " << sig << ": the note was left sounding";
  }
}

// A note a direct send struck on a port still open when the engine closes is released before the
// port closes, rather than left sounding after the engine.
TEST(EngineHost, TheCloseReleasesNotesOfDirectSends) {
  EngineEnv env;
  tovu::Client c;
  EngineProcess engine;
  ASSERT_TRUE(engine.StartRegistered(env, c));
  ASSERT_TRUE(OpenPorts(c, {1}));
  ASSERT_EQ(tovu::SendShort(c, tovu::PackEvent(0x91, 0x40, 0x50, 1)), 0);
  ASSERT_TRUE(WaitForLogLine(env, "data out1 91 40 50", 5000));
  ASSERT_EQ(kill(engine.pid, SIGTERM), 0);
  EXPECT_EQ(engine.Wait(5000), 0);
  auto lines = env.LogLines();
  auto release = std::find(lines.begin(), lines.end(), "data out1 91 40 00");
  ASSERT_NE(release, lines.end()) << "the note was left sounding";
  EXPECT_NE(std::find(release, lines.end(), "close out1"), lines.end()) << "released after the close";
}
