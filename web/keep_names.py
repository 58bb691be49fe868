#!/usr/bin/env python3
"""Keeps, of a WebAssembly module's name section, only the names of the functions that
web/return_address.js passes over when it names a fault's place (dynCall_*, legalstub$*,
legalfunc$*); every other name goes, with the module name and local names. The names are most
of the page's module otherwise; the code and every offset in it stay as they are, since the
name section follows the code.

    keep_names.py MODULE.wasm"""
import re
import sys

KEPT = re.compile(rb"^(dynCall_|legalstub\$|legalfunc\$)")


def leb(data, i):
    value = shift = 0
    while True:
        byte = data[i]
        i += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, i


def uleb(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def kept_function_names(section):
    """The name section's function-name subsection, reduced to the kept names."""
    i, kept = 0, []
    while i < len(section):
        kind = section[i]
        size, i = leb(section, i + 1)
        if kind == 1:
            count, j = leb(section, i)
            for _ in range(count):
                index, j = leb(section, j)
                length, j = leb(section, j)
                name = section[j:j + length]
                j += length
                if KEPT.match(name):
                    kept.append(uleb(index) + uleb(len(name)) + name)
        i += size
    body = uleb(len(kept)) + b"".join(kept)
    return b"\x01" + uleb(len(body)) + body


def main(path):
    data = open(path, "rb").read()
    if data[:4] != b"\0asm":
        raise SystemExit("%s: not a WebAssembly module" % path)
    out, i = bytearray(data[:8]), 8
    while i < len(data):
        start = i
        kind = data[i]
        size, body = leb(data, i + 1)
        i = body + size
        if kind == 0:
            length, n = leb(data, body)
            if data[n:n + length] == b"name":
                payload = b"\x04name" + kept_function_names(data[n + length:i])
                out += b"\0" + uleb(len(payload)) + payload
                continue
        out += data[start:i]
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    main(sys.argv[1])
