// What each platform gives the virtual MIDI service (midi_virtual.cpp, midi_virtual_log.cpp): the
// log file, and the reader of the input FIFO (Linux, posix/midi_virtual_io.cpp) or named pipe (Windows,
// win32/midi_virtual_io.cpp), which hands what it reads to the shared line parser below.
//
// Threads: OpenLog, CloseLog, StartInputReader and StopInputReader on the main thread while the
// service starts or stops; WriteLog on any thread that opens, closes or sends on a virtual device;
// the reader's thread calls InputLines functions only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/midi_common.h"

namespace platform::virtual_midi {

// An open log file (a descriptor, or a Windows handle), or kNoLog.
using LogFile = intptr_t;
constexpr LogFile kNoLog = -1;

// Opens `path` for appending (created when missing); kNoLog, reported in one line on standard error,
// when it cannot be opened.
LogFile OpenLog(const std::string& path);
// Writes the whole line, or as much as the file takes (the log is best effort: a full disk loses
// lines). Lines written from several threads at once are each whole and none is lost: one write
// each on Linux (the file is in append mode), and on Windows writes that take turns.
void WriteLog(LogFile log, const char* data, size_t size);
void CloseLog(LogFile log);

// Gathers the bytes of the input into lines and delivers each well-formed line
// (`<input id> <byte> <byte> ...`) to its input through midi_common's DeliverNow.
struct InputLines {
  midi_common::InDevice* inputs = nullptr;  // the service state's input records
  uint32_t inCount = 0;
  std::unique_ptr<char[]> line;
  std::unique_ptr<uint8_t[]> bytes;
  size_t used = 0;
  bool skipping = false;  // the current line is too long: ignored up to its newline
};

// False when the line buffers cannot be had.
bool InputLinesInit(InputLines& lines, midi_common::InDevice* inputs, uint32_t inCount);
void InputLinesTake(InputLines& lines, const char* chunk, size_t count);
// Drops a partial line (its writer went away).
void InputLinesReset(InputLines& lines);

// The platform's reader of the input FIFO or pipe at `path`, on a thread of its own that feeds
// `lines` until StopInputReader. Null (reported on standard error) when there is no usable input.
struct InputReader;
InputReader* StartInputReader(const std::string& path, InputLines* lines);
void StopInputReader(InputReader* reader);

}  // namespace platform::virtual_midi
