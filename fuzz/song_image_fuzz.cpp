// Fuzz harness: the song-image validator, then everything playback does with an image it accepted.
//
// Input: one byte choosing the port count the image is validated for (1-3), two 32-bit ticks (start
// and loop start), then the image itself, copied to a buffer of exactly its size so that a read past
// its end is caught. An accepted image is sought to both ticks, replayed whole, replayed as the
// difference between the two positions (a loop wrap), played forward event by event as the timer
// thread does, sought again from its start (a song switch) and silenced. Sends go to in-process
// virtual outputs. Nothing may read or write outside the image or the state images.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/event.h"
#include "platform/midi.h"
#include "playback/chase.h"
#include "playback/clock.h"
#include "playback/seek.h"
#include "playback/song_image.h"
#include "playback/state_image.h"
#include "ports/ports.h"

namespace {

constexpr int32_t kPorts = 3;

struct World {
  Ports ports;
  platform::Event activity;
  StateImage* a = nullptr;
  StateImage* b = nullptr;
  StateImage* c = nullptr;
  PlaybackClock clock;
};

World& TheWorld() {
  static World* w = [] {
    World* world = new World;
    platform::VirtualMidiConfig config;
    for (int i = 0; i < kPorts; ++i) config.outputs.push_back("Fuzz Out " + std::to_string(i + 1));
    platform::MidiStartVirtual(config);
    platform::EventCreate(&world->activity);
    BuildPortTables(world->ports);
    world->ports.activityEvent = &world->activity;
    for (int i = 0; i < world->ports.outputCount; ++i) world->ports.outputs[i].Open();
    world->a = CreateStateImage(kPorts);
    world->b = CreateStateImage(kPorts);
    world->c = CreateStateImage(kPorts);
    return world;
  }();
  return *w;
}

int32_t TakeI32(const uint8_t*& p) {
  int32_t v;
  memcpy(&v, p, 4);
  p += 4;
  return v;
}

// Walks the image from the cursor the way the scheduler does, for at most `budget` events.
void PlayForward(World& w, StateImage& image, int budget) {
  for (int i = 0; i < budget; ++i) {
    const uint8_t* p = image.eventCursor;
    uint32_t word = ReadU32(p + kEventWordOffset);
    if (EventCode(word) == kCodeEnd) return;
    ApplyEvent(w.ports, w.clock, ReadI32(p), word, image);
    image.eventCursor = p + kEventEntrySize;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  World& w = TheWorld();
  const uint8_t* p = data;
  int32_t validatedPorts = 1 + *p++ % kPorts;
  int32_t start = TakeI32(p);
  int32_t loop = TakeI32(p);
  size_t imageSize = size - 9;
  std::unique_ptr<uint8_t[]> image(new uint8_t[imageSize ? imageSize : 1]);
  if (imageSize) memcpy(image.get(), p, imageSize);

  if (!ValidateSongImage(image.get(), imageSize, validatedPorts)) return 0;
  const uint8_t* song = image.get();

  int32_t end = 0;
  SeekImages(song, start, loop, *w.a, *w.b, &end);
  ReplayState(w.ports, *w.a);
  PlayForward(w, *w.a, 64);
  // The loop wraps: from where A got to back to B, and playing goes on from a copy of B.
  ReplayDifferences(w.ports, *w.b, *w.a);
  CopyStateImage(*w.a, *w.b);
  PlayForward(w, *w.a, 64);
  // A switch to the same song from its start, then a stop.
  SeekImages(song, 0, -1, *w.b, *w.c, nullptr);
  ReplayDifferences(w.ports, *w.b, *w.a);
  SilenceNotes(w.ports, *w.a);
  SilenceNotes(w.ports, *w.b);
  // Leave no image pointing into the song that is about to be freed.
  ResetStateImage(*w.a);
  ResetStateImage(*w.b);
  ResetStateImage(*w.c);
  return 0;
}
