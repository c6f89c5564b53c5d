#!/usr/bin/python3
"""TCP ports that accept every connection and then never speak, for the lab's
hostile-peer tests: the connections stay open, unread and unanswered, until the
peer closes them or this program ends.

It writes --ready-file once it listens, ends when --stop-file appears or after
--lifetime seconds, and prints the number of connections it accepted.
"""
import argparse
import os
import select
import socket
import sys
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bind", required=True)
    parser.add_argument("--port", type=int, action="append", required=True)
    parser.add_argument("--ready-file")
    parser.add_argument("--stop-file")
    parser.add_argument("--lifetime", type=float, default=120)
    args = parser.parse_args()

    listeners = []
    for port in args.port:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((args.bind, port))
        s.listen(128)
        listeners.append(s)
    if args.ready_file:
        open(args.ready_file, "w").close()
    held = []
    until = time.monotonic() + args.lifetime
    while time.monotonic() < until:
        if args.stop_file and os.path.exists(args.stop_file):
            break
        for s in select.select(listeners, [], [], 0.05)[0]:
            conn, _ = s.accept()
            held.append(conn)
    print(len(held), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
