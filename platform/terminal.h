// Terminal queries for command-line tools: whether a standard stream is a terminal, so that a tool
// can redraw a status line in place there and print plain lines anywhere else, and how wide the
// terminal is, so that the line fits; and single keys from standard input, for a tool driven from
// the keyboard.
//
// Threads: any; the keys from one thread.
#pragma once

namespace platform {

// True when standard output is a terminal.
bool StdoutIsTerminal();
// The width of the terminal on standard output in columns (as it is now: a window may be resized);
// where that cannot be read, COLUMNS, else 80.
int TerminalColumns();

// Keys from standard input one at a time. Between KeysBegin and KeysEnd a terminal on standard
// input neither echoes nor waits for Enter (KeysEnd puts it back as it was); elsewhere (a pipe, a
// file) the bytes come as written. ReadKey: the next byte, kNoKey when none came within
// `timeoutMs`, kKeysEnded at the end of the input (or where input cannot be read).
constexpr int kNoKey = -1;
constexpr int kKeysEnded = -2;
void KeysBegin();
int ReadKey(int timeoutMs);
void KeysEnd();

}  // namespace platform
