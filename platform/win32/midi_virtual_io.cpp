// The virtual MIDI service's log file and input pipe on Windows. See midi_virtual_io.h.
//
// The log is opened for appending only (FILE_APPEND_DATA), so that lines of other writers are never
// overwritten. The input is a named pipe (TOVU_VIRTUAL_INPUT, `\\.\pipe\...`, local writers only)
// that the MIDI input thread of this file serves for the service's whole life, one writer at a
// time, writers coming and going:
//
//   listening (ConnectNamedPipe) --a writer connects--> reading lines --the writer closes-->
//   disconnected (a partial last line is dropped) --> listening ...; the wake event ends any state.
//
// Threads: the input thread runs from StartInputReader until StopInputReader sets `wake` and joins
// it; it hands what it reads to the shared line parser, which delivers through midi_common.
#include "platform/midi_virtual_io.h"

#include <windows.h>

#include <cstdio>
#include <system_error>
#include <thread>

namespace platform::virtual_midi {

struct InputReader {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE wake = nullptr;  // manual-reset: the service stops
  InputLines* lines = nullptr;
  std::thread thread;
};

namespace {

// Waits for an overlapped operation on the pipe or the wake event. True when the operation ended
// (its byte count in *n, *ok whether it succeeded); false when the service stops.
bool Await(InputReader* r, OVERLAPPED* o, DWORD* n, bool* ok) {
  HANDLE handles[2] = {r->wake, o->hEvent};
  DWORD w = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (w != WAIT_OBJECT_0 + 1) {
    CancelIo(r->pipe);
    GetOverlappedResult(r->pipe, o, n, TRUE);
    return false;
  }
  *ok = GetOverlappedResult(r->pipe, o, n, FALSE) != 0;
  return true;
}

// The MIDI input thread: serves the named pipe until StopInputReader sets the wake event.
void ReadInput(InputReader* r) {
  char chunk[4096];
  OVERLAPPED o{};
  o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!o.hEvent) return;
  for (;;) {
    // Listening for a writer.
    ResetEvent(o.hEvent);
    bool connected = ConnectNamedPipe(r->pipe, &o) != 0;
    if (!connected) {
      DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_IO_PENDING) {
        DWORD n;
        if (!Await(r, &o, &n, &connected)) break;
      }
    }
    // Reading its lines until it closes.
    while (connected) {
      ResetEvent(o.hEvent);
      DWORD n = 0;
      bool ok = ReadFile(r->pipe, chunk, sizeof chunk, &n, &o) != 0;
      if (!ok && GetLastError() == ERROR_IO_PENDING && !Await(r, &o, &n, &ok)) {
        CloseHandle(o.hEvent);
        return;
      }
      if (!ok && GetLastError() != ERROR_MORE_DATA) break;
      InputLinesTake(*r->lines, chunk, n);
    }
    // Disconnected: a partial last line is dropped, and the next writer starts afresh.
    DisconnectNamedPipe(r->pipe);
    InputLinesReset(*r->lines);
    if (WaitForSingleObject(r->wake, 0) == WAIT_OBJECT_0) break;
    if (!connected) Sleep(10);  // a failed listen: never spin on it
  }
  CloseHandle(o.hEvent);
}

}  // namespace

LogFile OpenLog(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "tovu: cannot open MIDI log %s (error %lu)\n", path.c_str(), GetLastError());
    return kNoLog;
  }
  return reinterpret_cast<LogFile>(file);
}

// Appends through one handle from several threads at once are not whole under wine (a handle opened
// for appending only is written at the end it saw, and two writers can take the same end: about one
// line in two thousand went missing with two threads writing). So this process's writes take turns;
// the lock is held for one line's write only.
static SRWLOCK g_logTurn = SRWLOCK_INIT;

void WriteLog(LogFile log, const char* data, size_t size) {
  HANDLE file = reinterpret_cast<HANDLE>(log);
  AcquireSRWLockExclusive(&g_logTurn);
  struct Release {
    ~Release() { ReleaseSRWLockExclusive(&g_logTurn); }
  } release;
  while (size > 0) {
    DWORD n = 0;
    if (!WriteFile(file, data, static_cast<DWORD>(size), &n, nullptr) || n == 0) return;  // best effort
    data += n;
    size -= n;
  }
}

void CloseLog(LogFile log) {
  if (log != kNoLog) CloseHandle(reinterpret_cast<HANDLE>(log));
}

InputReader* StartInputReader(const std::string& path, InputLines* lines) {
  HANDLE pipe = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                 64 * 1024, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "tovu: cannot create MIDI input pipe %s (error %lu)\n", path.c_str(), GetLastError());
    return nullptr;
  }
  auto r = std::make_unique<InputReader>();
  r->pipe = pipe;
  r->lines = lines;
  r->wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!r->wake) {
    CloseHandle(pipe);
    return nullptr;
  }
  try {
    r->thread = std::thread(ReadInput, r.get());
  } catch (const std::system_error&) {
    // No thread to read it: no input arrives, as without a pipe.
    CloseHandle(r->wake);
    CloseHandle(pipe);
    return nullptr;
  }
  return r.release();
}

void StopInputReader(InputReader* r) {
  if (!r) return;
  SetEvent(r->wake);
  r->thread.join();
  CloseHandle(r->wake);
  CloseHandle(r->pipe);
  delete r;
}

}  // namespace platform::virtual_midi
