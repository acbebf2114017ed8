"""The package against the real engine with virtual devices: the requests and their answers, the
nesting of the engine's SENDs inside ours (also from a callback that sends), notifications as
callbacks and as an iterator, refusals, recording, and the song image format."""
import os
import struct
import threading
import time
import unittest

import tovu
from tovu import protocol

from engine_env import EngineEnv


class Requests(unittest.TestCase):
    def test_a_client_starts_the_engine_and_uses_its_ports(self):
        with EngineEnv() as env:
            c = tovu.Client()  # nothing answers: the engine is started, with a pipe as its standard error
            self.assertEqual(c.register(), 0)
            self.assertEqual(c.engine_lines, "")
            outputs, inputs = c.output_ports(), c.input_ports()  # answered as SENDs during the command
            self.assertEqual([(p.index, p.name, p.device_id) for p in outputs], [(0, "Virtual Out 1", 0),
                                                                                  (1, "Virtual Out 2", 1)])
            self.assertEqual([p.name for p in inputs], ["Virtual In 1"])
            self.assertEqual(c.find_output("out 2").device_id, 1)
            with self.assertRaisesRegex(LookupError, 'port out is ambiguous: it names "Virtual Out 1", "Virtual Out 2"'):
                c.find_output("out")
            self.assertEqual(c.open_ports(outputs), ([0, 0], -1))
            self.assertTrue(all(p.is_open for p in c.output_ports()))
            self.assertEqual(c.send(0x90, 0x3C, 0x64, port=1), 0)
            self.assertEqual(c.send(0x90, 0x3C, 0x64, port=7), 5)  # no such port
            c.send_list([protocol.pack_event(0xC0, 5), protocol.pack_event(0xB0, 7, 100)])
            self.assertEqual(c.set_audition_hold_time(50), 0)
            self.assertEqual(c.audition_hold_time(), 50)
            c.audition([protocol.pack_event(0x90, 0x40, 0x50, 1)])
            c.send_sysex(b"\xf0\x7e\x7f\x09\x01\xf7", port=1)
            c.set_metronome(1, 9, 76, 77)
            self.assertEqual(c.metronome_settings(), (1, 9, 76, 77))
            c.pump(0.3)  # the audition's release, after its 50 ms
            lines = env.lines()
            for line in ("out1 90 3c 64", "out0 c0 05", "out0 b0 07 64", "out1 90 40 50", "out1 90 40 00",
                         "out1 f0 7e 7f 09 01 f7"):
                self.assertIn(line, lines)
            self.assertLess(lines.index("out1 90 40 50"), lines.index("out1 90 40 00"))
            self.assertEqual(c.panic(), 0)
            self.assertIn("out0 9f 7f 00", env.lines())
            c.close()  # the last client unregisters: the engine closes by itself
            self.assertTrue(env.wait_engine_gone())

    def test_refusals_reach_their_request(self):
        with EngineEnv() as env:
            with tovu.Client() as c:
                c.register()
                c.open_ports([0])
                c.start()
                self.assertEqual(c.failure(), protocol.ERROR_SONG_SLOT_EMPTY)
                c.load_song(b"\x00" * 16)
                self.assertEqual(c.failure(), protocol.ERROR_MALFORMED_SONG)
                song = tovu.SongBuilder()
                song.note_on(0, 9, 0, 60, 100)  # port 9: the engine has two
                song.end(120)
                c.load_song(song.build())
                self.assertEqual(c.failure(), protocol.ERROR_MALFORMED_SONG)
                self.assertIsNone(c.failure())  # nothing else was refused
            os.chmod(os.path.dirname(env.socket), 0o755)
            with self.assertRaisesRegex(tovu.ConnectError, "must belong to you and be closed to others"):
                tovu.Client()
        # An engine the client started says why it has no ports; the client keeps its line.
        with EngineEnv() as env:
            os.environ["TOVU_MIDI"] = "no-such-service"
            with tovu.Client() as c:
                self.assertEqual(c.register(), 0)
                self.assertEqual(c.output_ports(), [])
                self.assertIn("TOVU_MIDI=no-such-service names no MIDI service", c.engine_lines)
            self.assertTrue(env.wait_engine_gone())


def four_notes():
    song = tovu.SongBuilder(ticks_per_quarter=120)
    song.tempo(0, 240)
    for i, note in enumerate((60, 64, 67, 72)):
        song.note_on(i * 120, 0, 0, note, 100)
        song.note_release(i * 120 + 100, 0, 0, note)
    song.end(480)
    return song.build()


class Playback(unittest.TestCase):
    def test_callbacks_that_send_while_the_engine_waits(self):
        # Position messages are SENDs: the engine waits for this client's answer. A callback that
        # sends a request of its own from there nests a second wait inside the first.
        with EngineEnv() as env, tovu.Client() as c:
            c.register()
            c.open_ports([0])
            c.load_song(four_notes())
            positions, answers, notes = [], [], []
            c.on_position = lambda tick: (positions.append(tick), answers.append(c.audition_hold_time()))
            c.on_notification = lambda code, lparam: notes.append((code, lparam))
            c.start(param=7)
            deadline = time.monotonic() + 10
            while (protocol.NOTIFY_STOPPED, protocol.NOTIFY_OWN) not in notes and time.monotonic() < deadline:
                c.pump(0.05)
            self.assertEqual(notes, [(protocol.NOTIFY_STARTED, protocol.NOTIFY_OWN), (protocol.NOTIFY_ENDED, 0),
                                     (protocol.NOTIFY_STOPPED, protocol.NOTIFY_OWN)])
            self.assertEqual(positions[-1], 480)
            self.assertEqual(positions, sorted(positions))
            self.assertTrue(all(p % 30 == 0 for p in positions))  # sixteenth steps of 30 ticks
            self.assertEqual(set(answers), {300})
            start = c.wait_for(lambda m: m.msg == protocol.START, 1)
            self.assertEqual(start.lparam, 7)
            self.assertEqual([l for l in env.lines() if " 90 " in l], [
                "out0 90 3c 64", "out0 90 3c 00", "out0 90 40 64", "out0 90 40 00",
                "out0 90 43 64", "out0 90 43 00", "out0 90 48 64", "out0 90 48 00"])

    def test_messages_as_an_iterator_and_a_stop(self):
        with EngineEnv() as env, tovu.Client() as c:
            c.register()
            c.open_ports([0])
            c.load_song(four_notes())
            c.inbox.clear()  # notification 14 from the open's close, 10 for a refusal: none here
            c.start(loop=(0, 480))
            seen = []
            for m in c.messages(timeout=5):
                seen.append(m)
                if m.msg == protocol.POSITION and m.lparam >= 240 and len(seen) < 1000:
                    if sum(x.msg == protocol.POSITION and x.lparam == 0 for x in seen) >= 2:
                        self.assertEqual(c.stop(), 0)  # the loop wrapped at least once
                if m.is_notification and m.wparam == protocol.NOTIFY_STOPPED:
                    break
            kinds = [m.msg if m.copy_type is None else ("copy", m.copy_type) for m in seen]
            self.assertEqual(kinds[:2], [protocol.START, protocol.ENGINE_COMMAND])  # 1626, then notification 21
            self.assertEqual((seen[1].wparam, seen[1].lparam), (protocol.NOTIFY_STARTED, protocol.NOTIFY_OWN))
            self.assertIn(("copy", protocol.COPY_ACTIVITY), kinds)
            self.assertEqual((seen[-1].wparam, seen[-1].lparam), (protocol.NOTIFY_STOPPED, protocol.NOTIFY_OWN))
            self.assertFalse(any(m.is_notification and m.wparam == protocol.NOTIFY_ENDED for m in seen))
            # A stop releases what sounded: every note struck has its release.
            lines = env.lines()
            for note in ("3c", "40", "43", "48"):
                self.assertEqual(lines.count("out0 90 %s 64" % note), lines.count("out0 90 %s 00" % note), note)


    def test_a_continue_into_the_next_song(self):
        # Songs one after another in one image: the next slot holds both, continued into while the
        # first plays (in its opening rest of 250 ms, where no note sounds to be struck again); the
        # second's notes follow and the playback ends at the second's end.
        def song(count):
            b = tovu.SongBuilder(ticks_per_quarter=120)
            b.tempo(0, 480)
            for i in range(count):
                b.note_on(240 + i * 120, 0, 0, 60 + i, 100)
                b.note_release(240 + i * 120 + 60, 0, 0, 60 + i)
            b.end(240 + count * 120)
            return b.build()
        with EngineEnv() as env, tovu.Client() as c:
            c.register()
            c.open_ports([0])
            c.load_song(song(2))
            c.start()
            c.load_next_song(song(4))  # the same first two notes, then two more
            c.continue_song(param=9)
            self.assertEqual(c.wait_until_stopped(10), "ended")
            self.assertEqual(c.wait_for(lambda m: m.msg == protocol.START and m.lparam == 9, 1).lparam, 9)
            self.assertEqual([l for l in env.lines() if l.endswith(" 64")],
                             ["out0 90 3c 64", "out0 90 3d 64", "out0 90 3e 64", "out0 90 3f 64"])


class Recording(unittest.TestCase):
    def test_a_take_with_a_count_in_and_sysex(self):
        with EngineEnv() as env, tovu.Client() as c:
            c.register()
            c.open_ports([1], 0, flags=protocol.INPUT_NOTES | protocol.INPUT_SYSEX)
            c.set_metronome(1, 9, 76, 77)
            song = tovu.SongBuilder(ticks_per_quarter=120)
            song.tempo(0, 240)
            song.end(0)
            c.load_song(song.build())
            c.start(record=True, loop=(0, 480))
            positions = []
            c.on_position = positions.append
            feeder = threading.Timer(0.1, env.feed, ["0 90 30 64"])  # in the count-in bar (1 s)
            feeder.start()
            while not positions or max(positions) < 120:
                c.pump(0.02)
            feeder.join()
            env.feed("0 90 3c 64")
            env.feed("0 f0 7e 7f 06 01 f7")
            env.feed("0 90 3c 00")
            passed = len(positions)
            while not any(p == 0 for p in positions[passed:]) and len(positions) < 400:  # the wrap: pass 2
                c.pump(0.02)
            self.assertEqual(c.stop(), 0)
            take = c.wait_for_take()
            self.assertIsNotNone(take)
            self.assertEqual((take.record_start, take.count_in), (0, 480))
            self.assertEqual(take.sysex, [b"\xf0\x7e\x7f\x06\x01\xf7"])
            passes = take.passes()
            self.assertGreaterEqual(len(passes), 2)
            first = [(t, w) for t, w in passes[0]]
            self.assertLess(first[0][0], 0)  # the count-in's note, before the record start
            self.assertEqual(first[0][1], 0x00643090)
            words = [w for _, w in first[1:]]
            self.assertEqual(words, [0x00643C90, 0xF0, 0x00003C90])
            self.assertTrue(120 <= first[1][0] < 480)
            self.assertEqual(take.messages()[2], (first[2][0], b"\xf0\x7e\x7f\x06\x01\xf7"))
            c.set_metronome()


class Images(unittest.TestCase):
    def test_the_builder_writes_the_documented_bytes(self):
        song = tovu.SongBuilder(ticks_per_quarter=120)
        song.tempo(0, 120)
        song.note_on(0, 0, 0, 60, 100)
        song.note_release(240, 0, 0, 60)
        song.end(480)
        # docs/protocol.md section 8, step 5.
        self.assertEqual(song.build().hex(" "), " ".join([
            "78 00 00 00", "00 00", "02", "04", "e0 01 00 00", "48 00 00 00", "00 00 00 00", "00 00 00 00",
            "48 00 00 00", "ff ff ff ff", "48 00 00 00", "ff ff ff ff",
            "00 00 00 00 fe 78 00 00", "00 00 00 00 90 3c 64 00", "f0 00 00 00 90 3c 00 00", "e0 01 00 00 ff 00 00 00"]))

    def test_the_documented_image_with_sysex_rpn_and_bank(self):
        # docs/protocol.md section 6, the worked image: its bytes, and what the engine sends for it
        # from the start and from the middle (the chase's order).
        from tovu import song as S
        b = tovu.SongBuilder(120)
        b.tempo(0, 120)
        b.sysex(0, 0, bytes.fromhex("f07e7f0901f7"))
        b.bank(0, 0, 0, S.BANK_FULL14, 1 << 7 | 3)
        b.program(0, 0, 0, 5)
        b.rpn(0, 0, 0, 0, 12 << 7)
        b.note_on(0, 0, 0, 60, 100)
        b.note_release(240, 0, 0, 60)
        b.sysex(240, 0, bytes.fromhex("f07f7f0401007ff7"))
        b.end(480)
        b.setup_sysex_count = 1
        b.rpn_list = [0]
        image = b.build()
        self.assertEqual(image.hex(), "".join([
            "78000000", "0000", "02", "04", "e0010000", "70000000", "01000000", "00000000", "88000000", "8e000000",
            "8e000000", "ffffffff", "00000000fe780000", "00000000f0000000", "0000000010830000", "00000000c0050000",
            "00000000f4000000", "00000000903c6400", "f0000000903c0000", "f0000000f00b0000", "e0010000ff000000",
            "0006000000", "f07e7f0901f7", "0008000000", "f07f7f0401007ff7", "000000000006", "01000000"]))
        with EngineEnv(outputs="1", inputs="0") as env, tovu.Client() as c:
            c.register()
            c.open_ports([0])
            c.load_song(image)
            self.assertIsNone(c.failure())
            sent = {}
            for start in (0, 360):
                env.clear_log()
                c.start(start_tick=start)
                self.assertEqual(c.wait_until_stopped(10), "ended")
                sent[start] = [line[5:] for line in env.lines()]
            self.assertEqual(sent[0], ["f0 7e 7f 09 01 f7", "b0 00 01", "b0 20 03", "c0 05", "b0 65 00", "b0 64 00",
                                       "b0 06 0c", "b0 26 00", "90 3c 64", "90 3c 00", "f0 7f 7f 04 01 00 7f f7"])
            self.assertEqual(sent[360], ["f0 7e 7f 09 01 f7", "f0 7f 7f 04 01 00 7f f7", "b0 65 00", "b0 64 00",
                                         "b0 06 0c", "b0 26 00", "b0 00 01", "b0 20 03", "c0 05", "e0 00 40"])

    def test_a_take_is_checked_as_it_is_read(self):
        good = struct.pack("<5i", 2, 0, 0, 1, 3) + struct.pack("<iIiI", 5, 0xF0, 9, 0xFF) + b"\xf0\x01\xf7"
        self.assertEqual(tovu.read_take(good).sysex, [b"\xf0\x01\xf7"])
        for bad in (good[:-1], struct.pack("<5i", 1, 0, 0, 1, 3) + struct.pack("<iI", 5, 0x100F0) + b"\xf0\x01\xf7",
                    struct.pack("<5i", 1, 0, 0, 2, 3) + struct.pack("<iI", 5, 0xF0) + b"\xf0\x01\xf7"):
            with self.assertRaises(tovu.TakeError):
                tovu.read_take(bad)


if __name__ == "__main__":
    unittest.main()
