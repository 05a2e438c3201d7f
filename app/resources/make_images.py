#!/usr/bin/env python3
"""Draws the window's two logos and the program icon.

Writes, next to this script:
  Image1.bmp  35 x 98, 4 bits per pixel, uncompressed, 16-colour palette
  Image2.bmp  140 x 38, same format
  tarnup.ico  32 x 32, 16 colours (4-bit colour image plus 1-bit mask)
  tarnup.png  the icon as a 32 x 32 PNG for the desktop entry

The logo backgrounds are silver (192, 192, 192); the window replaces that
colour with its face colour when it starts. Run it again after changing a
drawing; the outputs are committed so the build needs no Python.
"""
import os
import struct
import zlib

# The classic 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)

# 5 x 7 glyphs for the letters the logos use.
GLYPHS = {
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
}


class Canvas:
    def __init__(self, width, height, background):
        self.width = width
        self.height = height
        self.px = [[background] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.px[y][x] = colour

    def rect(self, x0, y0, w, h, colour):
        for y in range(y0, y0 + h):
            for x in range(x0, x0 + w):
                self.put(x, y, colour)

    def frame(self, x0, y0, w, h, light, dark):
        for x in range(x0, x0 + w):
            self.put(x, y0, light)
            self.put(x, y0 + h - 1, dark)
        for y in range(y0, y0 + h):
            self.put(x0, y, light)
            self.put(x0 + w - 1, y, dark)

    def text(self, x0, y0, word, scale, colour, shadow=None, gap=1):
        x = x0
        for ch in word:
            glyph = GLYPHS[ch]
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "#":
                        if shadow is not None:
                            self.rect(x + gx * scale + 1, y0 + gy * scale + 1, scale, scale, shadow)
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "#":
                        self.rect(x + gx * scale, y0 + gy * scale, scale, scale, colour)
            x += (5 + gap) * scale


def bmp_bytes(canvas):
    """A 4-bit uncompressed Windows bitmap of the canvas, rows bottom-up."""
    row_bytes = ((canvas.width * 4 + 31) // 32) * 4
    pixels = bytearray()
    for y in reversed(range(canvas.height)):
        row = bytearray(row_bytes)
        for x in range(canvas.width):
            idx = canvas.px[y][x]
            if x % 2 == 0:
                row[x // 2] |= idx << 4
            else:
                row[x // 2] |= idx
        pixels += row
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 4, 0,
                       len(pixels), 3780, 3780, 16, 0)
    offset = 14 + len(info) + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + palette + bytes(pixels)


def ico_bytes(canvas, transparent):
    """A single-image 16-colour icon; pixels of colour `transparent` are masked out."""
    assert canvas.width == 32 and canvas.height == 32
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(32)):
        row = bytearray(16)
        bits = bytearray(4)
        for x in range(32):
            idx = canvas.px[y][x]
            if idx == transparent:
                bits[x // 8] |= 0x80 >> (x % 8)
                idx = BLACK
            row[x // 2] |= (idx << 4) if x % 2 == 0 else idx
        xor += row
        mask += bits
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    info = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = info + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def png_bytes(canvas, transparent):
    raw = bytearray()
    for y in range(canvas.height):
        raw.append(0)
        for x in range(canvas.width):
            idx = canvas.px[y][x]
            r, g, b = PALETTE[idx]
            raw += bytes((r, g, b, 0 if idx == transparent else 255))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    ihdr = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def draw_image1():
    # Upright strip: a chip with pins on top, the letters T A R N below it.
    c = Canvas(35, 98, SILVER)
    c.rect(8, 4, 19, 16, BLACK)
    c.frame(8, 4, 19, 16, GRAY, BLACK)
    for y in range(6, 19, 3):
        c.rect(5, y, 3, 1, GRAY)
        c.rect(27, y, 3, 1, GRAY)
    c.rect(12, 9, 11, 6, NAVY)
    c.rect(13, 10, 9, 4, BLUE)
    # Letters at scale 2 (10 x 14 each), stacked with 4 px spacing, centred.
    for i, ch in enumerate("TARN"):
        c.text(12, 26 + i * 18, ch, 2, NAVY, shadow=GRAY)
    c.rect(4, 96, 27, 1, GRAY)
    return c


def draw_image2():
    # Wordmark: "TARN" in blue with a shadow, an underline in red, "UP" in teal.
    c = Canvas(140, 38, SILVER)
    c.text(4, 4, "TARN", 4, BLUE, shadow=NAVY, gap=1)
    c.rect(4, 34, 92, 2, RED)
    c.text(104, 12, "UP", 3, TEAL, shadow=GRAY, gap=1)
    return c


def draw_icon():
    # A blue chip with a yellow upward arrow on a transparent ground.
    c = Canvas(32, 32, FUCHSIA)
    c.rect(6, 6, 20, 20, NAVY)
    c.frame(6, 6, 20, 20, BLUE, BLACK)
    for p in range(8, 25, 4):
        c.rect(p, 2, 2, 4, GRAY)
        c.rect(p, 26, 2, 4, GRAY)
        c.rect(2, p, 4, 2, GRAY)
        c.rect(26, p, 4, 2, GRAY)
    for i in range(6):
        c.rect(16 - i, 9 + i, 2 * i, 1, YELLOW)
    c.rect(14, 15, 4, 8, YELLOW)
    return c


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    outputs = {
        "Image1.bmp": bmp_bytes(draw_image1()),
        "Image2.bmp": bmp_bytes(draw_image2()),
        "tarnup.ico": ico_bytes(draw_icon(), FUCHSIA),
        "tarnup.png": png_bytes(draw_icon(), FUCHSIA),
    }
    for name, data in outputs.items():
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
