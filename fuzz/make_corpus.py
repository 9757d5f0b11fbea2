#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_stream into fuzz/corpus/stream/.

Each file: a byte c-1 (c = 1..8), c fragment-size bytes (a fragment is the
size byte + 1 bytes long), then the stream: markers and messages as the server
sends them.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "stream")


def message(command, param, client_id, request_id, sequence, payload=b""):
    header = bytearray(64)
    struct.pack_into("<h", header, 6, client_id)
    struct.pack_into("<i", header, 16, 1)
    struct.pack_into("<h", header, 20, 2)
    struct.pack_into("<h", header, 26, 1047)
    struct.pack_into("<i", header, 28, len(payload))
    struct.pack_into("<hh", header, 32, command, param)
    struct.pack_into("<ii", header, 54, request_id, sequence)
    return bytes(header) + payload


def marker(total_length, kind):
    return b"\x88" * 8 + struct.pack("<ii", total_length, kind)


def framed(msg):
    return marker(16 + len(msg), 0) + msg


def probe():
    return marker(20, 2) + b"\0" * 4


def with_sizes(sizes, stream):
    return bytes([len(sizes) - 1] + [s - 1 for s in sizes]) + stream


def value_records():
    out = b"\x01\x04" + struct.pack("<i", -42)  # long
    out += b"\x02\x08" + struct.pack("<d", 2.5)  # double
    out += b"\x04\x05pump\x00"  # text
    out += b"\x00\x03"  # two empty values
    out += b"\x01\x02\x05\x01"  # short long: 261
    return out


def keyed_records():
    key = (5 << 24) | 42
    out = struct.pack("<I", 2)  # count
    out += struct.pack("<I", key) + b"\x02\x08" + struct.pack("<d", -1.0)
    out += struct.pack("<I", key + 1) + b"\x04\x03on\x00"
    return out


SEEDS = {
    "login": with_sizes([256], framed(message(5, 3, 16, 0, 1))),
    "probe": with_sizes([256], probe()),
    "garbage_then_message": with_sizes([256], b"\x01\x88\x02" + framed(message(7, 1, 9, 0, 4))),
    "value_records": with_sizes([256], framed(message(17, 1, 9, 11, 12, value_records()))),
    "keyed_in_fragments": with_sizes(
        [10, 50, 200], framed(message(20, 0, 9, 0, 13, keyed_records())) + probe()),
    "false_marker": with_sizes([256], marker(8, 0) + framed(message(7, 0, 9, 0, 2))),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
