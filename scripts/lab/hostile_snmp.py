#!/usr/bin/python3
"""A misbehaving SNMP v1/v2c agent for the lab's hostile-peer tests.

It answers GET and GET-NEXT for any community, in the request's version, from
UDP 161 of --bind. Every mode serves a sound system description first
("Hostile MODE" for 1.3.6.1.2.1.1.1.0) and then misbehaves:

  loop       GET-NEXT leads A -> B -> A for ever (two address-table objects)
  grow       GET-NEXT answers with an ever larger object name: ARP-table rows
             whose names grow by one sub-identifier per answer, then by row
  types      wrong value types: the model object as INTEGER, the marker counter
             as binary OCTET STRING, the firmware object as a 6-octet IpAddress,
             the power-on counter as OBJECT IDENTIFIER
  giant      the model and firmware objects as 60000-octet strings; the walk's
             objects as 1400-octet strings
  truncated  every answer cut to half its length
  wrongid    every answer with another request id
  silent     reads and never answers
  bigview    a core switch: --objects interface-table objects (default 30000)
             ahead of its address table and --arp-rows ARP-table rows (default
             20) for addresses --arp-base.1 onward (default 10.77.1.221), each
             answer --delay-ms late (default 2)

It writes --ready-file once its socket is open, ends when --stop-file appears or
after --lifetime seconds, and prints the number of requests it read.
"""
import argparse
import bisect
import os
import select
import socket
import sys
import time

SYS_DESCR = (1, 3, 6, 1, 2, 1, 1, 1, 0)
MODEL = (1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 3, 1)
FIRMWARE = (1, 3, 6, 1, 4, 1, 77777, 1, 1, 0)
MARKER = (1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4, 1, 1)
POWER_ON = (1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 5, 1, 1)
ARP_COLUMN = (1, 3, 6, 1, 2, 1, 4, 22, 1, 2)
ADDR_A = (1, 3, 6, 1, 2, 1, 4, 20, 1, 1, 10, 77, 1, 1)
ADDR_B = (1, 3, 6, 1, 2, 1, 4, 20, 1, 2, 10, 77, 1, 1)

INTEGER, OCTETS, NULL, OID, SEQ = 0x02, 0x04, 0x05, 0x06, 0x30
IPADDR, COUNTER32 = 0x40, 0x41
GET, GETNEXT, RESPONSE = 0xA0, 0xA1, 0xA2
NO_SUCH_NAME = 2


# --- BER ---------------------------------------------------------------------
def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        head = bytes([tag, n])
    elif n < 0x100:
        head = bytes([tag, 0x81, n])
    else:
        head = bytes([tag, 0x82, n >> 8, n & 0xFF])
    return head + content


def integer(value):
    n = 1
    while not -(1 << (8 * n - 1)) <= value < (1 << (8 * n - 1)):
        n += 1
    return tlv(INTEGER, value.to_bytes(n, "big", signed=True))


def oid_content(ids):
    out = bytearray([ids[0] * 40 + ids[1]])
    for sub in ids[2:]:
        groups = [sub & 0x7F]
        sub >>= 7
        while sub:
            groups.append(0x80 | (sub & 0x7F))
            sub >>= 7
        out += bytes(reversed(groups))
    return bytes(out)


def read_tlv(data, pos):
    tag = data[pos]
    length = data[pos + 1]
    pos += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    if pos + length > len(data):
        raise ValueError("short")
    return tag, data[pos:pos + length], pos + length


def read_oid(content):
    ids = [content[0] // 40, content[0] % 40]
    value = 0
    for b in content[1:]:
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            ids.append(value)
            value = 0
    return tuple(ids)


def parse_request(data):
    """(version, community, pdu type, request id, name) or None."""
    try:
        tag, message, _ = read_tlv(data, 0)
        if tag != SEQ:
            return None
        _, version, pos = read_tlv(message, 0)
        _, community, pos = read_tlv(message, pos)
        pdu_type, pdu, _ = read_tlv(message, pos)
        _, rid, pos = read_tlv(pdu, 0)
        _, _, pos = read_tlv(pdu, pos)
        _, _, pos = read_tlv(pdu, pos)
        _, binds, _ = read_tlv(pdu, pos)
        _, bind, _ = read_tlv(binds, 0)
        _, name, _ = read_tlv(bind, 0)
        return (int.from_bytes(version, "big"), community, pdu_type,
                int.from_bytes(rid, "big", signed=True), read_oid(name))
    except (IndexError, ValueError):
        return None


def response(version, community, rid, name, value, error=0):
    bind = tlv(SEQ, tlv(OID, oid_content(name)) + value)
    pdu = integer(rid) + integer(error) + integer(1 if error else 0) + tlv(SEQ, bind)
    return tlv(SEQ, integer(version) + tlv(OCTETS, community) + tlv(RESPONSE, pdu))


# --- what each mode answers --------------------------------------------------
def octets(text):
    return tlv(OCTETS, text if isinstance(text, bytes) else text.encode())


class Agent:
    def __init__(self, mode, objects=0, arp_rows=0, arp_base="10.77.1.221"):
        self.mode = mode
        self.view = None
        if mode == "bigview":
            self.view = self.big_view(objects, arp_rows, arp_base)
            self.names = sorted(self.view)

    @staticmethod
    def big_view(objects, arp_rows, arp_base):
        view = {SYS_DESCR: octets("Hostile bigview")}
        # ifTable columns of 1..ports ports, as many objects as asked.
        ports = max(1, (objects + 21) // 22)
        count = 0
        for column in range(1, 23):
            for port in range(1, ports + 1):
                if count == objects:
                    break
                view[(1, 3, 6, 1, 2, 1, 2, 2, 1, column, port)] = integer(port)
                count += 1
        view[ADDR_A] = tlv(IPADDR, bytes([10, 77, 1, 1]))
        view[MODEL] = octets("Hostile bigview model")
        view[FIRMWARE] = octets("Hostile bigview firmware")
        base = [int(x) for x in arp_base.split(".")]
        for i in range(arp_rows):
            address = tuple(base[:3]) + (base[3] + i,)
            view[(1, 3, 6, 1, 2, 1, 4, 21, 1, 1) + address] = tlv(IPADDR, bytes(address))
            view[ARP_COLUMN + (1,) + address] = octets(bytes([2, 0x77, 0xEE, 0, 0, base[3] + i]))
            view[(1, 3, 6, 1, 2, 1, 4, 22, 1, 4, 1) + address] = integer(3)
        return view

    def objects(self):
        """The agent's sorted view for modes that have a fixed one."""
        mode = self.mode
        view = {SYS_DESCR: octets(f"Hostile {mode}")}
        if mode == "types":
            view[MODEL] = integer(9000)
            view[MARKER] = octets(b"\x01\x02binary\x1f")
            view[POWER_ON] = tlv(OID, oid_content((1, 3, 6, 1)))
            view[FIRMWARE] = tlv(IPADDR, b"\x0a\x4d\x01\x01\x00\x00")
            view[ADDR_A] = tlv(COUNTER32, b"\x05")
        elif mode == "giant":
            view[MODEL] = octets("M" * 60000)
            view[FIRMWARE] = octets("F" * 60000)
            for i in range(1, 4):
                view[ARP_COLUMN + (1, 10, 77, 1, i)] = octets(bytes([2, 0, 0, 0, 0, i]) * 233)
        else:
            view[MODEL] = octets(f"Hostile {mode} model")
            view[FIRMWARE] = octets(f"Hostile {mode} firmware")
        return dict(sorted(view.items()))

    def answer(self, pdu_type, name):
        """(name, encoded value) or None for noSuchName."""
        if self.mode == "loop" and pdu_type == GETNEXT:
            if name < ADDR_A:
                return ADDR_A, tlv(IPADDR, bytes([10, 77, 1, 1]))
            if name == ADDR_A:
                return ADDR_B, integer(1)
            return ADDR_A, tlv(IPADDR, bytes([10, 77, 1, 1]))
        if self.mode == "grow" and pdu_type == GETNEXT:
            if name[:len(ARP_COLUMN)] != ARP_COLUMN or len(name) <= len(ARP_COLUMN):
                nxt = ARP_COLUMN + (1,)
            elif len(name) < 100:
                nxt = name + (1,)
            else:
                nxt = ARP_COLUMN + (name[len(ARP_COLUMN)] + 1,)
            return nxt, octets(bytes([2, 0x66, 0, 0, 0, len(nxt)]))
        if self.view is not None:
            if pdu_type == GET:
                return (name, self.view[name]) if name in self.view else None
            at = bisect.bisect_right(self.names, name)
            return (self.names[at], self.view[self.names[at]]) if at < len(self.names) else None
        view = self.objects()
        if pdu_type == GET:
            return (name, view[name]) if name in view else None
        for key, value in view.items():
            if key > name:
                return key, value
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bind", required=True)
    parser.add_argument("--port", type=int, default=161)
    parser.add_argument("--mode", required=True,
                        choices=["loop", "grow", "types", "giant", "truncated", "wrongid", "silent",
                                 "bigview"])
    parser.add_argument("--objects", type=int, default=30000)
    parser.add_argument("--arp-rows", type=int, default=20)
    parser.add_argument("--arp-base", default="10.77.1.221")
    parser.add_argument("--delay-ms", type=float, default=2)
    parser.add_argument("--ready-file")
    parser.add_argument("--stop-file")
    parser.add_argument("--lifetime", type=float, default=120)
    args = parser.parse_args()

    agent = Agent(args.mode, args.objects, args.arp_rows, args.arp_base)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
    sock.bind((args.bind, args.port))
    if args.ready_file:
        open(args.ready_file, "w").close()
    requests = 0
    until = time.monotonic() + args.lifetime
    while time.monotonic() < until:
        if args.stop_file and os.path.exists(args.stop_file):
            break
        if not select.select([sock], [], [], 0.05)[0]:
            continue
        data, peer = sock.recvfrom(65535)
        requests += 1
        request = parse_request(data)
        if request is None or args.mode == "silent":
            continue
        version, community, pdu_type, rid, name = request
        if args.mode == "bigview" and args.delay_ms > 0:
            time.sleep(args.delay_ms / 1000)
        found = agent.answer(pdu_type, name)
        if found is None:
            out = response(version, community, rid, name, tlv(NULL, b""), NO_SUCH_NAME)
        else:
            out = response(version, community, rid, found[0], found[1])
        if args.mode == "truncated":
            out = out[:len(out) // 2]
        elif args.mode == "wrongid":
            out = response(version, community, rid + 1, *(found or (name, tlv(NULL, b""))))
        try:
            sock.sendto(out, peer)
        except OSError:
            pass
    print(requests, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
