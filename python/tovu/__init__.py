"""tovu: a pure-Python client of tovu-engine, the headless MIDI sequencer (standard library only).

    import tovu
    with tovu.Client() as c:
        c.register()
        c.open_ports([c.find_output("synth")])
        c.load_song(tovu.read_file("song.mid").image())
        c.start()
        c.wait_until_stopped()

Client (client.py) is one window on the engine bus (bus.py); SongBuilder (song.py) writes song
images; read_file (smf.py) reads Standard MIDI Files into them; read_take (take.py) reads takes;
protocol.py holds every number of the protocol (docs/protocol.md).
"""
from . import protocol
from .bus import ConnectError, Message
from .client import Client, EngineError, Port, find_port
from .smf import SmfError, Song, read_file
from .song import SongBuilder
from .take import Take, TakeError, read_take

__version__ = "0.1.0"
__all__ = ["Client", "ConnectError", "EngineError", "Message", "Port", "SmfError", "Song", "SongBuilder", "Take",
           "TakeError", "find_port", "protocol", "read_file", "read_take"]
