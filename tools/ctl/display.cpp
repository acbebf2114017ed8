// The position display and the playback loop (see display.h).
#include "tools/ctl/display.h"

#include <algorithm>
#include <cstdio>

#include "platform/terminal.h"
#include "tools/ctl/common.h"

namespace ctl {

size_t Display::SongAt(int32_t t) const {
  size_t k = 0;
  while (k + 1 < offsets.size() && t >= offsets[k + 1]) ++k;
  return k;
}

std::string Display::Notes(int detail) const {
  static const char* kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
  std::string out;
  for (uint8_t p : ports) {
    std::string port;
    int total = 0;
    for (int ch = 0; ch < 16; ++ch) {
      std::string notes;
      int count = 0;
      for (int n = 0; n < 128; ++n) {
        size_t at = static_cast<size_t>(p) * tovu::kActivityPerPort + ch * 128 + n;
        if (at < activity.size() && activity[at] > 0) {
          ++count;
          if (detail == 0) notes += std::string(" ") + kNames[n % 12] + std::to_string(n / 12 - 1);
        }
      }
      total += count;
      if (count > 0) port += " ch" + std::to_string(ch + 1) + (detail == 0 ? notes : " " + std::to_string(count));
    }
    if (detail == 2 && total > 0) port = " " + std::to_string(total) + (total == 1 ? " note" : " notes");
    if (!port.empty()) out += "  " + (p < portNames.size() ? portNames[p] : "port " + std::to_string(p)) + ":" + port;
  }
  return out;
}

std::string Display::Fit(const std::string& position, size_t width) const {
  for (int detail = 0; detail <= 2; ++detail) {
    std::string line = position + Notes(detail);
    if (line.size() <= width) return line;
  }
  std::string line = position + Notes(2);
  if (width <= position.size() + 3) return position.substr(0, width);
  return line.substr(0, width - 3) + "...";
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
    // One column short of the width: a line that fills it would wrap on some terminals.
    int width = columns > 0 ? columns : platform::TerminalColumns();
    std::string shown = line.substr(0, static_cast<size_t>(std::max(width - 1, 1)));
    printf("\r\033[K%s%s", shown.c_str(), final ? "\n" : "");
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

void Display::Note(const std::string& text) {
  if (terminal) {
    printf("\r\033[K%s\n", text.c_str());
    Show();
  } else {
    if (havePending) Print(pendingLine, pendingKey, false);  // the position it came after, first
    havePending = false;
    printf("%s\n", text.c_str());
  }
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
  if (terminal) {
    int width = columns > 0 ? columns : platform::TerminalColumns();
    Print(Fit(line, static_cast<size_t>(std::max(width - 1, 1))), key, final);
    return;
  }
  std::string notes = Notes();
  if (havePending && pendingTick != tick) Print(pendingLine, pendingKey, false);
  havePending = true;
  pendingTick = tick;
  pendingLine = line + notes;
  pendingKey = key + notes;
  if (final) {
    Print(pendingLine, pendingKey, true);
    havePending = false;
  }
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

std::string EndingText(Ending ending, const Display& display) {
  std::string where;
  if (display.haveTick) {
    std::string key;
    where = " at " + display.Position(&key);
  }
  switch (ending) {
    case Ending::StoppedOutside: return "stopped" + where + " by another client of the engine (its command 5)";
    case Ending::EngineClosed:
      return "stopped" + where + ": the engine was asked to close (tovu-ctl close, or another program) and has gone";
    case Ending::Lost: return "the engine went away or did not stop";
    default: return "";
  }
}

Ending RunPlayback(Session& s, Display& display, uint32_t* errorCode, int32_t stopAt,
                   const std::function<bool()>& onPosition) {
  bool stopSent = false, ended = false;
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
      if (n.code == tovu::kNotifyEnded) ended = true;
      if (n.code == tovu::kNotifyStopped && n.lParam == tovu::kNotifyOwn) {
        if (stopSent) return Ending::Stopped;
        if (ended) return Ending::Ended;
        // Nobody here asked: an engine that is closing says so next (notification 14, lParam 1)
        // and then goes; anyone else who stopped it leaves the engine running.
        bool closing = tovu::WaitForMessage(s.client, [](const tovu::Message& m) {
          tovu::NotificationInfo c;
          return tovu::AsNotification(m, &c) && c.code == tovu::kNotifyPortsClosed && c.lParam == tovu::kPortsClosedShutdown;
        }, 2000);
        return closing || !tovu::Connected(s.client) ? Ending::EngineClosed : Ending::StoppedOutside;
      }
      if (n.code == tovu::kNotifyPortsClosed && n.lParam == tovu::kPortsClosedShutdown) return Ending::EngineClosed;
      // A port that goes is skipped by the playback, which carries on; one that comes back is
      // reopened by the engine and set to the song's state.
      if (n.code == tovu::kNotifyPortsChanged) display.Note(PortChangeText(s, n.lParam));
      if (n.code == tovu::kNotifyClockLost)
        display.Note(n.lParam ? "the clock stopped arriving: the song holds until it comes back" : "the clock is back");
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
