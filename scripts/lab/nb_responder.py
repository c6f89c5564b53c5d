#!/usr/bin/python3
"""NetBIOS node-status responder for the lab (RFC 1002, NODE STATUS RESPONSE).

By default it answers as a Windows host does: the name table holds an "IS~NAME"
unique name first, then the computer name (<00> unique), the workgroup (<00>
group), the server name (<20> unique) and the browser-election name (<1E> group),
all active, followed by the statistics block whose unit id is the adapter's real
MAC address. Only node-status requests (question type NBSTAT) for "*" or for one
of its own names are answered; everything else on the port is ignored.

The options after "hostile peer" turn it into a misbehaving peer for tests; the
default behaviour stays that of a well-formed answer.
"""
import argparse
import os
import select
import signal
import socket
import struct
import sys
import time

NBSTAT = 0x0021
CLASS_IN = 0x0001
UNIQUE_ACTIVE = 0x0400
GROUP_ACTIVE = 0x8400
STATS_LEN = 46


def first_level_decode(encoded: bytes) -> bytes:
    """Decodes the 32-byte first-level encoding into the 16 name bytes."""
    out = bytearray()
    for i in range(0, len(encoded) - 1, 2):
        hi, lo = encoded[i] - 0x41, encoded[i + 1] - 0x41
        if not (0 <= hi < 16 and 0 <= lo < 16):
            raise ValueError("bad encoded name")
        out.append(hi << 4 | lo)
    return bytes(out)


def parse_request(data: bytes):
    """Returns (transaction id, raw question name, decoded 16-byte name) of a
    node-status request, or None for anything else."""
    if len(data) < 12 + 34 + 4:
        return None
    tid, flags, qdcount = struct.unpack_from(">HHH", data, 0)
    if flags & 0x8000 or (flags >> 11) & 0xF != 0 or qdcount < 1:
        return None
    pos = 12
    if data[pos] != 0x20:
        return None
    encoded = data[pos + 1:pos + 33]
    pos += 33
    # Optional scope labels up to the terminating zero.
    while pos < len(data) and data[pos] != 0:
        pos += 1 + data[pos]
    if pos >= len(data):
        return None
    pos += 1
    if pos + 4 > len(data):
        return None
    qtype, qclass = struct.unpack_from(">HH", data, pos)
    if qtype != NBSTAT or qclass != CLASS_IN:
        return None
    try:
        name = first_level_decode(encoded)
    except ValueError:
        return None
    return tid, data[12:pos], name


def name_entry(name: str, suffix: int, flags: int) -> bytes:
    raw = name.encode("ascii")[:15].ljust(15, b" ")
    return raw + bytes([suffix]) + struct.pack(">H", flags)


def parse_names(text: str):
    """NAME/SUFFIX/FLAGS entries joined by commas, SUFFIX and FLAGS in hex."""
    table = []
    for item in filter(None, text.split(",")):
        name, suffix, flags = item.split("/")
        table.append((name, int(suffix, 16), int(flags, 16)))
    return table


def read_mac(iface: str) -> bytes:
    with open(f"/sys/class/net/{iface}/address", encoding="ascii") as f:
        return bytes.fromhex(f.read().strip().replace(":", ""))


def build_answer(args, tid: int, question: bytes, mac: bytes) -> bytes:
    if args.names is not None:
        table = parse_names(args.names)
    else:
        table = []
        if not args.no_is_name:
            table.append(("IS~" + args.name, 0x00, UNIQUE_ACTIVE))
        table += [(args.name, 0x00, UNIQUE_ACTIVE), (args.group, 0x00, GROUP_ACTIVE),
                  (args.name, 0x20, UNIQUE_ACTIVE), (args.group, 0x1E, GROUP_ACTIVE)]
    rdata = bytearray([len(table) & 0xFF])
    for name, suffix, flags in table:
        rdata += name_entry(name, suffix, flags)
    if not args.no_stats:
        rdata += mac + bytes([args.stats_fill]) * (STATS_LEN - len(mac))
    flags = (0 if args.no_response_bit else 0x8000) | 0x0400 | (args.rcode & 0xF)
    header = struct.pack(">HHHHHH", tid, flags, 0, args.ancount, 0, 0)
    answer = header + question + struct.pack(">HHIH", NBSTAT, CLASS_IN, 0, len(rdata)) + bytes(rdata)
    if args.truncate is not None:
        answer = answer[:args.truncate]
    return answer


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bind", required=True, help="unicast address to answer on")
    parser.add_argument("--port", type=int, default=137)
    parser.add_argument("--name", default="WIN-RESP", help="computer name")
    parser.add_argument("--group", default="LABWG", help="workgroup name")
    parser.add_argument("--iface", default="eth0", help="card whose MAC goes into the statistics")
    parser.add_argument("--mac", help="MAC for the statistics instead of the card's")
    parser.add_argument("--log", help="file that records every request and answer")
    hostile = parser.add_argument_group("hostile peer")
    hostile.add_argument("--no-is-name", action="store_true", help="leave out the IS~ name")
    hostile.add_argument("--names", help="whole name table: NAME/SUFFIX/FLAGS,... (hex)")
    hostile.add_argument("--no-stats", action="store_true", help="leave out the statistics block")
    hostile.add_argument("--stats-fill", type=lambda v: int(v, 0), default=0,
                         help="byte for the statistics after the unit id")
    hostile.add_argument("--rcode", type=int, default=0)
    hostile.add_argument("--no-response-bit", action="store_true")
    hostile.add_argument("--ancount", type=int, default=1)
    hostile.add_argument("--truncate", type=int, help="send only the first N bytes")
    hostile.add_argument("--copies", type=int, default=1, help="send the answer N times")
    hostile.add_argument("--delay-ms", type=int, default=0, help="wait before answering")
    hostile.add_argument("--garbage", type=int, help="answer with N random bytes instead")
    hostile.add_argument("--answer-from", help="send the answer from this address (port --port)")
    parser.add_argument("--exit-after", type=int, default=0,
                        help="end after answering N requests (0: run until ended)")
    parser.add_argument("--lifetime", type=float, default=0,
                        help="end after this many seconds (0: run until ended)")
    parser.add_argument("--ready-file", help="created once the socket is open")
    parser.add_argument("--stop-file", help="end once this file exists")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    mac = bytes.fromhex(args.mac.replace(":", "").replace("-", "")) if args.mac else read_mac(args.iface)
    own_names = {args.name.upper().encode("ascii")[:15].ljust(15, b" ")}
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.bind, args.port))
    out = sock
    if args.answer_from:
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        out.bind((args.answer_from, args.port))
    log = open(args.log, "a", buffering=1, encoding="ascii") if args.log else None
    print(f"answering node status on {args.bind}:{args.port} as {args.name}", flush=True)
    if args.ready_file:
        open(args.ready_file, "w").close()
    answered = 0
    until = time.monotonic() + args.lifetime if args.lifetime > 0 else None
    while True:
        if args.stop_file or until is not None:
            if (args.stop_file and os.path.exists(args.stop_file)) or \
                    (until is not None and time.monotonic() >= until):
                return 0
            if not select.select([sock], [], [], 0.05)[0]:
                continue
        data, peer = sock.recvfrom(2048)
        if log:
            log.write(f"request {peer[0]}:{peer[1]} len={len(data)} {data.hex()}\n")
        request = parse_request(data)
        if request is None:
            continue
        tid, question, name = request
        if name[0:1] != b"*" and name[:15] not in own_names:
            continue
        answer = os.urandom(args.garbage) if args.garbage is not None else build_answer(args, tid, question, mac)
        if args.delay_ms:
            time.sleep(args.delay_ms / 1000)
        for _ in range(max(args.copies, 0)):
            out.sendto(answer, peer)
        if log:
            log.write(f"answer {peer[0]}:{peer[1]} len={len(answer)} copies={args.copies}\n")
        answered += 1
        if args.exit_after and answered >= args.exit_after:
            return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
