// Each client's ports and song slots: open-ports requests with their reply, closing, song loads
// (checked once at load), the tempo factor and the input filter. Main thread only.
#include <cmath>
#include <cstring>
#include <new>

#include "host/engine.h"
#include "platform/wire.h"
#include "playback/song_image.h"

namespace {

void FreeSlot(uint8_t*& song, uint32_t& size) {
  delete[] song;
  song = nullptr;
  size = 0;
}

// Copies a song into a slot after checking it; a refused song leaves the slot empty and the client
// is told with notification 10.
void FillSlot(Engine& engine, uint32_t window, uint8_t*& song, uint32_t& songSize, uint32_t size,
              const uint8_t* bytes) {
  if (!ValidateSongImage(bytes, size, engine.ports.outputCount)) {
    PostNotification(engine, window, kNotifyFailed, kErrorMalformedSong);
    return;
  }
  uint8_t* copy = new (std::nothrow) uint8_t[size];
  if (!copy) {
    PostNotification(engine, window, kNotifyFailed, kErrorOutOfMemory);
    return;
  }
  memcpy(copy, bytes, size);
  song = copy;
  songSize = size;
}

}  // namespace

void OpenClientPorts(Engine& engine, uint32_t window, const uint8_t* request) {
  CloseClientPorts(engine, window);
  int32_t n = static_cast<int32_t>(platform::LoadLe32(request + 4));
  if (n == 0) return;
  // The request and the record have room for 256 outputs; other counts are clamped to 0-256.
  int32_t wanted = n < 0 ? 0 : (n > kMaxClientOutputs ? kMaxClientOutputs : n);

  uint8_t reply[kOpenPortsSize] = {};
  platform::StoreLe32(reply, window);
  platform::StoreLe32(reply + 4, static_cast<uint32_t>(n));
  platform::StoreLe32(reply + 1032, static_cast<uint32_t>(-1));

  ClientRecord* client = ClientOf(engine, window);
  if (!client) {
    platform::StoreLe32(reply + 8, 1);
  } else {
    for (int32_t j = 0; j < wanted; ++j) {
      int port = FindOutputPortByDevice(engine.ports, platform::LoadLe32(request + 8 + 4 * j));
      int32_t result = 2;
      if (port >= 0) {
        result = engine.ports.outputs[port].Open();
        if (result == 0) client->outputs[client->outputCount++] = port;
      }
      platform::StoreLe32(reply + 8 + 4 * j, static_cast<uint32_t>(result));
    }
    int32_t inputDevice = static_cast<int32_t>(platform::LoadLe32(request + 1032));
    if (inputDevice != -1) {
      int port = FindInputPortByDevice(engine.ports, static_cast<uint32_t>(inputDevice));
      int32_t result = 2;
      if (port >= 0) {
        result = engine.ports.inputs[port].Open(engine.ports.inputCallback, engine.ports.inputInstance);
        if (result == 0) client->inputPort.store(port);
      }
      platform::StoreLe32(reply + 1032, static_cast<uint32_t>(result));
    }
    client->channelMask.store(platform::LoadLe32(request + 1064));
    client->inputFlags.store(platform::LoadLe32(request + 1068));
    // Both ports were closed above; this client becomes the thru owner when thru is set.
    ReapplyThru(engine, window);
    ReapplyMetronome(engine);
  }
  SendCopyData(engine, window, 13, reply, sizeof reply);
}

void CloseClientPorts(Engine& engine, uint32_t window) {
  ClientRecord* client = ClientOf(engine, window);
  if (!client) return;
  StopPlayback(engine, window);
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
  PostNotification(engine, window, kNotifyPortsClosed, 0);
}

void LoadSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  ClientRecord* client = ClientOf(engine, window);
  if (!client) {
    PostNotification(engine, window, kNotifyFailed, kErrorNotRegistered);
    return;
  }
  FreeSlot(client->currentSong, client->currentSongSize);
  FreeSlot(client->nextSong, client->nextSongSize);
  if (size == 0 || !bytes) return;
  FillSlot(engine, window, client->currentSong, client->currentSongSize, size, bytes);
}

void LoadNextSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  if (engine.playback.playingClient.load() != window) {
    LoadSong(engine, window, size, bytes);
    return;
  }
  ClientRecord* client = ClientOf(engine, window);
  if (!client) {
    PostNotification(engine, window, kNotifyFailed, kErrorNotRegistered);
    return;
  }
  FreeSlot(client->nextSong, client->nextSongSize);
  if (size == 0 || !bytes) return;
  FillSlot(engine, window, client->nextSong, client->nextSongSize, size, bytes);
}

void SetTempoFactor(Engine& engine, uint32_t window, const uint8_t* payload) {
  ClientRecord* client = ClientOf(engine, window);
  if (!client) return;
  double factor;
  memcpy(&factor, payload, 8);
  // A factor that is not a finite number above 0 would stop or reverse the clock: it is ignored.
  if (!std::isfinite(factor) || factor <= 0.0) return;
  client->tempoFactor = factor;
  if (engine.playback.playingClient.load() == window) SetPlaybackTempoFactor(engine, factor);
}

void SetInputFilter(Engine& engine, uint32_t window, const uint8_t* payload) {
  ClientRecord* client = ClientOf(engine, window);
  if (!client) return;
  client->channelMask.store(platform::LoadLe32(payload));
  client->inputFlags.store(platform::LoadLe32(payload + 4));
}
