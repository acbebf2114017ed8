// Chase and event application over the shared reading of a packed event. See chase.h.
//
// Threads: the seek's thread (ChaseTo); the timer and MIDI input threads (ApplyEvent).
#include "playback/chase.h"

#include "playback/song_image.h"

namespace {

inline ChannelSnapshot* SnapshotFor(StateImage& image, uint32_t port, uint32_t channel) {
  if (port >= static_cast<uint32_t>(image.portCount)) return nullptr;
  return &image.snapshots[port * 16 + channel];
}

// The channel update of an event word with a code below 0xF0 and a top byte other than 0xFF.
void UpdateChannel(StateImage& image, uint32_t w) {
  ChannelSnapshot* s = SnapshotFor(image, EventPort(w), EventChannel(w));
  if (!s) return;
  s->dirty = 1;
  switch (EventKind(w)) {
    case kCodeBank14:
    case kCodeBankMsb:
    case kCodeBankLsb:
    case kCodeBankProgram:
      s->bank = static_cast<uint16_t>(EventValue16(w));
      s->bankMode = static_cast<uint8_t>(EventKind(w) >> 4);  // 0x10..0x40 give modes 1..4
      break;
    case kCodeNoteOn:
      if (EventData2(w) != 0)
        PushNote(*s, EventData1(w), static_cast<uint8_t>(EventData2(w) & 0x7F));
      else
        PopNote(*s, EventData1(w));
      break;
    case kCodePolyPressure:
      s->polyPressure[EventData1(w) & 0x7F] = static_cast<uint8_t>(EventData2(w) & 0x7F);
      s->polyPressureSeen = 1;
      break;
    case kCodeController:
      s->controllers[EventData1(w) & 0x7F] = static_cast<uint8_t>(EventData2(w) & 0x7F);
      break;
    case kCodeProgram:
      s->program = static_cast<uint8_t>(EventData1(w) & 0x7F);
      break;
    case kCodeChannelPressure:
      s->channelPressure = static_cast<uint8_t>(EventData1(w) & 0x7F);
      break;
    case kCodePitchBend:
      s->pitchBend = static_cast<uint16_t>(EventValue16(w));
      break;
    default:  // 0x00, 0x50-0x70 and note-offs change nothing but the touched flag
      break;
  }
}

// The RPN or NRPN record an event word references, or null when the image has no song.
inline const uint8_t* ParameterRecord(const StateImage& image, bool nrpn, uint32_t w) {
  const uint8_t* area = nrpn ? image.nrpnRecords : image.rpnRecords;
  return area ? area + EventOffset(w) : nullptr;
}

// The parameter update: marks the record's channel touched and stores the value of a listed
// parameter (first match in the list).
void UpdateParameter(StateImage& image, bool nrpn, const uint8_t* record) {
  uint32_t channel = record[kParamRecordChannel];
  if (channel > 15) return;
  ChannelSnapshot* s = SnapshotFor(image, record[kParamRecordPort], channel);
  if (!s) return;
  s->dirty = 1;
  const uint16_t number = ReadU16(record + kParamRecordNumber);
  const uint16_t count = nrpn ? image.nrpnCount : image.rpnCount;
  const uint16_t* list = nrpn ? image.nrpnList : image.rpnList;
  for (uint16_t k = 0; k < count; ++k) {
    if (list[k] == number) {
      (nrpn ? s->nrpnValues : s->rpnValues)[k] = ReadU16(record + kParamRecordValue);
      return;
    }
  }
}

void UpdateTimeSignature(StateImage& image, int32_t tick, uint32_t w) {
  image.timeSigTick = tick;
  image.numerator = static_cast<int32_t>(EventPort(w));
  image.denominatorPower = static_cast<int32_t>(EventData2(w));
  image.ticksPerBar = TicksPerBar(image.numerator, image.ticksPerSixteenth, image.denominatorPower);
  image.ticksPerBeat = TicksPerBeat(image.ticksPerSixteenth, image.denominatorPower);
}

// Whether playback sends the sysex reference that comes after `sysexPassed` others.
inline bool SysexSendAllowed(const StateImage& image) {
  if (image.sysexMode == tovu::protocol::kSysexModeAll) return true;
  if (image.sysexMode != tovu::protocol::kSysexModeHoldSetup) return false;
  return image.setupSysexFlag != 0 || image.sysexPassed >= image.setupSysexCount;
}

inline uint32_t ShortMessage(uint32_t port, uint32_t status, uint32_t data1, uint32_t data2) {
  return port << 24 | status | data1 << 8 | data2 << 16;
}

}  // namespace

bool ChaseBefore(int32_t target, StateImage& image) {
  const uint8_t* p = image.eventCursor;
  if (!p) return false;
  for (;; p += kEventEntrySize) {
    if (ReadI32(p) >= target) break;
    const uint32_t w = ReadU32(p + kEventWordOffset);
    const uint32_t code = EventCode(w);
    if (code == kCodeEnd) {  // whatever its top byte; the cursor stays on it
      image.eventCursor = p;
      return true;
    }
    if (EventPort(w) == kIgnoredPort) continue;
    if (code < 0xF0) {
      UpdateChannel(image, w);
      continue;
    }
    switch (code) {
      case kCodeSysexRef:
        image.sysexPassed += 1;
        break;
      case kCodeRpnRef:
      case kCodeNrpnRef:
        UpdateParameter(image, code == kCodeNrpnRef, ParameterRecord(image, code == kCodeNrpnRef, w));
        break;
      case kCodeTimeSig:
        UpdateTimeSignature(image, ReadI32(p), w);
        break;
      case kCodeTempo:
        image.ticksPerMinute = TempoTicksPerMinute(EventOffset(w), image.ticksPerSixteenth);
        break;
      default:
        break;
    }
  }
  image.eventCursor = p;
  return false;
}

bool ChaseAt(int32_t target, StateImage& image) {
  if (!image.eventCursor) return false;
  for (const uint8_t* q = image.eventCursor; ReadI32(q) == target; q += kEventEntrySize) {
    const uint32_t w = ReadU32(q + kEventWordOffset);
    const uint32_t code = EventCode(w);
    if (code == kCodeEnd) return true;
    if (EventPort(w) == kIgnoredPort) continue;
    if (EventKind(w) == kCodeNoteOn) {
      if (EventData2(w) == 0) {
        if (ChannelSnapshot* s = SnapshotFor(image, EventPort(w), EventChannel(w))) PopNote(*s, EventData1(w));
      }
    } else if (code == kCodeTempo) {
      image.ticksPerMinute = TempoTicksPerMinute(EventOffset(w), image.ticksPerSixteenth);
    } else if (code == kCodeTimeSig) {
      UpdateTimeSignature(image, target, w);
    }
  }
  return false;
}

bool ChaseTo(int32_t target, StateImage& image) {
  if (ChaseBefore(target, image)) return true;
  return ChaseAt(target, image);
}

void SendBank(Ports& ports, uint32_t port, uint32_t channel, uint32_t mode, uint32_t value, Owner owner) {
  switch (mode) {
    case 1:
      SendShortMessage(ports, ShortMessage(port, 0xB0 | channel, 0, (value >> 7) & 0x7F), owner);
      SendShortMessage(ports, ShortMessage(port, 0xB0 | channel, 32, value & 0x7F), owner);
      break;
    case 2:
      SendShortMessage(ports, ShortMessage(port, 0xB0 | channel, 0, value & 0x7F), owner);
      break;
    case 3:
      SendShortMessage(ports, ShortMessage(port, 0xB0 | channel, 32, value & 0x7F), owner);
      break;
    case 4:
      SendShortMessage(ports, ShortMessage(port, 0xC0 | channel, value & 0x7F, 0), owner);
      break;
    default:
      break;
  }
}

int32_t EventOutputPort(const StateImage& image, uint32_t w, uint32_t* sysexBytes, uint32_t* shortMessages) {
  if (sysexBytes) *sysexBytes = 0;
  if (shortMessages) *shortMessages = 0;
  if (EventPort(w) == kIgnoredPort) return -1;
  const uint32_t code = EventCode(w);
  if (code < 0xF0) {
    if (shortMessages) *shortMessages = 2;  // a bank takes two at most, anything else one
    return static_cast<int32_t>(EventPort(w));
  }
  if (code == kCodeSysexRef) {
    if (!image.sysexBlock || !SysexSendAllowed(image)) return -1;
    const uint8_t* record = image.sysexBlock + EventOffset(w);
    if (sysexBytes) *sysexBytes = ReadU32(record + 1);
    return record[0];
  }
  if (code == kCodeRpnRef || code == kCodeNrpnRef) {
    const uint8_t* record = ParameterRecord(image, code == kCodeNrpnRef, w);
    if (record && shortMessages) *shortMessages = 4;
    return record ? record[kParamRecordPort] : -1;
  }
  return -1;
}

int ApplyEvent(Ports& ports, PlaybackClock& clock, int32_t tick, uint32_t w, StateImage& image, Owner owner) {
  if (EventPort(w) == kIgnoredPort) return 0;
  const uint32_t code = EventCode(w);
  if (code < 0xF0) {
    UpdateChannel(image, w);
    const uint32_t kind = EventKind(w);
    if (kind >= kCodeBank14 && kind <= kCodeBankProgram) {
      SendBank(ports, EventPort(w), EventChannel(w), kind >> 4, EventValue16(w), owner);
      return 0;
    }
    return SendShortMessage(ports, w, owner);
  }
  int result = 0;
  switch (code) {
    case kCodeSysexRef:
      if (image.sysexBlock && SysexSendAllowed(image)) {
        const uint8_t* record = image.sysexBlock + EventOffset(w);
        result = SendSysexOnPort(ports, ReadU32(record + 1), record + kSysexRecordHeaderSize, record[0], owner,
                                 SysexCopy::kNoAllocation);
      }
      image.sysexPassed += 1;
      break;
    case kCodeRpnRef:
    case kCodeNrpnRef: {
      const bool nrpn = code == kCodeNrpnRef;
      const uint8_t* record = ParameterRecord(image, nrpn, w);
      if (!record) break;
      UpdateParameter(image, nrpn, record);
      const uint32_t base = uint32_t{record[kParamRecordPort]} << 24 | (record[kParamRecordChannel] & 0x0F);
      const uint32_t number = ReadU16(record + kParamRecordNumber);
      const uint32_t value = ReadU16(record + kParamRecordValue);
      if (nrpn)
        SendNrpn(ports, base, number, value, owner);
      else
        SendRpn(ports, base, number, value, owner);
      break;
    }
    case kCodeTimeSig:
      UpdateTimeSignature(image, tick, w);
      break;
    case kCodeTempo: {
      const int32_t tpm = TempoTicksPerMinute(EventOffset(w), clock.positionStep);
      image.ticksPerMinute = tpm;
      ReanchorAtTick(clock, tick, tpm);
      break;
    }
    default:  // the ignored codes, and end markers under a top byte below 0xFF
      break;
  }
  return result;
}
