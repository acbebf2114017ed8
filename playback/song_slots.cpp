// Song slots: loading, swapping, retiring and freeing the song images. See song_slots.h.
#include "playback/song_slots.h"

#include <cstring>
#include <new>

#include "playback/scheduler.h"
#include "playback/song_image.h"
#include "locks/locks.h"

namespace {

// Empties a slot.
void EmptySlot(PlaybackState& p, uint8_t*& song, uint32_t& size) REQUIRES(p.lock) {
  ReleaseSong(p, song);
  song = nullptr;
  size = 0;
}

}  // namespace

SongSlots::~SongSlots() {
  delete[] current;
  delete[] next;
}

uint32_t CopySong(const uint8_t* bytes, uint32_t size, int32_t outputCount, uint8_t** copy) {
  *copy = nullptr;
  if (size == 0 || !bytes) return 0;
  if (!ValidateSongImage(bytes, size, outputCount)) return tovu::protocol::kErrorMalformedSong;
  *copy = new (std::nothrow) uint8_t[size];
  if (!*copy) return tovu::protocol::kErrorOutOfMemory;
  memcpy(*copy, bytes, size);
  return 0;
}

void FillCurrentSlot(PlaybackState& p, SongSlots& slots, uint8_t* song, uint32_t size) {
  EngineLock guard(p.lock, LockKind::kScheduler);
  EmptySlot(p, slots.current, slots.currentSize);
  EmptySlot(p, slots.next, slots.nextSize);
  if (!song) return;
  slots.current = song;
  slots.currentSize = size;
}

void FillNextSlot(PlaybackState& p, SongSlots& slots, uint8_t* song, uint32_t size) {
  EngineLock guard(p.lock, LockKind::kScheduler);
  EmptySlot(p, slots.next, slots.nextSize);
  if (!song) return;
  slots.next = song;
  slots.nextSize = size;
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
