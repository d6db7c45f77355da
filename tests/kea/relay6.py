#!/usr/bin/env python3
"""Sends one SOLICIT as a DHCPv6 relay would, and waits for the answer.

    relay6.py INTERFACE CLIENT-MAC LINK-ADDRESS [SECONDS]

The RELAY-FORW (RFC 8415, 9) goes to All_DHCP_Relay_Agents_and_Servers
(ff02::1:2) on INTERFACE, from port 547. It carries the client's link-layer
address option (79, RFC 6939) with CLIENT-MAC and, inside, a SOLICIT whose
client identifier is a DUID-EN made from CLIENT-MAC, so that the MAC is
readable only from the relay's option. LINK-ADDRESS names the client's link,
by which the server chooses its subnet.

Exits 0 when a RELAY-REPL with an ADVERTISE came back within SECONDS (2 by
default), 1 when none did, 2 on bad arguments.
"""
import os
import select
import socket
import struct
import sys
import time

SERVER_PORT = 547
ALL_SERVERS = "ff02::1:2"
SOLICIT, ADVERTISE, RELAY_FORW, RELAY_REPL = 1, 2, 12, 13
OPTION_CLIENTID, OPTION_IA_NA, OPTION_RELAY_MSG = 1, 3, 9
OPTION_ELAPSED_TIME, OPTION_CLIENT_LINKLAYER_ADDR = 8, 79
ENTERPRISE = 1449  # any enterprise number will do


def option(code, data):
    return struct.pack("!HH", code, len(data)) + data


def options(data):
    """The (code, data) pairs of an option area."""
    while len(data) >= 4:
        code, length = struct.unpack("!HH", data[:4])
        yield code, data[4:4 + length]
        data = data[4 + length:]


def main(argv):
    if len(argv) not in (4, 5):
        sys.stderr.write(__doc__)
        return 2
    interface, mac_text, link_address = argv[1:4]
    seconds = float(argv[4]) if len(argv) == 5 else 2.0
    try:
        mac = bytes.fromhex(mac_text.replace(":", ""))
        link = socket.inet_pton(socket.AF_INET6, link_address)
        index = socket.if_nametoindex(interface)
    except (ValueError, OSError) as error:
        sys.stderr.write("relay6.py: %s\n" % error)
        return 2
    if len(mac) != 6:
        sys.stderr.write("relay6.py: %s is not a MAC address\n" % mac_text)
        return 2

    transaction = os.urandom(3)
    duid = struct.pack("!HI", 2, ENTERPRISE) + b"macgate-" + mac
    solicit = (bytes([SOLICIT]) + transaction + option(OPTION_CLIENTID, duid) +
               option(OPTION_ELAPSED_TIME, b"\0\0") +
               option(OPTION_IA_NA, mac[2:] + bytes(8)))
    peer = socket.inet_pton(socket.AF_INET6, "fe80::2")
    forward = (bytes([RELAY_FORW, 0]) + link + peer +
               option(OPTION_CLIENT_LINKLAYER_ADDR, b"\0\1" + mac) +
               option(OPTION_RELAY_MSG, solicit))

    sock = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
    sock.bind(("::", SERVER_PORT))
    sock.sendto(forward, (ALL_SERVERS, SERVER_PORT, 0, index))

    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            return 1
        reply = sock.recv(65535)
        if len(reply) < 34 or reply[0] != RELAY_REPL:
            continue
        for code, data in options(reply[34:]):
            if (code == OPTION_RELAY_MSG and len(data) >= 4 and data[0] == ADVERTISE and
                    data[1:4] == transaction):
                return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
