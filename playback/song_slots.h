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
// The functions that fill, empty, swap and retire slots work under the scheduler lock, so they are
// declared with the playback's state (playback/scheduler.h, "Song slots").
