// Terminal queries. See terminal.h.
#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

bool StdoutIsTerminal() { return isatty(1) == 1; }

int TerminalColumns() {
  winsize size{};
  if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* columns = std::getenv("COLUMNS");
  int n = columns ? std::atoi(columns) : 0;
  return n > 0 ? n : 80;
}

}  // namespace platform
