#!/usr/bin/env python3
"""Plays a Standard MIDI File through tovu-engine, as `tovu-ctl play FILE --out PORTS --tempo F`
does: the same ports, the same image, every sysex sent, the position printed per beat.

    python3 play_file.py song.mid --out synth,drums --tempo 1.5
"""
import argparse
import sys

import tovu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--out", default="", help="output ports: device ids or (parts of) names, by commas")
    parser.add_argument("--tempo", type=float, default=1.0, help="tempo factor")
    args = parser.parse_args()
    try:
        with tovu.Client() as c:
            if c.register() != 0:
                sys.exit("the engine refused the registration")
            outputs = c.output_ports()
            if not outputs:
                sys.exit("the engine has no output ports" + ("; it said: " + c.engine_lines if c.engine_lines else ""))
            ports = [tovu.find_port(outputs, spec) for spec in args.out.split(",")] if args.out else [outputs[0]]
            song = tovu.read_file(args.file, ports=[p.index for p in ports])
            opened = c.open_ports(list({p.device_id: p for p in ports}.values()))
            if opened is None or any(opened[0]):
                sys.exit("the ports cannot be opened: %s" % (opened,))
            c.load_song(song.image())
            if c.failure() is not None:
                sys.exit("the engine refused the song")
            if args.tempo != 1.0:
                c.set_tempo_factor(args.tempo)
            beat = song.ticks_per_quarter
            c.on_position = lambda tick: tick % beat == 0 and print("tick %d" % tick, flush=True)
            c.start()
            how = c.wait_until_stopped()
            print("played" if how == "ended" else how)
            return 0 if how == "ended" else 1
    except (tovu.ConnectError, tovu.SmfError, tovu.EngineError, LookupError, OSError) as e:
        sys.exit("play_file: %s" % e)


if __name__ == "__main__":
    sys.exit(main())
