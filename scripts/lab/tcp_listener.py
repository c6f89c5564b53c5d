#!/usr/bin/python3
"""TCP listener for the lab: accepts connections on the given ports and closes them.

Runs until it is ended by a signal (the lab ends it by its PID). A connection is
accepted and closed at once, which is what a port probe needs to see an open port.
"""
import argparse
import selectors
import signal
import socket
import sys


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bind", required=True, help="address to listen on")
    parser.add_argument("--port", type=int, action="append", required=True,
                        help="TCP port (repeat for several)")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sel = selectors.DefaultSelector()
    for port in args.port:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((args.bind, port))
        sock.listen(128)
        sock.setblocking(False)
        sel.register(sock, selectors.EVENT_READ)
    print(f"listening on {args.bind} ports {','.join(map(str, args.port))}", flush=True)
    while True:
        for key, _ in sel.select():
            try:
                conn, _ = key.fileobj.accept()
            except (BlockingIOError, ConnectionAbortedError):
                continue
            conn.close()


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
