// Song slots: loading, swapping, retiring and freeing the song images. See song_slots.h.
#include "playback/song_slots.h"

#include <cstring>
#include <new>

#include "host/engine.h"
#include "playback/song_image.h"
#include "status/outbox.h"

namespace {

// Under the scheduler lock: empties a slot.
void EmptySlot(PlaybackState& p, uint8_t*& song, uint32_t& size) {
  ReleaseSong(p, song);
  song = nullptr;
  size = 0;
}

// The engine's own copy of a song after checking it, or null when there is none to load (no bytes)
// or it is refused: the client is told with notification 10. Made outside the scheduler lock, so
// that checking a large song never holds up a wake-up.
uint8_t* CopySong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  if (size == 0 || !bytes) return nullptr;
  if (!ValidateSongImage(bytes, size, engine.ports.outputCount)) {
    PostNotification(engine.bus, window, kNotifyFailed, kErrorMalformedSong);
    return nullptr;
  }
  uint8_t* copy = new (std::nothrow) uint8_t[size];
  if (!copy) {
    PostNotification(engine.bus, window, kNotifyFailed, kErrorOutOfMemory);
    return nullptr;
  }
  memcpy(copy, bytes, size);
  return copy;
}

// The slots of a registered `window`, or null after telling it that it is not registered.
SongSlots* SlotsOf(Engine& engine, uint32_t window) {
  ClientRecord* client = ClientOf(engine.clients, window);
  if (!client) PostNotification(engine.bus, window, kNotifyFailed, kErrorNotRegistered);
  return client ? &client->songs : nullptr;
}

}  // namespace

SongSlots::~SongSlots() {
  delete[] current;
  delete[] next;
}

void LoadSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  SongSlots* slots = SlotsOf(engine, window);
  if (!slots) return;
  uint8_t* copy = CopySong(engine, window, size, bytes);
  EngineLock guard(engine.playback.lock, LockKind::kScheduler);
  EmptySlot(engine.playback, slots->current, slots->currentSize);
  EmptySlot(engine.playback, slots->next, slots->nextSize);
  if (!copy) return;
  slots->current = copy;
  slots->currentSize = size;
}

void LoadNextSong(Engine& engine, uint32_t window, uint32_t size, const uint8_t* bytes) {
  // A client whose start is under way (it is handling the start message) counts as playing.
  const PlaybackState& p = engine.playback;
  bool playing = window != 0 && (p.playingClient.load() == window || p.starting == window);
  if (!playing) {
    LoadSong(engine, window, size, bytes);
    return;
  }
  SongSlots* slots = SlotsOf(engine, window);
  if (!slots) return;
  uint8_t* copy = CopySong(engine, window, size, bytes);
  EngineLock guard(engine.playback.lock, LockKind::kScheduler);
  EmptySlot(engine.playback, slots->next, slots->nextSize);
  if (!copy) return;
  slots->next = copy;
  slots->nextSize = size;
}

void FreeSongSlots(PlaybackState& p, SongSlots& slots) {
  EngineLock guard(p.lock, LockKind::kScheduler);
  EmptySlot(p, slots.current, slots.currentSize);
  EmptySlot(p, slots.next, slots.nextSize);
}

void ReleaseSong(PlaybackState& p, uint8_t* song) {
  if (!song) return;
  FreeRetiredSongs(p);
  RetiredSongs& r = p.retired;
  if (p.playingClient.load() != 0 && song == p.song && r.count < kRetiredSongCapacity) {
    r.songs[r.count++] = song;
    return;
  }
  delete[] song;
}

void FreeRetiredSongs(PlaybackState& p) {
  RetiredSongs& r = p.retired;
  bool playing = p.playingClient.load() != 0;
  int kept = 0;
  for (int i = 0; i < r.count; ++i) {
    if (playing && r.songs[i] == p.song)
      r.songs[kept++] = r.songs[i];
    else
      delete[] r.songs[i];
  }
  for (int i = kept; i < r.count; ++i) r.songs[i] = nullptr;
  r.count = kept;
}

void TakeNextSong(PlaybackState& p, SongSlots& slots) {
  if (!slots.next) return;
  RetiredSongs& r = p.retired;
  if (slots.current) {
    if (r.count < kRetiredSongCapacity)
      r.songs[r.count++] = slots.current;
    else
      delete[] slots.current;  // no main-thread command came for many switches; nothing points into it
  }
  slots.current = slots.next;
  slots.currentSize = slots.nextSize;
  slots.next = nullptr;
  slots.nextSize = 0;
}
