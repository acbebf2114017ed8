// Terminal queries. See terminal.h.
#include "platform/terminal.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
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

namespace {
termios g_saved;
bool g_raw = false;
}  // namespace

void KeysBegin() {
  if (g_raw || !isatty(0) || tcgetattr(0, &g_saved) != 0) return;
  termios raw = g_saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));  // ISIG stays: Ctrl-C is still a signal
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  g_raw = tcsetattr(0, TCSANOW, &raw) == 0;
}

int ReadKey(int timeoutMs) {
  pollfd p{0, POLLIN, 0};
  int ready = poll(&p, 1, timeoutMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return kNoKey;
  if (ready < 0) return kKeysEnded;
  unsigned char c;
  ssize_t n = read(0, &c, 1);
  if (n == 1) return c;
  return n < 0 && errno == EINTR ? kNoKey : kKeysEnded;
}

void KeysEnd() {
  if (g_raw) tcsetattr(0, TCSANOW, &g_saved);
  g_raw = false;
}

}  // namespace platform
