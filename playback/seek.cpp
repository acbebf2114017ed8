// Seek and state replay. See seek.h.
//
// Threads: the main thread (start, thru) or the timer thread (loop wrap, song switch).
#include "playback/seek.h"

#include <algorithm>

#include "playback/chase.h"
#include "playback/song_image.h"

namespace {

// Every message a replay sends is the playback's.
inline void Send(Ports& ports, uint32_t port, uint32_t status, uint32_t data1, uint32_t data2) {
  SendShortMessage(ports, port << 24 | status | data1 << 8 | data2 << 16, kOwnerPlayback);
}

// Sends the first `count` records of a sysex block in block order: on the main thread (a start) a
// record that must wait is copied, on the timer thread (a wrap, a switch) it waits in its port's own
// buffer.
// Only the records of port `only` when it is not kNoPortIndex.
void SendSysexRecords(Ports& ports, const uint8_t* block, int32_t count, SysexCopy copy,
                      uint32_t only = kNoPortIndex) {
  if (!block) return;
  const uint8_t* record = block;
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t length = ReadU32(record + 1);
    if (only == kNoPortIndex || record[0] == only)
      SendSysexOnPort(ports, length, record + kSysexRecordHeaderSize, record[0], kOwnerPlayback, copy);
    record += kSysexRecordHeaderSize + length;
  }
}

// Whether a start's replay sends the sysex records the image has passed.
bool ReplaysSysex(const StateImage& image) {
  return image.sysexPassed > 0 &&
         (image.sysexMode == 1 || (image.sysexMode == 0 && (image.setupSysexFlag != 0 || image.replaySysexFlag != 0)));
}

// Sends one note-on per stacked velocity of one note, oldest first.
void StrikeNote(Ports& ports, uint32_t port, uint32_t channel, uint32_t note, const NoteStack& stack) {
  for (int i = 0; i < stack.count && i < kNoteStackDepth; ++i)
    Send(ports, port, 0x90 | channel, note, stack.velocity[i]);
}

// Releases what the playback holds of one note, by the ledger (or what the stack counts when
// nobody holds the note any more: the song ended it with a note-off its state does not count), and
// empties the stack.
void ReleaseNote(Ports& ports, uint32_t port, uint32_t channel, uint32_t note, NoteStack& stack) {
  ReleaseKey(ports, static_cast<int32_t>(port), channel, note, kOwnerPlayback, std::min<int>(stack.count, kNoteStackDepth));
  for (uint8_t& v : stack.velocity) v = 0;
  stack.count = 0;
}

// A channel's state; its notes and poly pressure only `withNotes`.
void ReplayChannel(Ports& ports, const StateImage& image, const ChannelSnapshot& s, uint32_t port,
                   uint32_t channel, bool withNotes = true) {
  const uint32_t base = port << 24 | channel;
  for (uint16_t k = 0; k < image.rpnCount; ++k)
    if (s.rpnValues[k] != kNone16) SendRpn(ports, base, image.rpnList[k], s.rpnValues[k], kOwnerPlayback);
  for (uint16_t k = 0; k < image.nrpnCount; ++k)
    if (s.nrpnValues[k] != kNone16) SendNrpn(ports, base, image.nrpnList[k], s.nrpnValues[k], kOwnerPlayback);
  if (s.bank != kNone16) SendBank(ports, port, channel, s.bankMode, s.bank, kOwnerPlayback);
  if (s.program != kNone7) Send(ports, port, 0xC0 | channel, s.program, 0);
  if (s.pitchBend != kNone16) Send(ports, port, 0xE0 | channel, s.pitchBend & 0xFF, s.pitchBend >> 8);
  if (s.channelPressure != kNone7) Send(ports, port, 0xD0 | channel, s.channelPressure, 0);
  for (uint32_t c = 0; c < 128; ++c)
    if (s.controllers[c] != kNone7) Send(ports, port, 0xB0 | channel, c, s.controllers[c]);
  if (!withNotes) return;
  for (uint32_t n = 0; n < 128; ++n) StrikeNote(ports, port, channel, n, s.notes[n]);
  if (s.polyPressureSeen)
    for (uint32_t n = 0; n < 128; ++n)
      if (s.polyPressure[n] != kNone7) Send(ports, port, 0xA0 | channel, n, s.polyPressure[n]);
}

// The RPN (or NRPN) values of `next` that `old` lists with a different value. A parameter that
// `old` does not list, or whose matching entries all hold the same value, is not sent.
void ReplayParameterDifferences(Ports& ports, uint32_t base, bool nrpn, const StateImage& next,
                                const ChannelSnapshot& n, const StateImage& old, const ChannelSnapshot& o) {
  const uint16_t nextCount = nrpn ? next.nrpnCount : next.rpnCount;
  const uint16_t* nextList = nrpn ? next.nrpnList : next.rpnList;
  const uint16_t* nextValues = nrpn ? n.nrpnValues : n.rpnValues;
  const uint16_t oldCount = nrpn ? old.nrpnCount : old.rpnCount;
  const uint16_t* oldList = nrpn ? old.nrpnList : old.rpnList;
  const uint16_t* oldValues = nrpn ? o.nrpnValues : o.rpnValues;
  for (uint16_t k = 0; k < nextCount; ++k) {
    const uint16_t value = nextValues[k];
    if (value == kNone16) continue;
    for (uint16_t j = 0; j < oldCount; ++j) {
      if (oldList[j] == nextList[k] && oldValues[j] != value) {
        if (nrpn)
          SendNrpn(ports, base, nextList[k], value, kOwnerPlayback);
        else
          SendRpn(ports, base, nextList[k], value, kOwnerPlayback);
        break;
      }
    }
  }
}

void ReplayChannelDifferences(Ports& ports, const StateImage& next, const ChannelSnapshot& n,
                              StateImage& old, ChannelSnapshot& o, uint32_t port, uint32_t channel) {
  const uint32_t base = port << 24 | channel;
  ReplayParameterDifferences(ports, base, false, next, n, old, o);
  ReplayParameterDifferences(ports, base, true, next, n, old, o);
  if (n.bank != kNone16 && (n.bank != o.bank || n.bankMode != o.bankMode))
    SendBank(ports, port, channel, n.bankMode, n.bank, kOwnerPlayback);
  if (n.program != kNone7 && n.program != o.program) Send(ports, port, 0xC0 | channel, n.program, 0);
  if (n.pitchBend != kNone16 && n.pitchBend != o.pitchBend)
    Send(ports, port, 0xE0 | channel, n.pitchBend & 0xFF, n.pitchBend >> 8);
  if (n.channelPressure != kNone7 && n.channelPressure != o.channelPressure)
    Send(ports, port, 0xD0 | channel, n.channelPressure, 0);
  for (uint32_t c = 0; c < 128; ++c)
    if (n.controllers[c] != kNone7 && n.controllers[c] != o.controllers[c])
      Send(ports, port, 0xB0 | channel, c, n.controllers[c]);
  for (uint32_t note = 0; note < 128; ++note) {
    ReleaseNote(ports, port, channel, note, o.notes[note]);
    StrikeNote(ports, port, channel, note, n.notes[note]);
  }
  if (n.polyPressureSeen)
    for (uint32_t note = 0; note < 128; ++note)
      if (n.polyPressure[note] != kNone7 && n.polyPressure[note] != o.polyPressure[note])
        Send(ports, port, 0xA0 | channel, note, n.polyPressure[note]);
}

}  // namespace

bool SeekImages(const uint8_t* song, int32_t startTick, int32_t loopStart, StateImage& a, StateImage& b,
                int32_t* songEndTick) {
  ResetStateImage(a);
  ResetStateImage(b);
  int32_t endTick;
  bool end;
  if (loopStart < 0) {
    endTick = LoadSongHeader(song, a);
    CopyStateImage(b, a);
    end = ChaseTo(startTick, a);
  } else if (loopStart > startTick) {
    // The later image continues from a copy taken before the earlier one's releases at its target
    // are popped, so that it takes them once (see ChaseBefore).
    endTick = LoadSongHeader(song, a);
    end = ChaseBefore(startTick, a);
    CopyStateImage(b, a);
    if (!end) end = ChaseAt(startTick, a);
    end |= ChaseTo(loopStart, b);
  } else if (loopStart < startTick) {
    endTick = LoadSongHeader(song, b);
    end = ChaseBefore(loopStart, b);
    CopyStateImage(a, b);
    if (!end) end = ChaseAt(loopStart, b);
    end |= ChaseTo(startTick, a);
  } else {
    endTick = LoadSongHeader(song, a);
    end = ChaseTo(startTick, a);
    CopyStateImage(b, a);
  }
  if (songEndTick) *songEndTick = endTick;
  return end;
}

void ReplayState(Ports& ports, const StateImage& image) {
  if (ReplaysSysex(image)) SendSysexRecords(ports, image.sysexBlock, image.sysexPassed, SysexCopy::kMayAllocate);
  for (int32_t i = 0; i < image.snapshotCount; ++i) {
    const ChannelSnapshot& s = image.snapshots[i];
    if (s.dirty) ReplayChannel(ports, image, s, static_cast<uint32_t>(i) >> 4, static_cast<uint32_t>(i) & 15);
  }
}

void ReplayPortState(Ports& ports, const StateImage& image, uint32_t port) {
  if (port >= static_cast<uint32_t>(image.portCount)) return;
  if (ReplaysSysex(image))
    SendSysexRecords(ports, image.sysexBlock, image.sysexPassed, SysexCopy::kMayAllocate, port);
  for (uint32_t channel = 0; channel < 16; ++channel) {
    const ChannelSnapshot& s = SnapshotOf(image, port, channel);
    if (s.dirty) ReplayChannel(ports, image, s, port, channel, /*withNotes=*/false);
  }
}

void ReplayDifferences(Ports& ports, const StateImage& next, StateImage& old, bool sameSong) {
  // Within one song the sysex sequence is shared: only a jump back sends its records again. Another
  // song's records are its own, and the ones it has passed are sent as a start would.
  const bool allowed = next.sysexMode == 1 ||
                       (next.sysexMode == 0 && (next.setupSysexFlag != 0 || old.sysexPassed >= next.setupSysexCount));
  if (sameSong ? next.sysexPassed < old.sysexPassed && allowed
               : next.sysexPassed > 0 && (next.sysexMode == 1 || (next.sysexMode == 0 && (next.setupSysexFlag != 0 ||
                                                                                          next.replaySysexFlag != 0))))
    SendSysexRecords(ports, next.sysexBlock, next.sysexPassed, SysexCopy::kNoAllocation);
  const int32_t count = next.snapshotCount < old.snapshotCount ? next.snapshotCount : old.snapshotCount;
  for (int32_t i = 0; i < count; ++i) {
    const ChannelSnapshot& n = next.snapshots[i];
    ChannelSnapshot& o = old.snapshots[i];
    if (!n.dirty && !o.dirty) continue;
    ReplayChannelDifferences(ports, next, n, old, o, static_cast<uint32_t>(i) >> 4, static_cast<uint32_t>(i) & 15);
  }
}

void SilenceNotes(Ports& ports, StateImage& image) {
  for (int32_t i = 0; i < image.snapshotCount; ++i) {
    ChannelSnapshot& s = image.snapshots[i];
    if (!s.dirty) continue;
    for (uint32_t note = 0; note < 128; ++note)
      ReleaseNote(ports, static_cast<uint32_t>(i) >> 4, static_cast<uint32_t>(i) & 15, note, s.notes[note]);
  }
}
