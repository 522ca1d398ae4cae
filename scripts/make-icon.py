#!/usr/bin/env python3
"""Draws the program's icon: seven 32-bit images, 8 x 8 up to 256 x 256.

The result, host/gamehost.ico, is committed; run this again only to change it:
    python3 scripts/make-icon.py host/gamehost.ico
"""
import struct
import sys

SIZES = [8, 16, 24, 32, 48, 64, 256]


def pixel(x, y, size):
    """A dark-blue disc with a white play triangle, antialiased by supersampling."""
    samples = 4
    cover_disc = cover_mark = 0
    for sy in range(samples):
        for sx in range(samples):
            u = (x + (sx + 0.5) / samples) / size * 2 - 1
            v = (y + (sy + 0.5) / samples) / size * 2 - 1
            if u * u + v * v <= 0.92:
                cover_disc += 1
                if -0.35 <= u <= 0.55 and abs(v) <= (0.55 - u) * 0.62:
                    cover_mark += 1
    total = samples * samples
    alpha = cover_disc / total
    mark = cover_mark / max(cover_disc, 1)
    blue = (0x8C, 0x3A, 0x10)  # B, G, R
    white = (0xFF, 0xFF, 0xFF)
    b, g, r = (round(blue[i] * (1 - mark) + white[i] * mark) for i in range(3))
    return bytes((b, g, r, round(alpha * 255)))


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        rows.append(b"".join(pixel(x, y, size) for x in range(size)))
    mask_row = b"\0" * (((size + 31) // 32) * 4)
    return header + b"".join(rows) + mask_row * size


def main(path):
    images = [image(s) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        edge = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
