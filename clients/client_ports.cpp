// Each client's ports and song slots: open-ports requests with their reply, closing, song loads
// (checked once at load), the tempo factor and the input filter. Main thread only.
#include <cmath>
#include <cstring>
#include <new>

#include "host/engine.h"
#include "platform/wire.h"
#include "playback/song_image.h"

namespace {

// Under the scheduler lock: empties a slot. A song the playback still plays from is kept by the
// playback until it lets go of it.
void FreeSlot(Engine& engine, uint8_t*& song, uint32_t& size) {
  ReleaseSong(engine.playback, song);
  song = nullptr;
  size = 0;
}

// The engine's own copy of a song after checking it, or null when there is none to load (no bytes)
// or it is refused: the client is told with notification 10. Made outside the scheduler lock, so
// that checking a large song never holds up a wake-up.
uint8_t* CopySong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  if (size == 0 || !bytes) return nullptr;
  if (!ValidateSongImage(bytes, size, engine.ports.outputCount)) {
    PostNotification(engine, window, kNotifyFailed, kErrorMalformedSong);
    return nullptr;
  }
  uint8_t* copy = new (std::nothrow) uint8_t[size];
  if (!copy) {
    PostNotification(engine, window, kNotifyFailed, kErrorOutOfMemory);
    return nullptr;
  }
  memcpy(copy, bytes, size);
  return copy;
}

}  // namespace

void OpenClientPorts(Engine& engine, uint32_t window, const uint8_t* request) {
  CloseClientPorts(engine, window);
  int32_t n = static_cast<int32_t>(platform::LoadLe32(request + kOpenPortsCountOffset));
  if (n == 0) return;
  // The request and the record have room for 256 outputs; other counts are clamped to 0-256.
  int32_t wanted = n < 0 ? 0 : (n > kMaxClientOutputs ? kMaxClientOutputs : n);

  uint8_t reply[kOpenPortsSize] = {};
  platform::StoreLe32(reply + kOpenPortsWindowOffset, window);
  platform::StoreLe32(reply + kOpenPortsCountOffset, static_cast<uint32_t>(n));
  platform::StoreLe32(reply + kOpenPortsInputOffset, static_cast<uint32_t>(kNoInputDevice));

  ClientRecord* client = ClientOf(engine, window);
  if (!client) {
    platform::StoreLe32(reply + kOpenPortsOutputsOffset, kPortNotRegistered);
  } else {
    for (int32_t j = 0; j < wanted; ++j) {
      int port = FindOutputPortByDevice(engine.ports, platform::LoadLe32(request + kOpenPortsOutputsOffset + 4 * j));
      int32_t result = kPortNoDevice;
      if (port >= 0) {
        result = engine.ports.outputs[port].Open();
        if (result == 0) client->outputs[client->outputCount++] = port;
      }
      platform::StoreLe32(reply + kOpenPortsOutputsOffset + 4 * j, static_cast<uint32_t>(result));
    }
    int32_t inputDevice = static_cast<int32_t>(platform::LoadLe32(request + kOpenPortsInputOffset));
    if (inputDevice != kNoInputDevice) {
      int port = FindInputPortByDevice(engine.ports, static_cast<uint32_t>(inputDevice));
      int32_t result = kPortNoDevice;
      if (port >= 0) {
        result = engine.ports.inputs[port].Open(engine.ports.inputCallback, engine.ports.inputInstance);
        if (result == 0) client->inputPort.store(port);
      }
      platform::StoreLe32(reply + kOpenPortsInputOffset, static_cast<uint32_t>(result));
    }
    client->channelMask.store(platform::LoadLe32(request + kOpenPortsChannelMaskOffset));
    client->inputFlags.store(platform::LoadLe32(request + kOpenPortsInputFlagsOffset));
    // Both ports were closed above; this client becomes the thru owner when thru is set.
    ReapplyThru(engine, window);
    ReapplyMetronome(engine);
  }
  SendCopyData(engine, window, kCopyOpenPorts, reply, sizeof reply);
}

void CloseClientPorts(Engine& engine, uint32_t window) {
  if (!ClientOf(engine, window)) return;
  StopPlayback(engine, window);
  // The stop sends to clients, and their handlers may have unregistered this one meanwhile.
  ClientRecord* client = ClientOf(engine, window);
  if (!client) return;
  // The sounding click and the notes thru holds are ended on their ports before those close.
  ReleaseMetronomePort(engine);
  ReleaseThruPort(engine);
  for (int32_t j = 0; j < client->outputCount; ++j) {
    engine.ports.outputs[client->outputs[j]].Close();
    client->outputs[j] = -1;
  }
  client->outputCount = 0;
  int32_t input = client->inputPort.load();
  if (input != -1) {
    engine.ports.inputs[input].Close();
    client->inputPort.store(-1);
  }
  PostNotification(engine, window, kNotifyPortsClosed, kPortsClosedClient);
}

void LoadSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  ClientRecord* client = ClientOf(engine, window);
  if (!client) {
    PostNotification(engine, window, kNotifyFailed, kErrorNotRegistered);
    return;
  }
  uint8_t* copy = CopySong(engine, window, size, bytes);
  std::lock_guard<std::mutex> guard(engine.playback.lock);
  FreeSlot(engine, client->currentSong, client->currentSongSize);
  FreeSlot(engine, client->nextSong, client->nextSongSize);
  if (!copy) return;
  client->currentSong = copy;
  client->currentSongSize = size;
}

void LoadNextSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  // A client whose start is under way (it is handling the start message) counts as playing.
  bool playing = window != 0 && (engine.playback.playingClient.load() == window || engine.playback.starting == window);
  if (!playing) {
    LoadSong(engine, window, size, bytes);
    return;
  }
  ClientRecord* client = ClientOf(engine, window);
  if (!client) {
    PostNotification(engine, window, kNotifyFailed, kErrorNotRegistered);
    return;
  }
  uint8_t* copy = CopySong(engine, window, size, bytes);
  std::lock_guard<std::mutex> guard(engine.playback.lock);
  FreeSlot(engine, client->nextSong, client->nextSongSize);
  if (!copy) return;
  client->nextSong = copy;
  client->nextSongSize = size;
}

void SetTempoFactor(Engine& engine, uint32_t window, const uint8_t* payload) {
  ClientRecord* client = ClientOf(engine, window);
  if (!client) return;
  double factor;
  memcpy(&factor, payload, kTempoFactorSize);
  // A factor that is not a finite number above 0 would stop or reverse the clock: it plays at 1.0.
  // (The clock also holds factors to its range, ClockTempoFactor.)
  if (!std::isfinite(factor) || factor <= 0.0) factor = 1.0;
  client->tempoFactor = factor;
  if (engine.playback.playingClient.load() == window) SetPlaybackTempoFactor(engine, factor);
}

void SetInputFilter(Engine& engine, uint32_t window, const uint8_t* payload) {
  ClientRecord* client = ClientOf(engine, window);
  if (!client) return;
  client->channelMask.store(platform::LoadLe32(payload + kFilterChannelMaskOffset));
  client->inputFlags.store(platform::LoadLe32(payload + kFilterFlagsOffset));
  InputFilterChanged(engine, window);
}
