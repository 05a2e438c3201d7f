#!/usr/bin/env python3
"""Joins PNG pictures into one Windows icon file.

    make_icon.py OUT.ico IN.png...

Every picture becomes one image of the icon, at its own size: up to 48 x 48
as a 32-bit colour bitmap with its transparency mask (what every Windows
version reads), 256 x 256 as a 32-bit RGBA PNG (what Windows Vista and later
read at that size). Pictures may be in any PNG colour type of 8 bits or
fewer per channel; interlaced pictures are refused.
"""
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunks(data):
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("not a PNG file")
    pos = 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        yield kind, data[pos + 8 : pos + 8 + length]
        pos += 12 + length


def unfilter(raw, width, height, bpp, stride):
    """Undoes the PNG row filters; returns the rows without filter bytes."""
    rows = []
    prev = bytearray(stride)
    pos = 0
    for _ in range(height):
        kind = raw[pos]
        line = bytearray(raw[pos + 1 : pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
            elif kind != 0:
                raise ValueError("unknown PNG filter %d" % kind)
        rows.append(line)
        prev = line
    return rows


def read_png(path):
    """Returns (width, height, rows of (r, g, b, a) tuples)."""
    with open(path, "rb") as f:
        data = f.read()
    idat = b""
    palette = []
    alphas = b""
    for kind, body in chunks(data):
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = [tuple(body[i : i + 3]) for i in range(0, len(body), 3)]
        elif kind == b"tRNS":
            alphas = body
        elif kind == b"IDAT":
            idat += body
    if interlace != 0 or depth > 8:
        raise ValueError("%s: interlaced or 16-bit pictures are not supported" % path)
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    bits = depth * channels
    stride = (width * bits + 7) // 8
    rows = unfilter(zlib.decompress(idat), width, height, max(1, bits // 8), stride)
    picture = []
    for line in rows:
        if bits < 8:  # packed palette indices or grey levels, high bits first
            per_byte = 8 // bits
            mask = (1 << bits) - 1
            samples = [
                (line[x // per_byte] >> (8 - bits * (x % per_byte + 1))) & mask for x in range(width)
            ]
        else:
            samples = None
        out = []
        for x in range(width):
            if colour == 3:
                index = samples[x] if samples is not None else line[x]
                r, g, b = palette[index]
                a = alphas[index] if index < len(alphas) else 255
            elif colour in (0, 4):
                level = samples[x] if samples is not None else line[x * channels]
                level = level * 255 // ((1 << depth) - 1)
                r = g = b = level
                a = line[x * 2 + 1] if colour == 4 else 255
            else:
                r, g, b = line[x * channels : x * channels + 3]
                a = line[x * channels + 3] if colour == 6 else 255
            out.append((r, g, b, a))
        picture.append(out)
    return width, height, picture


def bitmap_image(width, height, picture):
    """A 32-bit icon bitmap: header, colour rows and mask rows, bottom-up."""
    mask_stride = ((width + 31) // 32) * 4
    colour = bytearray()
    mask = bytearray()
    for row in reversed(picture):
        for r, g, b, a in row:
            colour += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack(
        "<IiiHHIIiiII", 40, width, 2 * height, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0
    )
    return header + colour + mask


def png_image(width, height, picture):
    """The picture as a 32-bit RGBA PNG."""
    raw = bytearray()
    for row in picture:
        raw.append(0)
        for pixel in row:
            raw += bytes(pixel)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (
        PNG_SIGNATURE
        + chunk(b"IHDR", ihdr)
        + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        + chunk(b"IEND", b"")
    )


def main(argv):
    if len(argv) < 3:
        sys.stderr.write("usage: make_icon.py OUT.ico IN.png...\n")
        return 2
    images = []
    for path in argv[2:]:
        width, height, picture = read_png(path)
        if width != height or width > 256:
            raise ValueError("%s: an icon picture is square and at most 256 pixels" % path)
        body = png_image(width, height, picture) if width == 256 else bitmap_image(width, height, picture)
        images.append((width, body))
    images.sort(key=lambda image: image[0])
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, body in images:
        side = size % 256  # 0 stands for 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(body), offset)
        offset += len(body)
    for _, body in images:
        out += body
    with open(argv[1], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
