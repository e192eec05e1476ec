"""The binding without a server: exports and codes against the header, argument
checks, finding the library, error texts and the listing utilities."""

import os
import re
import subprocess
import sys

import pytest

import zub32
from zub32 import _native
from conftest import header_path


def header_text():
    path = header_path()
    if path is None:
        pytest.skip("zub32.h not found (set ZUB32_HEADER)")
    with open(path) as f:
        return f.read()


def test_every_export_of_the_header_has_a_prototype_and_a_wrapper():
    exports = re.findall(r"ZUB_EXPORT int32_t ZUB_API (zub\w+)\(", header_text())
    assert len(exports) == 28
    assert sorted(exports) == sorted(_native.PROTOTYPES)
    for name in exports:
        python_name = re.sub(r"(?<!^)([A-Z])", r"_\1", name[3:]).lower()
        assert callable(getattr(zub32, python_name)), name
        assert hasattr(_native.lib(), name)


def test_every_code_of_the_header_has_the_same_value():
    defines = dict(re.findall(r"#define ZUB_(\w+)\s+\(?(-?\w+)\)?", header_text()))
    defines.pop("API")
    defines.pop("EXPORT")
    assert defines
    for name, value in defines.items():
        expected = getattr(zub32, value[4:]) if value.startswith("ZUB_") else int(value)
        assert getattr(zub32, name) == expected, name


def trace_after(tmp_path, calls):
    """Runs each call with a trace log open on channel 0; returns the log's
    lines (each call that reaches the library writes an entry line)."""
    log = tmp_path / "trace.log"
    zub32.set_string(0, zub32.STR_OPEN_LOG, str(log))
    for call in calls:
        call()
    return log.read_bytes().split(b"\r\n")[:-1]


BAD_TYPES = [
    (zub32.connect, (0, 127001, "u", "p")),
    (zub32.connect, (0, "h", None, "p")),
    (zub32.connect, ("0", "h", "u", "p")),
    (zub32.get_file, (0, None)),
    (zub32.put_file, (0, ["a"])),
    (zub32.set_server_dir, (0, 3.5)),
    (zub32.command, (True, "SYST")),
    (zub32.set_mode, (0, 66)),
    (zub32.set_mode, (0, "BB")),
    (zub32.set_integer, (0, zub32.SET_PASSIVE, "1")),
    (zub32.get_list, (0, zub32.LIST, 5)),
    (zub32.extract, (b"a b", "1", 1)),
    (zub32.match_file, ("a\r\n", 0, None)),
    (zub32.debug, (None,)),
]

BAD_VALUES = [
    (zub32.command, (0, "NOOP\0QUIT")),
    (zub32.set_integer, (0, 7, 1)),
    (zub32.set_integer, (0, zub32.SET_CTRL_PORT, 1 << 40)),
    (zub32.get_integer, (0, 99)),
    (zub32.get_string, (0, zub32.STR_LAST_REPLY, 0)),
    (zub32.get_list, (0, zub32.LIST_ARG)),
    (zub32.match_file, ("a\r\n", 4, "*")),
]


@pytest.mark.parametrize("errors", [(TypeError, BAD_TYPES), (ValueError, BAD_VALUES)],
                         ids=["TypeError", "ValueError"])
def test_bad_arguments_are_refused_before_the_library_sees_them(channels, tmp_path, errors):
    error, cases = errors

    def call_each():
        for function, args in cases:
            with pytest.raises(error, match=function.__name__):
                function(*args)

    # Not one entry line: nothing reached the library.
    assert trace_after(tmp_path, [call_each]) == []


def test_a_call_that_passes_the_checks_reaches_the_library(channels, tmp_path):
    assert trace_after(tmp_path, [lambda: zub32.debug(0)]) == [b"*** zubDebug"]


@pytest.mark.parametrize("path, words", [
    ("/nonexistent/libzub32.so.1", ["/nonexistent/libzub32.so.1", "no such file"]),
    ("libc.so.6", ["libc.so.6", "not the ZUB32 library", "zubAttach"]),
])
def test_a_wrong_library_path_gives_one_sentence_naming_it(path, words):
    with pytest.raises(zub32.LibraryNotFound) as info:
        zub32.load(path)
    message = str(info.value)
    assert "\n" not in message
    for word in words:
        assert word in message
    zub32.attach(0)  # the library loaded before still serves


def test_a_missing_library_names_what_was_looked_for(monkeypatch):
    monkeypatch.setattr(_native, "DEFAULT_NAME", "libzub32-absent.so.1")
    monkeypatch.delenv("ZUB32_LIBRARY", raising=False)
    with pytest.raises(zub32.LibraryNotFound, match="'libzub32-absent.so.1' was not found"):
        zub32.load()


def test_library_from_the_environment_is_loaded_at_first_use(tmp_path):
    code = "import zub32; zub32.attach(1)"
    env = {"ZUB32_LIBRARY": str(tmp_path / "missing.so"), "PATH": "/usr/bin:/bin"}
    if "PYTHONPATH" in os.environ:
        env["PYTHONPATH"] = os.environ["PYTHONPATH"]
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert run.returncode != 0
    assert f"cannot load the ZUB32 library '{tmp_path / 'missing.so'}': no such file" in run.stderr


def test_errors_carry_code_and_the_library_text(channels):
    with pytest.raises(zub32.ZubError) as info:
        zub32.attach(1)
    assert (info.value.code, info.value.text, info.value.function) == (-3, "Already attached.", "attach")
    assert str(info.value) == "attach: -3 Already attached."
    assert zub32.error_text(-10061) == "Connection refused by remote host."
    assert zub32.error_text(-29) == ""
    with pytest.raises(zub32.ZubError, match="-8 Channel out of range."):
        zub32.hello(4)


def test_texts_used_while_unattached_equal_the_library_texts(channels):
    for code, text in zub32._UNATTACHED_TEXTS.items():
        assert zub32.error_text(code) == text
    zub32.release()
    with pytest.raises(zub32.ZubError) as info:
        zub32.hello(0)
    assert (info.value.code, info.value.text) == (-15, "Must call zubAttach first.")
    zub32.attach(4)


LISTING = ("-rw-r--r--   1 owner group     1234 Jan 01 10:00 one.txt\r\n"
           "-rw-r--r--   1 owner group   567890 Jan 02 11:00 TWO.TXT\r\n"
           "drwxr-xr-x   2 owner group     4096 Jan 03 12:00 three.d\r\n")


@pytest.mark.parametrize("line, field, capacity, expected", [
    (1, 9, 100, "one.txt"),
    (2, 5, 100, "567890"),
    (3, 0, 100, LISTING.split("\r\n")[2]),
    (4, 0, 100, ""),
    (2, 9, 3, "TWO"),
    (1, 12, 100, ""),
])
def test_extract(line, field, capacity, expected):
    assert zub32.extract(LISTING, line, field, capacity) == expected


@pytest.mark.parametrize("text, first, last, expected", [
    (LISTING.split("\r\n")[1] + "\r\n", 5, 6, 567890),
    (LISTING.split("\r\n")[1] + "\r\n", 1, 9, 1),
    ("-rw 1,234 x\r\n", 2, 3, -1),
    (LISTING, 5, 5, -1),
])
def test_file_length(text, first, last, expected):
    assert zub32.file_length(text, first, last) == expected


@pytest.mark.parametrize("pattern, exact, expected", [
    ("*.TXT", False, ["one.txt", "TWO.TXT"]),
    ("*.TXT", True, ["TWO.TXT"]),
    ("t*", False, ["TWO.TXT", "three.d"]),
    ("?", False, []),
])
def test_iter_matches(pattern, exact, expected):
    names = "one.txt\r\nTWO.TXT\r\nthree.d\r\nnot-ended"
    assert list(zub32.iter_matches(names, pattern, exact)) == expected


def test_match_file_returns_byte_offsets_past_each_line():
    names = "é.txt\r\nb.txt\r\n"
    first = zub32.match_file(names, 0, "*.txt")
    assert first == (len("é.txt\r\n".encode()), "é.txt")
    assert zub32.match_file(names, first[0], "*.txt") == (len(names.encode()), "b.txt")
    assert zub32.match_file(names, len(names.encode()), "*") == (0, "")
