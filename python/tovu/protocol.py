"""The engine's message catalogue, as client/protocol.h defines it: message numbers, engine command
codes, copy-data types with their payload layouts, notifications and error codes. Every payload field
is a little-endian 32-bit word unless it says otherwise; offsets are bytes from the payload's start.
docs/protocol.md explains each."""

# ---- Message numbers ----
ENGINE_COMMAND = 1624   # commands to the engine (wParam = code); notifications to clients
POSITION = 1625         # playback position (lParam = tick), sent to the playing client
START = 1626            # a start or continue was accepted (lParam = its start parameter)
WM_COPYDATA = 0x004A    # a typed payload; dwData = type | argument << 16
WM_CLOSE = 0x0010       # asks the engine to close

# ---- Engine commands (ENGINE_COMMAND, wParam = code) ----
CMD_REGISTER = 0
CMD_UNREGISTER = 1
CMD_OUTPUT_PORTS = 2
CMD_AUDITION_HOLD_TIME = 3
CMD_SET_AUDITION_HOLD_TIME = 4
CMD_STOP = 5
CMD_RELOAD_SETTINGS = 8
CMD_SEND_SHORT = 18
CMD_INPUT_PORTS = 24
CMD_METRONOME_SETTINGS = 26
CMD_PANIC = 31
CMD_LONGEST_MESSAGE = 32   # an addition: lParam = output device id
LONGEST_UNLIMITED = 0x7FFFFFFF
RESULT_DONE = 0
RESULT_REFUSED = 1
RESULT_QUEUE_FULL = 7      # command 18: the port's queue had no room

# ---- Copy-data types (WM_COPYDATA, dwData = type | argument << 16) ----
COPY_OUTPUT_PORTS = 2
COPY_OPEN_PORTS = 13
COPY_CLOSE_PORTS = 14
COPY_SHORT_LIST = 15
COPY_AUDITION = 16
COPY_SYSEX = 17
COPY_LOAD_SONG = 19
COPY_LOAD_NEXT_SONG = 20
COPY_START = 21
COPY_CONTINUE = 22
COPY_TEMPO_FACTOR = 23
COPY_INPUT_PORTS = 24
COPY_INPUT_FILTER = 25
COPY_METRONOME_SETTINGS = 26
COPY_SET_METRONOME = 27
COPY_TAKE = 28
COPY_SET_THRU = 29
COPY_ACTIVITY = 30

NO_DEVICE = 0x8000
NO_PORT_INDEX = 255

# Port records (types 2 and 24)
PORT_NAME_SIZE = 64
OUTPUT_RECORD_SIZE = 80
INPUT_RECORD_SIZE = 72

# Open-ports request and reply (type 13)
OPEN_PORTS_SIZE = 1080
OPEN_PORTS_MAX_OUTPUTS = 256
OPEN_PORTS_COUNT_OFFSET = 4
OPEN_PORTS_OUTPUTS_OFFSET = 8
OPEN_PORTS_INPUT_OFFSET = 1032
OPEN_PORTS_CHANNEL_MASK_OFFSET = 1064
OPEN_PORTS_INPUT_FLAGS_OFFSET = 1068
NO_INPUT_DEVICE = -1

# Start request (types 21 and 22): eight i32 fields
LOOP_END_OPEN = 0x7FFFFFFF
SYSEX_MODE_HOLD_SETUP = 0
SYSEX_MODE_ALL = 1
SYSEX_MODE_NONE = 2

# Input filter flags (type 25, and the open-ports request)
ALL_CHANNELS = 0xFFFF
INPUT_NOTES = 1
INPUT_CONTROLLERS = 2
INPUT_PITCH_BEND = 4
INPUT_SYSEX = 8

THRU_OWN_CHANNEL = -1

# Take (type 28)
TAKE_HEADER_SIZE = 20
TAKE_ENTRY_SIZE = 8
TAKE_END_MARKER = 0x000000FF
TAKE_SYSEX_MARKER = 0xF0

ACTIVITY_PER_PORT = 2048

# ---- Notifications (ENGINE_COMMAND posted to a client, wParam = code) ----
NOTIFY_STOPPED = 5
NOTIFY_FAILED = 10
NOTIFY_ENDED = 12
NOTIFY_PORTS_CLOSED = 14
NOTIFY_STARTED = 21
NOTIFY_OTHER = 0
NOTIFY_OWN = 1
PORTS_CLOSED_CLIENT = 0
PORTS_CLOSED_SHUTDOWN = 1

# Error codes of notification 10
ERROR_NOT_REGISTERED = 1
ERROR_SONG_SLOT_EMPTY = 2
ERROR_NO_INPUT_PORT = 3
ERROR_BAD_LOOP = 10
ERROR_ALREADY_PLAYING = 11
ERROR_OUT_OF_MEMORY = 12
ERROR_MALFORMED_SONG = 13
ERROR_NO_OUTPUT_PORTS = 14
ERROR_QUEUE_FULL = 15
ERROR_MESSAGE_TOO_LONG = 16

ERROR_TEXT = {
    ERROR_NOT_REGISTERED: "not a registered client",
    ERROR_SONG_SLOT_EMPTY: "no song is loaded",
    ERROR_NO_INPUT_PORT: "recording needs an open input port",
    ERROR_BAD_LOOP: "the loop's start is not before its end",
    ERROR_ALREADY_PLAYING: "a playback already runs",
    ERROR_OUT_OF_MEMORY: "no memory for the song, or the recording lost input",
    ERROR_MALFORMED_SONG: "the song image is malformed",
    ERROR_NO_OUTPUT_PORTS: "the engine has no output port",
    ERROR_QUEUE_FULL: "the port's queue was full: a message was not sent",
    ERROR_MESSAGE_TOO_LONG: "a system-exclusive message is longer than the port's device carries",
}


def copy_data_word(kind, argument=0):
    """dwData of a copy-data message: the type in bits 0-15, its argument in bits 16-31."""
    return (kind & 0xFFFF) | (argument & 0xFFFF) << 16


def pack_event(status, data1=0, data2=0, port=0):
    """A packed event: status | data 1 << 8 | data 2 << 16 | output port index << 24."""
    return (status & 0xFF) | (data1 & 0xFF) << 8 | (data2 & 0xFF) << 16 | (port & 0xFF) << 24
