// Terminal queries. See terminal.h.
#include "platform/terminal.h"

#include <unistd.h>

namespace platform {

bool StdoutIsTerminal() { return isatty(1) == 1; }

}  // namespace platform
