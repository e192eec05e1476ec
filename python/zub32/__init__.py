"""zub32: the ZUB32 FTP client library from Python, through ctypes.

One function per export of zub32.h, with Python names and types:
zubGetFile is get_file, zubSetServerDir is set_server_dir, and so on.  A
failure of the library raises ZubError with its code and zubErrorText's text;
an argument of the wrong type raises TypeError (or ValueError when it does not
fit) before anything reaches the library.  Texts are str (UTF-8) or bytes.

    with zub32.attached(1), zub32.Channel(0) as ch:
        ch.connect("127.0.0.1", "zub", "secret", port=2121)
        ch.get_file("data.csv:copy.csv")

Caller-driven use: set SET_AUTO_CALL to 0 on the channels, arm one operation
on each, and let drive() run them all from one loop.
"""

import ctypes
import os
import time
from contextlib import contextmanager
from typing import Dict, Iterable, Iterator, List, Optional, Tuple, Union

from ._codes import *  # noqa: F401,F403  the numbered codes of zub32.h
from ._codes import (BUSY, E_CHANNEL_RANGE, E_NOT_ATTACHED, E_ALREADY_ATTACHED, LIST, NLST_ARG,
                     LIST_ARG, SET_AUTO_CALL, SET_CTRL_PORT, SET_PASSIVE, STR_COUNT_LINES,
                     STR_LAST_REPLY, STR_LOCAL_IP, STR_REPLY_NOTES, STR_SERVER_IP, STR_OPEN_LOG,
                     STR_WRITE_LOG, GET_BYTES, GET_CTRL_SOCKET, PUT_BYTES)
from . import _codes
from ._native import LibraryNotFound, lib, load

__version__ = "1.0.0"

Text = Union[str, bytes]

# Codes the library accepts, so that a wrong one is refused here (its -1
# would otherwise be indistinguishable from a value of -1).
_SETTING_CODES = frozenset(v for k, v in vars(_codes).items() if k.startswith("SET_"))
_INTEGER_QUERIES = frozenset(v for k, v in vars(_codes).items() if k.startswith(("GET_", "PUT_")))
_STRING_QUERIES = frozenset((STR_LAST_REPLY, STR_SERVER_IP, STR_COUNT_LINES, STR_LOCAL_IP, STR_REPLY_NOTES))

# Room for the texts the library hands back: its reply and name buffers hold
# at most 4095 characters.
_TEXT_ROOM = 4096
_DEFAULT_LIST_CAPACITY = 1 << 20

# The library can give no text while it is not attached; these three are the
# errors that happen exactly then.  Kept equal to the library's own texts by a test.
_UNATTACHED_TEXTS = {
    E_ALREADY_ATTACHED: "Already attached.",
    E_CHANNEL_RANGE: "Channel out of range.",
    E_NOT_ATTACHED: "Must call zubAttach first.",
}


class ZubError(Exception):
    """A negative result of the library: code, text (zubErrorText's), function."""

    def __init__(self, code: int, text: str, function: str = ""):
        self.code = code
        self.text = text
        self.function = function
        where = f"{function}: " if function else ""
        super().__init__(f"{where}{code} {text}".rstrip())


# ---- argument checks: every one runs before the library is called ----

def _int(function: str, name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{function}: {name} must be an int, not {type(value).__name__}")
    if not -0x80000000 <= value <= 0x7FFFFFFF:
        raise ValueError(f"{function}: {name} {value} does not fit in 32 bits")
    return value


def _channel(function: str, channel: object) -> int:
    if isinstance(channel, Channel):
        return channel.number
    return _int(function, "channel", channel)


def _bytes(function: str, name: str, value: object) -> bytes:
    if isinstance(value, str):
        data = value.encode("utf-8", "surrogateescape")
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    else:
        raise TypeError(f"{function}: {name} must be str or bytes, not {type(value).__name__}")
    # The library reads texts up to their NUL: a NUL inside would silently cut it.
    if b"\0" in data:
        raise ValueError(f"{function}: {name} contains a NUL character")
    return data


def _capacity(function: str, value: object) -> int:
    value = _int(function, "capacity", value)
    if value < 1:
        raise ValueError(f"{function}: capacity must be at least 1, not {value}")
    return value


def _decode(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def _check(function: str, channel: int, result: int) -> int:
    if result < 0:
        raise ZubError(result, error_text(result, channel), function)
    return result


def _run(function: str, export: str, channel: object, *texts: Tuple[str, object]) -> int:
    """Checks the channel and the (name, value) texts, then calls the export;
    ZubError for a negative result."""
    number = _channel(function, channel)
    args = [_bytes(function, name, value) for name, value in texts]
    return _check(function, number, getattr(lib(), export)(number, *args))


# ---- library frame ----

def attach(channels: int) -> None:
    """zubAttach: attaches the library with 0 to 32 channels."""
    channels = _int("attach", "channels", channels)
    _check("attach", 0, lib().zubAttach(channels, 0))
    _auto_call.clear()
    _list_buffers.clear()


def release() -> None:
    """zubRelease: frees every channel (close their sessions first)."""
    lib().zubRelease()
    _auto_call.clear()
    _list_buffers.clear()


@contextmanager
def attached(channels: int) -> Iterator[None]:
    """attach(channels) for the with block, release() after it."""
    attach(channels)
    try:
        yield
    finally:
        release()


def error_text(code: int, channel: int = 0) -> str:
    """zubErrorText: the English text of an error code ('' for a code without
    one); for -18 and -9 the server's last reply line of the channel follows."""
    code = _int("error_text", "code", code)
    channel = _channel("error_text", channel)
    buf = ctypes.create_string_buffer(_TEXT_ROOM + 1)
    n = lib().zubErrorText(channel, code, buf, len(buf))
    if n < 0 and channel != 0:
        n = lib().zubErrorText(0, code, buf, len(buf))
    if n < 0:
        return _UNATTACHED_TEXTS.get(code, "")
    return _decode(buf.raw[:n]).rstrip("\r\n")


def set_integer(channel: int, code: int, value: int) -> int:
    """zubSetInteger: sets a SET_* setting; returns the value the library kept."""
    channel = _channel("set_integer", channel)
    code = _int("set_integer", "code", code)
    value = _int("set_integer", "value", value)
    if code not in _SETTING_CODES:
        raise ValueError(f"set_integer: {code} is not a setting code (SET_*)")
    result = lib().zubSetInteger(channel, code, value)
    if result in (E_NOT_ATTACHED, E_CHANNEL_RANGE):
        _check("set_integer", channel, result)
    if code == SET_AUTO_CALL:
        _auto_call[channel & 0xFFFF] = result
    return result


def set_string(channel: int, code: int, text: Text) -> int:
    """zubSetString: STR_OPEN_LOG creates the channel's trace log (its handle;
    OSError when it cannot be created), STR_WRITE_LOG writes a line to it."""
    channel = _channel("set_string", channel)
    code = _int("set_string", "code", code)
    data = _bytes("set_string", "text", text)
    if code not in (STR_OPEN_LOG, STR_WRITE_LOG):
        raise ValueError(f"set_string: {code} is not STR_OPEN_LOG or STR_WRITE_LOG")
    result = lib().zubSetString(channel, code, data)
    if result in (E_NOT_ATTACHED, E_CHANNEL_RANGE):
        _check("set_string", channel, result)
    if code == STR_OPEN_LOG and result < 0:
        raise OSError(f"set_string: cannot create the trace log '{_decode(data)}'")
    return result


def debug(channel: int) -> None:
    """zubDebug: writes '*** zubDebug' into the channel's trace log."""
    channel = _channel("debug", channel)
    _check("debug", channel, lib().zubDebug(channel, 0, 0, 0))


def get_integer(channel: int, code: int) -> int:
    """zubGetInteger: a counter or value of the channel (GET_*, PUT_*)."""
    channel = _channel("get_integer", channel)
    code = _int("get_integer", "code", code)
    if code not in _INTEGER_QUERIES:
        raise ValueError(f"get_integer: {code} is not a query code (GET_*, PUT_*)")
    result = lib().zubGetInteger(channel, code)
    if result in (E_NOT_ATTACHED, E_CHANNEL_RANGE):
        _check("get_integer", channel, result)
    return result


def get_string(channel: int, code: int, size: int = _TEXT_ROOM - 1) -> str:
    """zubGetString: a text of the channel (STR_LAST_REPLY, STR_SERVER_IP,
    STR_LOCAL_IP, STR_REPLY_NOTES), at most size characters.  For counting the
    lines of a text use count_lines()."""
    channel = _channel("get_string", channel)
    code = _int("get_string", "code", code)
    size = _capacity("get_string", size)
    if code not in _STRING_QUERIES or code == STR_COUNT_LINES:
        raise ValueError(f"get_string: {code} is not a text query code (STR_*)")
    buf = ctypes.create_string_buffer(size + 1)
    n = _check("get_string", channel, lib().zubGetString(channel, code, buf, size))
    # The last reply's CR LF stays in the buffer but is not counted.
    return _decode(buf.value[:n] if code == STR_LAST_REPLY else buf.value)


def count_lines(channel: int, text: Text) -> int:
    """zubGetString with STR_COUNT_LINES: the number of LFs in text."""
    channel = _channel("count_lines", channel)
    data = _bytes("count_lines", "text", text)
    buf = ctypes.create_string_buffer(data, len(data) + 1)
    return _check("count_lines", channel, lib().zubGetString(channel, STR_COUNT_LINES, buf, len(buf)))


# ---- driver ----

def driver(channel: int) -> int:
    """zubDriver: one step; 0 done, BUSY waiting, a state number, ZubError on failure."""
    channel = _channel("driver", channel)
    return _check("driver", channel, lib().zubDriver(channel))


# ---- session ----

def connect(channel: int, server: Text, user: Text, password: Text) -> None:
    """zubConnect: connects to server (name or dotted IPv4) and logs in."""
    _run("connect", "zubConnect", channel, ("server", server), ("user", user), ("password", password))


def close(channel: int) -> None:
    """zubClose: sends QUIT; in blocking use also closes the socket and trace log."""
    _run("close", "zubClose", channel)


def hello(channel: int) -> None:
    """zubHello: NOOP and its reply."""
    _run("hello", "zubHello", channel)


def abort(channel: int) -> None:
    """zubAbort: makes the channel idle, closing its data side and local file."""
    _run("abort", "zubAbort", channel)


# ---- transfers ----

def get_file(channel: int, names: Text) -> None:
    """zubGetFile: downloads "server[:local]" into the local directory."""
    _run("get_file", "zubGetFile", channel, ("names", names))


def put_file(channel: int, names: Text) -> None:
    """zubPutFile: uploads "local[:server]" from the local directory."""
    _run("put_file", "zubPutFile", channel, ("names", names))


# The listing buffer of each channel must outlive a caller-driven listing,
# which the driver fills after get_list has returned.
_list_buffers: Dict[int, ctypes.Array] = {}
_auto_call: Dict[int, int] = {}


def get_list(channel: int, kind: int = LIST, argument: Optional[Text] = None,
             capacity: int = _DEFAULT_LIST_CAPACITY) -> Optional[str]:
    """zubGetList: a listing (LIST, NLST, or LIST_ARG / NLST_ARG with argument).
    Returns its text; in caller-driven use returns None, and list_text() gives
    the text once the driver is done.  ZubError E_LIST_OVERFLOW when the
    listing needs more than capacity - 1 bytes."""
    channel = _channel("get_list", channel)
    kind = _int("get_list", "kind", kind)
    capacity = _capacity("get_list", capacity)
    data = b"" if argument is None else _bytes("get_list", "argument", argument)
    if kind in (LIST_ARG, NLST_ARG) and argument is None:
        raise ValueError("get_list: LIST_ARG and NLST_ARG need an argument")
    if len(data) >= capacity:
        raise ValueError("get_list: the argument does not fit in capacity")
    buf = ctypes.create_string_buffer(data, capacity)
    _list_buffers[channel & 0xFFFF] = buf
    n = _check("get_list", channel, lib().zubGetList(channel, kind, buf, capacity))
    if _auto_call.get(channel & 0xFFFF, 1) == 0:
        return None
    return _decode(buf.raw[:n])


def list_text(channel: int) -> str:
    """The text in the channel's listing buffer (after a caller-driven get_list)."""
    channel = _channel("list_text", channel)
    buf = _list_buffers.get(channel & 0xFFFF)
    return "" if buf is None else _decode(buf.value)


def set_mode(channel: int, mode: str) -> None:
    """zubSetMode: 'A' (TYPE A) or 'B' (TYPE I)."""
    channel = _channel("set_mode", channel)
    if not isinstance(mode, str) or len(mode) != 1:
        raise TypeError(f"set_mode: mode must be the one-character str 'A' or 'B', not {mode!r}")
    _check("set_mode", channel, lib().zubSetMode(channel, ord(mode)))


# ---- server directories and commands ----

def set_server_dir(channel: int, directory: Text) -> None:
    """zubSetServerDir: CWD."""
    _run("set_server_dir", "zubSetServerDir", channel, ("directory", directory))


def get_server_dir(channel: int, capacity: int = _TEXT_ROOM - 1) -> Optional[str]:
    """zubGetServerDir: PWD; the directory (None in caller-driven use)."""
    channel = _channel("get_server_dir", channel)
    capacity = _capacity("get_server_dir", capacity)
    buf = ctypes.create_string_buffer(capacity + 1)
    _check("get_server_dir", channel, lib().zubGetServerDir(channel, buf, capacity))
    if _auto_call.get(channel & 0xFFFF, 1) == 0:
        return None
    return _decode(buf.value)


def del_file(channel: int, name: Text) -> None:
    """zubDelFile: DELE."""
    _run("del_file", "zubDelFile", channel, ("name", name))


def make_server_dir(channel: int, name: Text) -> None:
    """zubMakeServerDir: MKD."""
    _run("make_server_dir", "zubMakeServerDir", channel, ("name", name))


def del_server_dir(channel: int, name: Text) -> None:
    """zubDelServerDir: RMD."""
    _run("del_server_dir", "zubDelServerDir", channel, ("name", name))


def command(channel: int, text: Text) -> None:
    """zubCommand: one command line of the caller's (CR LF is added)."""
    _run("command", "zubCommand", channel, ("text", text))


# ---- local directory ----

def set_local_dir(channel: int, directory: Union[Text, "os.PathLike[str]"]) -> None:
    """zubSetLocalDir: the folder local files are opened in."""
    channel = _channel("set_local_dir", channel)
    if isinstance(directory, os.PathLike):
        directory = os.fspath(directory)
    _check("set_local_dir", channel, lib().zubSetLocalDir(channel, _bytes("set_local_dir", "directory", directory)))


def get_local_dir(channel: int) -> str:
    """zubGetLocalDir: the local directory, with its final backslash."""
    channel = _channel("get_local_dir", channel)
    buf = ctypes.create_string_buffer(_TEXT_ROOM + 1)
    n = _check("get_local_dir", channel, lib().zubGetLocalDir(channel, buf, _TEXT_ROOM))
    return _decode(buf.raw[:n])


# ---- listing utilities (no channel, no attach needed) ----

def extract(text: Text, line: int, field: int, capacity: int = _TEXT_ROOM - 1) -> str:
    """zubExtract: line `line` (0 the first; n ended by CR), field `field`
    (0 the whole line) of text; '' when there is none."""
    data = _bytes("extract", "text", text)
    line = _int("extract", "line", line)
    field = _int("extract", "field", field)
    capacity = _capacity("extract", capacity)
    buf = ctypes.create_string_buffer(capacity + 1)
    n = lib().zubExtract(data, line, field, buf, capacity)
    return _decode(buf.raw[:n])


def file_length(text: Text, first: int, last: int) -> int:
    """zubFileLength: the first all-digit field among fields first..last-1 of
    the text's last CR LF line; -1 if none."""
    data = _bytes("file_length", "text", text)
    return lib().zubFileLength(data, _int("file_length", "first", first), _int("file_length", "last", last))


def match_file(text: Text, start: int, pattern: Text, exact: bool = False,
               capacity: int = _TEXT_ROOM) -> Tuple[int, str]:
    """zubMatchFile: the next line of text at or after byte offset start that
    matches pattern ('*', '?'); returns (offset after it, line), or (0, '')."""
    data = _bytes("match_file", "text", text)
    start = _int("match_file", "start", start)
    pat = _bytes("match_file", "pattern", pattern)
    if not isinstance(exact, (bool, int)):
        raise TypeError(f"match_file: exact must be a bool, not {type(exact).__name__}")
    capacity = _capacity("match_file", capacity)
    # The library trusts start to lie within the text.
    if not 0 <= start <= len(data):
        raise ValueError(f"match_file: start {start} is outside the text (0..{len(data)})")
    buf = ctypes.create_string_buffer(capacity)
    offset = lib().zubMatchFile(data, start, buf, capacity, pat, 1 if exact else 0)
    return offset, _decode(buf.value)


def iter_matches(text: Text, pattern: Text, exact: bool = False) -> Iterator[str]:
    """Every line of text that matches pattern, in order (match_file in a loop)."""
    data = _bytes("iter_matches", "text", text)
    start = 0
    while True:
        start, line = match_file(data, start, pattern, exact, capacity=len(data) + 1)
        if start == 0:
            return
        yield line


# ---- channels ----

class Channel:
    """One channel of the attached library.  As a context manager it closes
    the channel's session at the end of the with block, also after an error."""

    def __init__(self, number: int = 0):
        self.number = _int("Channel", "number", number)

    def __repr__(self) -> str:
        return f"Channel({self.number})"

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            if get_integer(self, GET_CTRL_SOCKET) == 0:
                return
        except ZubError:
            return  # released already: nothing of the channel is left
        # A caller-driven close only arms QUIT: run it to the end here.
        if _auto_call.get(self.number & 0xFFFF, 1) == 0:
            abort(self)
            set_integer(self, SET_AUTO_CALL, 1)
        try:
            close(self)
        except ZubError:
            if exc[0] is None:
                raise

    def connect(self, server: Text, user: Text, password: Text, port: int = 21,
                passive: bool = True) -> None:
        """Sets the control port and passive mode, then connect()."""
        set_integer(self, SET_CTRL_PORT, _int("connect", "port", port))
        set_integer(self, SET_PASSIVE, 1 if passive else 0)
        connect(self, server, user, password)

    def set_integer(self, code: int, value: int) -> int: return set_integer(self, code, value)
    def set_string(self, code: int, text: Text) -> int: return set_string(self, code, text)
    def open_log(self, path: Union[Text, "os.PathLike[str]"]) -> int:
        return set_string(self, STR_OPEN_LOG, os.fspath(path) if isinstance(path, os.PathLike) else path)
    def debug(self) -> None: debug(self)
    def get_integer(self, code: int) -> int: return get_integer(self, code)
    def get_string(self, code: int, size: int = _TEXT_ROOM - 1) -> str: return get_string(self, code, size)
    def error_text(self, code: int) -> str: return error_text(code, self.number)
    def driver(self) -> int: return driver(self)
    def close(self) -> None: close(self)
    def hello(self) -> None: hello(self)
    def abort(self) -> None: abort(self)
    def get_file(self, names: Text) -> None: get_file(self, names)
    def put_file(self, names: Text) -> None: put_file(self, names)
    def get_list(self, kind: int = LIST, argument: Optional[Text] = None,
                 capacity: int = _DEFAULT_LIST_CAPACITY) -> Optional[str]:
        return get_list(self, kind, argument, capacity)
    def list_text(self) -> str: return list_text(self)
    def set_mode(self, mode: str) -> None: set_mode(self, mode)
    def set_server_dir(self, directory: Text) -> None: set_server_dir(self, directory)
    def get_server_dir(self) -> Optional[str]: return get_server_dir(self)
    def del_file(self, name: Text) -> None: del_file(self, name)
    def make_server_dir(self, name: Text) -> None: make_server_dir(self, name)
    def del_server_dir(self, name: Text) -> None: del_server_dir(self, name)
    def command(self, text: Text) -> None: command(self, text)
    def set_local_dir(self, directory: Union[Text, "os.PathLike[str]"]) -> None: set_local_dir(self, directory)
    def get_local_dir(self) -> str: return get_local_dir(self)

    @property
    def last_reply(self) -> str:
        """The server's last reply line, without its CR LF."""
        return get_string(self, STR_LAST_REPLY)


# ---- caller-driven use ----

class drive:
    """Runs zubDriver on many caller-driven channels from one loop.

    Arm one operation on each channel (with SET_AUTO_CALL 0 the operation
    returns at once), then iterate: each item is (channel, error) as soon as
    that channel's operation ended, error None on success or the ZubError.
    Inside the loop, arm the next operation on a channel and add() it again.

        for ch, error in (d := zub32.drive(channels)):
            ...
    """

    def __init__(self, channels: Iterable[Union[int, Channel]] = (), idle_sleep: float = 0.001):
        self._pending: List[Union[int, Channel]] = []
        self._last: Dict[int, Tuple[int, int, int]] = {}
        self.idle_sleep = idle_sleep
        for ch in channels:
            self.add(ch)

    def add(self, channel: Union[int, Channel]) -> None:
        """Drives channel (again) until its armed operation ends."""
        _channel("drive", channel)
        self._pending.append(channel)

    def __iter__(self) -> "drive":
        return self

    def __next__(self) -> Tuple[Union[int, Channel], Optional[ZubError]]:
        while self._pending:
            progressed = False
            for ch in list(self._pending):
                number = _channel("drive", ch)
                try:
                    result = driver(number)
                except ZubError as error:
                    self._pending.remove(ch)
                    return ch, error
                if result == 0:
                    self._pending.remove(ch)
                    return ch, None
                # A step that repeats its state without moving bytes only polled.
                mark = (result, get_integer(number, GET_BYTES), get_integer(number, PUT_BYTES))
                if result != BUSY and self._last.get(number) != mark:
                    progressed = True
                self._last[number] = mark
            if not progressed:
                time.sleep(self.idle_sleep)
        raise StopIteration


__all__ = [n for n in dir(_codes) if n.isupper()] + [
    "ZubError", "LibraryNotFound", "load", "attach", "release", "attached", "error_text",
    "set_integer", "set_string", "debug", "get_integer", "get_string", "count_lines", "driver",
    "connect", "close", "hello", "abort", "get_file", "put_file", "get_list", "list_text",
    "set_mode", "set_server_dir", "get_server_dir", "del_file", "make_server_dir",
    "del_server_dir", "command", "set_local_dir", "get_local_dir", "extract", "file_length",
    "match_file", "iter_matches", "Channel", "drive",
]
