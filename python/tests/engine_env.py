"""What the package's tests share: a private engine environment (socket, settings, virtual devices
with their log and input FIFO in a fresh temporary directory), set in this process so that the
engines the client starts and the programs the tests run inherit it; the virtual log read back; the
project's mido writer (tests/smf/make_midi.py, run by Debian's python3, which has mido).

Needs TOVU_ENGINE_BINARY (the engine to start); the comparison with tovu-ctl also TOVU_CTL_BINARY.
scripts/test.sh sets both."""
import os
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
EXAMPLES = os.path.join(SOURCE, "python", "examples")
MAKE_MIDI = os.path.join(SOURCE, "tests", "smf", "make_midi.py")


def engine_binary():
    path = os.environ.get("TOVU_ENGINE_BINARY")
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError("set TOVU_ENGINE_BINARY to tovu-engine (scripts/test.sh does)")
    return path


class EngineEnv:
    def __init__(self, outputs="2", inputs="1"):
        self.dir = tempfile.mkdtemp(prefix="tovu-py-test-")
        self.socket = os.path.join(self.dir, "run", "TovuEngine.sock")
        self.log = os.path.join(self.dir, "virtual.log")
        self.fifo = os.path.join(self.dir, "virtual.in")
        self.vars = {"TOVU_ENGINE_SOCKET": self.socket, "TOVU_SETTINGS_DIR": os.path.join(self.dir, "settings"),
                     "TOVU_MIDI": "virtual", "TOVU_VIRTUAL_OUTPUTS": outputs, "TOVU_VIRTUAL_INPUTS": inputs,
                     "TOVU_VIRTUAL_LOG": self.log, "TOVU_VIRTUAL_INPUT": self.fifo,
                     "TOVU_ENGINE_BINARY": engine_binary()}
        self._saved = {k: os.environ.get(k) for k in self.vars}
        os.environ.update(self.vars)

    def close(self):
        for k, v in self._saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def path(self, name):
        return os.path.join(self.dir, name)

    def entries(self):
        """The data lines of the virtual log: (seconds, "out0 90 3c 64")."""
        out = []
        if os.path.exists(self.log):
            with open(self.log) as f:
                for line in f:
                    ns, kind, rest = line.rstrip("\n").split(" ", 2)
                    if kind == "data":
                        out.append((int(ns) / 1e9, rest))
        return out

    def lines(self):
        return [text for _, text in self.entries()]

    def clear_log(self):
        open(self.log, "w").close()

    def feed(self, line):
        """One input line "<input id> <hex bytes>" into the virtual input."""
        with open(self.fifo, "w") as f:
            f.write(line + "\n")

    def wait_engine_gone(self, timeout=10.0):
        """True once nothing answers at the socket (the engine closed)."""
        import socket
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(self.socket)
            except OSError:
                return True
            finally:
                s.close()
            time.sleep(0.02)
        return False

    def run(self, args, timeout=60):
        return subprocess.run(args, capture_output=True, text=True, timeout=timeout)

    def make_midi(self, *args):
        subprocess.run(["/usr/bin/python3", MAKE_MIDI] + list(args), check=True, timeout=60)
