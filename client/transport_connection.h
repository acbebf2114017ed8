// What each system's connection gives the shared part of the client transport (transport.cpp), and
// the helpers both connections use. Internal to the client library.
#pragma once

#include <cstdint>
#include <string>

#include "client/transport.h"

namespace tovu::detail {

// Receives once, waiting up to timeoutMs (0: only what is there) for something to arrive, and
// delivers it into the inbox (and sent messages to the window procedure). False once the client is
// disconnected.
bool ReceiveOnce(Client& client, int timeoutMs);

// The engine's own lines among what its standard error carried ("tovu: ..." without that prefix,
// "tovu-engine: ..." and "Error: ..." whole).
std::string EngineLines(const std::string& text);

int64_t NowMs();

}  // namespace tovu::detail
