#!/usr/bin/env python3
"""Writes the seed inputs of the capture and registry fuzz targets into
fuzz/corpus/capture and fuzz/corpus/registry: small files that each reach
one part of the reader, for the fuzzer to start from."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def dhcp(op, last, kind):
    message = bytearray(300)
    message[0:3] = bytes([op, 1, 6])
    message[28:34] = bytes([0x52, 0x54, 0x00, 0x6A, 0x01, last])
    message[236:244] = bytes([99, 130, 83, 99, 53, 1, kind, 255])
    return bytes(message)


def frame(payload, tags=(), port=67):
    ether = b"\xff" * 12
    for tpid in tags:
        ether += struct.pack(">HH", tpid, 42)
    ether += struct.pack(">H", 0x0800)
    udp = struct.pack(">HHHH", 68 if port == 67 else 67, port, 8 + len(payload), 0)
    ip = struct.pack(">BBHHHBBHII", 0x45, 0, 20 + len(udp) + len(payload), 1, 0, 64, 17, 0, 0,
                     0xFFFFFFFF)
    return ether + ip + udp + payload


FRAMES = [frame(dhcp(1, 1, 1)), frame(dhcp(2, 1, 2), port=68), frame(dhcp(1, 2, 3), (0x8100,)),
          frame(dhcp(1, 3, 3), (0x88A8, 0x8100))]


def pcap(order, magic):
    out = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, 65535, 1)
    for i, data in enumerate(FRAMES):
        out += struct.pack(order + "IIII", 1765258800 + i, 1000 * i, len(data), len(data)) + data
    return out


def block(order, kind, body):
    body += b"\0" * (-len(body) % 4)
    return struct.pack(order + "II", kind, len(body) + 12) + body + struct.pack(order + "I",
                                                                               len(body) + 12)


def pcapng(order, offset=3600, first=1765258800):
    out = block(order, 0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1))
    # if_tsresol 2^-10 s and if_tsoffset, then one interface without options
    options = struct.pack(order + "HHB3x", 9, 1, 0x8A) + struct.pack(order + "HHq", 14, 8, offset)
    out += block(order, 1, struct.pack(order + "HHI", 1, 0, 0) + options + b"\0" * 4)
    out += block(order, 1, struct.pack(order + "HHI", 1, 0, 0))
    for i, data in enumerate(FRAMES):
        stamp = (first + i) * 1024
        out += block(order, 6, struct.pack(order + "IIIII", i % 2, stamp >> 32, stamp & 0xFFFFFFFF,
                                           len(data), len(data)) + data)
    out += block(order, 3, struct.pack(order + "I", len(FRAMES[0])) + FRAMES[0])
    out += block(order, 5, b"statistics")
    return out


def utf16(text, terminator=True):
    return text.encode("utf-16-le", "surrogatepass") + (b"\0\0" if terminator else b"")


def write(folder, name, data):
    os.makedirs(os.path.join(here, "corpus", folder), exist_ok=True)
    with open(os.path.join(here, "corpus", folder, name), "wb") as out:
        out.write(data)


write("capture", "pcap-little-endian-microseconds", pcap("<", 0xA1B2C3D4))
write("capture", "pcap-big-endian-nanoseconds", pcap(">", 0xA1B23C4D))
write("capture", "pcapng-little-endian", pcapng("<"))
write("capture", "pcapng-big-endian", pcapng(">"))
write("capture", "pcapng-time-past-any-date", pcapng("<", 2**63 - 1, 2**52))

# selector, source (3: the bytes are the value's data; 2: the environment)
write("registry", "string", b"\x01\x03" + utf16("C:\\DhcpFilter\\mac-list.txt"))
write("registry", "latin-and-surrogate-pair", b"\x02\x03" + utf16("C:\\logs\\caf\u00e9-\U0001F600"))
write("registry", "lone-surrogate", b"\x00\x03" + utf16("a\ud800b"))
write("registry", "no-terminator-odd-size", b"\x01\x03" + utf16("list.txt", False) + b"x")
write("registry", "dword", b"\x00\x03" + struct.pack("<I", 0x00410041))
write("registry", "multi-string", b"\x02\x03" + utf16("one") + utf16("two") + b"\0\0")
write("registry", "511-units", b"\x01\x03" + utf16("x" * 511))
write("registry", "environment-utf8", b"\x01\x02" + "/srv/dhcp/liste-\u00e9.txt".encode())
write("registry", "environment-not-utf8", b"\x00\x02" + b"/srv/\xc3\x28\xed\xa0\x80")
