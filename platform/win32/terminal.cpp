// Terminal queries on Windows. See terminal.h.
#include "platform/terminal.h"

#include <conio.h>
#include <windows.h>

namespace platform {

bool StdoutIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

// A console on standard input gives its keys as typed (_getch neither echoes nor waits for Enter);
// anything else is read a byte at a time once something waits in it.
void KeysBegin() {}

int ReadKey(int timeoutMs) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  const bool console = GetConsoleMode(in, &mode) != 0;
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (console) {
      if (_kbhit()) return _getch();
    } else {
      DWORD waiting = 0;
      if (!PeekNamedPipe(in, nullptr, 0, nullptr, &waiting, nullptr)) {
        // Not a pipe: a file reads to its end at once.
        unsigned char c;
        DWORD got = 0;
        return ReadFile(in, &c, 1, &got, nullptr) && got == 1 ? c : kKeysEnded;
      }
      if (waiting > 0) {
        unsigned char c;
        DWORD got = 0;
        return ReadFile(in, &c, 1, &got, nullptr) && got == 1 ? c : kKeysEnded;
      }
    }
    if (GetTickCount64() >= end) return kNoKey;
    Sleep(10);
  }
}

void KeysEnd() {}

}  // namespace platform
