#!/usr/bin/env python3
"""Writes firmware.hex, the built-in board image, the same way every time.

The image is synthetic: bytes from a fixed xorshift generator laid out like the board's
program memory. Four records below 0x800 stand for the boot monitor's area (the updater
never sends them); the application data starts at 0x800 and has gaps, so some blocks end
where a run breaks rather than at 64 bytes. The last record is shorter than the others so
the file comes out at exactly 77,320 bytes.

Usage: make_firmware_hex.py [output]   (default: firmware.hex beside this script)
"""
import os
import sys

# (start address, number of 16-byte records)
SEGMENTS = [
    (0x0000, 4),    # monitor area, skipped by the loader
    (0x0800, 400),  # 6400 bytes: ends on a 64-byte boundary
    (0x2200, 301),  # 4816 bytes: the run breaks 16 bytes into a block
    (0x3600, 500),  # 8000 bytes
    (0x5A10, 512),  # 8192 bytes, then the short record below continues it
]
TAIL_BYTES = 6      # a final record of 6 bytes, contiguous with the last segment


def xorshift(state):
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield state & 0xFF


def record(rtype, address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum + "\r\n"


def build():
    rng = xorshift(0x51A7C0DE)
    lines = [record(0x04, 0, b"\x00\x00")]
    address = 0
    for start, count in SEGMENTS:
        address = start
        for _ in range(count):
            lines.append(record(0x00, address, [next(rng) for _ in range(16)]))
            address += 16
    lines.append(record(0x00, address, [next(rng) for _ in range(TAIL_BYTES)]))
    lines.append(record(0x01, 0, b""))
    return "".join(lines).encode("ascii")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "firmware.hex")
    text = build()
    with open(out, "wb") as f:
        f.write(text)
    print("%s: %d bytes" % (out, len(text)))


if __name__ == "__main__":
    main()
