#!/usr/bin/python3
"""A host that floods the scanner's discovery sweeps with answers that are
copies, lies or meant for someone else, for the lab's hostile-peer tests.

On --iface it watches the requests sent by --only-from (the scanner's MAC):

  * an ARP request for one of its own addresses (--own, repeatable): --copies
    copies of the true reply;
  * an ARP request for any other address of --subnet: --copies replies that
    give that address this card's MAC, sent to another station's MAC (a bridge
    floods them to every port, the scanner's too);
  * an echo request to one of its own addresses: --copies copies of the true
    reply with TTL 255, and --copies forged replies with the same identifier,
    sequence number and data from each of the next --spoof addresses of
    --subnet (TTL 200), and an "unreachable" quoting the request as if it had
    gone to the next address.

The kernel of the host answers too, as it always does. It writes --ready-file
once its socket is open, ends when --stop-file appears or after --lifetime
seconds, and prints the number of frames it sent.
"""
import argparse
import ipaddress
import os
import select
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
ETH_P_IP = 0x0800
ETH_P_ARP = 0x0806
ELSEWHERE = bytes.fromhex("0200deadbe01")  # a station that is not on the bridge


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4(src, dst, ttl, payload):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, ttl, 1, 0,
                         src, dst)
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload


def icmp(kind, code, rest, body):
    message = struct.pack("!BBH", kind, code, 0) + rest + body
    return message[:2] + struct.pack("!H", checksum(message)) + message[4:]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iface", default="eth0")
    parser.add_argument("--subnet", required=True)
    parser.add_argument("--own", action="append", required=True)
    parser.add_argument("--only-from", required=True, help="the scanner's MAC")
    parser.add_argument("--copies", type=int, default=20)
    parser.add_argument("--spoof", type=int, default=20)
    parser.add_argument("--ready-file")
    parser.add_argument("--stop-file")
    parser.add_argument("--lifetime", type=float, default=120)
    args = parser.parse_args()

    subnet = ipaddress.ip_network(args.subnet)
    own = {ipaddress.ip_address(a).packed for a in args.own}
    scanner = bytes.fromhex(args.only_from.replace(":", ""))
    with open(f"/sys/class/net/{args.iface}/address", encoding="ascii") as f:
        mac = bytes.fromhex(f.read().strip().replace(":", ""))
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    sock.bind((args.iface, ETH_P_ALL))
    if args.ready_file:
        open(args.ready_file, "w").close()
    sent = 0

    def send(to, ethertype, payload):
        nonlocal sent
        sock.send(to + mac + struct.pack("!H", ethertype) + payload)
        sent += 1

    until = time.monotonic() + args.lifetime
    while time.monotonic() < until:
        if args.stop_file and os.path.exists(args.stop_file):
            break
        if not select.select([sock], [], [], 0.05)[0]:
            continue
        frame, where = sock.recvfrom(2048)
        if where[2] == socket.PACKET_OUTGOING or frame[6:12] != scanner or len(frame) < 42:
            continue
        ethertype = struct.unpack("!H", frame[12:14])[0]
        if ethertype == ETH_P_ARP:
            arp = frame[14:42]
            if struct.unpack("!HHBBH", arp[:8]) != (1, 0x0800, 6, 4, 1):
                continue
            sender_ip, target_ip = arp[14:18], arp[24:28]
            if ipaddress.ip_address(target_ip) not in subnet:
                continue
            header = struct.pack("!HHBBH", 1, 0x0800, 6, 4, 2)
            if target_ip in own:
                for _ in range(args.copies):
                    send(scanner, ETH_P_ARP, header + mac + target_ip + scanner + sender_ip)
            else:
                for _ in range(args.copies):
                    send(ELSEWHERE, ETH_P_ARP, header + mac + target_ip + ELSEWHERE + sender_ip)
        elif ethertype == ETH_P_IP:
            packet = frame[14:]
            ihl = (packet[0] & 0x0F) * 4
            if packet[9] != 1 or len(packet) < ihl + 8 or packet[ihl] != 8:
                continue
            src, dst = packet[12:16], packet[16:20]
            if dst not in own:
                continue
            echo = packet[ihl:]
            ident_seq, data = echo[4:8], echo[8:]
            reply = icmp(0, 0, ident_seq, data)
            for _ in range(args.copies):
                send(scanner, ETH_P_IP, ipv4(dst, src, 255, reply))
            base = int(ipaddress.ip_address(dst))
            for k in range(1, args.spoof + 1):
                other = ipaddress.ip_address(base + k)
                if other not in subnet or other.packed in own:
                    continue
                for _ in range(args.copies):
                    send(scanner, ETH_P_IP, ipv4(other.packed, src, 200, reply))
            next_one = ipaddress.ip_address(base + 1).packed
            quoted = packet[:16] + next_one + packet[20:ihl + 8]
            send(scanner, ETH_P_IP, ipv4(dst, src, 64, icmp(3, 1, b"\0\0\0\0", quoted)))
    print(sent, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
