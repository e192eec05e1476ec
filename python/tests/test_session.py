"""Sessions against a real FTP server (pyftpdlib on 127.0.0.1): blocking use
through Channel, errors from the server and the network, and many channels
driven from one loop in caller-driven use."""

import os
import socket

import pytest

import zub32


def sample(size, seed):
    return bytes((i * 131 + i // 251 + seed) & 0xFF for i in range(size))


def connected(ch, server, local):
    ch.connect("127.0.0.1", server.user, server.password, port=server.port)
    ch.set_local_dir(str(local))
    ch.set_mode("B")
    return ch


def test_blocking_session_through_a_channel(ftp_server, channels, tmp_path):
    data = sample(300_000, 1)
    (tmp_path / "up.bin").write_bytes(data)
    log = tmp_path / "trace.log"
    with channels[0] as ch:
        ch.open_log(log)
        connected(ch, ftp_server, tmp_path)
        ch.make_server_dir("py-session")
        ch.set_server_dir("py-session")
        assert ch.get_server_dir() == "/py-session"
        ch.put_file("up.bin:stored.bin")
        assert ch.get_integer(zub32.PUT_BYTES) == len(data)
        listing = ch.get_list()
        assert "stored.bin" in listing and str(len(data)) in listing
        assert ch.get_list(zub32.NLST_ARG, "stored.bin").split() == ["stored.bin"]
        ch.get_file("stored.bin:down.bin")
        assert (tmp_path / "down.bin").read_bytes() == data
        ch.command("SYST")
        assert ch.last_reply.startswith("215")
        ch.hello()
        ch.del_file("stored.bin")
        ch.set_server_dir("..")
        ch.del_server_dir("py-session")
        assert ch.get_local_dir() == str(tmp_path) + "\\"
    # Leaving the with block sent QUIT and closed the socket and the log.
    assert zub32.get_integer(0, zub32.GET_CTRL_SOCKET) == 0
    assert b"S: QUIT\r\n" in log.read_bytes()
    assert not os.path.exists(os.path.join(ftp_server.root, "py-session"))


def test_server_refusal_raises_with_the_reply(ftp_server, channels, tmp_path):
    with connected(channels[0], ftp_server, tmp_path) as ch:
        with pytest.raises(zub32.ZubError) as info:
            ch.get_file("no-such-file.bin")
        error = info.value
        assert (error.code, error.function) == (zub32.E_SERVER_ERROR, "get_file")
        assert error.text.startswith("FTP server returned error. 550")
        assert ch.get_integer(zub32.GET_REPLY_CODE) == 550
        ch.hello()  # the session goes on after a refusal


def test_refused_connection_raises_the_socket_code(channels):
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(zub32.ZubError) as info:
        channels[1].connect("127.0.0.1", "u", "p", port=port)
    assert (info.value.code, info.value.text) == (-10061, "Connection refused by remote host.")


def test_channel_closes_the_session_when_the_block_fails(ftp_server, channels, tmp_path):
    with pytest.raises(RuntimeError):
        with connected(channels[2], ftp_server, tmp_path):
            raise RuntimeError("application failure")
    assert zub32.get_integer(2, zub32.GET_CTRL_SOCKET) == 0


def test_one_loop_drives_many_channels(ftp_server, channels, tmp_path):
    """Four caller-driven channels each connect, upload, download and close,
    every operation armed from the loop as the one before it ended."""
    files = {n: sample(50_000 + 7_000 * n, n) for n in range(4)}
    for n, data in files.items():
        (tmp_path / f"up{n}.bin").write_bytes(data)
        channels[n].set_integer(zub32.SET_CTRL_PORT, ftp_server.port)
        channels[n].set_integer(zub32.SET_PASSIVE, 1)
        channels[n].set_local_dir(str(tmp_path))
        channels[n].set_integer(zub32.SET_AUTO_CALL, 0)
    steps = [lambda ch, n: ch.set_mode("B"),
             lambda ch, n: ch.put_file(f"up{n}.bin:multi{n}.bin"),
             lambda ch, n: ch.get_file(f"multi{n}.bin:down{n}.bin"),
             lambda ch, n: ch.get_list(zub32.NLST),
             lambda ch, n: ch.del_file(f"multi{n}.bin"),
             lambda ch, n: ch.close()]
    for ch in channels:
        ch.connect("127.0.0.1", ftp_server.user, ftp_server.password, port=ftp_server.port)
    armed = {n: 0 for n in range(4)}  # steps armed so far, per channel
    finished, listings = [], {}
    loop = zub32.drive(channels)
    for ch, error in loop:
        assert error is None, (ch, error)
        n = ch.number
        if armed[n] == 4:  # the listing has just ended
            listings[n] = ch.list_text()
        if armed[n] == len(steps):
            finished.append(n)
            continue
        assert steps[armed[n]](ch, n) is None  # caller-driven: armed, nothing returned
        armed[n] += 1
        loop.add(ch)
    assert sorted(finished) == [0, 1, 2, 3]
    for n, data in files.items():
        assert (tmp_path / f"down{n}.bin").read_bytes() == data
        assert f"multi{n}.bin" in listings[n].split()
    for ch in channels:
        ch.set_integer(zub32.SET_AUTO_CALL, 1)


def test_drive_reports_a_failure_and_goes_on(ftp_server, channels, tmp_path):
    for n in (0, 1):
        connected(channels[n], ftp_server, tmp_path)
        channels[n].set_integer(zub32.SET_AUTO_CALL, 0)
    channels[0].get_file("missing.bin")
    channels[1].command("NOOP")
    results = {ch.number: error for ch, error in zub32.drive(channels[:2])}
    assert results[1] is None
    assert results[0].code == zub32.E_SERVER_ERROR and results[0].function == "driver"
    for n in (0, 1):
        with channels[n]:
            pass  # closes the caller-driven session in blocking use
        assert zub32.get_integer(n, zub32.GET_CTRL_SOCKET) == 0
