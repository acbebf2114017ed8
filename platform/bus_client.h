// The client side of the engine bus at the socket level: connecting, starting an engine when none
// answers, and blocking reads and writes with time limits. The client library builds on this.
// On Windows only the engine start, the pipe, CloseFd and ProcessId exist (handles stand where
// descriptors do); a client reaches the engine window there through client_window.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

constexpr int kBusRefused = -2;
// Connects to the bus path; -1 when nothing answers; kBusRefused when the socket's directory is not
// private to this user or the engine that answers runs as another user (never talk to it, never
// start an engine in its place).
int BusConnect(const std::string& socketPath);
// Starts `enginePath` detached (it is not our child), with a pipe as its standard error. Returns the
// pipe's reading end (keep it open until registered, then close it), or -1 when the start failed.
int StartEngineProcess(const std::string& enginePath);
// The engine program to start: TOVU_ENGINE_BINARY, else tovu-engine beside this program, else
// tovu-engine on PATH.
std::string EngineProgramPath();
// Writes all bytes (blocking). False when the connection is gone.
bool WriteAll(int fd, const void* bytes, size_t count);
// Reads what is available, waiting up to timeoutMs (-1: without limit) for the first byte. Returns
// the byte count, 0 on timeout, -1 when the connection has closed.
long ReadSome(int fd, void* buffer, size_t capacity, int timeoutMs);
void CloseFd(int fd);
// Appends what a pipe holds (a started engine's standard error) to `text`, waiting up to timeoutMs
// for the first byte and never more than 4 KiB in all. True when the writing end has closed.
bool ReadPipeText(int fd, int timeoutMs, std::string* text);
int32_t ProcessId();

}  // namespace platform
