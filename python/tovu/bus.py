"""The engine bus on Linux: a Unix stream socket carrying window-message frames (docs/protocol.md
section 1). This module knows frames and message numbers, never what a payload holds.

A Bus is one window on the engine: one connection. Its one subtle duty is the nesting: while a SEND
of ours waits for its REPLY, the engine may SEND to us (port lists, the open-ports reply, positions);
each such SEND is handed to `deliver` at once and answered with a REPLY, inside our wait, and a
deliver that sends a request of its own nests another wait the same way. POSTs are delivered too and
need no answer. Frames leave the read buffer before they are handled, so a nested read never sees a
frame twice. One thread uses a Bus at a time.

Starting the engine: when nothing answers, `tovu-engine` (TOVU_ENGINE_BINARY, beside the program, or
on PATH) is started with a pipe as its standard error; the pipe's reading end is kept until the
window has registered (keep_engine_lines), so an engine whose launcher dies first closes itself.
"""
import os
import select
import shutil
import socket
import stat
import struct
import subprocess
import sys
import time

from . import protocol

HEADER = struct.Struct("<9I")  # size, kind, id, hwnd, msg, wParam, lParam, dwData, cbData
HEADER_SIZE = HEADER.size      # 36: the size field and the 32 bytes it counts
POST, SEND, REPLY, HELLO = 1, 2, 3, 4
MAX_PAYLOAD = 64 << 20


class Message:
    """What the engine addressed to this window: a notification (a POST of message 1624), a position
    or start message, or a copy-data answer or report (type in dwData bits 0-15)."""

    __slots__ = ("msg", "wparam", "lparam", "dwdata", "payload", "sent")

    def __init__(self, msg, wparam, lparam, dwdata=0, payload=b"", sent=False):
        self.msg, self.wparam, self.lparam = msg, wparam, lparam
        self.dwdata, self.payload, self.sent = dwdata, payload, sent

    @property
    def is_notification(self):
        return self.msg == protocol.ENGINE_COMMAND and not self.sent

    @property
    def copy_type(self):
        """The copy-data type, or None for any other message."""
        return self.dwdata & 0xFFFF if self.msg == protocol.WM_COPYDATA else None

    def __repr__(self):
        kind = "SEND" if self.sent else "POST"
        return "Message(%s %d, wParam=%d, lParam=%d, dwData=%#x, %d bytes)" % (
            kind, self.msg, self.wparam, self.lparam, self.dwdata, len(self.payload))


class ConnectError(Exception):
    """No engine could be reached; the message says why (the engine's own line when it said one)."""


def socket_path():
    path = os.environ.get("TOVU_ENGINE_SOCKET")
    if path:
        return path
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        return os.path.join(runtime, "TovuEngine.sock")
    return "/tmp/tovu-%d/TovuEngine.sock" % os.getuid()


def engine_program():
    path = os.environ.get("TOVU_ENGINE_BINARY")
    if path:
        return path
    beside = os.path.join(os.path.dirname(os.path.abspath(sys.argv[0] or ".")), "tovu-engine")
    if os.access(beside, os.X_OK):
        return beside
    return shutil.which("tovu-engine") or "tovu-engine"


def directory_is_private(directory):
    """The directory itself (never a link's target) belongs to this user and is closed to others."""
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    except OSError:
        return False
    try:
        st = os.fstat(fd)
        return stat.S_ISDIR(st.st_mode) and st.st_uid == os.geteuid() and st.st_mode & 0o077 == 0
    finally:
        os.close(fd)


def engine_lines(text):
    """The engine's own lines among what its standard error carried: "tovu: ..." without the prefix,
    "tovu-engine: ..." and "Error: ..." whole; lines of the libraries it uses are left out."""
    lines = []
    for line in text.splitlines():
        if line.startswith("tovu: "):
            lines.append(line[6:])
        elif line.startswith(("tovu-engine: ", "Error: ")):
            lines.append(line)
    return "\n".join(lines)


class _Refused(Exception):
    pass


def _connect_once(path):
    """A connected socket, None when nothing answers, or _Refused when the socket is not ours."""
    directory = os.path.dirname(path) or "."
    if not os.path.lexists(directory):
        return None  # the engine makes the directory: none has started yet
    if not directory_is_private(directory):
        raise _Refused()
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(path)
    except OSError:
        sock.close()
        return None
    creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    _, uid, _ = struct.unpack("3i", creds)
    if uid != os.geteuid():
        sock.close()
        raise _Refused()
    return sock


class Bus:
    def __init__(self):
        self.sock = None
        self.window = 0          # this connection's window (HELLO's lParam)
        self.engine_window = 0   # the engine window (HELLO's wParam)
        self.engine_lines = ""   # what a started engine said before this window registered
        self._startup = None     # reading end of a started engine's standard error
        self._startup_text = b""
        self._startup_ended = False
        self._in = bytearray()
        self._next_id = 1
        self._wanted = set()
        self._replies = {}
        # Called with every Message the engine addresses to this window, SENT or POSTed, as it
        # arrives (also inside a wait); for a SEND, its return value is the REPLY's result.
        self.deliver = lambda message: 0

    # ---- Connecting ----

    def connect(self, path=None, start_engine=True, engine=None, timeout=5.0):
        path = path or socket_path()
        engine = engine or engine_program()
        deadline = time.monotonic() + timeout
        started = False
        while True:
            try:
                sock = _connect_once(path)
            except _Refused:
                self._drop_startup()
                raise ConnectError("the engine socket %s is refused: its directory %s must belong to you and be "
                                   "closed to others (chmod 700), and an engine answering there must run as you"
                                   % (path, os.path.dirname(path)))
            if sock is not None:
                self.sock = sock
                self._in = bytearray()
                self.window = 0
                while self.window == 0 and self.sock is not None:
                    left = deadline - time.monotonic()
                    if left <= 0 or not self.receive_once(left):
                        break
                if self.window != 0:
                    self.engine_lines = engine_lines(self._read_startup(0).decode("utf-8", "replace"))
                    return
                # An engine that was closing accepted us and went without a HELLO: try again.
                if self.sock is not None:
                    self.sock.close()
                    self.sock = None
            elif start_engine and not started:
                started = True
                self._start_engine(engine)
            elif not started:
                raise ConnectError("no engine answers at %s" % path)
            if self._startup is not None:
                self._read_startup(0)
            if self._startup is not None and self._startup_ended:
                lines = engine_lines(self._read_startup(0.05).decode("utf-8", "replace"))
                self._drop_startup()
                raise ConnectError("the engine started and stopped: " + lines if lines else
                                   "no engine answers at %s, and %s could not be started" % (path, engine))
            if time.monotonic() >= deadline:
                self._drop_startup()
                raise ConnectError("no engine answers at %s%s" % (
                    path, ": the one started (%s) did not answer in time" % engine if started else ""))
            time.sleep(0.005)

    def _start_engine(self, engine):
        """Starts the engine in a session of its own, detached (a shell starts it and exits at once,
        so that it never becomes a child of this program), with a pipe as its standard error."""
        reading, writing = os.pipe()
        try:
            subprocess.run(["/bin/sh", "-c", 'exec "$0" </dev/null >/dev/null &', engine], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=writing, start_new_session=True, check=True)
        except (OSError, subprocess.CalledProcessError) as e:
            os.close(reading)
            raise ConnectError("%s could not be started (%s)" % (engine, e))
        finally:
            os.close(writing)
        self._startup = reading
        self._startup_text = b""
        self._startup_ended = False

    def _read_startup(self, timeout):
        """What the started engine has written on its standard error so far (its end: the pipe's)."""
        while self._startup is not None and not self._startup_ended and len(self._startup_text) < 4096:
            ready, _, _ = select.select([self._startup], [], [], timeout)
            if not ready:
                break
            chunk = os.read(self._startup, 512)
            if not chunk:
                self._startup_ended = True  # the engine has gone: no writer is left
                break
            self._startup_text += chunk
            timeout = 0
        return self._startup_text

    def _drop_startup(self):
        if self._startup is not None:
            os.close(self._startup)
            self._startup = None

    def keep_engine_lines(self):
        """Once this window has registered: keeps the started engine's lines and closes the pipe,
        which tells the engine that its launcher is done."""
        if self._startup is not None:
            lines = engine_lines(self._read_startup(0).decode("utf-8", "replace"))
            if lines:
                self.engine_lines = lines
            self._drop_startup()

    @property
    def connected(self):
        return self.sock is not None

    def disconnect(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        self._drop_startup()

    # ---- Frames ----

    def _write(self, kind, ident, msg, wparam, lparam, dwdata=0, payload=b""):
        if self.sock is None:
            return False
        hwnd = self.engine_window if kind in (POST, SEND) else 0
        frame = HEADER.pack(32 + len(payload), kind, ident, hwnd, msg, wparam & 0xFFFFFFFF, lparam & 0xFFFFFFFF,
                            dwdata, len(payload)) + bytes(payload)
        try:
            self.sock.sendall(frame)
        except OSError:
            self.disconnect()
            return False
        return True

    def receive_once(self, timeout):
        """Reads once (waiting up to `timeout` seconds) and handles every whole frame. False once the
        connection has closed."""
        if self.sock is None:
            return False
        ready, _, _ = select.select([self.sock], [], [], max(timeout, 0))
        if ready:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                self.disconnect()
                return False
            self._in += chunk
        while len(self._in) >= HEADER_SIZE:
            size, kind, ident, hwnd, msg, wparam, lparam, dwdata, cb = HEADER.unpack_from(self._in)
            if size < 32 or size > 32 + MAX_PAYLOAD or cb != size - 32:
                self.disconnect()  # a malformed frame ends the connection
                return False
            if len(self._in) < 4 + size:
                break
            payload = bytes(self._in[HEADER_SIZE:4 + size])
            del self._in[:4 + size]  # gone before it is handled: a nested read must not see it again
            self._handle(kind, ident, msg, wparam, lparam, dwdata, payload)
            if self.sock is None:
                return False
        return True

    def _handle(self, kind, ident, msg, wparam, lparam, dwdata, payload):
        if kind == HELLO:
            self.engine_window, self.window = wparam, lparam
        elif kind == REPLY:
            if ident in self._wanted:
                self._replies[ident] = lparam - (1 << 32) if lparam & 0x80000000 else lparam
        elif kind in (POST, SEND):
            result = self.deliver(Message(msg, wparam, lparam, dwdata, payload, kind == SEND))
            if kind == SEND:
                # Only id and the result: a REPLY's other fields are 0.
                self._write(REPLY, ident, 0, 0, int(result or 0))
        # frames of any other kind are ignored

    # ---- Posting and sending to the engine window ----

    def post(self, msg, wparam, lparam, dwdata=0, payload=b""):
        return self._write(POST, 0, msg, wparam, lparam, dwdata, payload)

    def send(self, msg, wparam, lparam, dwdata=0, payload=b"", timeout=10.0):
        """Sends and waits for the result, answering the engine's SENDs meanwhile. None on timeout or
        disconnection."""
        ident = self._next_id
        self._next_id = self._next_id % 0xFFFFFFFF + 1
        self._wanted.add(ident)
        try:
            if not self._write(SEND, ident, msg, wparam, lparam, dwdata, payload):
                return None
            deadline = time.monotonic() + timeout
            while ident not in self._replies:
                left = deadline - time.monotonic()
                if left <= 0 or not self.receive_once(left):
                    return None
            return self._replies.pop(ident)
        finally:
            self._wanted.discard(ident)
            self._replies.pop(ident, None)

    def send_copy_data(self, kind, payload=b"", argument=0, timeout=10.0):
        """WM_COPYDATA: wParam is this window, lParam 0 (the payload travels in the frame)."""
        return self.send(protocol.WM_COPYDATA, self.window, 0, protocol.copy_data_word(kind, argument), payload,
                         timeout)
