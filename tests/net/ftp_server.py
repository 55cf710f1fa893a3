"""A loopback FTP server for the tests.

Serves one user whose home folder is given, with every permission, on a free
port of 127.0.0.1. Prints the port on the first line of stdout once the server
listens, then serves until stdin is closed (so the server never outlives the
test that started it) or the process is terminated.
"""

import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def exit_when_stdin_closes():
    sys.stdin.read()
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--home", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    args = parser.parse_args()

    logging.basicConfig(level=logging.INFO, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elradfmw")
    handler = FTPHandler
    handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", 0), handler)

    print(server.address[1], flush=True)
    threading.Thread(target=exit_when_stdin_closes, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
