// Seeking and state replay: the bridge between silently chased state images and the devices.
// SeekImages builds the state at a start position and at a loop start in one scan of the song;
// ReplayState sends a whole image (a start); ReplayDifferences sends what changes from one image to
// another (a loop wrap, a switch to the next song), releasing the old notes before striking the new;
// SilenceNotes releases every note an image holds; ReplayPortState sends one port's state without its
// notes (a device that came back). Results of the sends are ignored.
//
// Threads: the caller's: the main thread for a start and for setting thru, the timer thread for loop
// wraps and song switches.
#pragma once

#include <cstdint>

#include "playback/state_image.h"
#include "ports/ports.h"

// Resets both images, loads the song header and chases A to `startTick` and B to `loopStart`
// (negative: no loop; B is then the song at its header, cursor on the first event). The earlier
// position is chased first and the later one continues from a copy of it, so the song is scanned
// once. Stores the song's end tick in *songEndTick (when not null) and returns true when a chase
// reached the end marker. Both images come out with sysex mode 2 and the setup flag clear.
bool SeekImages(const uint8_t* song, int32_t startTick, int32_t loopStart, StateImage& a, StateImage& b,
                int32_t* songEndTick);

// Sends the image (the main thread, at a start): the sysex records passed (when its mode allows),
// then for each touched channel in port and channel order its RPN and NRPN values, bank, program,
// pitch bend, channel pressure, controllers, one note-on per stacked velocity, and poly pressure.
// The image is not changed. Everything is sent as the playback's.
void ReplayState(Ports& ports, const StateImage& image);

// Sends the state the image holds for one port (a device that came back while the song plays): the
// sysex records passed on that port (when the image's mode allows, as ReplayState), then for each
// touched channel of the port its RPN and NRPN values, bank, program, pitch bend, channel pressure
// and controllers (pedals among them): the song's state at the image's position, not its notes.
// The image is not changed. Everything is sent as the playback's.
void ReplayPortState(Ports& ports, const StateImage& image, uint32_t port);

// Sends what it takes to go from `old` to `next` (the timer thread: a loop wrap within one song, or
// a switch to the next song): the sysex records `next` has passed when it lies before `old` in the
// same song's sysex sequence, or, for another song, as a start would send them (each as its mode
// allows); then per channel touched in either image the values set in `next` that differ from `old`,
// and for each note the releases of what the playback holds of it (by the ledger) followed by the
// strikes of next's. Values that only `old` set are not sent. `old` loses its note stacks and keeps
// everything else; `next` is not changed. Everything is sent as the playback's.
void ReplayDifferences(Ports& ports, const StateImage& next, StateImage& old, bool sameSong = true);

// Releases every stacked velocity of every touched channel (one velocity-0 note-on each) and
// empties the stacks; touched flags stay.
void SilenceNotes(Ports& ports, StateImage& image);
