// The engine start on Windows: the program to start, CreateProcessA with an anonymous pipe as its
// standard error, and reading that pipe. See engine_start.h.
#include "platform/engine_start.h"

#include <algorithm>
#include <cstdlib>

#include "platform/win32/handles.h"

namespace platform {

std::string EngineProgramPath() {
  if (const char* p = getenv("TOVU_ENGINE_BINARY"); p && *p) return p;
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n > 0 && n < sizeof self) {
    std::string dir(self, n);
    size_t slash = dir.find_last_of("\\/");
    if (slash != std::string::npos) {
      std::string beside = dir.substr(0, slash + 1) + "tovu-engine.exe";
      DWORD attributes = GetFileAttributesA(beside.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return beside;
    }
  }
  return "tovu-engine.exe";  // CreateProcessA looks for it on PATH
}

OsHandle StartEngineProcess(const std::string& enginePath) {
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return kNoHandle;
  // Only the writing end goes to the engine: the reading end stays ours, and the engine sees it
  // gone when we close it.
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  si.wShowWindow = SW_HIDE;
  si.hStdInput = nul == INVALID_HANDLE_VALUE ? nullptr : nul;
  si.hStdOutput = si.hStdInput;
  si.hStdError = writeEnd;
  PROCESS_INFORMATION pi{};
  std::string commandLine = "\"" + enginePath + "\"";
  // The engine outlives this process: its own process group and no console of ours.
  BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
  ::CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
  if (!started) {
    ::CloseHandle(readEnd);
    return kNoHandle;
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return readEnd;
}

bool ReadPipeText(OsHandle pipe, int timeoutMs, std::string* text) {
  if (pipe == kNoHandle) return true;
  DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs);
  bool got = false;
  while (text->size() < 4096) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return true;  // the writers are gone
    if (available == 0) {
      // Anonymous pipes cannot be waited on: a short sleep between looks until the time is up.
      if (got || static_cast<int32_t>(GetTickCount() - deadline) >= 0) return false;
      Sleep(5);
      continue;
    }
    char buffer[512];
    DWORD want = static_cast<DWORD>(std::min<size_t>({sizeof buffer, available, 4096 - text->size()}));
    DWORD n = 0;
    if (!ReadFile(pipe, buffer, want, &n, nullptr)) return true;
    text->append(buffer, n);
    got = true;
  }
  return false;
}

int32_t ProcessId() { return static_cast<int32_t>(GetCurrentProcessId()); }

}  // namespace platform
