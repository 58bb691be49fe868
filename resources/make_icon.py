#!/usr/bin/env python3
"""Draws the program's icon (three translucent towers on a dark sky above a ground line) at
16, 32, 48, 64, 128 and 256 px, 32 bits per pixel, and writes icon-N.png and stackrise.ico beside
this file (the 256 px image as PNG inside the .ico, as the system's large icons are; the others
as bitmaps). The images are committed; run this again only to change the picture."""
import os
import struct
import zlib

SIZES = (16, 32, 48, 64, 128, 256)
SKY_TOP = (24, 30, 64)
SKY_BOTTOM = (54, 44, 96)
GROUND = (40, 34, 30)
# Towers in unit coordinates: left, top, right, colour (r, g, b), opacity.
TOWERS = (
    (0.12, 0.42, 0.40, (240, 150, 60), 0.8),
    (0.34, 0.18, 0.62, (70, 200, 190), 0.8),
    (0.58, 0.52, 0.88, (230, 90, 140), 0.8),
)
GROUND_Y = 0.84
CORNER = 0.16
SAMPLES = 4


def inside_rounded(u, v):
    cu = min(max(u, CORNER), 1 - CORNER)
    cv = min(max(v, CORNER), 1 - CORNER)
    return (u - cu) ** 2 + (v - cv) ** 2 <= CORNER ** 2


def colour_at(u, v):
    if not inside_rounded(u, v):
        return None
    t = v
    c = [SKY_TOP[i] * (1 - t) + SKY_BOTTOM[i] * t for i in range(3)]
    for left, top, right, rgb, alpha in TOWERS:
        if left <= u < right and top <= v < GROUND_Y:
            c = [rgb[i] * alpha + c[i] * (1 - alpha) for i in range(3)]
    if v >= GROUND_Y:
        c = list(GROUND)
    return c


def render(size):
    """Rows of (r, g, b, a) bytes, top row first, 4x4 supersampled."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((x + (sx + 0.5) / SAMPLES) / size, (y + (sy + 0.5) / SAMPLES) / size)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits:
                row.append(tuple(int(acc[i] / hits + 0.5) for i in range(3)) + (int(255 * hits / SAMPLES ** 2 + 0.5),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(rows):
    """A 32-bit BITMAPINFOHEADER image as .ico files hold it: bottom-up BGRA plus an AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((px[2], px[1], px[0], px[3])) for row in reversed(rows) for px in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    images = []
    for size in SIZES:
        rows = render(size)
        with open(os.path.join(here, "icon-%d.png" % size), "wb") as f:
            f.write(png(rows))
        images.append((size, png(rows) if size >= 256 else dib(rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(os.path.join(here, "stackrise.ico"), "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
