#!/usr/bin/python3
"""Writes Standard MIDI Files with mido (an independent writer) for the tests, and reads back files
that tovu-ctl wrote. Run with the system python (Debian's python3-mido).

  make_midi.py song OUT.mid EXPECTED.txt   a multi-track format 1 song: running status, tempo and
                                           time-signature changes, bank, RPN, sysex, ports, a
                                           note-off as 0x8n; EXPECTED gets one line per sent event
                                           "<seconds> <port> <hex bytes>" as mido times them
  make_midi.py dense OUT.mid EXPECTED.txt N  N channel events over about 10 s with tempo changes
  make_midi.py format0 OUT.mid EXPECTED.txt  the song merged into format 0
  make_midi.py format2 OUT.mid               a format 2 file
  make_midi.py tune OUT.mid EXPECTED.txt NOTE TPB  two bars of notes from NOTE at 240 bpm, one a
                                           beat, each held for half a beat; TPB ticks per quarter
                                           (a playlist's part)
  make_midi.py legato OUT.mid EXPECTED.txt NOTE TPB  two bars at 240 bpm that are never silent: a pad
                                           (NOTE - 12) held throughout, and a melody from NOTE whose
                                           each note ends where the next begins (a playlist's part)
  make_midi.py wide OUT.mid EXPECTED.txt   a bar of four-note chords on all sixteen channels
  make_midi.py xtrk OUT.mid EXPECTED.txt   the song with a chunk of unknown type ("XTrk") among the
                                           tracks, counted in the header's track count
  make_midi.py dump FILE.mid               prints each message: "<track> <tick> <type> <field>=<value>..."
  make_midi.py header FILE.mid             prints "type=<format> ticks_per_beat=<n>"
"""
import random
import sys

import mido


def expected_lines(mid):
    """What a player sends, with times from the file's tempo map: one line per channel or sysex event."""
    lines = []
    t = 0.0
    port = {}
    # mido merges tracks by time; ports follow the port meta event of each track.
    tempo = 500000
    events = []
    for index, track in enumerate(mid.tracks):
        tick = 0
        p = 0
        for seq, msg in enumerate(track):
            tick += msg.time
            if msg.is_meta and msg.type == 'midi_port':
                p = msg.port
            events.append((tick, index, seq, p, msg))
    events.sort(key=lambda e: (e[0], e[1], e[2]))
    last_tick = 0
    seconds = 0.0
    for tick, index, seq, p, msg in events:
        seconds += mido.tick2second(tick - last_tick, mid.ticks_per_beat, tempo)
        last_tick = tick
        if msg.is_meta:
            if msg.type == 'set_tempo':
                tempo = msg.tempo
            continue
        data = msg.bytes()
        if msg.type == 'note_off':
            data = [0x90 | msg.channel, msg.note, 0]
        lines.append('%.6f %d %s' % (seconds, p, ' '.join('%02x' % b for b in data)))
    return lines


def song():
    mid = mido.MidiFile(type=1, ticks_per_beat=96)
    conductor = mido.MidiTrack()
    conductor.append(mido.MetaMessage('track_name', name='conductor'))
    conductor.append(mido.MetaMessage('time_signature', numerator=3, denominator=4))
    conductor.append(mido.MetaMessage('set_tempo', tempo=mido.bpm2tempo(150)))
    conductor.append(mido.MetaMessage('time_signature', numerator=4, denominator=4, time=96 * 6))
    conductor.append(mido.MetaMessage('set_tempo', tempo=600000, time=96 * 2))
    conductor.append(mido.MetaMessage('end_of_track', time=96 * 4))
    mid.tracks.append(conductor)
    piano = mido.MidiTrack()
    piano.append(mido.MetaMessage('track_name', name='piano'))
    piano.append(mido.Message('control_change', channel=0, control=0, value=1))
    piano.append(mido.Message('control_change', channel=0, control=32, value=3))
    piano.append(mido.Message('program_change', channel=0, program=5))
    for c, v in ((101, 0), (100, 0), (6, 12), (38, 0)):
        piano.append(mido.Message('control_change', channel=0, control=c, value=v))
    piano.append(mido.Message('sysex', data=[0x7E, 0x7F, 0x09, 0x01]))
    for i, note in enumerate((60, 64, 67, 72)):
        piano.append(mido.Message('note_on', channel=0, note=note, velocity=90, time=0 if i == 0 else 48))
        piano.append(mido.Message('note_on', channel=0, note=note, velocity=0, time=48))
    piano.append(mido.Message('pitchwheel', channel=0, pitch=-2000, time=10))
    piano.append(mido.Message('note_on', channel=0, note=48, velocity=70, time=86))
    piano.append(mido.Message('note_off', channel=0, note=48, velocity=64, time=96 * 5))
    mid.tracks.append(piano)
    drums = mido.MidiTrack()
    drums.append(mido.MetaMessage('midi_port', port=1))
    for bar in range(10):
        for beat in range(3 if bar < 2 else 4):
            drums.append(mido.Message('note_on', channel=9, note=36 if beat == 0 else 42, velocity=100, time=0 if bar + beat == 0 else 72))
            drums.append(mido.Message('note_on', channel=9, note=36 if beat == 0 else 42, velocity=0, time=24))
    drums.append(mido.Message('control_change', channel=9, control=7, value=100))
    mid.tracks.append(drums)
    return mid


def dense(n):
    random.seed(11)
    mid = mido.MidiFile(type=1, ticks_per_beat=480)
    conductor = mido.MidiTrack()
    # Tempo changes, whole and fractional beats per minute, every two beats.
    for i, bpm in enumerate((120, 133.7, 96, 174.25, 140, 87.5, 150, 111.1, 128, 100)):
        conductor.append(mido.MetaMessage('set_tempo', tempo=mido.bpm2tempo(bpm), time=0 if i == 0 else 960))
    mid.tracks.append(conductor)
    track = mido.MidiTrack()
    # Pairs of note-on and release at irregular ticks, on four channels, spread over 20 beats.
    events = []
    for i in range(n // 2):
        on = random.randrange(0, 480 * 20 - 60)
        length = random.randrange(1, 60)
        ch = i % 4
        note = random.randrange(36, 96)
        events.append((on, mido.Message('note_on', channel=ch, note=note, velocity=random.randrange(1, 128))))
        events.append((on + length, mido.Message('note_on', channel=ch, note=note, velocity=0)))
    events.sort(key=lambda e: e[0])
    last = 0
    for tick, msg in events:
        track.append(msg.copy(time=tick - last))
        last = tick
    mid.tracks.append(track)
    return mid


def tune(base, tpb):
    mid = mido.MidiFile(type=0, ticks_per_beat=tpb)
    track = mido.MidiTrack()
    track.append(mido.MetaMessage('set_tempo', tempo=mido.bpm2tempo(240)))
    track.append(mido.Message('program_change', channel=0, program=base % 8))
    for i in range(8):
        track.append(mido.Message('note_on', channel=0, note=base + i, velocity=80, time=0 if i == 0 else tpb // 2))
        track.append(mido.Message('note_off', channel=0, note=base + i, velocity=40, time=tpb // 2))
    track.append(mido.MetaMessage('end_of_track', time=tpb // 2))
    mid.tracks.append(track)
    return mid


def legato(base, tpb):
    mid = mido.MidiFile(type=1, ticks_per_beat=tpb)
    pad = mido.MidiTrack()
    pad.append(mido.MetaMessage('set_tempo', tempo=mido.bpm2tempo(240)))
    pad.append(mido.Message('note_on', channel=1, note=base - 12, velocity=60))
    pad.append(mido.Message('note_off', channel=1, note=base - 12, velocity=40, time=tpb * 8))
    mid.tracks.append(pad)
    melody = mido.MidiTrack()
    for i in range(8):
        if i > 0:
            melody.append(mido.Message('note_off', channel=0, note=base + i - 1, velocity=40, time=tpb))
        melody.append(mido.Message('note_on', channel=0, note=base + i, velocity=80))
    melody.append(mido.Message('note_off', channel=0, note=base + 7, velocity=40, time=tpb))
    mid.tracks.append(melody)
    return mid


def wide():
    mid = mido.MidiFile(type=0, ticks_per_beat=96)
    track = mido.MidiTrack()
    for ch in range(16):
        for n in (0, 4, 7, 12):
            track.append(mido.Message('note_on', channel=ch, note=48 + ch + n, velocity=70))
    for ch in range(16):
        for i, n in enumerate((0, 4, 7, 12)):
            track.append(mido.Message('note_on', channel=ch, note=48 + ch + n, velocity=0, time=384 if ch + i == 0 else 0))
    mid.tracks.append(track)
    return mid


def main():
    what = sys.argv[1]
    if what == 'header':
        mid = mido.MidiFile(sys.argv[2])
        print('type=%d ticks_per_beat=%d' % (mid.type, mid.ticks_per_beat))
        return
    if what in ('tune', 'legato'):
        mid = (tune if what == 'tune' else legato)(int(sys.argv[4]), int(sys.argv[5]))
        mid.save(sys.argv[2])
        with open(sys.argv[3], 'w') as f:
            f.write('\n'.join(expected_lines(mid)) + '\n')
        return
    if what == 'xtrk':
        mid = song()
        mid.save(sys.argv[2])
        with open(sys.argv[3], 'w') as f:
            f.write('\n'.join(expected_lines(mid)) + '\n')
        data = open(sys.argv[2], 'rb').read()
        count = int.from_bytes(data[10:12], 'big') + 1
        chunk = b'XTrk' + (5).to_bytes(4, 'big') + b'\x01\x02\x03\x04\x05'
        first = 14 + 8 + int.from_bytes(data[18:22], 'big')  # after the first track
        open(sys.argv[2], 'wb').write(data[:10] + count.to_bytes(2, 'big') + data[12:first] + chunk + data[first:])
        return
    if what == 'dump':
        for index, track in enumerate(mido.MidiFile(sys.argv[2]).tracks):
            tick = 0
            for msg in track:
                tick += msg.time
                fields = msg.dict()
                fields.pop('time')
                kind = fields.pop('type')
                print(index, tick, kind, ' '.join('%s=%r' % (k, list(v) if isinstance(v, (list, tuple)) else v)
                                                   for k, v in sorted(fields.items())))
        return
    if what == 'format2':
        mid = mido.MidiFile(type=2, ticks_per_beat=96)
        t = mido.MidiTrack()
        t.append(mido.Message('note_on', note=60))
        mid.tracks.append(t)
        mid.save(sys.argv[2])
        return
    mid = {'song': song, 'format0': song, 'wide': wide, 'dense': lambda: dense(int(sys.argv[4]))}[what]()
    if what == 'format0':
        # One track: a port event would apply to everything after it, so there is none.
        merged = mido.MidiFile(type=0, ticks_per_beat=mid.ticks_per_beat)
        merged.tracks.append(mido.MidiTrack(m for m in mido.merge_tracks(mid.tracks) if m.type != 'midi_port'))
        mid = merged
        expected = expected_lines(mid)
    else:
        expected = expected_lines(mid)
    mid.save(sys.argv[2])
    with open(sys.argv[3], 'w') as f:
        f.write('\n'.join(expected) + '\n')


main()
