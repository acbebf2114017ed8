"""A client of tovu-engine: one window on the engine bus, with one method per request.

    with tovu.Client() as c:            # connects, starting tovu-engine when none answers
        c.register()
        synth = c.find_output("synth")  # by device id, name, or a unique part of a name
        c.open_ports([synth])
        c.load_song(tovu.read_file("song.mid").image())
        c.start()
        for m in c.messages():           # positions, reports and notifications as they come
            ...

What the engine addresses to the window arrives while any call reads from the bus: inside a request
(the engine SENDs its answers during the request, and they are answered at once), in pump(), and in
messages() and wait_for(). Each message goes to the callback set for its kind (on_position,
on_notification, on_activity, on_take, on_start: set an attribute to a function), or, without one,
to the inbox that messages() and wait_for() read. A callback may itself make requests. One thread
uses a client at a time.
"""
import collections
import struct
import time

from . import protocol
from .bus import Bus, Message
from .take import read_take


class Port:
    """A port as the engine lists it: its index in the engine's table (what images and packed events
    name), its name, device id (what requests name), whether the engine holds it open, and, for
    outputs, its sysex delay and short-reset settings."""

    def __init__(self, index, name, device_id, handle, sysex_delay_ms=0, short_reset=0):
        self.index, self.name, self.device_id, self.handle = index, name, device_id, handle
        self.sysex_delay_ms, self.short_reset = sysex_delay_ms, short_reset

    @property
    def is_open(self):
        return self.handle != 0

    def __repr__(self):
        return "Port(%d, %r, device %d%s)" % (self.index, self.name, self.device_id, ", open" if self.handle else "")


def _ports(payload, size):
    ports = []
    for index, at in enumerate(range(0, len(payload) - size + 1, size)):
        name = payload[at:at + protocol.PORT_NAME_SIZE].split(b"\0", 1)[0].decode("utf-8", "replace")
        device, handle = struct.unpack_from("<II", payload, at + 64)
        extra = struct.unpack_from("<iI", payload, at + 72) if size == protocol.OUTPUT_RECORD_SIZE else (0, 0)
        ports.append(Port(index, name, device, handle, *extra))
    return ports


def find_port(ports, spec):
    """A port named by device id (digits), by its name, or by a unique part of its name, without
    regard to case. Raises LookupError saying what is wrong."""
    spec = str(spec)
    if spec.isdigit():
        for p in ports:
            if p.device_id == int(spec):
                return p
        raise LookupError("no device %s" % spec)
    want = spec.lower()
    partial = []
    for p in ports:
        if p.name.lower() == want:
            return p
        if want and want in p.name.lower():
            partial.append(p)
    if len(partial) == 1:
        return partial[0]
    if not partial:
        raise LookupError("no port %s" % spec)
    raise LookupError("port %s is ambiguous: it names %s" % (spec, ", ".join('"%s"' % p.name for p in partial)))


class EngineError(Exception):
    """A request the engine refused (notification 10); `code` is its error code."""

    def __init__(self, code):
        super().__init__(protocol.ERROR_TEXT.get(code, "error %d" % code))
        self.code = code


class Client:
    def __init__(self, start_engine=True, socket_path=None, engine=None, timeout=5.0):
        self.bus = Bus()
        self.bus.deliver = self._deliver
        self.inbox = collections.deque()
        self.registered = False
        self.on_position = None      # f(tick)
        self.on_notification = None  # f(code, lparam)
        self.on_activity = None      # f(table): output port count x 2048 counters
        self.on_take = None          # f(Take)
        self.on_start = None         # f(start parameter)
        self.bus.connect(socket_path, start_engine, engine, timeout)

    # ---- Life ----

    @property
    def window(self):
        return self.bus.window

    @property
    def engine_lines(self):
        """What an engine this client started said before the registration (why it has no ports)."""
        return self.bus.engine_lines

    @property
    def connected(self):
        return self.bus.connected

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Unregisters (when registered) and disconnects; the engine closes when its last client has
        gone."""
        if self.registered and self.bus.connected:
            self.unregister()
        self.bus.disconnect()

    def command(self, code, lparam=0):
        """Engine command 1624 `code`, sent; its result (None without one)."""
        return self.bus.send(protocol.ENGINE_COMMAND, code, lparam)

    def register(self):
        result = self.command(protocol.CMD_REGISTER, self.window)
        if result == protocol.RESULT_DONE:
            self.registered = True
            self.bus.keep_engine_lines()
        return result

    def unregister(self):
        """Command 1: stops this client's playback and closes its ports (notification 14, lParam 0)."""
        self.registered = False
        return self.command(protocol.CMD_UNREGISTER, self.window)

    def close_engine(self):
        """Asks the engine to close (WM_CLOSE, posted)."""
        return self.bus.post(protocol.WM_CLOSE, 0, 0)

    def reload_settings(self):
        return self.command(protocol.CMD_RELOAD_SETTINGS)

    # ---- Ports ----

    def _answer(self, code):
        """A command naming this window, and the copy-data answer of the same type sent during it."""
        self._take(lambda m: m.copy_type == code)
        result = self.command(code, self.window)
        answers = self._take(lambda m: m.copy_type == code)
        return result, answers[-1].payload if answers else b""

    def output_ports(self):
        return _ports(self._answer(protocol.CMD_OUTPUT_PORTS)[1], protocol.OUTPUT_RECORD_SIZE)

    def input_ports(self):
        return _ports(self._answer(protocol.CMD_INPUT_PORTS)[1], protocol.INPUT_RECORD_SIZE)

    def find_output(self, spec):
        return find_port(self.output_ports(), spec)

    def find_input(self, spec):
        return find_port(self.input_ports(), spec)

    def open_ports(self, outputs, input=None, channels=protocol.ALL_CHANNELS, flags=protocol.INPUT_NOTES):
        """Copy-data 13: closes this client's ports, then opens the outputs (Ports or device ids, at
        most 256) and the input (a Port, a device id, or None). Returns (output results, input result):
        0 for each port opened, else the device's error; None when no reply came (no outputs)."""
        ids = [p.device_id if isinstance(p, Port) else int(p) for p in outputs][:protocol.OPEN_PORTS_MAX_OUTPUTS]
        request = bytearray(protocol.OPEN_PORTS_SIZE)
        struct.pack_into("<i", request, protocol.OPEN_PORTS_COUNT_OFFSET, len(ids))
        struct.pack_into("<%dI" % len(ids), request, protocol.OPEN_PORTS_OUTPUTS_OFFSET, *ids)
        device = protocol.NO_INPUT_DEVICE if input is None else input.device_id if isinstance(input, Port) else input
        struct.pack_into("<i", request, protocol.OPEN_PORTS_INPUT_OFFSET, device)
        struct.pack_into("<II", request, protocol.OPEN_PORTS_CHANNEL_MASK_OFFSET, channels, flags)
        self._take(lambda m: m.copy_type == protocol.COPY_OPEN_PORTS)
        self.bus.send_copy_data(protocol.COPY_OPEN_PORTS, bytes(request))
        replies = self._take(lambda m: m.copy_type == protocol.COPY_OPEN_PORTS)
        if not replies or len(replies[-1].payload) < protocol.OPEN_PORTS_SIZE:
            return None
        reply = replies[-1].payload
        results = list(struct.unpack_from("<%di" % len(ids), reply, protocol.OPEN_PORTS_OUTPUTS_OFFSET))
        return results, struct.unpack_from("<i", reply, protocol.OPEN_PORTS_INPUT_OFFSET)[0]

    def close_ports(self):
        return self.bus.send_copy_data(protocol.COPY_CLOSE_PORTS)

    def longest_message(self, device_id):
        """Command 32 (an addition): the longest message the port's device carries, in bytes."""
        return self.command(protocol.CMD_LONGEST_MESSAGE, device_id)

    # ---- Sending ----

    def send(self, status, data1=0, data2=0, port=0):
        """Command 18: one short message on the output port with that index; the output path's result
        (0 sent, 5 the port is not open, 7 its queue is full, or the device's error)."""
        return self.command(protocol.CMD_SEND_SHORT, protocol.pack_event(status, data1, data2, port))

    def send_list(self, events):
        """Copy-data 15: packed events (protocol.pack_event) sent in order."""
        return self.bus.send_copy_data(protocol.COPY_SHORT_LIST, struct.pack("<%dI" % len(events), *events))

    def audition(self, events):
        """Copy-data 16: packed events sent now, their notes released after the audition hold time."""
        return self.bus.send_copy_data(protocol.COPY_AUDITION, struct.pack("<%dI" % len(events), *events))

    def send_sysex(self, data, port=0):
        """Copy-data 17: one system-exclusive message (F0 ... F7) on the output port with that index."""
        return self.bus.send_copy_data(protocol.COPY_SYSEX, bytes(data), port)

    def panic(self):
        return self.command(protocol.CMD_PANIC)

    def audition_hold_time(self):
        return self.command(protocol.CMD_AUDITION_HOLD_TIME)

    def set_audition_hold_time(self, ms):
        return self.command(protocol.CMD_SET_AUDITION_HOLD_TIME, ms)

    def failure(self):
        """The error code of a refusal (notification 10) of a request sent before, or None. The
        engine handles messages in order and posts a refusal while it handles the request, so one
        round trip (a command) after the request brings it here."""
        self.audition_hold_time()
        found = self._take(lambda m: m.is_notification and m.wparam == protocol.NOTIFY_FAILED, first=True)
        return found[0].lparam if found else None

    # ---- Songs and playback ----

    def load_song(self, image):
        """Copy-data 19 into the current slot; a refusal comes as notification 10 (see failure())."""
        return self.bus.send_copy_data(protocol.COPY_LOAD_SONG, bytes(image))

    def load_next_song(self, image):
        return self.bus.send_copy_data(protocol.COPY_LOAD_NEXT_SONG, bytes(image))

    @staticmethod
    def start_request(start_tick=0, loop=None, sysex_mode=protocol.SYSEX_MODE_ALL, setup_sysex=True, record=False,
                      param=0):
        """The 32 bytes of a start or continue: loop is (start, end) or None (end
        protocol.LOOP_END_OPEN: the song's end)."""
        loop_start, loop_end = loop if loop else (0, protocol.LOOP_END_OPEN)
        return struct.pack("<8i", start_tick, loop_start, loop_end, 1 if loop else 0, sysex_mode,
                           1 if setup_sysex else 0, 1 if record else 0, param)

    def start(self, start_tick=0, loop=None, sysex_mode=protocol.SYSEX_MODE_ALL, setup_sysex=True, record=False,
              param=0):
        """Copy-data 21. By default every sysex of the song is sent, its setup too, so that the devices
        receive the whole song (as tovu-ctl play does)."""
        return self.bus.send_copy_data(protocol.COPY_START, self.start_request(
            start_tick, loop, sysex_mode, setup_sysex, record, param))

    def continue_song(self, loop=None, sysex_mode=protocol.SYSEX_MODE_ALL, setup_sysex=True, param=0):
        """Copy-data 22: the playing song goes on as the next slot's from the current tick."""
        return self.bus.send_copy_data(protocol.COPY_CONTINUE, self.start_request(
            0, loop, sysex_mode, setup_sysex, False, param))

    def stop(self):
        """Command 5 for this window: 0 stopped, 1 it does not play."""
        return self.command(protocol.CMD_STOP, self.window)

    def set_tempo_factor(self, factor):
        return self.bus.send_copy_data(protocol.COPY_TEMPO_FACTOR, struct.pack("<d", factor))

    def set_input_filter(self, channels=protocol.ALL_CHANNELS, flags=protocol.INPUT_NOTES):
        return self.bus.send_copy_data(protocol.COPY_INPUT_FILTER, struct.pack("<II", channels, flags))

    def set_metronome(self, device=protocol.NO_DEVICE, channel=9, bar_note=60, beat_note=61):
        return self.bus.send_copy_data(protocol.COPY_SET_METRONOME, struct.pack("<4i", device, channel, bar_note,
                                                                                beat_note))

    def metronome_settings(self):
        """(device, channel, bar note, beat note) as the engine holds them, or None."""
        payload = self._answer(protocol.CMD_METRONOME_SETTINGS)[1]
        return struct.unpack_from("<4i", payload) if len(payload) >= 16 else None

    def set_thru(self, device=protocol.NO_DEVICE, channel=protocol.THRU_OWN_CHANNEL, transpose=0, velocity_offset=0):
        return self.bus.send_copy_data(protocol.COPY_SET_THRU, struct.pack("<4i", device, channel, transpose,
                                                                            velocity_offset))

    # ---- Receiving ----

    def _deliver(self, m):
        handlers = {protocol.POSITION: (self.on_position, lambda: (m.lparam,)),
                    protocol.START: (self.on_start, lambda: (m.lparam,))}
        if m.is_notification:
            handler, args = self.on_notification, (m.wparam, m.lparam)
        elif m.copy_type == protocol.COPY_ACTIVITY:
            handler, args = self.on_activity, (m.payload,)
        elif m.copy_type == protocol.COPY_TAKE:
            handler, args = self.on_take, None
            if handler:
                args = (read_take(m.payload),)
        elif m.msg in handlers:
            handler, make = handlers[m.msg]
            args = make()
        else:
            handler, args = None, None
        if handler is None:
            self.inbox.append(m)
        else:
            handler(*args)
        return 0  # the engine ignores what a client answers

    def _take(self, match, first=False):
        found = [m for m in self.inbox if match(m)]
        if first:
            found = found[:1]
        for m in found:
            self.inbox.remove(m)
        return found

    def pump(self, timeout=0.0):
        """Reads for `timeout` seconds, handing what arrives to the callbacks and the inbox. False once
        the connection has closed."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if not self.bus.receive_once(max(left, 0)):
                return False
            if left <= 0:
                return True

    def wait_for(self, match, timeout):
        """The first inbox message that `match` accepts (taken out of the inbox), waiting up to
        `timeout` seconds for it; None when none came."""
        deadline = time.monotonic() + timeout
        while True:
            found = self._take(match, first=True)
            if found:
                return found[0]
            left = deadline - time.monotonic()
            if left <= 0 or not self.bus.receive_once(left):
                return None

    def messages(self, timeout=None):
        """The inbox's messages as they come, oldest first. Ends when none has come for `timeout`
        seconds (None: never) or the connection has closed."""
        while True:
            if self.inbox:
                yield self.inbox.popleft()
                continue
            deadline = None if timeout is None else time.monotonic() + timeout
            while not self.inbox:
                left = 1.0 if deadline is None else deadline - time.monotonic()
                if left <= 0 or not self.bus.receive_once(left):
                    return

    def wait_until_stopped(self, timeout=None):
        """Waits until this client's playback stops: "ended" (it came to its end: notification 12,
        then 5), "stopped" (notification 5 alone: a stop) or "closed" (the engine went away).
        Raises EngineError on a refusal (notification 10). Other messages stay in the inbox."""
        ended = False
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            for m in self._take(lambda x: x.is_notification and x.wparam in (
                    protocol.NOTIFY_FAILED, protocol.NOTIFY_ENDED, protocol.NOTIFY_STOPPED, protocol.NOTIFY_PORTS_CLOSED)):
                if m.wparam == protocol.NOTIFY_FAILED:
                    raise EngineError(m.lparam)
                if m.wparam == protocol.NOTIFY_ENDED:
                    ended = True
                if m.wparam == protocol.NOTIFY_STOPPED and m.lparam == protocol.NOTIFY_OWN:
                    return "ended" if ended else "stopped"
                if m.wparam == protocol.NOTIFY_PORTS_CLOSED and m.lparam == protocol.PORTS_CLOSED_SHUTDOWN:
                    return "closed"
            left = 1.0 if deadline is None else deadline - time.monotonic()
            if left <= 0:
                return None
            if not self.bus.receive_once(left):
                return "closed"

    def wait_for_take(self, timeout=2.0):
        """The take of this client's recording (copy-data 28), which the stop sends before it handles
        anything else: after the stop and one round trip it is here or it is not coming."""
        self.audition_hold_time()
        m = self.wait_for(lambda x: x.copy_type == protocol.COPY_TAKE, timeout)
        return read_take(m.payload) if m else None
