"""Standard MIDI Files read into song images, as tovu-ctl and the C++ client library read them
(client/smf.h), so that a file plays the same bytes in the same order whichever of them loaded it.

Formats 0 and 1 with a ticks-per-quarter division. What the image gets: channel messages as written,
a note-off (8n) as a velocity-0 note-on (how an image ends a note); controller 0 directly followed
by controller 32 on one channel, track and tick as one 14-bit bank event, a lone 0 or 32 as a bank
MSB or LSB event; RPN and NRPN writes as the full four controllers (101/100 or 99/98, then 6 and
38) as parameter references, each parameter listed for chasing; sysex F0 events as F0 and their
data, F7 escapes as their data; tempo (whole quarter notes per minute in the image), time
signature, port (meta 0x21: file port p plays on ports[p % len(ports)]). Tracks merge by tick, ties
in track order. The song ends at the latest end of track.

Timing: a file whose division is a multiple of 4 and whose tempos are whole beats per minute keeps
its ticks; any other is re-timed at a fine resolution (at least 7680 ticks per quarter), each event
placed from its exact time in the file against the image's rounded tempos, so each plays within half
an image tick of its file time.

    song = read_file("song.mid", ports=[0, 1])
    client.load_song(song.image())

read_file also takes a mido.MidiFile (mido is optional: the file is read here without it).
"""
import math

from .song import BANK_FULL14, BANK_LSB, BANK_MSB, SongBuilder

MAX_TICK = 0x7FFFFF00
MAX_IMAGE_TEMPO = 0xFEFFFF
FINE_RESOLUTION = 7680


class SmfError(ValueError):
    pass


def _llround(x):
    return int(math.floor(x + 0.5)) if x >= 0 else -int(math.floor(-x + 0.5))


class _Raw:
    __slots__ = ("tick", "track", "seq", "port", "kind", "status", "data1", "data2", "meta", "data")

    def __init__(self, tick, track, seq, port, kind, status, data1=0, data2=0, meta=0, data=b""):
        self.tick, self.track, self.seq, self.port, self.kind = tick, track, seq, port, kind
        self.status, self.data1, self.data2, self.meta, self.data = status, data1, data2, meta, data


def _vlq(data, pos, end):
    value = 0
    for _ in range(4):
        if pos >= end:
            raise SmfError("a variable-length number runs past the end of the track")
        b = data[pos]
        pos += 1
        value = value << 7 | b & 0x7F
        if not b & 0x80:
            return value, pos
    raise SmfError("a variable-length number longer than 4 bytes")


def _read_track(data, pos, end, track, events):
    """The events of one track chunk; returns its end tick and name."""
    tick, running, port, seq, name = 0, 0, 0, 0, None
    while pos < end:
        delta, pos = _vlq(data, pos, end)
        tick += delta
        if tick > MAX_TICK:
            raise SmfError("track %d runs past tick %d" % (track + 1, MAX_TICK))
        if pos >= end:
            raise SmfError("track %d: an event runs past the end of the track" % (track + 1))
        if data[pos] & 0x80:
            status = data[pos]
            pos += 1
        elif running:
            status = running
        else:
            raise SmfError("track %d at byte %d: data byte 0x%02X without a status" % (track + 1, pos, data[pos]))
        if status < 0xF0:
            running = status
            n = 1 if status & 0xE0 == 0xC0 else 2
            d = list(data[pos:pos + n])
            if len(d) < n or any(b & 0x80 for b in d):
                raise SmfError("track %d at byte %d: a channel message is cut short" % (track + 1, pos))
            pos += n
            d.append(0)
            events.append(_Raw(tick, track, seq, port, "channel", status, d[0], d[1]))
            seq += 1
            continue
        running = 0
        if status in (0xF0, 0xF7):
            length, pos = _vlq(data, pos, end)
            if length > end - pos:
                raise SmfError("track %d: a sysex runs past the end of the track" % (track + 1))
            events.append(_Raw(tick, track, seq, port, "sysex", status, data=bytes(data[pos:pos + length])))
            seq += 1
            pos += length
            continue
        if status != 0xFF or pos >= end:
            raise SmfError("track %d: status 0x%02X has no place in a file" % (track + 1, status))
        meta = data[pos]
        length, pos = _vlq(data, pos + 1, end)
        if length > end - pos:
            raise SmfError("track %d: a meta event runs past the end of the track" % (track + 1))
        body = bytes(data[pos:pos + length])
        pos += length
        if meta == 0x2F:
            return tick, name
        if meta == 0x51 and (length != 3 or body == b"\0\0\0"):
            raise SmfError("track %d: a tempo event that is not 3 bytes above 0" % (track + 1))
        if meta == 0x58 and (length < 2 or body[0] == 0 or body[0] > 254 or body[1] > 6):
            raise SmfError("track %d: a time signature out of range" % (track + 1))
        if meta == 0x21:
            if length < 1:
                raise SmfError("track %d: a port event without a port number" % (track + 1))
            port = body[0]
        if meta == 0x03 and name is None:
            name = body.decode("latin-1")
        events.append(_Raw(tick, track, seq, port, "meta", 0xFF, meta=meta, data=body))
        seq += 1
    return tick, name


def _read_bytes(data):
    if len(data) < 14 or data[:4] != b"MThd":
        raise SmfError("not a Standard MIDI File (no MThd header at byte 0)")
    header = int.from_bytes(data[4:8], "big")
    if header < 6 or header > len(data) - 8:
        raise SmfError("a header chunk of %d bytes" % header)
    fmt, count, division = (int.from_bytes(data[i:i + 2], "big") for i in (8, 10, 12))
    if fmt not in (0, 1):
        raise SmfError("format %d: formats 0 and 1 are read" % fmt)
    if division & 0x8000 or division == 0:
        raise SmfError("a division in SMPTE frames or of 0: ticks per quarter note are read")
    pos, found, unknown, tracks, events = 8 + header, 0, 0, [], []
    while found < count:
        if pos == len(data) and found > 0 and found + unknown >= count:
            break  # a writer that counted a chunk of another type among the tracks
        if len(data) - pos < 8:
            raise SmfError("the header announces %d tracks but the file ends after %d" % (count, found))
        length = int.from_bytes(data[pos + 4:pos + 8], "big")
        if length > len(data) - pos - 8:
            raise SmfError("a chunk at byte %d runs past the end of the file" % pos)
        if data[pos:pos + 4] == b"MTrk":
            tracks.append(_read_track(data, pos + 8, pos + 8 + length, found, events))
            found += 1
        else:
            unknown += 1
        pos += 8 + length
    return fmt, division, tracks, events


def _from_mido(mid):
    """The events of a mido.MidiFile, as the reader above gives them."""
    events, tracks = [], []
    for index, track in enumerate(mid.tracks):
        tick, port, seq, name = 0, 0, 0, None
        for msg in track:
            tick += msg.time
            if msg.is_meta:
                if msg.type == "end_of_track":
                    break
                raw = msg.bytes()
                meta, length_at = raw[1], 2
                while raw[length_at] & 0x80:
                    length_at += 1
                body = bytes(raw[length_at + 1:])
                if msg.type == "midi_port":
                    port = msg.port
                if msg.type == "track_name" and name is None:
                    name = msg.name
                events.append(_Raw(tick, index, seq, port, "meta", 0xFF, meta=meta, data=body))
            elif msg.type == "sysex":
                events.append(_Raw(tick, index, seq, port, "sysex", 0xF0, data=bytes(msg.data) + b"\xF7"))
            else:
                b = msg.bytes() + [0, 0]
                events.append(_Raw(tick, index, seq, port, "channel", b[0], b[1], b[2] if b[0] & 0xE0 != 0xC0 else 0))
            seq += 1
        tracks.append((tick, name))
    return mid.type, mid.ticks_per_beat, tracks, events


class Tempo:
    """A tempo change as placed: the file's tick and microseconds per quarter, the image's tick and
    whole quarter notes per minute, the file's exact time and the engine's time of the image tick."""

    def __init__(self, file_tick=0, image_tick=0, us_per_quarter=500000, image_tempo=120, time_us=0.0,
                 engine_time_us=0.0):
        self.file_tick, self.image_tick = file_tick, image_tick
        self.us_per_quarter, self.image_tempo = us_per_quarter, image_tempo
        self.time_us, self.engine_time_us = time_us, engine_time_us


class Song:
    """A read file: the image's builder (`builder`, built by image()), its resolution, its end tick,
    its length in seconds, the tempo map and the time signatures (file tick, image tick, numerator,
    denominator power), and the tracks' names."""

    def __init__(self):
        self.format = 0
        self.division = 0
        self.ticks_per_quarter = 0
        self.retimed = False
        self.tempos = []
        self.time_signatures = []
        self.track_names = []
        self.end_file_tick = 0
        self.end_tick = 0
        self.length_seconds = 0.0
        self.builder = SongBuilder()

    def image(self):
        return self.builder.build()

    def file_tick_at(self, image_tick):
        if not self.retimed:
            return float(image_tick)
        t = self.tempos[0]
        for x in self.tempos:
            if x.image_tick <= image_tick:
                t = x
        engine_us = t.engine_time_us + (image_tick - t.image_tick) * 60e6 / (t.image_tempo * self.ticks_per_quarter)
        return t.file_tick + (engine_us - t.time_us) * self.division / t.us_per_quarter


def _image_tempo(us):
    return min(max(_llround(60e6 / us), 1), MAX_IMAGE_TEMPO)


class _Conversion:
    def __init__(self, song, events, ports, transpose, muted_channels, muted_tracks):
        self.song, self.events = song, events
        self.ports, self.transpose = ports or [0], transpose
        self.muted_channels, self.muted_tracks = muted_channels, muted_tracks or ()
        self.last_tick = 0
        self.rpn_list, self.nrpn_list = [], []

    def image_tick_of(self, t, file_tick):
        song = self.song
        if not song.retimed:
            return file_tick  # kept ticks
        time_us = t.time_us + (file_tick - t.file_tick) * t.us_per_quarter / song.division
        x = t.image_tick + (time_us - t.engine_time_us) * t.image_tempo * song.ticks_per_quarter / 60e6
        return _llround(x)

    def place(self, file_tick):
        x = max(self.image_tick_of(self.song.tempos[-1], file_tick), self.last_tick)
        if x > MAX_TICK:
            raise SmfError("the song is too long for a song image")
        self.last_tick = x
        return x

    def followed_by(self, i, k, controller):
        e = self.events[i]
        j = i + k
        if j >= len(self.events):
            return False
        f = self.events[j]
        return (f.tick == e.tick and f.track == e.track and f.kind == "channel" and f.status == e.status and
                f.data1 == controller and f.port == e.port)

    def channel(self, i, tick, port):
        """Adds the channel event at i; returns how many events it took."""
        e, b = self.events[i], self.song.builder
        kind, channel = e.status & 0xF0, e.status & 0x0F
        if kind <= 0xA0:
            muted = self.muted_channels >> channel & 1 or (e.track < len(self.muted_tracks) and
                                                          self.muted_tracks[e.track])
            note = e.data1 + (0 if channel == 9 else self.transpose)
            if muted or not 0 <= note <= 127:
                return 1
            if kind == 0x80:
                b.note_release(tick, port, channel, note)
            else:
                b.raw(tick, e.status | note << 8 | e.data2 << 16 | port << 24)
            return 1
        if kind == 0xB0:
            if e.data1 == 0 and self.followed_by(i, 1, 32):
                b.bank(tick, port, channel, BANK_FULL14, e.data2 << 7 | self.events[i + 1].data2)
                return 2
            if e.data1 in (0, 32):
                b.bank(tick, port, channel, BANK_MSB if e.data1 == 0 else BANK_LSB, e.data2)
                return 1
            if (e.data1 in (101, 99) and self.followed_by(i, 1, e.data1 - 1) and self.followed_by(i, 2, 6) and
                    self.followed_by(i, 3, 38)):
                parameter = e.data2 << 7 | self.events[i + 1].data2
                value = self.events[i + 2].data2 << 7 | self.events[i + 3].data2
                listed = self.rpn_list if e.data1 == 101 else self.nrpn_list
                if parameter not in listed:
                    listed.append(parameter)
                (b.rpn if e.data1 == 101 else b.nrpn)(tick, port, channel, parameter, value)
                return 4
        b.raw(tick, e.status | e.data1 << 8 | e.data2 << 16 | port << 24)
        return 1

    def tempo(self, e, tick):
        song = self.song
        us = int.from_bytes(e.data, "big")
        prev = song.tempos[-1]
        t = Tempo(e.tick, tick, us, _image_tempo(us),
                  prev.time_us + (e.tick - prev.file_tick) * prev.us_per_quarter / song.division,
                  prev.engine_time_us + (tick - prev.image_tick) * 60e6 / (prev.image_tempo * song.ticks_per_quarter))
        if self.first_tempo_replaces:
            song.tempos[-1] = t
            self.first_tempo_replaces = False
        else:
            song.tempos.append(t)
        song.builder.tempo(tick, t.image_tempo)

    def time_signature(self, e, tick):
        song = self.song
        signature = (e.tick, tick, e.data[0], e.data[1])
        if e.tick == 0 and not self.time_signature_at_zero:
            song.time_signatures[-1] = signature
            self.time_signature_at_zero = True
            song.builder.numerator, song.builder.denominator_power = e.data[0], e.data[1]
        else:
            if song.time_signatures[-1][0] == e.tick:
                song.time_signatures.pop()
            song.time_signatures.append(signature)
        song.builder.time_signature(tick, e.data[0], e.data[1])

    def run(self):
        song, events = self.song, self.events
        song.tempos.append(Tempo())
        tempo_at_zero = any(e.tick == 0 and e.kind == "meta" and e.meta == 0x51 for e in events)
        if not tempo_at_zero:
            song.builder.tempo(0, 120)
        self.first_tempo_replaces = tempo_at_zero
        self.time_signature_at_zero = False
        song.time_signatures.append((0, 0, 4, 2))
        i = 0
        while i < len(events):
            e = events[i]
            tick = self.place(e.tick)
            port = self.ports[e.port % len(self.ports)]
            taken = 1
            if e.kind == "channel":
                taken = self.channel(i, tick, port)
            elif e.kind == "sysex":
                data = (b"\xF0" if e.status == 0xF0 else b"") + e.data
                if data:
                    song.builder.sysex(tick, port, data)
            elif e.meta == 0x51:
                self.tempo(e, tick)
            elif e.meta == 0x58:
                self.time_signature(e, tick)
            i += taken
        song.end_tick = self.place(song.end_file_tick)
        last = song.tempos[-1]
        song.length_seconds = (last.time_us + (song.end_file_tick - last.file_tick) * last.us_per_quarter /
                               song.division) / 1e6
        song.builder.end(song.end_tick)
        if self.rpn_list:
            song.builder.rpn_list = self.rpn_list
        if self.nrpn_list:
            song.builder.nrpn_list = self.nrpn_list


def read_file(source, ports=None, ticks_per_quarter=0, transpose=0, muted_channels=0, muted_tracks=None):
    """Reads a Standard MIDI File (a path, its bytes, or a mido.MidiFile) into a Song.

    ports: the output port index for each file port (meta 0x21), by file port modulo their count
    (default [0]); ticks_per_quarter: the image's resolution (a multiple of 4; 0 lets the file
    choose), for songs that share one image; transpose: semitones for every channel but 10;
    muted_channels (bit n = channel n + 1) and muted_tracks (by index): their notes are left out."""
    if hasattr(source, "tracks") and hasattr(source, "ticks_per_beat"):
        fmt, division, tracks, events = _from_mido(source)
        tempos = [int.from_bytes(e.data, "big") for e in events if e.kind == "meta" and e.meta == 0x51]
    else:
        if not isinstance(source, (bytes, bytearray)):
            with open(source, "rb") as f:
                source = f.read()
        fmt, division, tracks, events = _read_bytes(source)
        tempos = [int.from_bytes(e.data, "big") for e in events if e.kind == "meta" and e.meta == 0x51]
    if ticks_per_quarter and (ticks_per_quarter % 4 or ticks_per_quarter > 32764):
        raise SmfError("%d ticks per quarter note cannot be played (a multiple of 4 up to 32764 can)"
                       % ticks_per_quarter)
    events.sort(key=lambda e: (e.tick, e.track, e.seq))
    song = Song()
    song.format, song.division = fmt, division
    song.track_names = [name for _, name in tracks]
    song.end_file_tick = max((end for end, _ in tracks), default=0)
    keep = division % 4 == 0 and all(60000000 % us == 0 for us in tempos)
    if ticks_per_quarter and ticks_per_quarter != division:
        keep = False
    song.retimed = not keep
    song.ticks_per_quarter = (division if keep else ticks_per_quarter or
                              min(max(FINE_RESOLUTION, (division + 3) // 4 * 4), 32764))
    song.builder.ticks_per_quarter = song.ticks_per_quarter
    _Conversion(song, events, ports, transpose, muted_channels, muted_tracks).run()
    return song
