// Terminal queries for command-line tools: whether a standard stream is a terminal, so that a tool
// can redraw a status line in place there and print plain lines anywhere else.
//
// Threads: any.
#pragma once

namespace platform {

// True when standard output is a terminal.
bool StdoutIsTerminal();

}  // namespace platform
