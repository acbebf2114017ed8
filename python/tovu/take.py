"""Takes: what a recording playback hands its client as copy-data type 28 at its stop.

Layout (little-endian): i32 event count N, i32 record start tick, i32 count-in length, i32 sysex
block count, i32 sysex byte count; then N entries (i32 tick, u32 word) in the order recorded; then
the system-exclusive bytes back to back. A word is an incoming short message (status, data 1, data 2
in bits 0-23, bits 24-31 zero), a sysex marker (0xF0, its message's offset in the sysex bytes in
bits 8-31) or an end marker (0xFF), which closes each loop pass and the take. Ticks start again at
the loop start in every pass and lie below the record start tick during the count-in.
"""
import struct

from . import protocol

_HEADER = struct.Struct("<5i")
_ENTRY = struct.Struct("<iI")


class TakeError(ValueError):
    pass


class Take:
    def __init__(self, record_start=0, count_in=0, events=None, sysex=None):
        self.record_start = record_start  # the tick recording began at
        self.count_in = count_in          # the count-in's length in ticks (0 without one)
        self.events = events or []        # (tick, word) in recording order, markers included
        self.sysex = sysex or []          # the system-exclusive messages (bytes), in marker order

    def passes(self):
        """The events of each loop pass, end markers left out: a list of lists of (tick, word)."""
        passes = [[]]
        for tick, word in self.events:
            if word == protocol.TAKE_END_MARKER:
                passes.append([])
            else:
                passes[-1].append((tick, word))
        if not passes[-1]:
            passes.pop()
        return passes

    def messages(self):
        """Every recorded message of every pass with its tick, as bytes: short messages as their
        status implies (three bytes, two for 0xCn and 0xDn), sysex messages whole."""
        out, index = [], 0
        for tick, word in self.events:
            if word == protocol.TAKE_END_MARKER:
                continue
            if word & 0xFF == protocol.TAKE_SYSEX_MARKER:
                out.append((tick, self.sysex[index]))
                index += 1
                continue
            status = word & 0xFF
            data = bytes([status, word >> 8 & 0x7F, word >> 16 & 0x7F])
            out.append((tick, data[:2] if status & 0xE0 == 0xC0 else data))
        return out


def read_take(data):
    """Reads and checks a take: counts that agree with each other and with the size, one sysex marker
    per block with offsets rising from 0 within the sysex bytes. Raises TakeError otherwise."""
    if len(data) < _HEADER.size:
        raise TakeError("shorter than the take header")
    count, start, count_in, blocks, byte_count = _HEADER.unpack_from(data)
    if count < 0 or blocks < 0 or byte_count < 0:
        raise TakeError("negative count")
    if _HEADER.size + _ENTRY.size * count + byte_count != len(data):
        raise TakeError("size disagrees with the counts")
    events, offsets = [], []
    sysex_at = _HEADER.size + _ENTRY.size * count
    for i in range(count):
        tick, word = _ENTRY.unpack_from(data, _HEADER.size + _ENTRY.size * i)
        if word & 0xFF == protocol.TAKE_SYSEX_MARKER:
            offset = word >> 8
            if (offset != 0) if not offsets else (offset <= offsets[-1]):
                raise TakeError("sysex offsets out of order")
            if offset >= byte_count:
                raise TakeError("sysex offset past the sysex bytes")
            offsets.append(offset)
        events.append((tick, word))
    if len(offsets) != blocks:
        raise TakeError("sysex markers disagree with the block count")
    bounds = offsets + [byte_count]
    sysex = [bytes(data[sysex_at + bounds[i]:sysex_at + bounds[i + 1]]) for i in range(len(offsets))]
    return Take(start, count_in, events, sysex)
