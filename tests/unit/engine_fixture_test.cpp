// The in-process engine's own teardown: whatever the engine started ends with it, so that one case
// leaves no thread running into the next.
// Threads: the test thread stands in for the main thread; the engine's threads are counted.
#include <gtest/gtest.h>

#include "client/song_builder.h"
#include "protocol/payloads.h"
#include "support/engine_fixture.h"

TEST(InProcessEngine, TeardownEndsEveryThreadTheEngineStarted) {
  // A first engine, so that what a process starts once for good (a sanitizer's own thread) already
  // runs when the threads are counted; a thread it leaked would be counted, and the next one's too.
  { InProcessEngine first; }
  const std::vector<uint64_t> before = ThreadIds();
  {
    InProcessEngine e;
    ASSERT_TRUE(e.created);
    ASSERT_TRUE(StartWatcher(e.engine.watcher, e.engine.clients, e.engine.bus));
    ASSERT_TRUE(StartNotifier(e.engine.notifier));
    e.AddClient(0x101);
    tovu::SongBuilder song;
    song.Tempo(0, 120);
    song.NoteOn(0, 0, 0, 60, 100);
    song.End(96000);
    std::vector<uint8_t> bytes = song.Build();
    LoadSong(e.engine, 0x101, static_cast<uint32_t>(bytes.size()), bytes.data());
    std::vector<uint8_t> request = tovu::EncodeStartRequest(tovu::StartRequest{});
    StartPlayback(e.engine, 0x101, request.data(), platform::NowMs());
    EXPECT_NE(e.engine.playback.playingClient.load(), 0u);
    // The timer service, the watcher and the notifier at least.
    EXPECT_GE(ThreadsStartedSince(before).size(), 3u);
  }
  EXPECT_TRUE(ThreadsStartedSince(before).empty());
}
