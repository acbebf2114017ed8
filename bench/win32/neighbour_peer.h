// A misbehaving client of the Windows engine in a process of its own, for the Windows neighbours test
// and benchmark: the program starts itself again with TOVU_WIN_NEIGHBOUR naming what to do.
//   slow:<ms>   one window, registered, posts 20 port-list requests for itself and answers each port
//               list after <ms> (-1: its handler never returns)
//   hold:<n>    n windows, each registered, and nothing more
// It sets the event named in TOVU_WIN_NEIGHBOUR_READY once under way, and runs until it is ended.
// Header only; the calling thread only.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace neighbour {

constexpr UINT kEngineCommand = 1624;

inline int g_answerMs = 0;

inline LRESULT CALLBACK PeerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    if (g_answerMs < 0) Sleep(INFINITE);
    Sleep(static_cast<DWORD>(g_answerMs));
    return 1;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// In the started process: does what TOVU_WIN_NEIGHBOUR says and never returns; returns at once in
// any other process. Call it first thing in main (or at static initialisation).
inline void RunIfAsked() {
  const char* what = std::getenv("TOVU_WIN_NEIGHBOUR");
  if (!what || !*what) return;
  HWND engine = nullptr;
  for (int i = 0; i < 500 && !engine; ++i) {
    engine = FindWindowA("TovuEngine", nullptr);
    if (!engine) Sleep(10);
  }
  WNDCLASSA wc{};
  wc.lpfnWndProc = PeerProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "TovuNeighbourPeer";
  RegisterClassA(&wc);
  auto registered = [&] {
    HWND window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    DWORD_PTR result = 1;
    if (window) SendMessageTimeoutA(engine, kEngineCommand, 0, reinterpret_cast<LPARAM>(window), SMTO_NORMAL, 10000, &result);
    return result == 0 ? window : nullptr;
  };
  if (std::strncmp(what, "slow:", 5) == 0) {
    g_answerMs = std::atoi(what + 5);
    HWND window = registered();
    for (int i = 0; window && i < 20; ++i) PostMessageA(engine, kEngineCommand, 2, reinterpret_cast<LPARAM>(window));
  } else if (std::strncmp(what, "hold:", 5) == 0) {
    for (int i = 0, n = std::atoi(what + 5); i < n; ++i) registered();
  }
  if (const char* ready = std::getenv("TOVU_WIN_NEIGHBOUR_READY")) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready);
    if (event) SetEvent(event);
  }
  for (;;) {
    MSG msg;
    BOOL r = GetMessageA(&msg, nullptr, 0, 0);
    if (r == 0) break;
    if (r > 0) DispatchMessageA(&msg);
  }
  ExitProcess(0);
}

// A neighbour process started from this program.
struct Peer {
  HANDLE process = nullptr;

  // Starts it and waits until it is under way (false when it did not get there in time).
  bool Start(const std::string& what, DWORD timeoutMs = 30000) {
    std::string readyName = "tovu-win-neighbour-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(GetTickCount());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string commandLine = "\"" + std::string(self, n) + "\"";
    SetEnvironmentVariableA("TOVU_WIN_NEIGHBOUR", what.c_str());
    SetEnvironmentVariableA("TOVU_WIN_NEIGHBOUR_READY", readyName.c_str());
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA("TOVU_WIN_NEIGHBOUR", nullptr);
    SetEnvironmentVariableA("TOVU_WIN_NEIGHBOUR_READY", nullptr);
    bool started = false;
    if (ok) {
      CloseHandle(pi.hThread);
      process = pi.hProcess;
      HANDLE both[2] = {ready, process};
      started = WaitForMultipleObjects(2, both, FALSE, timeoutMs) == WAIT_OBJECT_0;
    }
    if (ready) CloseHandle(ready);
    return started;
  }

  // Kills it (as a crash would) and waits for its end.
  void End() {
    if (!process) return;
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
    process = nullptr;
  }

  ~Peer() { End(); }
};

}  // namespace neighbour
