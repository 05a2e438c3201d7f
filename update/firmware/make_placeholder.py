#!/usr/bin/env python3
"""Writes the placeholder firmware file tarn_firmware.hex.

The content is deterministic (a fixed-seed xorshift generator), uses every
byte value, and covers exactly the two flash ranges the device is programmed
in: 0x00000-0x05FFF and 0x10000-0x19D7F. The output is standard Intel HEX
with 16 data bytes a line: type 04 (extended linear address), 00 (data) and
one 01 (end of file).

Run from this folder:  python3 make_placeholder.py > tarn_firmware.hex
"""

import sys

RUNS = [(0x00000, 0x06000), (0x10000, 0x19D80)]
BYTES_PER_LINE = 16


def xorshift32(state):
    state ^= (state << 13) & 0xFFFFFFFF
    state ^= state >> 17
    state ^= (state << 5) & 0xFFFFFFFF
    return state


def record(address, rtype, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum


def main(out):
    state = 0x7A4E5C31
    upper = None
    for start, end in RUNS:
        for address in range(start, end, BYTES_PER_LINE):
            if address >> 16 != upper:
                upper = address >> 16
                out.write(record(0, 0x04, [upper >> 8, upper & 0xFF]) + "\n")
            data = []
            for _ in range(BYTES_PER_LINE):
                state = xorshift32(state)
                data.append((state >> 11) & 0xFF)
            out.write(record(address & 0xFFFF, 0x00, data) + "\n")
    out.write(record(0, 0x01, []) + "\n")


if __name__ == "__main__":
    main(sys.stdout)
