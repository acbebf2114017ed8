// The position display and the playback loop (see display.h).
#include "tools/ctl/display.h"

#include <cstdio>

#include "tools/ctl/common.h"

namespace ctl {

size_t Display::SongAt(int32_t t) const {
  size_t k = 0;
  while (k + 1 < offsets.size() && t >= offsets[k + 1]) ++k;
  return k;
}

std::string Display::Notes() const {
  static const char* kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
  std::string out;
  for (uint8_t p : ports) {
    std::string port;
    for (int ch = 0; ch < 16; ++ch) {
      std::string notes;
      for (int n = 0; n < 128; ++n) {
        size_t at = static_cast<size_t>(p) * tovu::kActivityPerPort + ch * 128 + n;
        if (at < activity.size() && activity[at] > 0)
          notes += std::string(" ") + kNames[n % 12] + std::to_string(n / 12 - 1);
      }
      if (!notes.empty()) port += " ch" + std::to_string(ch + 1) + notes;
    }
    if (!port.empty()) out += "  " + (p < portNames.size() ? portNames[p] : "port " + std::to_string(p)) + ":" + port;
  }
  return out;
}

std::string Display::Position(std::string* beatKey) const {
  size_t k = SongAt(tick);
  const tovu::SmfSong& song = *songs[k];
  tovu::SmfPosition p = tovu::PositionAt(song, tick - offsets[k]);
  std::string line;
  if (tick < 0) {
    line = "count-in " + std::to_string(countInBars) + "/" + std::to_string(countInBars) + "  beat " +
           std::to_string(p.beat);
    *beatKey = line;
    return line;
  }
  if (songs.size() > 1) line = "song " + std::to_string(k + 1) + "/" + std::to_string(songs.size()) + "  ";
  line += tovu::FormatPosition(p);
  double total = songs.size() > 1 ? song.lengthUs / 1e6 : totalSeconds;
  if (total >= 0) line += " / " + Minutes(total);
  *beatKey = std::to_string(k) + ":" + std::to_string(p.bar) + "." + std::to_string(p.beat);
  return line;
}

void Display::Print(const std::string& line, const std::string& key, bool final) {
  if (terminal) {
    printf("\r\033[K%s%s", line.c_str(), final ? "\n" : "");
    fflush(stdout);
    return;
  }
  // Plain lines: one when the beat or the sounding notes change (and the last position), so that
  // logs stay readable.
  if ((key == lastPlain && !final) || line == lastLine) return;
  lastPlain = key;
  lastLine = line;
  printf("%s\n", line.c_str());
  fflush(stdout);
}

void Display::Show(bool final) {
  if (countInMs > 0) {
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - countInStart).count();
    if (ms < countInMs && !final) {
      std::string line = "count-in " + std::to_string(countInBars) + "/" + std::to_string(countInBars) + "  beat " +
                         std::to_string(static_cast<int>(ms / beatMs) + 1);
      Print(line, line, false);
      return;
    }
  }
  if (!haveTick) return;
  std::string key;
  std::string line = Position(&key);
  std::string notes = Notes();
  Print(line + notes, key + notes, final);
}

void Display::Absorb(tovu::Client& c) {
  bool changed = false;
  for (auto it = c.inbox.begin(); it != c.inbox.end();) {
    if (it->msg == tovu::kPositionMessage) {
      tick = static_cast<int32_t>(it->lParam);
      haveTick = true;
      changed = true;
    } else if (tovu::IsCopyData(*it, tovu::kCopyActivity)) {
      activity = std::move(it->payload);
      changed = true;
    } else {
      ++it;
      continue;
    }
    it = c.inbox.erase(it);
  }
  if (changed) Show();
}

Ending RunPlayback(Session& s, Display& display, uint32_t* errorCode, int32_t stopAt,
                   const std::function<bool()>& onPosition) {
  bool stopSent = false;
  auto stopSentAt = std::chrono::steady_clock::now();
  for (;;) {
    // Back as soon as something arrives (a position asks for an answer at once), or after 20 ms.
    tovu::Message m;
    if (!s.client.inbox.empty()) {
      if (!tovu::PumpMessages(s.client, 20)) return Ending::Lost;
    } else if (tovu::WaitForMessage(s.client, [](const tovu::Message&) { return true; }, 20, &m)) {
      s.client.inbox.push_front(std::move(m));
    } else if (!tovu::Connected(s.client)) {
      return Ending::Lost;
    }
    display.Absorb(s.client);
    if (display.countInMs > 0) display.Show();
    for (const tovu::NotificationInfo& n : tovu::TakeNotifications(s.client)) {
      if (n.code == tovu::kNotifyFailed) {
        *errorCode = n.lParam;
        return Ending::Refused;
      }
      if (n.code == tovu::kNotifyStopped && n.lParam == tovu::kNotifyOwn)
        return stopSent ? Ending::Stopped : Ending::Ended;
      if (n.code == tovu::kNotifyPortsClosed && n.lParam == tovu::kPortsClosedShutdown) return Ending::Lost;
    }
    if (onPosition && !stopSent && !onPosition()) gInterrupted = 1;
    bool reached = display.haveTick && display.tick >= stopAt;
    if ((gInterrupted || reached) && !stopSent) {
      stopSent = true;
      stopSentAt = std::chrono::steady_clock::now();
      tovu::Stop(s.client);
    }
    // The start and continue answers (1626) need nothing more.
    for (auto it = s.client.inbox.begin(); it != s.client.inbox.end();)
      it = it->msg == tovu::kStartMessage ? s.client.inbox.erase(it) : it + 1;
    if (stopSent && std::chrono::steady_clock::now() - stopSentAt > std::chrono::seconds(5)) return Ending::Lost;
  }
}

}  // namespace ctl
