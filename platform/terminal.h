// Terminal queries for command-line tools: whether a standard stream is a terminal, so that a tool
// can redraw a status line in place there and print plain lines anywhere else, and how wide the
// terminal is, so that the line fits.
//
// Threads: any.
#pragma once

namespace platform {

// True when standard output is a terminal.
bool StdoutIsTerminal();
// The width of the terminal on standard output in columns (as it is now: a window may be resized);
// where that cannot be read, COLUMNS, else 80.
int TerminalColumns();

}  // namespace platform
