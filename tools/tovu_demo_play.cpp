// tovu-demo-play: plays a short multi-channel song built with the song builder: it starts in the
// middle of bar 2 with a loop over bars 2-3, lets one loop pass go by, then stops. It prints what
// the engine tells it (start message, notifications, positions) with times relative to the start.
// Used by scripts/demo.sh, which then shows what the virtual outputs received.
#include <chrono>
#include <cstdio>
#include <vector>

#include "client/tovu_client.h"

namespace {

// 4/4 at 120 ticks per quarter (480 per bar) and 150 quarter notes per minute: a bar lasts 1.6 s.
std::vector<uint8_t> DemoSong() {
  tovu::SongBuilder s;
  s.sortByTick = true;
  s.Tempo(0, 150);
  s.Program(0, 0, 0, 0);   // piano on port 0, channel 1
  s.Program(0, 0, 1, 32);  // bass on port 0, channel 2
  s.Controller(0, 0, 1, 7, 100);
  const uint32_t chords[4][3] = {{60, 64, 67}, {57, 60, 64}, {53, 57, 60}, {55, 59, 62}};
  for (int bar = 0; bar < 4; ++bar) {
    int32_t t = bar * 480;
    for (uint32_t note : chords[bar]) {
      s.NoteOn(t, 0, 0, note, 80);
      s.NoteRelease(t + 420, 0, 0, note);
    }
    s.NoteOn(t, 0, 1, chords[bar][0] - 24, 100);
    s.NoteRelease(t + 200, 0, 1, chords[bar][0] - 24);
    for (int beat = 0; beat < 4; ++beat) {  // drums on port 1, channel 10
      s.NoteOn(t + beat * 120, 1, 9, beat == 0 ? 36 : 42, beat == 0 ? 110 : 70);
      s.NoteRelease(t + beat * 120 + 30, 1, 9, beat == 0 ? 36 : 42);
    }
  }
  s.End(4 * 480);
  return s.Build();
}

}  // namespace

int main() {
  tovu::Client c;
  if (!tovu::Connect(c) || tovu::Register(c) != 0) {  // starts an engine when none answers
    fprintf(stderr, "tovu-demo-play: no engine could be reached\n");
    return 1;
  }
  tovu::OpenPortsRequest open;
  open.outputDevices = {0, 1};
  tovu::OpenPortsReply reply;
  tovu::OpenPorts(c, open, &reply);
  tovu::LoadSong(c, DemoSong());

  tovu::StartRequest r;
  r.startTick = 720;  // the middle of bar 2
  r.loopOn = 1;
  r.loopStart = 480;
  r.loopEnd = 1440;  // bars 2-3
  r.startParam = 1;
  auto t0 = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(); };
  tovu::Start(c, r);
  // From tick 720 to the loop end (720 ticks), then one whole pass (960 ticks) at 1.6 s per bar,
  // stopping just before the second wrap.
  const double playMs = (720 + 960) * 1600.0 / 480 - 100;
  int32_t lastPosition = -1;
  while (elapsed() < playMs) {
    tovu::PumpMessages(c, 10);
    for (const tovu::Message& m : tovu::TakeInbox(c)) {
      tovu::NotificationInfo n;
      if (m.msg == tovu::kStartMessage) {
        printf("%8.1f ms  start message (lParam %u)\n", elapsed(), m.lParam);
      } else if (tovu::AsNotification(m, &n)) {
        printf("%8.1f ms  notification %u (lParam %u)\n", elapsed(), n.code, n.lParam);
      } else if (m.msg == tovu::kPositionMessage) {
        int32_t position = static_cast<int32_t>(m.lParam);
        if (position % 120 == 0 && position != lastPosition)  // one line per beat
          printf("%8.1f ms  position %d (bar %d, beat %d)%s\n", elapsed(), position, position / 480 + 1,
                 position % 480 / 120 + 1, position < lastPosition ? "  <- loop wrapped" : "");
        lastPosition = position;
      }
    }
  }
  printf("%8.1f ms  stop: %d\n", elapsed(), tovu::Stop(c));
  tovu::PumpMessages(c, 100);
  for (const tovu::Message& m : tovu::TakeInbox(c)) {
    tovu::NotificationInfo n;
    if (tovu::AsNotification(m, &n)) printf("%8.1f ms  notification %u (lParam %u)\n", elapsed(), n.code, n.lParam);
  }
  tovu::Unregister(c);
  tovu::Disconnect(c);
  return 0;
}
