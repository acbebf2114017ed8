// Shared helpers for the playback unit tests: owned state images, loading a built song into one,
// and playing a song forward the way the scheduler walks an image's cursor.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "playback/chase.h"
#include "playback/song_image.h"
#include "playback/state_image.h"

struct ImageDeleter {
  void operator()(StateImage* image) const { DestroyStateImage(image); }
};
using ImagePtr = std::unique_ptr<StateImage, ImageDeleter>;

inline ImagePtr NewImage(int32_t ports) {
  ImagePtr image(CreateStateImage(ports));
  if (image) ResetStateImage(*image);
  return image;
}

// Resets the image and loads the song's header into it.
inline void LoadSong(const std::vector<uint8_t>& song, StateImage& image) {
  ResetStateImage(image);
  LoadSongHeader(song.data(), image);
}

// Applies every event from the image's cursor with a tick before `until`, advancing the cursor as
// the scheduler does. Returns true when it stopped on an end marker.
inline bool PlayUntil(Ports& ports, PlaybackClock& clock, StateImage& image, int32_t until) {
  for (;;) {
    const uint8_t* p = image.eventCursor;
    uint32_t word = ReadU32(p + kEventWordOffset);
    if (EventCode(word) == kCodeEnd) return true;
    int32_t tick = ReadI32(p);
    if (tick >= until) return false;
    ApplyEvent(ports, clock, tick, word, image);
    image.eventCursor = p + kEventEntrySize;
  }
}

inline int32_t CursorTick(const StateImage& image) { return ReadI32(image.eventCursor); }
inline uint32_t CursorWord(const StateImage& image) { return ReadU32(image.eventCursor + kEventWordOffset); }
