// The settings store on files. See settings.h.
#include "platform/settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

std::string SettingsRoot() {
  if (const char* dir = getenv("TOVU_SETTINGS_DIR"); dir && *dir) return dir;
  std::string base;
  if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    base = xdg;
  } else {
    const char* home = getenv("HOME");
    if (!home || !*home) {
      passwd* pw = getpwuid(getuid());
      home = pw ? pw->pw_dir : "/";
    }
    base = std::string(home) + "/.config";
  }
  return base + "/Quembly/TovuEngine";
}

bool ReadSettingText(const char* subKey, char* text, size_t capacity) {
  if (capacity == 0) return false;
  std::string path = SettingsRoot() + "/";
  for (const char* c = subKey; *c; ++c) path += (*c == '\\') ? '/' : *c;
  // Non-blocking, so that a FIFO planted at the path cannot hang the engine before fstat refuses it.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  // Read one byte more than fits, so that an over-long value is recognised and refused.
  size_t total = 0;
  char overflow;
  for (;;) {
    char* dst = total < capacity - 1 ? text + total : &overflow;
    size_t room = total < capacity - 1 ? capacity - 1 - total : 1;
    ssize_t n = read(fd, dst, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total > capacity - 1) {
      close(fd);
      return false;
    }
  }
  close(fd);
  text[total] = 0;
  return true;
}

}  // namespace platform
