"""The package's examples against the real engine: play_file.py plays a file into the virtual log
exactly as `tovu-ctl play` does (the same bytes in the same order, at the same times), for files
that keep their ticks and for one that is re-timed; record_take.py records what the virtual input
receives and writes it as a file that mido reads back."""
import os
import subprocess
import sys
import threading
import time
import unittest

from engine_env import EXAMPLES, MAKE_MIDI, EngineEnv


def keeper():
    """A registered client that keeps the engine up between the programs' runs."""
    import tovu
    c = tovu.Client()
    c.register()
    return c


class Examples(unittest.TestCase):
    def test_play_file_sends_what_tovu_ctl_play_sends(self):
        ctl = os.environ.get("TOVU_CTL_BINARY")
        if not ctl:
            self.skipTest("TOVU_CTL_BINARY is not set")
        with EngineEnv() as env:
            env.make_midi("song", env.path("song.mid"), env.path("song.txt"))
            env.make_midi("dense", env.path("dense.mid"), env.path("dense.txt"), "300")  # fractional tempos
            env.make_midi("format0", env.path("format0.mid"), env.path("format0.txt"))
            k = keeper()
            try:
                for name in ("song", "dense", "format0"):
                    runs = {}
                    for who, program in (("tovu-ctl", [ctl, "play"]),
                                         ("play_file.py", [sys.executable, os.path.join(EXAMPLES, "play_file.py")])):
                        env.clear_log()
                        done = env.run(program + [env.path(name + ".mid"), "--out", "0,1", "--tempo", "4"])
                        self.assertEqual(done.returncode, 0, who + ": " + done.stderr)
                        runs[who] = env.entries()
                    ctl_run, py_run = runs["tovu-ctl"], runs["play_file.py"]
                    self.assertGreater(len(ctl_run), 50, name)
                    self.assertEqual([t for _, t in py_run], [t for _, t in ctl_run], name)
                    # At the same times, each measured from the run's first event (loosely: a busy
                    # machine delays single events; a timing fault would shift most of them).
                    errors = sorted(abs((p - py_run[0][0]) - (c - ctl_run[0][0])) for (p, _), (c, _) in zip(py_run, ctl_run))
                    self.assertLess(errors[len(errors) // 2], 0.02, name)
            finally:
                k.close()

    def test_record_take_writes_what_was_played(self):
        with EngineEnv() as env:
            k = keeper()  # makes the input FIFO before the recording starts
            try:
                out = env.path("take.mid")
                program = subprocess.Popen([sys.executable, os.path.join(EXAMPLES, "record_take.py"), out, "--bars", "1",
                                            "--bpm", "240", "--click", "1"], stdout=subprocess.PIPE, text=True)
                lines = []
                reader = threading.Thread(target=lambda: lines.extend(program.stdout))
                reader.start()
                deadline = time.monotonic() + 20
                while "beat 2\n" not in lines and time.monotonic() < deadline:  # past the count-in bar
                    time.sleep(0.01)
                env.feed("0 90 3c 64")
                env.feed("0 90 3c 00")
                self.assertEqual(program.wait(20), 0)
                reader.join()
                program.stdout.close()
                self.assertIn("wrote %s: 2 messages\n" % out, lines)
                dump = subprocess.run(["/usr/bin/python3", MAKE_MIDI, "dump", out], capture_output=True, text=True,
                                      check=True).stdout.splitlines()
                notes = [line.split(" ", 2)[2] for line in dump if "note_on" in line]
                self.assertEqual(notes, ["note_on channel=0 note=60 velocity=100", "note_on channel=0 note=60 velocity=0"])
                self.assertGreaterEqual(sum("99 4c 7e" in l for l in env.lines()), 2)  # the count-in and bar 1
            finally:
                k.close()


if __name__ == "__main__":
    unittest.main()
