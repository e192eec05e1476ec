"""Shared fixtures: a real FTP server (pyftpdlib) on 127.0.0.1 and an attached library."""

import os
import secrets
import threading

import pytest

import zub32


class Server:
    """pyftpdlib in a thread: one virtual user with a random password on a free port."""

    def __init__(self, root):
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import FTPServer

        self.root = str(root)
        self.user = "zubtest"
        self.password = secrets.token_hex(12)
        authorizer = DummyAuthorizer()
        authorizer.add_user(self.user, self.password, self.root, perm="elradfmwMT")
        handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
        self._server = FTPServer(("127.0.0.1", 0), handler)
        self.port = self._server.address[1]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"timeout": 0.05}, daemon=True)
        self._thread.start()

    def stop(self):
        self._server.close_all()
        self._thread.join(5)


@pytest.fixture(scope="session")
def ftp_server(tmp_path_factory):
    pytest.importorskip("pyftpdlib")
    server = Server(tmp_path_factory.mktemp("ftp-root"))
    yield server
    server.stop()


@pytest.fixture
def channels():
    """Four attached channels; released after the test, whatever it left."""
    zub32.attach(4)
    yield [zub32.Channel(n) for n in range(4)]
    for n in range(4):
        try:
            zub32.abort(n)
        except zub32.ZubError:
            pass
    zub32.release()


def header_path():
    """zub32.h of the source tree (or $ZUB32_HEADER), None if neither exists."""
    candidates = [os.environ.get("ZUB32_HEADER"),
                  os.path.join(os.path.dirname(__file__), "..", "..", "include", "zub32.h")]
    for path in candidates:
        if path and os.path.exists(path):
            return path
    return None
