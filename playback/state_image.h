// State images: everything the engine knows about a song at one tick (the timing in force, the
// position in the event array, the sysex events passed, and per output port and channel a snapshot
// of what the devices were last told). A seek builds one silently, a start replays it whole, a loop
// wrap or song switch replays the difference between two, and playback keeps the main one current.
//
// An image is a header followed by port count x 16 channel snapshots, port-major (port p, channel c
// is snapshot p * 16 + c). The port count is set when the image is created and grows with the
// output table (GrowStateImage, by the image's owner while no other thread uses it). Each image owns its
// parameter lists and its value arrays; the pointers into the song (event cursor, sysex block, RPN
// and NRPN records) are borrowed from the song slot and valid only while the slot holds the song.
// The value arrays exist exactly when their count is nonzero; when one cannot be allocated the count
// is set to 0 (those parameters are then not chased), so a nonzero count always has its arrays.
//
// Threads: an image has no lock. Its owner keeps its users apart: the playback images belong to the
// main thread while no playback timer runs and to the timer thread otherwise; the thru image to the
// MIDI input thread, reset by the thru command on the main thread.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kNoteStackDepth = 16;
constexpr uint8_t kNone7 = 255;         // a 7-bit value never set
constexpr uint16_t kNone16 = 0xFFFF;    // a 16-bit value never set
constexpr uint16_t kBendCentre = 0x4000;  // data 1 = 0, data 2 = 0x40

// The velocities of one note's note-ons still sounding, oldest first. Slot i of the stack (1 to
// count) is velocity[i - 1]; velocities above the count are 0.
struct NoteStack {
  uint8_t count;
  uint8_t velocity[kNoteStackDepth];
};
static_assert(sizeof(NoteStack) == 17);

struct ChannelSnapshot {
  uint8_t dirty;             // touched by any event since the reset
  uint8_t polyPressureSeen;  // a poly-pressure event was seen
  uint8_t program;           // 255 = none
  uint8_t channelPressure;   // 255 = none
  NoteStack notes[128];
  uint8_t controllers[128];   // 255 = none
  uint8_t polyPressure[128];  // 255 = none
  uint16_t pitchBend;         // data 1 + data 2 x 256; 0xFFFF = none
  uint16_t bank;              // bits 8-23 of the bank pseudo-status; 0xFFFF = none
  uint16_t* rpnValues;        // rpnCount entries in the owning image's block; 0xFFFF = none
  uint16_t* nrpnValues;
  uint8_t bankMode;  // 1 14-bit, 2 MSB, 3 LSB, 4 by program; 255 = none
};

struct StateImage {
  const uint8_t* eventCursor;  // next event entry to process; null until a song header is loaded
  int32_t ticksPerSixteenth;
  int32_t ticksPerMinute;
  int32_t timeSigTick;
  int32_t numerator;
  int32_t denominatorPower;
  int32_t ticksPerBar;
  int32_t ticksPerBeat;
  int32_t sysexPassed;
  int32_t setupSysexCount;
  uint32_t replaySysexFlag;
  uint32_t setupSysexFlag;
  int32_t sysexMode;  // 0 send with the setup held back, 1 send all, anything else send none
  const uint8_t* sysexBlock;
  const uint8_t* rpnRecords;
  const uint8_t* nrpnRecords;
  uint16_t rpnCount;
  uint16_t nrpnCount;
  uint16_t* rpnList;  // owned, rpnCount entries
  uint16_t* nrpnList;
  // Owned storage behind every snapshot's rpnValues / nrpnValues (snapshotCount x count entries).
  uint16_t* rpnValueBlock;
  uint16_t* nrpnValueBlock;
  int32_t portCount;  // fixed at creation
  int32_t snapshotCount;  // portCount x 16
  ChannelSnapshot* snapshots;  // owned, snapshotCount entries
};

inline ChannelSnapshot& SnapshotOf(StateImage& image, uint32_t port, uint32_t channel) {
  return image.snapshots[port * 16 + (channel & 15)];
}
inline const ChannelSnapshot& SnapshotOf(const StateImage& image, uint32_t port, uint32_t channel) {
  return image.snapshots[port * 16 + (channel & 15)];
}

// A zero-filled image for `outputCount` ports (no song, no touched channel, both counts 0), as the
// engine window creates them. Null when the count is negative or above 255, or memory runs out.
StateImage* CreateStateImage(int32_t outputCount);
// Makes room in the image for `portCount` ports (the output table has grown): the snapshots of the
// new ports are untouched, with every value none; the others and the header are kept. Does nothing
// when the image has that many already; false, with the image unchanged, when memory runs out.
bool GrowStateImage(StateImage& image, int32_t portCount);
// ReleaseStateArrays, then frees the image. Null is allowed.
void DestroyStateImage(StateImage* image);

// Frees the parameter lists and value arrays; both counts become 0.
void ReleaseStateArrays(StateImage& image);
// ReleaseStateArrays, then every field to its reset value: no song, 30 ticks per sixteenth, 14400
// ticks per minute, 4/4 (480 per bar, 120 per beat), sysex mode 2, every snapshot untouched with
// empty note stacks, centred pitch bend and every other value none.
void ResetStateImage(StateImage& image);
// On a freshly reset image: takes over the song's resolution, time signature, sysex fields, record
// areas and parameter lists (each snapshot's values none), and puts the cursor on the first event.
// The song must have passed ValidateSongImage. Returns the song's end tick.
int32_t LoadSongHeader(const uint8_t* song, StateImage& image);
// Makes `dst` equal to `src` with arrays of its own; reuses dst's arrays when the counts agree.
// Both images must have the same port count (all engine images do); otherwise only the header and
// the snapshots of the ports both have are copied.
void CopyStateImage(StateImage& dst, const StateImage& src);

// A note-on: pushes the velocity unless 16 are stacked already (the 17th is lost).
void PushNote(ChannelSnapshot& snapshot, uint32_t note, uint8_t velocity);
// A release: drops the most recent velocity; nothing on an empty stack.
void PopNote(ChannelSnapshot& snapshot, uint32_t note);
