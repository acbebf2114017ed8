// The client side of the engine bus at the socket level (Linux): connecting, and blocking reads and
// writes with time limits. The client library builds on this; the engine start it falls back on
// is engine_start.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/engine_start.h"

namespace platform {

constexpr int kBusRefused = -2;
// Connects to the bus path; -1 when nothing answers; kBusRefused when the socket's directory is not
// private to this user or the engine that answers runs as another user (never talk to it, never
// start an engine in its place).
int BusConnect(const std::string& socketPath);
// Writes all bytes (blocking). False when the connection is gone.
bool WriteAll(int fd, const void* bytes, size_t count);
// Reads what is available, waiting up to timeoutMs (-1: without limit) for the first byte. Returns
// the byte count, 0 on timeout, -1 when the connection has closed.
long ReadSome(int fd, void* buffer, size_t capacity, int timeoutMs);
void CloseFd(int fd);

}  // namespace platform
