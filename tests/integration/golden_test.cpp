// Golden scripts: each tests/golden/<name>.script drives a real engine process through the client
// library, one command a line, and the virtual devices' log it leaves must equal
// tests/golden/<name>.log byte for byte, each line without its timestamp. The engine is started at
// the first `connect`; when the script is done the runner waits for the engine to end (a script
// ends by unregistering its last client or closing the engine) and compares the whole log.
// With TOVU_GOLDEN_UPDATE=1 in the environment the runner writes the .log files instead: read
// every line of a file it wrote before you keep it.
//
// Script lines ('#' starts a comment; MIDI bytes in hex, everything else decimal; an event is
// port/status/data1/data2 in hex, e.g. 0/90/3c/64):
//   env NAME VALUE          engine environment (before the first connect)
//   setting PATH VALUE      a settings-store value, e.g. `setting Dev0/ExclDly 500` (before connect)
//   connect W               connects window W and registers it; `stranger W` connects only
//   open W DEV... [in DEV FLAGS]  opens these output devices (and that input, with those filter
//                           flags) for W;  close W  closes W's ports
//   short W EVENT           command 18;  list W EVENT...  (type 15);  audition W EVENT... (type 16)
//   sysex W PORT BYTES...   type 17;  hold W MS  (the audition hold time);  panic W  (command 31)
//   song W ... end TICK     a song built line by line, in tick order (tempo, program, control,
//                           note, release, bend, bank, rpn, nrpn, sysex, off: see SongLine) and
//                           loaded;  next W ... end TICK  the same into the next slot
//   play W [TICK [MODE]]    starts W's song there (with that sysex mode) and waits until it has
//                           stopped
//   start W [TICK] [loop FROM TO] [mode M] [record]   starts without waiting;  continue W [loop
//                           FROM TO] [mode M]  (type 22);  stop W  (command 5, then waits for 5)
//   wait N TEXT             waits until the log holds the line TEXT (after the timestamp, e.g.
//                           `data out0 90 3c 64`) at least N times
//   thru W DEV [CHANNEL]    type 29;  filter W MASK FLAGS  (type 25, in hex);  metronome W DEV CH
//                           BAR BEAT  (type 27);  input BYTES...  a line to the virtual input FIFO
//   device LINE             a line to the virtual control FIFO (`device remove out Synth`)
//   told W CHANGE out|in N  waits until W is told of that port change (notification 33; CHANGE is
//                           added, gone or back)
//   unregister W            command 1;  close-engine W  (WM_CLOSE)
//
// Threads: the test thread only; the engine runs as a child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "client/song_builder.h"
#include "integration/support/engine_process.h"

namespace {

const std::string kGoldenDir = TOVU_SOURCE_DIR "/tests/golden";

std::vector<uint8_t> HexBytes(std::istringstream& in) {
  std::vector<uint8_t> bytes;
  std::string b;
  while (in >> b) bytes.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
  return bytes;
}

// "0/90/3c/64": the packed event for port 0.
uint32_t Event(const std::string& text) {
  uint32_t f[4] = {};
  std::istringstream in(text);
  std::string part;
  for (int i = 0; i < 4 && std::getline(in, part, '/'); ++i)
    f[i] = static_cast<uint32_t>(std::stoul(part, nullptr, 16));
  return tovu::PackEvent(f[1], f[2], f[3], f[0]);
}

std::vector<uint32_t> Events(std::istringstream& in) {
  std::vector<uint32_t> events;
  std::string e;
  while (in >> e) events.push_back(Event(e));
  return events;
}

// One song line: "<what> <tick> <port> <channel> <values...>" (tempo: "tempo <tick> <bpm>";
// sysex: "sysex <tick> <port> <hex bytes>"; bank: "bank <tick> <port> <channel> msb|lsb|full <value>";
// the chased parameters: "rpnlist <parameter>...", "nrpnlist <parameter>..."; the resolution:
// "ticks <ticks a quarter note>").
bool SongLine(tovu::SongBuilder& song, const std::string& what, std::istringstream& in) {
  int32_t tick = 0;
  uint32_t port = 0, channel = 0, a = 0, b = 0;
  if (what == "rpnlist" || what == "nrpnlist") {
    std::vector<uint16_t> parameters;
    while (in >> a) parameters.push_back(static_cast<uint16_t>(a));
    return (what == "rpnlist" ? song.SetRpnList(parameters) : song.SetNrpnList(parameters)), true;
  }
  if (what == "ticks") return static_cast<bool>(in >> a) && (song.ticksPerQuarter = a, true);
  in >> tick;
  if (what == "tempo") return static_cast<bool>(in >> a) && (song.Tempo(tick, a), true);
  in >> port;
  if (what == "sysex") return (song.Sysex(tick, port, HexBytes(in)), true);
  in >> channel;
  if (what == "bank") {
    std::string kind;
    in >> kind >> a;
    song.Bank(tick, port, channel,
              kind == "msb" ? tovu::BankKind::Msb : kind == "lsb" ? tovu::BankKind::Lsb : tovu::BankKind::Full14, a);
    return true;
  }
  in >> a >> b;
  if (what == "off") song.NoteOff(tick, port, channel, a, b);
  else if (what == "program") song.Program(tick, port, channel, a);
  else if (what == "control") song.Controller(tick, port, channel, a, b);
  else if (what == "note") song.NoteOn(tick, port, channel, a, b);
  else if (what == "release") song.NoteRelease(tick, port, channel, a);
  else if (what == "bend") song.PitchBend(tick, port, channel, a);
  else if (what == "rpn") song.Rpn(tick, port, channel, a, b);
  else if (what == "nrpn") song.Nrpn(tick, port, channel, a, b);
  else return false;
  return true;
}

// The options after a start's or continue's tick: loop FROM TO, mode M, record.
void RequestOptions(std::istringstream& in, tovu::StartRequest* request) {
  std::string word;
  while (in >> word) {
    if (word == "loop") {
      request->loopOn = 1;
      in >> request->loopStart >> request->loopEnd;
    } else if (word == "mode") {
      in >> request->sysexMode;
    } else if (word == "record") {
      request->recordOn = 1;
    } else {
      ADD_FAILURE() << "unknown start option " << word;
    }
  }
}

// Waits until `text` stands in the log at least `count` times.
bool WaitForLines(const EngineEnv& env, const std::string& text, size_t count, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<std::string> log = env.LogLines();
    if (static_cast<size_t>(std::count(log.begin(), log.end(), text)) >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Runs one script; failures are reported where they happen. Returns the log it left.
std::vector<std::string> RunScript(const std::string& path) {
  EngineEnv env;
  EngineProcess engine;
  std::map<std::string, std::unique_ptr<tovu::Client>> windows;
  std::unique_ptr<tovu::SongBuilder> song;
  std::string songFor;
  bool songIsNext = false;
  std::ofstream input;
  std::ifstream script(path);
  std::string line;
  for (int number = 1; std::getline(script, line); ++number) {
    SCOPED_TRACE(path + ":" + std::to_string(number) + ": " + line);
    line = line.substr(0, line.find('#'));
    line.erase(line.find_last_not_of(" \t") + 1);
    std::istringstream in(line);
    std::string command, name;
    if (!(in >> command)) continue;
    if (song) {
      if (command == "end") {
        int32_t tick = 0;
        in >> tick;
        song->End(tick);
        tovu::Client& owner = *windows[songFor];
        EXPECT_TRUE(songIsNext ? tovu::LoadNextSong(owner, song->Build()) : tovu::LoadSong(owner, song->Build()));
        song.reset();
      } else {
        EXPECT_TRUE(SongLine(*song, command, in)) << "unknown song line";
      }
      continue;
    }
    std::string key, text;
    if (command == "env") {
      in >> key >> text;
      env.vars[key] = text;
      continue;
    }
    if (command == "setting") {
      in >> key >> text;
      env.WriteSetting(key, text);
      continue;
    }
    if (command == "wait") {
      size_t count = 0;
      in >> count;
      std::getline(in >> std::ws, text);
      EXPECT_TRUE(WaitForLines(env, text, count, 10000)) << "the log never held it " << count << " times";
      continue;
    }
    if (command == "input") {
      if (!input.is_open()) input.open(env.fifoPath);
      std::getline(in >> std::ws, text);
      input << text << "\n" << std::flush;
      continue;
    }
    if (command == "device") {
      std::getline(in >> std::ws, text);
      EXPECT_TRUE(env.Control(text)) << "no engine reads the control FIFO";
      continue;
    }
    in >> name;
    if (command == "connect" || command == "stranger") {
      auto& c = windows[name] = std::make_unique<tovu::Client>();
      bool ok = (engine.pid > 0 || engine.Start(env)) &&
                (command == "connect" ? env.ConnectRegistered(*c) : env.Connect(*c));
      EXPECT_TRUE(ok) << "the engine did not start, or " << name << " could not connect";
      if (!ok) return {};
      continue;
    }
    tovu::Client& c = *windows.at(name);
    uint32_t value = 0;
    if (command == "open") {
      std::vector<uint32_t> devices;
      std::string word;
      int32_t inputDevice = -1;
      uint32_t flags = 1;
      while (in >> word) {
        if (word == "in") {
          in >> inputDevice >> std::hex >> flags >> std::dec;
          break;
        }
        devices.push_back(static_cast<uint32_t>(std::stoul(word)));
      }
      EXPECT_TRUE(OpenPorts(c, devices, inputDevice, flags));
    } else if (command == "close") {
      EXPECT_TRUE(tovu::ClosePorts(c));
    } else if (command == "short") {
      EXPECT_EQ(in >> text ? tovu::SendShort(c, Event(text)) : -1, 0);
    } else if (command == "list") {
      EXPECT_TRUE(tovu::SendShortList(c, Events(in)));
    } else if (command == "audition") {
      EXPECT_TRUE(tovu::Audition(c, Events(in)));
    } else if (command == "sysex") {
      in >> value;
      EXPECT_TRUE(tovu::SendSysex(c, static_cast<uint8_t>(value), HexBytes(in)));
    } else if (command == "hold") {
      int32_t ms = 0;
      in >> ms;
      EXPECT_EQ(tovu::SetAuditionHoldTime(c, ms), 0);
    } else if (command == "panic") {
      EXPECT_EQ(tovu::Panic(c), 0);
    } else if (command == "song" || command == "next") {
      song = std::make_unique<tovu::SongBuilder>();
      songFor = name;
      songIsNext = command == "next";
    } else if (command == "start" || command == "continue") {
      tovu::StartRequest request;
      std::streampos at = in.tellg();
      int32_t tick = 0;
      if (in >> tick)
        request.startTick = tick;
      else
        in.clear(), in.seekg(at);
      RequestOptions(in, &request);
      tovu::TakeInbox(c);
      EXPECT_TRUE(command == "start" ? tovu::Start(c, request) : tovu::Continue(c, request));
    } else if (command == "stop") {
      EXPECT_EQ(tovu::Stop(c), 0);
      EXPECT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyStopped, 10000));
    } else if (command == "thru") {
      tovu::ThruSettings thru;
      in >> thru.device;
      if (!(in >> thru.channel)) thru.channel = -1;
      EXPECT_TRUE(tovu::SetThru(c, thru));
    } else if (command == "filter") {
      uint32_t mask = 0, flags = 0;
      in >> std::hex >> mask >> flags;
      EXPECT_TRUE(tovu::SetInputFilter(c, mask, flags));
    } else if (command == "metronome") {
      tovu::MetronomeSettings m;
      in >> m.device >> m.channel >> m.measureNote >> m.beatNote;
      EXPECT_TRUE(tovu::SetMetronome(c, m));
    } else if (command == "sync") {
      // sync A <device> <what: 1 clock, 2 time code, 3 both> [<flags> [<rate>]]
      tovu::SyncOutSettings s;
      tovu::SyncOutSettings::Port port;
      in >> port.device >> port.what;
      s.ports.push_back(port);
      if (in >> s.flags) in >> s.timecodeRate;
      EXPECT_TRUE(tovu::SetSyncOut(c, s));
      tovu::SyncOutSettings told;
      EXPECT_TRUE(tovu::RequestSyncOutSettings(c, &told));
      EXPECT_EQ(told.ports.size(), 1u);
    } else if (command == "play") {
      tovu::StartRequest request;
      int32_t tick = 0, sysexMode = 0;
      if (in >> tick) request.startTick = tick;
      if (in >> sysexMode) request.sysexMode = sysexMode;
      tovu::TakeInbox(c);
      EXPECT_TRUE(tovu::Start(c, request));
      uint32_t lParam = 0;
      EXPECT_TRUE(tovu::WaitForNotification(c, tovu::kNotifyStopped, 10000, &lParam) && lParam == 1)
          << "notification 10 with error " << (tovu::WaitForNotification(c, tovu::kNotifyFailed, 0, &lParam) ? lParam : 0);
    } else if (command == "told") {
      std::string change, direction;
      uint32_t index = 0;
      in >> change >> direction >> index;
      uint32_t code = change == "added" ? tovu::kPortAdded : change == "gone" ? tovu::kPortGone : tovu::kPortBack;
      uint32_t word = tovu::PortChangeWord(code, direction == "in", index);
      EXPECT_TRUE(tovu::WaitForMessage(c, [word](const tovu::Message& m) {
        tovu::NotificationInfo n;
        return tovu::AsNotification(m, &n) && n.code == tovu::kNotifyPortsChanged && n.lParam == word;
      }, 10000)) << "never told";
    } else if (command == "unregister") {
      EXPECT_EQ(tovu::Unregister(c), 0);
    } else if (command == "close-engine") {
      EXPECT_TRUE(tovu::CloseEngine(c));
    } else {
      ADD_FAILURE() << "unknown command";
    }
  }
  EXPECT_EQ(engine.Wait(10000), 0) << "the script must end the engine";
  return env.LogLines();
}

std::vector<std::string> Scripts() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kGoldenDir))
    if (entry.path().extension() == ".script") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class Golden : public testing::TestWithParam<std::string> {};

TEST_P(Golden, TheLogMatches) {
  std::string base = kGoldenDir + "/" + GetParam();
  std::vector<std::string> log = RunScript(base + ".script");
  std::string text;
  for (const std::string& l : log) text += l + "\n";
  const char* update = getenv("TOVU_GOLDEN_UPDATE");
  if (update && std::string(update) == "1") {
    std::ofstream(base + ".log", std::ios::binary) << text;
    return;
  }
  EXPECT_EQ(text, ReadText(base + ".log"));
}

INSTANTIATE_TEST_SUITE_P(Scripts, Golden, testing::ValuesIn(Scripts()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
