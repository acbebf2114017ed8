// Moving a state image forward through a song's events. ChaseTo does it silently up to a target
// tick (a seek); ApplyEvent does it for one event and sends the event on the way (playback, thru),
// turning the engine's own codes (bank pseudo-statuses, sysex, RPN and NRPN references) into MIDI
// and re-anchoring the playback clock on a tempo event. Both read a packed event through the same
// channel, parameter and time-signature updates, so a chased image and a played one agree.
//
// The snapshot updates are bounded by the image's port count: an event naming a port the image has
// no snapshot for (or an RPN/NRPN record naming a channel above 15) changes no snapshot, while its
// send still goes to the output path, which refuses the port. Validated songs contain no such event;
// the bound keeps other callers (thru) from writing outside the image.
//
// Threads: ChaseTo runs on the thread of the seek (main thread at a start, timer thread at a song
// switch). ApplyEvent runs on the timer thread with the main image and on the MIDI input thread with
// the thru image.
#pragma once

#include <cstdint>

#include "playback/clock.h"
#include "playback/state_image.h"
#include "ports/ports.h"

// Takes every event from the image's cursor with a tick before `target`, then the note releases,
// tempo and time-signature events exactly at `target`, and leaves the cursor on the first entry at
// or after `target` (or on an end marker met before it): the entries at `target` stay ahead of the
// cursor for whoever walks on. Sends nothing. Returns true when an end marker at or before `target`
// was reached. The image must have a song header loaded (or be a copy of one that has).
bool ChaseTo(int32_t target, StateImage& image);

// The two halves of ChaseTo, for a seek that copies an image between them. ChaseBefore takes the
// events before `target` and moves the cursor (true: it stopped on an end marker); ChaseAt then
// takes the releases, tempo and time signatures exactly at `target` without moving the cursor
// (true: an end marker lies at `target`). A copy taken between the two and chased on to a later
// tick takes the entries at `target` once, as events before its own target, and so matches a
// chase straight to that tick; a copy taken after ChaseAt would pop the releases at `target` a
// second time and lose a stacked velocity.
bool ChaseBefore(int32_t target, StateImage& image);
bool ChaseAt(int32_t target, StateImage& image);

// Applies one event at `tick` to the image and sends it for `owner` (a sysex reference without
// allocating: it waits in its port's own buffer or is refused). Sysex references are sent by the
// image's sysex mode; a tempo event sets the image's ticks per minute from the clock's position step
// and re-anchors the clock at `tick`'s due time. Words with top byte 0xFF (end markers among them) do
// nothing. Sysex, RPN, NRPN and time-signature codes need an image with a song loaded; on one
// without, the record references are ignored. Returns the first refusal of its sends (0 none).
int ApplyEvent(Ports& ports, PlaybackClock& clock, int32_t tick, uint32_t word, StateImage& image,
               Owner owner = kOwnerPlayback);

// The output port index an event would send to when applied now (a sysex reference only when the
// image's sysex mode lets it through), or -1 when it sends nothing; and what it would send there:
// the length of that sysex message (else 0) and how many short messages at most.
int32_t EventOutputPort(const StateImage& image, uint32_t word, uint32_t* sysexBytes = nullptr,
                        uint32_t* shortMessages = nullptr);

// The messages that set a bank by its mode (1 controller 0 then 32 from the 14-bit value, 2
// controller 0, 3 controller 32, 4 program change); any other mode sends nothing. Shared by event
// application and the state replays.
void SendBank(Ports& ports, uint32_t port, uint32_t channel, uint32_t mode, uint32_t value, Owner owner);
