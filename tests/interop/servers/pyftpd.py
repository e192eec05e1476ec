"""pyftpdlib on loopback with one virtual login whose password comes from the
environment (ZUB_FTP_PASSWORD), never from the command line, where every
local user could read it.
usage: pyftpd.py HOST PORT ROOTDIR USER PASV_MIN PASV_MAX"""
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    host, port, root, user, pasv_min, pasv_max = sys.argv[1:7]
    password = os.environ.pop("ZUB_FTP_PASSWORD")
    authorizer = DummyAuthorizer()
    # the permissions of the command-line server's -w: everything
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.passive_ports = range(int(pasv_min), int(pasv_max) + 1)
    logging.basicConfig(level=logging.INFO, format="[%(asctime)s] %(message)s")
    FTPServer((host, int(port)), handler).serve_forever()


if __name__ == "__main__":
    main()
