// The engine's message catalogue as the engine bus carries it: message numbers, notification codes
// and the error codes of notification 10. One definition, shared by the engine and by every client
// program (through tovu_client.h).
#pragma once

#include <cstdint>

namespace tovu::protocol {

// Message numbers.
constexpr uint32_t kEngineCommand = 1624;    // commands to the engine; notifications to clients
constexpr uint32_t kPositionMessage = 1625;  // playback position, sent to the playing client
constexpr uint32_t kStartMessage = 1626;     // a start or continue was accepted
constexpr uint32_t kWmCopyData = 0x004A;
constexpr uint32_t kWmClose = 0x0010;

// Notification codes (engine command message posted to a client, wParam = code).
enum Notification : uint32_t {
  kNotifyStopped = 5,       // lParam 1 for the client whose playback stopped, 0 for the others
  kNotifyFailed = 10,       // lParam = error code below
  kNotifyEnded = 12,        // the playback came to its end by itself
  kNotifyPortsClosed = 14,  // lParam 0: this client's ports closed; 1: the engine is shutting down
  kNotifyStarted = 21,      // lParam 1 for the client that started, 0 for the others
};

// Error codes carried by notification 10.
enum ErrorCode : uint32_t {
  kErrorNotRegistered = 1,
  kErrorSongSlotEmpty = 2,
  kErrorNoInputPort = 3,
  kErrorBadLoop = 10,
  kErrorAlreadyPlaying = 11,
  kErrorOutOfMemory = 12,   // a song copy could not be made; after a take: input was lost (take_reader.h)
  kErrorMalformedSong = 13,  // the song image breaks the format's limits; the slot stays empty
  kErrorNoOutputPorts = 14,  // a start on an engine without any output port: nothing can play
};

}  // namespace tovu::protocol
