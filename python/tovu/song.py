"""Song images: the binary songs a client loads into its song slots (copy-data types 19 and 20).

Layout (little-endian): a 40-byte header (u32 ticks per quarter; u16 unused; u8 time-signature
denominator power; u8 numerator; i32 song end tick; u32 sysex block offset; i32 setup sysex count;
u32 replay-sysex flag; u32 RPN records offset; i32 RPN list offset, -1 none; u32 NRPN records
offset; i32 NRPN list offset, -1 none), then 8-byte events (i32 tick, u32 packed word) in tick
order ending with an end marker (0xFF), then the sysex block (one record per sysex event, in event
order: u8 port, u32 length, the bytes), the RPN and NRPN record areas (6 bytes each: u8 channel,
u8 port, u16 parameter, u16 value) and the two parameter lists (u16 count, u16 numbers).
docs/protocol.md section 6 has every code.

    song = SongBuilder(ticks_per_quarter=120)
    song.tempo(0, 120)
    song.note_on(0, 0, 0, 60, 100)       # tick, port, channel, note, velocity
    song.note_release(240, 0, 0, 60)     # a velocity-0 note-on: how songs end notes
    song.end(480)
    image = song.build()
"""
import struct

from .protocol import pack_event

CODE_SYSEX = 0xF0
CODE_RPN = 0xF4
CODE_NRPN = 0xF5
CODE_TIME_SIGNATURE = 0xFA
CODE_TEMPO = 0xFE
CODE_END = 0xFF

BANK_FULL14 = 0x10    # controller 0 = value >> 7, then controller 32 = value & 0x7F
BANK_MSB = 0x20       # controller 0 = value & 0x7F
BANK_LSB = 0x30       # controller 32 = value & 0x7F
BANK_BY_PROGRAM = 0x40  # program change = value & 0x7F


def _reference(code, offset):
    return code | (offset & 0xFFFFFF) << 8


class SongBuilder:
    """Events keep the order they are added in (add them in tick order, or set sort_by_tick). The
    sysex block is laid out in the final event order, as the engine expects. Values are packed as
    given: keeping within the engine's limits (ports below its output count) is the caller's part."""

    def __init__(self, ticks_per_quarter=120, numerator=4, denominator_power=2):
        self.ticks_per_quarter = ticks_per_quarter  # a multiple of 4: the engine counts sixteenths
        self.numerator = numerator
        self.denominator_power = denominator_power
        self.setup_sysex_count = 0
        self.replay_sysex_flag = 0
        self.sort_by_tick = False
        self.song_end_tick = None  # the header's end tick; None: the end marker's
        self.events = []           # (tick, word, sysex index or -1)
        self.sysex_messages = []   # (port, bytes)
        self.rpn_records = bytearray()
        self.nrpn_records = bytearray()
        self.rpn_list = None
        self.nrpn_list = None
        self.end_tick = None

    # Channel events
    def raw(self, tick, word):
        self.events.append((tick, word & 0xFFFFFFFF, -1))

    def note_on(self, tick, port, channel, note, velocity):
        self.raw(tick, pack_event(0x90 | channel & 15, note, velocity, port))

    def note_release(self, tick, port, channel, note):
        self.raw(tick, pack_event(0x90 | channel & 15, note, 0, port))

    def controller(self, tick, port, channel, number, value):
        self.raw(tick, pack_event(0xB0 | channel & 15, number, value, port))

    def program(self, tick, port, channel, program):
        self.raw(tick, pack_event(0xC0 | channel & 15, program, 0, port))

    def pitch_bend(self, tick, port, channel, value14):
        self.raw(tick, pack_event(0xE0 | channel & 15, value14 & 0x7F, value14 >> 7 & 0x7F, port))

    def bank(self, tick, port, channel, kind, value):
        """A bank selection the engine restores at a start in the middle (kind: BANK_*)."""
        self.raw(tick, pack_event(kind | channel & 15, value & 0xFF, value >> 8 & 0xFF, port))

    # Engine events
    def tempo(self, tick, quarter_notes_per_minute):
        self.raw(tick, _reference(CODE_TEMPO, quarter_notes_per_minute))

    def time_signature(self, tick, numerator, denominator_power):
        # Its top byte is the numerator, not a port.
        self.raw(tick, pack_event(CODE_TIME_SIGNATURE, 0, denominator_power, numerator))

    def sysex(self, tick, port, data):
        """One system-exclusive message, sent as given (F0 ... F7)."""
        self.events.append((tick, CODE_SYSEX, len(self.sysex_messages)))
        self.sysex_messages.append((port, bytes(data)))

    def _parameter(self, area, code, tick, port, channel, parameter, value):
        offset = len(area)
        area += struct.pack("<BBHH", channel, port, parameter, value)
        self.raw(tick, _reference(code, offset))

    def rpn(self, tick, port, channel, parameter, value):
        self._parameter(self.rpn_records, CODE_RPN, tick, port, channel, parameter, value)

    def nrpn(self, tick, port, channel, parameter, value):
        self._parameter(self.nrpn_records, CODE_NRPN, tick, port, channel, parameter, value)

    def end(self, tick):
        self.end_tick = tick

    def build(self):
        events = sorted(self.events, key=lambda e: e[0]) if self.sort_by_tick else list(self.events)
        closing = self.end_tick if self.end_tick is not None else (events[-1][0] if events else 0)
        body = bytearray()
        block = bytearray()
        for tick, word, sysex in events:
            if sysex >= 0:
                port, data = self.sysex_messages[sysex]
                word = _reference(CODE_SYSEX, len(block))
                block += struct.pack("<BI", port, len(data)) + data
            body += struct.pack("<iI", tick, word)
        body += struct.pack("<iI", closing, CODE_END)
        out = bytearray(40) + body
        sysex_offset = len(out)
        out += block
        rpn_offset = len(out)
        out += self.rpn_records
        nrpn_offset = len(out)
        out += self.nrpn_records
        lists = []
        for parameters in (self.rpn_list, self.nrpn_list):
            if parameters is None:
                lists.append(-1)
                continue
            lists.append(len(out))
            out += struct.pack("<H%dH" % len(parameters), len(parameters), *parameters)
        end = closing if self.song_end_tick is None else self.song_end_tick
        struct.pack_into("<IHBBiIiIIiIi", out, 0, self.ticks_per_quarter, 0, self.denominator_power, self.numerator,
                         end, sysex_offset, self.setup_sysex_count, self.replay_sysex_flag, rpn_offset, lists[0],
                         nrpn_offset, lists[1])
        return bytes(out)
