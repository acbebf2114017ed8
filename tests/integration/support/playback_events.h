// Integration-test support for playback cases: a song builder at a fast tempo, start requests, and
// what a client's inbox received, as text ("n5:1" for notification 5 with lParam 1, "start:0" for
// the start message, "pos:240" for a position). Header only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "client/song_builder.h"
#include "client/tovu_client.h"

// 120 ticks per quarter (30 per sixteenth) at 480 quarter notes per minute: 960 ticks per second.
inline tovu::SongBuilder FastSong() {
  tovu::SongBuilder s;
  s.Tempo(0, 480);
  return s;
}

inline tovu::StartRequest Request(int32_t start, bool loop = false, int32_t loopStart = 0,
                                  int32_t loopEnd = 0x7FFFFFFF) {
  tovu::StartRequest r;
  r.startTick = start;
  r.loopOn = loop ? 1 : 0;
  r.loopStart = loopStart;
  r.loopEnd = loopEnd;
  return r;
}

// The notifications and start messages of an inbox (and its positions, unless left out), in
// arrival order.
inline std::vector<std::string> Events(const std::deque<tovu::Message>& inbox, bool positions = true) {
  std::vector<std::string> out;
  for (auto& m : inbox) {
    tovu::NotificationInfo n;
    if (tovu::AsNotification(m, &n))
      out.push_back("n" + std::to_string(n.code) + ":" + std::to_string(n.lParam));
    else if (m.msg == tovu::kStartMessage)
      out.push_back("start:" + std::to_string(m.lParam));
    else if (m.msg == tovu::kPositionMessage && positions)
      out.push_back("pos:" + std::to_string(static_cast<int32_t>(m.lParam)));
  }
  return out;
}

// Pumps the client's messages until its inbox holds notification `code` (true) or the time is up.
inline bool PumpUntilNotification(tovu::Client& c, uint32_t code, int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (auto& m : c.inbox) {
      tovu::NotificationInfo n;
      if (tovu::AsNotification(m, &n) && n.code == code) return true;
    }
    if (std::chrono::steady_clock::now() > until) return false;
    tovu::PumpMessages(c, 10);
  }
}
