#!/usr/bin/python3
"""A host that answers ARP for every address (proxy ARP gone wrong), for the
lab's hostile-peer tests.

On --iface it answers every ARP request for an address of --subnet, other than
its own (--own), with its card's MAC after --delay-ms, as a proxy-ARP router
does (the kernel's proxy answers are delayed too, so that a real owner answers
first). With --only-from MAC only requests from that sender are answered, so
the lab's other hosts keep their neighbour tables clean.

It writes --ready-file once its socket is open, ends when --stop-file appears
or after --lifetime seconds, and prints the number of answers it sent.
"""
import argparse
import ipaddress
import os
import select
import socket
import struct
import sys
import time

ETH_P_ARP = 0x0806


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iface", default="eth0")
    parser.add_argument("--subnet", required=True)
    parser.add_argument("--own", required=True, help="the host's own address (not answered)")
    parser.add_argument("--only-from", help="answer only requests from this MAC")
    parser.add_argument("--delay-ms", type=int, default=50)
    parser.add_argument("--ready-file")
    parser.add_argument("--stop-file")
    parser.add_argument("--lifetime", type=float, default=120)
    args = parser.parse_args()

    subnet = ipaddress.ip_network(args.subnet)
    own = ipaddress.ip_address(args.own)
    only = bytes.fromhex(args.only_from.replace(":", "")) if args.only_from else None
    with open(f"/sys/class/net/{args.iface}/address", encoding="ascii") as f:
        mac = bytes.fromhex(f.read().strip().replace(":", ""))
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ARP))
    sock.bind((args.iface, ETH_P_ARP))
    if args.ready_file:
        open(args.ready_file, "w").close()
    pending = []  # (due, frame)
    answers = 0
    until = time.monotonic() + args.lifetime
    while time.monotonic() < until:
        if args.stop_file and os.path.exists(args.stop_file):
            break
        now = time.monotonic()
        while pending and pending[0][0] <= now:
            sock.send(pending.pop(0)[1])
            answers += 1
        wait = min([0.05] + [max(0.0, p[0] - now) for p in pending[:1]])
        if not select.select([sock], [], [], wait)[0]:
            continue
        frame = sock.recv(2048)
        if len(frame) < 14 + 28:
            continue
        arp = frame[14:42]
        htype, ptype, hlen, plen, op = struct.unpack("!HHBBH", arp[:8])
        if (htype, ptype, hlen, plen, op) != (1, 0x0800, 6, 4, 1):
            continue
        sender_mac, sender_ip, target_ip = arp[8:14], arp[14:18], arp[24:28]
        target = ipaddress.ip_address(target_ip)
        if target not in subnet or target == own or sender_mac == mac:
            continue
        if only is not None and sender_mac != only:
            continue
        reply = struct.pack("!HHBBH", 1, 0x0800, 6, 4, 2) + mac + target_ip + sender_mac + sender_ip
        pending.append((now + args.delay_ms / 1000, sender_mac + mac + struct.pack("!H", ETH_P_ARP) + reply))
    print(answers, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
