// What misbehaving neighbours cost a well-behaved client of the Windows engine (under wine), attack by
// attack, beside the same run alone: tovu-engine.exe beside this program, started by the client
// library with the virtual service, and the probe of neighbours_probe.h (the Linux bench's, so the
// figures compare). The attackers are processes of their own (this program started again, see
// neighbour_peer.h) or windows of this one:
//
//   alone                            nobody else
//   a window answering after 1.9 s   another process asks for 20 port lists (posted) and answers each
//                                    one 1.9 s late
//   a window that never returns      the same, its handler never returning
//   a killed 200-window client       a process with 200 registered windows, killed 1 s into the run
//   one 3 MiB WM_COPYDATA            sent to the engine 1 s into the run (wine fails the engine's
//                                    GetMessage for it); the engine's survival is reported
//   HWND_BROADCAST targets           commands 2, 24 and 26 naming HWND_BROADCAST, every 100 ms; the
//                                    copy-data messages a bystander top-level window got are reported
//
// Usage: bench_neighbours [seconds per attack, default 6] [only attacks whose name contains this]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/neighbours_probe.h"
#include "bench/win32/neighbour_peer.h"
#include "client/tovu_client.h"

namespace {

std::string TempDirectory() {
  char dir[MAX_PATH];
  DWORD n = GetTempPathA(sizeof dir, dir);
  return std::string(dir, n);
}

// The engine's environment, inherited by the engine the client library starts.
std::string SetUpEngine(const std::string& name) {
  std::string log = TempDirectory() + "tovu-bench-neighbours-" + std::to_string(GetCurrentProcessId()) + "-" + name +
                    ".log";
  DeleteFileA(log.c_str());
  SetEnvironmentVariableA("TOVU_MIDI", "virtual");
  SetEnvironmentVariableA("TOVU_VIRTUAL_OUTPUTS", "2");
  SetEnvironmentVariableA("TOVU_VIRTUAL_INPUTS", "0");
  SetEnvironmentVariableA("TOVU_VIRTUAL_LOG", log.c_str());
  SetEnvironmentVariableA("TOVU_VIRTUAL_INPUT", nullptr);
  SetEnvironmentVariableA("TOVU_NO_MESSAGE_BOX", "1");
  return log;
}

// A hidden top-level window of this program's own that counts the copy-data messages it receives.
int g_copies = 0;
LRESULT CALLBACK BystanderProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    ++g_copies;
    return 1;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND Bystander() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = BystanderProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "TovuBenchBystander";
  RegisterClassA(&wc);
  return CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance,
                         nullptr);
}

struct Attack {
  std::string name;
  std::string peer;                                             // a neighbour process to start first
  std::function<void(int64_t sinceMs, neighbour::Peer&, HWND engine)> tick;  // during the run
  std::function<std::string()> report;                          // after the run
};

}  // namespace

int main(int argc, char** argv) {
  neighbour::RunIfAsked();
  double seconds = argc > 1 ? std::atof(argv[1]) : 6;
  if (seconds <= 0) seconds = 6;
  std::string only = argc > 2 ? argv[2] : "";

  HWND bystander = Bystander();
  std::vector<uint8_t> big(3u << 20, 0x42);
  bool bigSent = false;
  int broadcasts = 0;
  std::vector<Attack> attacks = {
      {"alone", "", nullptr, nullptr},
      {"a window answering after 1.9 s", "slow:1900", nullptr, nullptr},
      {"a window that never returns", "slow:-1", nullptr, nullptr},
      {"a killed 200-window client", "hold:200",
       [](int64_t ms, neighbour::Peer& peer, HWND) {
         if (ms >= 1000) peer.End();
       },
       nullptr},
      {"one 3 MiB WM_COPYDATA", "",
       [&](int64_t ms, neighbour::Peer&, HWND engine) {
         if (ms < 1000 || bigSent) return;
         bigSent = true;
         COPYDATASTRUCT data{99, static_cast<DWORD>(big.size()), big.data()};
         DWORD_PTR result = 0;
         SendMessageTimeoutA(engine, WM_COPYDATA, reinterpret_cast<WPARAM>(bystander),
                             reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &result);
       },
       nullptr},
      {"HWND_BROADCAST targets", "",
       [&](int64_t ms, neighbour::Peer&, HWND engine) {
         if (ms % 100 >= 50) return;
         for (WPARAM code : {2, 24, 26}) {
           DWORD_PTR result = 0;
           SendMessageTimeoutA(engine, tovu::kEngineCommand, code, 0xFFFF, SMTO_NORMAL, 5000, &result);
           ++broadcasts;
         }
         MSG msg;
         while (PeekMessageA(&msg, bystander, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
       },
       [&] {
         return std::to_string(broadcasts) + " requests naming HWND_BROADCAST: a bystander window got " +
                std::to_string(g_copies) + " copy-data messages";
       }},
  };

  bench::PrintHeader();
  for (Attack& a : attacks) {
    if (!only.empty() && a.name.find(only) == std::string::npos) continue;
    std::string log = SetUpEngine(std::to_string(&a - attacks.data()));
    tovu::Client c;
    tovu::ConnectOptions options;
    options.timeoutMs = 10000;
    if (!tovu::Connect(c, options) || tovu::Register(c) != 0) {
      std::printf("%-34s the engine could not be started: %s\n", a.name.c_str(), c.connectError.c_str());
      continue;
    }
    HWND engine = FindWindowA("TovuEngine", nullptr);
    DWORD enginePid = 0;
    GetWindowThreadProcessId(engine, &enginePid);
    HANDLE engineProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, enginePid);
    tovu::OpenPortsRequest open;
    open.outputDevices = {0, 1};
    tovu::OpenPortsReply reply;
    tovu::OpenPorts(c, open, &reply);
    neighbour::Peer peer;
    if (!a.peer.empty() && !peer.Start(a.peer)) std::printf("%-34s (its neighbour did not start)\n", a.name.c_str());
    bench::ProbeOptions probe;
    probe.seconds = seconds;
    if (a.tick) probe.tick = [&](int64_t ms) { a.tick(ms, peer, engine); };
    bench::ProbeFigures f = bench::RunProbe(c, log, probe);
    bench::PrintRow(a.name, f);
    std::string extra = a.report ? a.report() : "";
    bool alive = engineProcess && WaitForSingleObject(engineProcess, 0) == WAIT_TIMEOUT;
    if (!alive) extra += std::string(extra.empty() ? "" : "; ") + "the engine had ended";
    if (!extra.empty()) std::printf("%-34s %s\n", "", extra.c_str());
    peer.End();
    tovu::Unregister(c);
    tovu::Disconnect(c);
    if (engineProcess) {
      if (WaitForSingleObject(engineProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(engineProcess, 1);
      CloseHandle(engineProcess);
    }
    DeleteFileA(log.c_str());
  }
  if (bystander) DestroyWindow(bystander);
  return 0;
}
