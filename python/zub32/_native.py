"""Finding and loading libzub32, and the C prototypes of its 28 exports."""

import ctypes
import os
import threading
from typing import Optional

_i32 = ctypes.c_int32
_text = ctypes.c_char_p
_buffer = ctypes.c_char_p  # a ctypes string buffer passed as char *

# Every export with its argument types; all return a signed 32-bit integer.
PROTOTYPES = {
    "zubAttach": (_i32, _i32),
    "zubRelease": (),
    "zubErrorText": (_i32, _i32, _buffer, _i32),
    "zubSetInteger": (_i32, _i32, _i32),
    "zubSetString": (_i32, _i32, _text),
    "zubDebug": (_i32, _i32, _i32, _i32),
    "zubGetInteger": (_i32, _i32),
    "zubGetString": (_i32, _i32, _buffer, _i32),
    "zubDriver": (_i32,),
    "zubConnect": (_i32, _text, _text, _text),
    "zubClose": (_i32,),
    "zubHello": (_i32,),
    "zubAbort": (_i32,),
    "zubGetFile": (_i32, _text),
    "zubPutFile": (_i32, _text),
    "zubGetList": (_i32, _i32, _buffer, _i32),
    "zubSetMode": (_i32, _i32),
    "zubSetServerDir": (_i32, _text),
    "zubGetServerDir": (_i32, _buffer, _i32),
    "zubDelFile": (_i32, _text),
    "zubMakeServerDir": (_i32, _text),
    "zubDelServerDir": (_i32, _text),
    "zubCommand": (_i32, _text),
    "zubSetLocalDir": (_i32, _text),
    "zubGetLocalDir": (_i32, _buffer, _i32),
    "zubExtract": (_text, _i32, _i32, _buffer, _i32),
    "zubFileLength": (_text, _i32, _i32),
    "zubMatchFile": (_text, _i32, _buffer, _i32, _text, _i32),
}

# What the loader is asked for when no path is given: the SONAME, so the
# installed library is found where the system's loader finds it.
DEFAULT_NAME = "libzub32.so.1"


class LibraryNotFound(OSError):
    """The ZUB32 shared library cannot be found or is not the ZUB32 library."""


_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the library from path, else from $ZUB32_LIBRARY, else by its
    SONAME through the system's loader.  Loading again replaces the library
    used by later calls.  Raises LibraryNotFound with one sentence naming what
    was looked for."""
    global _lib
    if path is not None and not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"load: path must be a str or path, not {type(path).__name__}")
    explicit = os.fspath(path) if path is not None else os.environ.get("ZUB32_LIBRARY") or None
    name = explicit or DEFAULT_NAME
    try:
        lib = ctypes.CDLL(name)
    except OSError as e:
        if explicit:
            why = "no such file" if not os.path.exists(explicit) else str(e)
            raise LibraryNotFound(f"cannot load the ZUB32 library '{explicit}': {why}") from None
        raise LibraryNotFound(
            f"the ZUB32 library '{DEFAULT_NAME}' was not found by the system's loader "
            "(install it, add its folder to LD_LIBRARY_PATH, or give its path in "
            "ZUB32_LIBRARY or to zub32.load())") from None
    for fname, argtypes in PROTOTYPES.items():
        try:
            fn = getattr(lib, fname)
        except AttributeError:
            raise LibraryNotFound(f"'{name}' is not the ZUB32 library: it has no function {fname}") from None
        fn.argtypes = argtypes
        fn.restype = _i32
    with _lock:
        _lib = lib
    return lib


def lib() -> ctypes.CDLL:
    """The loaded library, loading it the default way on first use."""
    current = _lib
    return current if current is not None else load()
