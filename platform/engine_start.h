// Starting an engine from a client when none answers, on every system: the program to start, the
// start itself with a pipe as the engine's standard error (its start-up handle: the engine closes
// it once a client is registered, or writes why it could not start), and reading that pipe.
// How a client then talks to the engine is the system's own: frames over a socket on Linux
// (posix/bus_client.h), window messages on Windows (client_window.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/os_handle.h"

namespace platform {

// The engine program to start: TOVU_ENGINE_BINARY, else tovu-engine beside this program, else
// tovu-engine on PATH.
std::string EngineProgramPath();
// Starts `enginePath` detached (it is not our child), with a pipe as its standard error. Returns the
// pipe's reading end (keep it open until registered, then close it with CloseOsHandle), or
// kNoHandle when the start failed.
OsHandle StartEngineProcess(const std::string& enginePath);
// Appends what the pipe holds to `text`, waiting up to timeoutMs for the first byte and never more
// than 4 KiB in all. True when the writing end has closed.
bool ReadPipeText(OsHandle pipe, int timeoutMs, std::string* text);
int32_t ProcessId();

}  // namespace platform
