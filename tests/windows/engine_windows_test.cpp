// The Windows build under wine: tovu-engine.exe started by the client library itself (CreateProcessA,
// hidden, a pipe as its standard error) and driven through real window messages, with the virtual
// MIDI service writing its log and reading its input from a named pipe. Each test starts its own
// engine and lets it close (the last client unregisters) before the next one starts, since only one
// engine runs at a time. Time bounds are loose: wine on a busy machine is slow to wake.
//
// This program runs beside tovu-engine.exe and tovu-ctl.exe (the client library finds the engine
// there). Threads: the test thread only; the engine and tovu-ctl run as processes of their own.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/win32/neighbour_peer.h"
#include "client/take_reader.h"
#include "client/tovu_client.h"

namespace {

using Lines = std::vector<std::string>;

// Started by the client library in place of the engine (one test sets TOVU_WIN_TEST_STAND_IN): says
// why it cannot run, as an engine does on its standard error, and ends before any window opens.
const bool kStandInEngine = [] {
  if (const char* v = getenv("TOVU_WIN_TEST_STAND_IN"); v && *v) {
    std::fputs("tovu: MIDI service broken cannot be used\n", stderr);
    std::fflush(stderr);
    ExitProcess(1);
  }
  return false;
}();

// Started again as a misbehaving neighbour (bench/win32/neighbour_peer.h) by the neighbour tests.
const bool kNeighbour = [] {
  neighbour::RunIfAsked();
  return false;
}();

// Time limits, scaled by TOVU_WIN_TEST_TIME_SCALE where programs run emulated and slowly (the 32-bit
// build on a 64-bit machine without 32-bit support).
int Limit(int ms) {
  static const int scale = [] {
    const char* v = getenv("TOVU_WIN_TEST_TIME_SCALE");
    int n = v ? atoi(v) : 1;
    return n > 0 ? n : 1;
  }();
  return ms * scale;
}

std::string ProgramDirectory() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path(self, n);
  return path.substr(0, path.find_last_of("\\/") + 1);
}

std::string TempDirectory() {
  char dir[MAX_PATH];
  DWORD n = GetTempPathA(sizeof dir, dir);
  return std::string(dir, n);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

struct LogLine {
  double ms = 0;
  std::string text;  // "out0 90 3c 64"
};

// The engine's environment: the virtual service with two outputs and one input, its log in a file
// of its own and its input on a named pipe of its own. Set in this process, inherited by the engines
// the client library starts.
struct VirtualEngine {
  std::string log;
  std::string pipe;
  std::string control;  // the control pipe: `add out NAME`, `remove out NAME`, ...

  explicit VirtualEngine(const std::string& name) {
    std::string unique = std::to_string(GetCurrentProcessId()) + "-" + name;
    log = TempDirectory() + "tovu-win-" + unique + ".log";
    pipe = "\\\\.\\pipe\\tovu-win-" + unique;
    control = pipe + "-control";
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("TOVU_MIDI", "virtual");
    SetEnvironmentVariableA("TOVU_VIRTUAL_OUTPUTS", "2");
    SetEnvironmentVariableA("TOVU_VIRTUAL_INPUTS", "1");
    SetEnvironmentVariableA("TOVU_VIRTUAL_LOG", log.c_str());
    SetEnvironmentVariableA("TOVU_VIRTUAL_INPUT", pipe.c_str());
    SetEnvironmentVariableA("TOVU_VIRTUAL_CONTROL", control.c_str());
    SetEnvironmentVariableA("TOVU_NO_MESSAGE_BOX", "1");
    SetEnvironmentVariableA("TOVU_ENGINE_BINARY", nullptr);
  }
  ~VirtualEngine() { DeleteFileA(log.c_str()); }

  // The data lines of the log ("<ns> data out0 90 3c 64"), with their times.
  std::vector<LogLine> Data() const {
    std::vector<LogLine> lines;
    std::istringstream in(ReadText(log));
    std::string line;
    while (std::getline(in, line)) {
      size_t space = line.find(' ');
      if (space == std::string::npos || line.compare(space + 1, 5, "data ") != 0) continue;
      lines.push_back({std::stod(line.substr(0, space)) / 1e6, line.substr(space + 6)});
    }
    return lines;
  }

  // The texts of those lines ("out0 90 3c 64").
  static Lines Texts(const std::vector<LogLine>& data) {
    Lines texts;
    for (const LogLine& l : data) texts.push_back(l.text);
    return texts;
  }

  // Writes input lines ("<input> <hex bytes>") to the virtual input's pipe.
  bool Feed(const std::string& lines) const { return Write(pipe, lines); }
  // Writes lines to the control pipe.
  bool Control(const std::string& lines) const { return Write(control, lines); }

  static bool Write(const std::string& pipe, const std::string& lines) {
    HANDLE h = CreateFileA(pipe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    for (int i = 0; h == INVALID_HANDLE_VALUE && i < 50; ++i) {
      WaitNamedPipeA(pipe.c_str(), 100);
      h = CreateFileA(pipe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(h, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) && written == lines.size();
    CloseHandle(h);
    return ok;
  }
};

// The engine process behind a window, opened to wait for its end.
HANDLE EngineProcessOf(uint32_t engineWindow) {
  DWORD pid = 0;
  GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(engineWindow))), &pid);
  return pid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr;
}

// Waits for the engine to end by itself; its exit status, or -1 when it still runs.
long WaitForExit(HANDLE process, DWORD timeoutMs) {
  if (!process) return -2;
  if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD status = 0;
  GetExitCodeProcess(process, &status);
  return static_cast<long>(status);
}

// Connects (starting the engine when none runs) and registers with the outputs opened.
bool ConnectRegistered(tovu::Client& c) {
  tovu::ConnectOptions options;
  options.timeoutMs = Limit(5000);
  if (!tovu::Connect(c, options)) {
    ADD_FAILURE() << c.connectError;
    return false;
  }
  return tovu::Register(c) == 0;
}

uint32_t DeviceNamed(tovu::Client& c, const std::string& name) {
  std::vector<tovu::OutputPortInfo> outs;
  tovu::RequestOutputPorts(c, &outs);
  for (const auto& o : outs)
    if (o.name == name) return o.deviceId;
  ADD_FAILURE() << "no output " << name;
  return 0;
}

// Pumps for `ms`, answering what the engine sends.
void Pass(tovu::Client& c, int ms) {
  DWORD until = GetTickCount() + static_cast<DWORD>(ms);
  while (static_cast<int32_t>(GetTickCount() - until) < 0) tovu::PumpMessages(c, 5);
}

// The CPU time this process has used, in milliseconds.
double CpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ms = [](const FILETIME& t) { return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4; };
  return ms(kernel) + ms(user);
}

bool PumpUntilNotification(tovu::Client& c, uint32_t code, int timeoutMs, std::vector<tovu::Message>* seen) {
  DWORD until = GetTickCount() + static_cast<DWORD>(timeoutMs);
  while (static_cast<int32_t>(GetTickCount() - until) < 0) {
    if (!tovu::PumpMessages(c, 10)) return false;
    bool found = false;
    for (tovu::Message& m : tovu::TakeInbox(c)) {
      tovu::NotificationInfo n;
      if (tovu::AsNotification(m, &n) && n.code == code) found = true;
      seen->push_back(std::move(m));
    }
    if (found) return true;
  }
  return false;
}

// The engine is started hidden by the client library, records from its virtual input with a
// count-in, hands the take over, and closes by itself once its last client has unregistered.
TEST(WindowsEngine, StartedByTheLibraryRecordsATakeFromThePipeAndClosesAfterItsLastClient) {
  ASSERT_EQ(FindWindowA("TovuEngine", nullptr), nullptr) << "an engine is running already";
  VirtualEngine v("record");
  tovu::Client a;
  ASSERT_TRUE(ConnectRegistered(a));
  HANDLE engine = EngineProcessOf(a.engineWindow);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(a.startupPipe, platform::kNoHandle);  // given up once registered
  EXPECT_EQ(a.engineLines, "");
  // The engine window is a real top-level one, found by its class.
  HWND engineWindow = FindWindowA("TovuEngine", nullptr);
  ASSERT_NE(engineWindow, nullptr);
  EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(engineWindow)), a.engineWindow);

  tovu::Client b;
  ASSERT_TRUE(ConnectRegistered(b));
  EXPECT_EQ(b.engineWindow, a.engineWindow);
  EXPECT_NE(b.window, a.window);

  std::vector<tovu::InputPortInfo> ins;
  ASSERT_EQ(tovu::RequestInputPorts(a, &ins), 0);
  ASSERT_EQ(ins.size(), 1u);
  uint32_t out0 = DeviceNamed(a, "Virtual Out 1");
  tovu::OpenPortsRequest open;
  open.outputDevices = {out0};
  open.inputDevice = static_cast<int32_t>(ins[0].deviceId);
  tovu::OpenPortsReply reply;
  ASSERT_TRUE(tovu::OpenPorts(a, open, &reply));
  EXPECT_EQ(reply.inputResult, 0);
  tovu::MetronomeSettings click;
  click.device = static_cast<int32_t>(out0);
  click.channel = 9;
  click.measureNote = 60;
  click.beatNote = 61;
  ASSERT_TRUE(tovu::SetMetronome(a, click));

  // 600 quarters a minute at 120 ticks a quarter: a 480-tick bar of count-in lasts 400 ms.
  tovu::SongBuilder song;
  song.Tempo(0, 600);
  song.End(1920);
  ASSERT_TRUE(tovu::LoadSong(a, song.Build()));
  tovu::StartRequest record;
  record.recordOn = 1;
  ASSERT_TRUE(tovu::Start(a, record));
  ASSERT_TRUE(tovu::WaitForNotification(a, tovu::kNotifyStarted, Limit(5000)));
  ASSERT_TRUE(v.Feed("0 90 3c 64\n"));  // during the count-in
  // Waiting does not spin, though notifications posted to b wait in this thread's queue meanwhile.
  double cpu = CpuMs();
  Pass(a, 700);
  cpu = CpuMs() - cpu;
  std::printf("700 ms of waiting for messages used %.1f ms of CPU\n", cpu);
  EXPECT_LT(cpu, 350.0);
  ASSERT_TRUE(v.Feed("0 80 3c 00\n"));  // after the recording began
  Pass(a, 100);
  EXPECT_EQ(tovu::Stop(a), 0);
  tovu::Message takeMessage;
  ASSERT_TRUE(tovu::WaitForMessage(a, [](const tovu::Message& m) { return tovu::IsCopyData(m, tovu::kCopyTake); }, Limit(5000),
                                   &takeMessage));
  EXPECT_TRUE(takeMessage.sent);
  tovu::Take take;
  std::string error;
  ASSERT_TRUE(tovu::ReadTake(takeMessage.payload, &take, &error)) << error;
  EXPECT_EQ(take.recordStartTick, 0);
  EXPECT_EQ(take.countInLength, 480);
  ASSERT_EQ(take.events.size(), 3u);
  EXPECT_EQ(take.events[0].event, 0x643C90u);
  EXPECT_GE(take.events[0].tick, -480);
  EXPECT_LT(take.events[0].tick, 0);
  EXPECT_EQ(take.events[1].event, 0x3C80u);
  EXPECT_GE(take.events[1].tick, 0);
  EXPECT_LT(take.events[1].tick, 1920);
  EXPECT_TRUE(tovu::IsEndMarker(take.events[2].event));

  // One client leaving keeps the engine; the last one closes it, with status 0, and the library
  // sees the engine window gone.
  EXPECT_EQ(tovu::Unregister(b), 0);
  tovu::Disconnect(b);
  EXPECT_EQ(WaitForExit(engine, 500), -1);
  EXPECT_EQ(tovu::Unregister(a), 0);
  EXPECT_EQ(WaitForExit(engine, Limit(10000)), 0);
  CloseHandle(engine);
  EXPECT_FALSE(tovu::PumpMessages(a, 100));
  EXPECT_FALSE(tovu::Connected(a));
  tovu::Disconnect(a);
  EXPECT_EQ(FindWindowA("TovuEngine", nullptr), nullptr);

  // The count-in's bar click and beat clicks were played on the metronome's port (the log is complete once the
  // engine has ended).
  std::vector<LogLine> data = v.Data();
  auto count = [&](const std::string& text) {
    return std::count_if(data.begin(), data.end(), [&](const LogLine& l) { return l.text == text; });
  };
  EXPECT_GE(count("out0 99 3c 7e"), 1);
  EXPECT_GE(count("out0 99 3d 64"), 3);
  EXPECT_EQ(count("out0 99 3c 7e") + count("out0 99 3d 64"), count("out0 99 3c 00") + count("out0 99 3d 00"));
}

// A song played through the library: the start message with its parameter, positions at each step
// (sent, so the window procedure answers them), the final position, notifications 21, 12 and 5, and
// the notes on the virtual output at their times. The record moves between calls meanwhile.
TEST(WindowsEngine, PlaysASongWithPositionsAndItsEndWhileTheClientMoves) {
  VirtualEngine v("play");
  tovu::Client first;
  ASSERT_TRUE(ConnectRegistered(first));
  HANDLE engine = EngineProcessOf(first.engineWindow);
  int sentSeen = 0;
  first.windowProc = [&](const tovu::Message& m) {
    if (m.msg == tovu::kPositionMessage) ++sentSeen;
    return 0;
  };
  tovu::OpenPortsRequest open;
  open.outputDevices = {DeviceNamed(first, "Virtual Out 1"), DeviceNamed(first, "Virtual Out 2")};
  tovu::OpenPortsReply reply;
  ASSERT_TRUE(tovu::OpenPorts(first, open, &reply));
  EXPECT_EQ(reply.outputResults[1], 0);
  tovu::PumpMessages(first, 50);
  tovu::TakeInbox(first);

  // 120 ticks a quarter at 480 quarters a minute: 960 ticks a second.
  tovu::SongBuilder song;
  song.Tempo(0, 480);
  song.NoteOn(0, 1, 0, 60, 100);  // on port 1, the second output
  song.NoteRelease(120, 1, 0, 60);
  song.NoteOn(240, 1, 0, 64, 90);
  song.NoteRelease(360, 1, 0, 64);
  song.End(470);
  ASSERT_TRUE(tovu::LoadSong(first, song.Build()));
  tovu::StartRequest start;
  start.startParam = 77;
  ASSERT_TRUE(tovu::Start(first, start));
  std::vector<tovu::Message> seen = tovu::TakeInbox(first);
  tovu::PumpMessages(first, 100);
  tovu::Client c = std::move(first);  // a record moved between calls still receives
  ASSERT_TRUE(PumpUntilNotification(c, tovu::kNotifyStopped, Limit(5000), &seen));

  Lines events;
  std::vector<int32_t> positions;
  for (const tovu::Message& m : seen) {
    tovu::NotificationInfo n;
    if (m.msg == tovu::kPositionMessage) {
      EXPECT_TRUE(m.sent);
      positions.push_back(static_cast<int32_t>(m.lParam));
      if (events.empty() || events.back() != "pos") events.push_back("pos");
    } else if (m.msg == tovu::kStartMessage) {
      events.push_back("start:" + std::to_string(m.lParam));
    } else if (tovu::AsNotification(m, &n)) {
      events.push_back("n" + std::to_string(n.code) + ":" + std::to_string(n.lParam));
    }
  }
  Lines withoutPositions;
  std::copy_if(events.begin(), events.end(), std::back_inserter(withoutPositions),
               [](const std::string& e) { return e != "pos"; });
  EXPECT_EQ(withoutPositions, (Lines{"start:77", "n21:1", "n12:0", "n5:1"}));
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.back(), 470);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  for (size_t i = 0; i + 1 < positions.size(); ++i) EXPECT_EQ(positions[i] % 30, 0) << positions[i];
  EXPECT_EQ(sentSeen, static_cast<int>(positions.size()));

  // A payload cannot be posted here.
  EXPECT_FALSE(tovu::PostCopyData(c, 15, 0, "\x90\x3c\x64\xff", 4));
  EXPECT_EQ(tovu::Unregister(c), 0);
  EXPECT_EQ(WaitForExit(engine, Limit(10000)), 0);
  CloseHandle(engine);
  tovu::Disconnect(c);
  // The log is complete once the engine has ended.
  std::vector<LogLine> data = v.Data();
  Lines texts = VirtualEngine::Texts(data);
  EXPECT_EQ(texts, (Lines{"out1 90 3c 64", "out1 90 3c 00", "out1 90 40 5a", "out1 90 40 00"})) << ReadText(v.log);
  if (data.size() == 4) {
    // 240 ticks: 250 ms from the first note to the second.
    EXPECT_GT(data[2].ms - data[0].ms, 200.0);
    EXPECT_LT(data[2].ms - data[0].ms, Limit(800));
  }
}

// An engine that cannot be started, or that ends before its window opens, is reported in words.
TEST(WindowsEngine, AnEngineThatCannotStartIsReported) {
  VirtualEngine v("fail");
  tovu::Client c;
  tovu::ConnectOptions missing;
  missing.enginePath = ProgramDirectory() + "no-such-engine.exe";
  missing.timeoutMs = Limit(3000);
  EXPECT_FALSE(tovu::Connect(c, missing));
  EXPECT_NE(c.connectError.find("could not be started"), std::string::npos) << c.connectError;
  EXPECT_NE(c.connectError.find("no-such-engine.exe"), std::string::npos) << c.connectError;
  EXPECT_FALSE(tovu::Connected(c));

  // A started engine that ends before its window opens: its line is the reason given. This
  // program stands in for it (see kStandInEngine).
  SetEnvironmentVariableA("TOVU_WIN_TEST_STAND_IN", "1");
  tovu::ConnectOptions standIn;
  standIn.enginePath = ProgramDirectory() + "tovu_win_integration_tests.exe";
  standIn.timeoutMs = Limit(10000);
  EXPECT_FALSE(tovu::Connect(c, standIn));
  SetEnvironmentVariableA("TOVU_WIN_TEST_STAND_IN", nullptr);
  EXPECT_EQ(c.connectError, "the engine started and stopped: MIDI service broken cannot be used");

  // A MIDI service that does not exist: the engine runs without devices and says why in the lines
  // the client keeps once registered.
  SetEnvironmentVariableA("TOVU_MIDI", "no-such-service");
  tovu::ConnectOptions slow;
  slow.timeoutMs = Limit(5000);
  ASSERT_TRUE(tovu::Connect(c, slow)) << c.connectError;
  SetEnvironmentVariableA("TOVU_MIDI", "virtual");
  EXPECT_EQ(tovu::Register(c), 0);
  EXPECT_EQ(c.startupPipe, platform::kNoHandle);
  EXPECT_NE(c.engineLines.find("no-such-service"), std::string::npos) << c.engineLines;
  HANDLE engine = EngineProcessOf(c.engineWindow);
  EXPECT_EQ(tovu::Unregister(c), 0);
  EXPECT_EQ(WaitForExit(engine, Limit(10000)), 0);
  CloseHandle(engine);
  tovu::Disconnect(c);

  // Without starting one, nothing answers.
  tovu::ConnectOptions noStart;
  noStart.startEngine = false;
  EXPECT_FALSE(tovu::Connect(c, noStart));
  EXPECT_EQ(c.connectError, "no engine window is open");
}

// A hidden top-level window of this test's own, counting the copy-data messages it receives.
struct Bystander {
  static inline int copies = 0;
  HWND window = nullptr;
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA) {
      ++copies;
      return 1;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  Bystander() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "TovuTestBystander";
    RegisterClassA(&wc);
    window = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                             wc.hInstance, nullptr);
  }
  ~Bystander() {
    if (window) DestroyWindow(window);
  }
  void Pump(int ms) {
    DWORD until = GetTickCount() + static_cast<DWORD>(ms);
    while (static_cast<int32_t>(GetTickCount() - until) < 0) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      Sleep(5);
    }
  }
};

// Answers go only to windows that exist: commands 2, 24 and 26 naming HWND_BROADCAST reach no other
// top-level window. A copy-data message the system cannot hand over (wine fails GetMessage for one
// of some MiB) does not end the engine's loop.
TEST(WindowsEngine, BroadcastTargetsAreRefusedAndAnOversizedCopyEndsNothing) {
  VirtualEngine v("broadcast");
  tovu::Client c;
  ASSERT_TRUE(ConnectRegistered(c));
  HANDLE engine = EngineProcessOf(c.engineWindow);
  HWND engineWindow = FindWindowA("TovuEngine", nullptr);
  Bystander bystander;
  ASSERT_NE(bystander.window, nullptr);
  for (WPARAM code : {2, 24, 26}) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(engineWindow, tovu::kEngineCommand, code, 0xFFFF, SMTO_NORMAL, Limit(5000), &result);
  }
  bystander.Pump(300);
  EXPECT_EQ(Bystander::copies, 0) << "the engine broadcast its answers";

  std::vector<uint8_t> big(3u << 20, 0x42);
  COPYDATASTRUCT data{};
  data.dwData = 99;  // a type the engine does not know
  data.cbData = static_cast<DWORD>(big.size());
  data.lpData = big.data();
  DWORD_PTR result = 0;
  SendMessageTimeoutA(engineWindow, WM_COPYDATA, reinterpret_cast<WPARAM>(bystander.window),
                      reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, Limit(5000), &result);
  EXPECT_EQ(WaitForExit(engine, 300), -1) << "the engine ended";
  EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
  EXPECT_EQ(tovu::Unregister(c), 0);
  EXPECT_EQ(WaitForExit(engine, Limit(10000)), 0);
  CloseHandle(engine);
  tovu::Disconnect(c);
}

// Another process whose window answers the engine late (1.9 s) or never, with 20 port lists asked
// for: this client's commands, posted notes, audition and song end are not held behind it.
TEST(WindowsEngine, ASlowNeighbourCostsOtherClientsNothing) {
  for (const char* what : {"slow:1900", "slow:-1"}) {
    SCOPED_TRACE(what);
    VirtualEngine v(std::string("neighbour-") + (what[5] == '-' ? "never" : "late"));
    tovu::Client c;
    ASSERT_TRUE(ConnectRegistered(c));
    HANDLE engine = EngineProcessOf(c.engineWindow);
    tovu::OpenPortsRequest open;
    open.outputDevices = {0, 1};
    tovu::OpenPortsReply reply;
    ASSERT_TRUE(tovu::OpenPorts(c, open, &reply));
    neighbour::Peer slow;
    ASSERT_TRUE(slow.Start(what, Limit(30000)));
    Pass(c, 200);  // the engine's courier is inside the first answer now

    tovu::SongBuilder song;  // one note, ended at 500 ms
    song.Tempo(0, 480);
    song.NoteOn(0, 0, 0, 60, 100);
    song.NoteRelease(120, 0, 0, 60);
    song.End(480);
    ASSERT_TRUE(tovu::LoadSong(c, song.Build()));
    DWORD started = GetTickCount();
    ASSERT_TRUE(tovu::Start(c, tovu::StartRequest{}));
    ASSERT_TRUE(tovu::Audition(c, {tovu::PackEvent(0x90, 0x41, 0x64, 1)}));
    ASSERT_TRUE(tovu::Post(c, tovu::kEngineCommand, tovu::kCommandSendShort, tovu::PackEvent(0x9F, 0x42, 0x01, 1)));
    DWORD asked = GetTickCount();
    EXPECT_EQ(tovu::AuditionHoldTime(c), 300);
    EXPECT_LT(GetTickCount() - asked, static_cast<DWORD>(Limit(1000))) << "a command waited";
    std::vector<tovu::Message> seen;
    ASSERT_TRUE(PumpUntilNotification(c, tovu::kNotifyStopped, Limit(10000), &seen));
    EXPECT_LT(GetTickCount() - started, static_cast<DWORD>(Limit(2000))) << "the song's end waited";
    Pass(c, 500);  // the audition's release
    std::vector<LogLine> data = v.Data();
    auto at = [&](const std::string& text) {
      for (const LogLine& l : data)
        if (l.text == text) return l.ms;
      return -1.0;
    };
    double struck = at("out1 90 41 64"), released = at("out1 90 41 00"), posted = at("out1 9f 42 01");
    ASSERT_GE(struck, 0);
    ASSERT_GE(released, 0) << "the audition's release waited";
    EXPECT_LT(released - struck, Limit(1000)) << "the audition's release waited";
    ASSERT_GE(posted, 0);
    EXPECT_LT(posted - struck, Limit(1000)) << "the posted note waited";
    slow.End();
    EXPECT_EQ(tovu::Unregister(c), 0);
    EXPECT_EQ(WaitForExit(engine, Limit(10000)), 0);
    CloseHandle(engine);
    tovu::Disconnect(c);
  }
}

// Runs a program beside this one with the given arguments; its exit status, its standard output.
int RunBeside(const std::string& program, const std::string& arguments, std::string* out) {
  std::string outPath = TempDirectory() + "tovu-win-ctl-" + std::to_string(GetCurrentProcessId()) + ".out";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = file;
  si.hStdError = file;
  PROCESS_INFORMATION pi{};
  std::string commandLine = "\"" + ProgramDirectory() + program + "\" " + arguments;
  BOOL ok = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(file);
  if (!ok) return -1;
  DWORD status = 1;
  if (WaitForSingleObject(pi.hProcess, Limit(30000)) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
  GetExitCodeProcess(pi.hProcess, &status);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  *out = ReadText(outPath);
  DeleteFileA(outPath.c_str());
  return static_cast<int>(status);
}

// A Standard MIDI File of one track at 96 ticks a quarter and 120 quarters a minute: C4 for an
// eighth, then E4 for an eighth (250 ms each).
std::vector<uint8_t> TwoNoteFile() {
  const uint8_t track[] = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,  // tempo 500000 us a quarter
                           0x00, 0x90, 0x3C, 0x64, 0x30, 0x80, 0x3C, 0x40,
                           0x00, 0x90, 0x40, 0x50, 0x30, 0x80, 0x40, 0x40,
                           0x00, 0xFF, 0x2F, 0x00};
  std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k', 0, 0, 0,
                               static_cast<uint8_t>(sizeof track)};
  file.insert(file.end(), track, track + sizeof track);
  return file;
}

// tovu-ctl.exe against the engine: its port list, and a file played on the second output.
TEST(WindowsEngine, TovuCtlListsPortsAndPlaysAFile) {
  VirtualEngine v("ctl");
  tovu::Client keeper;  // keeps the engine up between the tool's runs
  ASSERT_TRUE(ConnectRegistered(keeper));
  HANDLE engine = EngineProcessOf(keeper.engineWindow);

  std::string out;
  EXPECT_EQ(RunBeside("tovu-ctl.exe", "ports", &out), 0) << out;
  EXPECT_EQ(out,
            "outputs (device, name, state):\n"
            "  0   \"Virtual Out 1\"                  closed\n"
            "  1   \"Virtual Out 2\"                  closed\n"
            "inputs (device, name, state):\n"
            "  0   \"Virtual In 1\"                   closed\n");

  std::string midi = TempDirectory() + "tovu-win-two-notes-" + std::to_string(GetCurrentProcessId()) + ".mid";
  {
    std::vector<uint8_t> bytes = TwoNoteFile();
    std::ofstream(midi, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  }
  EXPECT_EQ(RunBeside("tovu-ctl.exe", "play \"" + midi + "\" --out 1", &out), 0) << out;
  DeleteFileA(midi.c_str());
  EXPECT_EQ(tovu::Unregister(keeper), 0);
  EXPECT_EQ(WaitForExit(engine, Limit(10000)), 0);
  CloseHandle(engine);
  tovu::Disconnect(keeper);
  std::vector<LogLine> data = v.Data();
  Lines texts = VirtualEngine::Texts(data);
  std::vector<LogLine> notes;
  std::copy_if(data.begin(), data.end(), std::back_inserter(notes), [](const LogLine& l) {
    return l.text.rfind("out1 90", 0) == 0 || l.text.rfind("out1 80", 0) == 0;
  });
  ASSERT_EQ(notes.size(), 4u) << ::testing::PrintToString(texts);
  EXPECT_EQ(notes[0].text, "out1 90 3c 64");
  EXPECT_EQ(notes[2].text, "out1 90 40 50");
  EXPECT_GT(notes[2].ms - notes[0].ms, 200.0);
  EXPECT_LT(notes[2].ms - notes[0].ms, Limit(800));
}

// An engine with the system's own MIDI devices (WinMM) and none of them: tovu-ctl.exe ports says
// what is true on Windows, not the JACK and ALSA advice of Linux, and names the services Windows has
// when TOVU_MIDI names another. The system's device-change message makes the engine list WinMM's
// devices again; with nothing plugged in or out, the list stays as it was.
TEST(WindowsEngine, TovuCtlPortsGivesWindowsAdvice) {
  VirtualEngine v("ctl-winmm");
  SetEnvironmentVariableA("TOVU_MIDI", "winmm");
  tovu::Client keeper;
  ASSERT_TRUE(ConnectRegistered(keeper));
  HANDLE engine = EngineProcessOf(keeper.engineWindow);
  std::vector<tovu::OutputPortInfo> outputs, again;
  tovu::RequestOutputPorts(keeper, &outputs);
  constexpr UINT kDeviceChange = 0x0219;        // WM_DEVICECHANGE
  constexpr WPARAM kDevicesChanged = 0x0007;    // DBT_DEVNODES_CHANGED
  HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(keeper.engineWindow)));
  DWORD_PTR granted = 0;
  EXPECT_NE(SendMessageTimeoutA(window, kDeviceChange, kDevicesChanged, 0, SMTO_ABORTIFHUNG, Limit(2000), &granted), 0);
  EXPECT_EQ(granted, 1u);
  Sleep(400);  // listed at once and again 250 ms later
  ASSERT_TRUE(tovu::RequestOutputPorts(keeper, &again) || outputs.empty());
  EXPECT_EQ(again.size(), outputs.size());
  std::string out;
  if (outputs.empty()) {  // wine without a sound card lists no WinMM device
    EXPECT_EQ(RunBeside("tovu-ctl.exe", "ports", &out), 0) << out;
    EXPECT_NE(out.find("outputs (device, name, state):\n  none; the engine uses Windows' own MIDI devices (WinMM), "
                       "and Windows lists no MIDI output device"), std::string::npos) << out;
    EXPECT_EQ(out.find("JACK"), std::string::npos) << out;
    SetEnvironmentVariableA("TOVU_MIDI", "jack");
    EXPECT_EQ(RunBeside("tovu-ctl.exe", "ports", &out), 0) << out;
    EXPECT_NE(out.find("TOVU_MIDI=jack names no MIDI service on Windows (winmm, virtual or none)"), std::string::npos)
        << out;
  }
  EXPECT_EQ(tovu::Unregister(keeper), 0);
  EXPECT_EQ(WaitForExit(engine, Limit(10000)), 0);
  CloseHandle(engine);
  tovu::Disconnect(keeper);
  if (!outputs.empty()) GTEST_SKIP() << "WinMM lists output devices here: the advice for none cannot be shown";
}

}  // namespace

// Devices that come and go, through the virtual service's control pipe, while a looped song plays:
// the port tables keep their indices (a new device appended), clients are told each change, sends
// to a gone port are refused, and the returning output is reopened and hears the song's program
// and volume before its next note.
TEST(WindowsEngine, PortsComeAndGoThroughTheControlPipeWhileASongPlays) {
  VirtualEngine v("live");
  tovu::Client c;
  ASSERT_TRUE(ConnectRegistered(c));
  HANDLE engine = EngineProcessOf(c.engineWindow);
  tovu::OpenPortsRequest open;
  open.outputDevices = {0, 1};
  tovu::OpenPortsReply reply;
  ASSERT_TRUE(tovu::OpenPorts(c, open, &reply));
  tovu::SongBuilder song;
  song.Tempo(0, 120);  // 240 ticks a second
  song.Program(0, 0, 0, 5);
  song.Controller(0, 0, 0, 7, 100);
  for (int32_t t = 0; t < 480; t += 60) {
    song.NoteOn(t, 0, 0, 60, 100);
    song.NoteRelease(t + 20, 0, 0, 60);
  }
  song.End(480);
  ASSERT_TRUE(tovu::LoadSong(c, song.Build()));
  tovu::StartRequest start;
  start.loopOn = 1;
  start.loopEnd = 480;
  ASSERT_TRUE(tovu::Start(c, start));
  Pass(c, 300);

  auto told = [&](uint32_t word) {
    return tovu::WaitForMessage(c, [word](const tovu::Message& m) {
      tovu::NotificationInfo n;
      return tovu::AsNotification(m, &n) && n.code == tovu::kNotifyPortsChanged && n.lParam == word;
    }, Limit(10000));
  };
  ASSERT_TRUE(v.Control("remove out Virtual Out 1\n"));
  ASSERT_TRUE(told(tovu::PortChangeWord(tovu::kPortGone, false, 0)));
  EXPECT_EQ(tovu::SendShort(c, tovu::PackEvent(0x90, 62, 100, 0)), tovu::kResultNoDevice);
  ASSERT_TRUE(v.Control("add out Virtual Out 1\nadd out Late\nremove in Virtual In 1\n"));
  ASSERT_TRUE(told(tovu::PortChangeWord(tovu::kPortBack, false, 0)));
  ASSERT_TRUE(told(tovu::PortChangeWord(tovu::kPortAdded, false, 2)));
  ASSERT_TRUE(told(tovu::PortChangeWord(tovu::kPortGone, true, 0)));
  std::vector<tovu::OutputPortInfo> outs;
  ASSERT_EQ(tovu::RequestOutputPorts(c, &outs), 0);
  ASSERT_EQ(outs.size(), 3u);
  EXPECT_EQ(outs[0].name, "Virtual Out 1");
  EXPECT_NE(outs[0].handle, 0u);  // reopened for this client
  EXPECT_EQ(outs[2].name, "Late");
  tovu::PortStates states;
  ASSERT_TRUE(tovu::RequestPortStates(c, &states));
  EXPECT_EQ(states.inputs, std::vector<uint8_t>{tovu::kPortAbsent});
  Pass(c, 600);
  EXPECT_EQ(tovu::Stop(c), 0);
  EXPECT_EQ(tovu::Unregister(c), 0);
  EXPECT_EQ(WaitForExit(engine, Limit(10000)), 0);
  CloseHandle(engine);
  tovu::Disconnect(c);

  // After the device came back: opened, told the state, then the song's notes.
  std::istringstream in(ReadText(v.log));
  Lines after;
  bool back = false;
  for (std::string line; std::getline(in, line);) {
    std::string text = line.substr(line.find(' ') + 1);
    if (text == "add out0") back = true;
    if (back) after.push_back(text);
  }
  auto at = [&](const std::string& text) { return std::find(after.begin(), after.end(), text) - after.begin(); };
  ASSERT_LT(at("open out0"), static_cast<long>(after.size())) << ::testing::PrintToString(after);
  EXPECT_LT(at("open out0"), at("data out0 c0 05"));
  EXPECT_LT(at("data out0 c0 05"), at("data out0 90 3c 64")) << ::testing::PrintToString(after);
  EXPECT_LT(at("data out0 b0 07 64"), at("data out0 90 3c 64")) << ::testing::PrintToString(after);
  EXPECT_LT(at("data out0 90 3c 64"), static_cast<long>(after.size())) << ::testing::PrintToString(after);
}
