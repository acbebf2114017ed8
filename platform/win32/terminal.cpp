// Terminal queries on Windows. See terminal.h.
#include "platform/terminal.h"

#include <windows.h>

namespace platform {

bool StdoutIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

}  // namespace platform
