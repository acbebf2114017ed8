// Song slots: each client's two song images (current and next), the engine's own copies of what the
// client loaded, and the songs the playback has retired from them. Loading (copy-data 19 and 20)
// checks and copies a song outside the scheduler lock and fills the slot under it; the timer thread
// swaps the next song into the current slot when a continue switches; a departure frees both slots.
// A song the playback still reads (its state images point into it) is never freed: it is retired,
// and freed by the main thread once the playback has let go of it.
//
// A slot's life, drawn:
//
//     empty --load (19; 20 when not playing)--> current --load 20 while playing--> current + next
//     current + next --the switch of a continue (timer thread)--> current (the old current retired)
//     any --load of 0 bytes (19), departure--> empty (a song still played retired, not freed)
//     retired --the playback lets go (its stop, the next load or continue)--> freed
//
// Threads: the main thread loads and frees; the timer thread swaps inside a wake-up. The scheduler
// lock (PlaybackState::lock) guards every slot and the retired list; a client record, and so its
// slots, outlives any playback that reads them (a departure stops the playback first).
#pragma once

#include <cstdint>

struct PlaybackState;

constexpr int kRetiredSongCapacity = 16;

// A client's two slots. A record that goes away frees what its slots still hold.
struct SongSlots {
  uint8_t* current = nullptr;
  uint32_t currentSize = 0;
  uint8_t* next = nullptr;
  uint32_t nextSize = 0;

  SongSlots() = default;
  SongSlots(const SongSlots&) = delete;
  SongSlots& operator=(const SongSlots&) = delete;
  ~SongSlots();
};

// Songs taken out of their slots while the playback images may still point into them.
struct RetiredSongs {
  uint8_t* songs[kRetiredSongCapacity] = {};
  int count = 0;
};

// The engine's own copy of a song of `size` bytes, checked against `outputCount` output ports: 0
// with *copy set (null for no bytes), or the error code of notification 10 that refuses it (a
// malformed song, or no memory). Made outside the scheduler lock, so that checking a large song
// never holds up a wake-up.
uint32_t CopySong(const uint8_t* bytes, uint32_t size, int32_t outputCount, uint8_t** copy);
// Main thread (taking the scheduler lock): copy-data 19 empties both slots and puts `song` (null:
// none) in the current one; copy-data 20 while the client plays empties the next slot and puts it
// there. The slot owns the song from here.
void FillCurrentSlot(PlaybackState& playback, SongSlots& slots, uint8_t* song, uint32_t size);
void FillNextSlot(PlaybackState& playback, SongSlots& slots, uint8_t* song, uint32_t size);
// Main thread, a departure: empties both slots (taking the scheduler lock).
void FreeSongSlots(PlaybackState& playback, SongSlots& slots);

// Main thread, under the scheduler lock: frees a song taken out of a slot, or, when the playback may
// still point into it, keeps it until the playback has let go of it.
void ReleaseSong(PlaybackState& playback, uint8_t* song);
// Main thread, under the scheduler lock: frees the retired songs the playback no longer uses.
void FreeRetiredSongs(PlaybackState& playback);
// Timer thread, under the scheduler lock: the switch of a continue makes the next song current,
// retiring the old current song. Nothing changes when the next slot is empty.
void TakeNextSong(PlaybackState& playback, SongSlots& slots);
