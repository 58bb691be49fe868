#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_town into fuzz/corpus/town. FuzzedDataProvider takes its
integers from the end of the input, so each seed is written in the order fuzz_town consumes
it and then reversed. Frame control byte: 1 left down, 2 right down, 4 move (then x, y), and
c >> 3 = k holds the input for 1 + k * k / 4 frames."""
import os

LEFT, RIGHT, MOVE = 1, 2, 4
HOLD170 = 26 << 3  # 1 + 26 * 26 // 4 = 170 frames


def pos(v):  # default kind (byte 7): -300 + raw % 2201 in two bytes, then quarter 0
    raw = v + 300
    return [7, raw >> 8, raw & 0xFF, 0]


def frame(c, x=None, y=None):
    out = [c]
    if c & MOVE:
        out += pos(x) + pos(y)
    return out


def raise_draws():  # RndF (bool 0: 1 - 2^-53), Rnd (byte 3: 5), RndF x 3
    return [0, 3, 0, 0, 0]


def write(name, seq):
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "town")
    os.makedirs(here, exist_ok=True)
    with open(os.path.join(here, name), "wb") as f:
        f.write(bytes(reversed(seq)))


# One drag, the tower stands, a right click inside it, and it falls.
seq = frame(MOVE | LEFT, 200, 500) + frame(MOVE | LEFT, 500, 500) + frame(HOLD170) + raise_draws()
seq += frame(MOVE | RIGHT, 350, 880) + frame(HOLD170)
write("drag-stand-tip", seq)

# 32 drags: 30 slots fill, the last two find none; then every tower tipped over.
seq = []
for i in range(32):
    seq += frame(MOVE | LEFT, 40 * i, 500) + frame(MOVE | LEFT, 40 * i + 150, 500) + frame(0)
    if i < 30:
        seq += raise_draws()
seq += frame(HOLD170)
for i in range(30):
    seq += frame(MOVE | RIGHT, 40 * i + 20, 900) + frame(0)
write("fill-all-slots", seq)

# Extremes: a drag from -DBL_MAX to DBL_MAX (byte 1 then byte 0 kinds), held.
seq = [MOVE | LEFT, 1, 3] + [MOVE | LEFT, 0, 3] + frame(HOLD170) + raise_draws()
write("extreme-drag", seq)
