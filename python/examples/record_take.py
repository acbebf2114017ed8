#!/usr/bin/env python3
"""Records a take from a MIDI input through tovu-engine: N bars at a tempo, with the metronome on an
output when one is named, and writes the take as a Standard MIDI File (format 0, one track; a loop
would lay its passes one after another; what the count-in caught is left out).

    python3 record_take.py take.mid --in keys --bars 4 --bpm 100 --click drums
"""
import argparse
import struct
import sys

import tovu
from tovu import protocol


def vlq(n):
    out = [n & 0x7F]
    while n > 0x7F:
        n >>= 7
        out.insert(0, 0x80 | n & 0x7F)
    return bytes(out)


def write_file(path, take, ticks_per_quarter, bpm):
    """The take's messages from its record start on, with a tempo event first."""
    body = b"\x00\xff\x51\x03" + (60000000 // bpm).to_bytes(3, "big")
    last = take.record_start
    for tick, data in take.messages():
        if tick < take.record_start:
            continue  # the count-in
        event = data if data[0] != 0xF0 else b"\xf0" + vlq(len(data) - 1) + data[1:]
        body += vlq(tick - last) + event
        last = tick
    body += b"\x00\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, ticks_per_quarter) + b"MTrk" + struct.pack(">I", len(body)) + body)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--in", dest="input", default="", help="input port (default: the first)")
    parser.add_argument("--bars", type=int, default=2)
    parser.add_argument("--bpm", type=int, default=120)
    parser.add_argument("--click", default="", help="metronome on this output port")
    args = parser.parse_args()
    ticks_per_quarter = 480
    try:
        with tovu.Client() as c:
            if c.register() != 0:
                sys.exit("the engine refused the registration")
            inputs, outputs = c.input_ports(), c.output_ports()
            if not inputs or not outputs:
                sys.exit("the engine needs an input and an output port to record")
            source = tovu.find_port(inputs, args.input) if args.input else inputs[0]
            click = tovu.find_port(outputs, args.click) if args.click else None
            c.open_ports([click or outputs[0]], source, flags=protocol.INPUT_NOTES | protocol.INPUT_CONTROLLERS |
                         protocol.INPUT_PITCH_BEND | protocol.INPUT_SYSEX)
            before = c.metronome_settings()
            if click:
                c.set_metronome(click.device_id, 9, 76, 77)
            song = tovu.SongBuilder(ticks_per_quarter)
            song.tempo(0, args.bpm)
            song.end(0)
            c.load_song(song.build())
            end = args.bars * 4 * ticks_per_quarter
            stopped, shown = [], []

            def position(tick):  # runs inside whatever call is reading: it may send requests itself
                if tick % ticks_per_quarter == 0 and tick < end and tick not in shown:
                    shown.append(tick)  # the count-in's positions all read 0
                    print("beat %d" % (tick // ticks_per_quarter + 1), flush=True)
                if tick >= end and not stopped:
                    stopped.append(c.stop())

            c.on_position = position
            c.start(record=True)
            how = c.wait_until_stopped()
            if before:
                c.set_metronome(*before)
            take = c.wait_for_take()
            if take is None:
                sys.exit("nothing was recorded (%s)" % how)
            write_file(args.file, take, ticks_per_quarter, args.bpm)
            kept = [m for t, m in take.messages() if t >= take.record_start]
            print("wrote %s: %d messages" % (args.file, len(kept)))
            return 0
    except (tovu.ConnectError, tovu.EngineError, LookupError, OSError) as e:
        sys.exit("record_take: %s" % e)


if __name__ == "__main__":
    sys.exit(main())
