#!/usr/bin/env python3
"""Writes an .ico file whose images are the given square PNG files, stored as PNG (as the
.ico format allows since it has had large icons): the page's small icon, a few KB.

    ico_of_pngs.py OUT.ico icon-16.png icon-32.png ..."""
import struct
import sys


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise SystemExit("not a PNG file")
    return struct.unpack(">II", data[16:24])


def main(out, pngs):
    images = [open(p, "rb").read() for p in pngs]
    offset = 6 + 16 * len(images)
    head = struct.pack("<HHH", 0, 1, len(images))
    for data in images:
        w, h = png_size(data)
        # Width and height 0 mean 256; 32 bits per pixel.
        head += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(head + b"".join(images))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2:])
