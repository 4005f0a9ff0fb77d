#!/usr/bin/env python3
"""Draws Quillon's application icon: a quill pen over a table grid on a
rounded teal tile. Writes shell/resources/quillon-<size>.png for each size,
and shell/resources/quillon.ico, the same pictures as the Windows program's
icon (each entry a PNG, as Windows reads them since Vista).

Pure Python (zlib and struct only) so that it runs anywhere: every pixel is
the coverage of a few shapes, sampled on a 4 x 4 grid for smooth edges.
Run it again after changing the drawing and check in the PNG files.
"""
import math
import os
import struct
import zlib

SIZES = (16, 32, 48, 256)
SAMPLES = 4

TILE = (23, 102, 112)        # teal tile
TILE_EDGE = (14, 70, 78)
GRID = (236, 244, 245)       # the table lines
FEATHER = (250, 250, 250)
VANE = (205, 222, 226)
NIB = (255, 196, 61)


def in_rounded_square(x, y, margin, radius):
    lo, hi = margin, 1.0 - margin
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and lo <= x <= hi and lo <= y <= hi


def in_grid(x, y):
    # Three rows and two columns of a table, drawn as lines in the lower left.
    left, right, top, bottom, w = 0.17, 0.66, 0.50, 0.84, 0.035
    if not (left - w / 2 <= x <= right + w / 2 and top - w / 2 <= y <= bottom + w / 2):
        return False
    for ly in (top, (top + bottom) / 2, bottom):
        if abs(y - ly) <= w / 2:
            return True
    for lx in (left, 0.38, right):
        if abs(x - lx) <= w / 2:
            return True
    return False


def quill_coords(x, y):
    # Coordinates along the quill (u from nib 0 to plume end 1) and across it.
    x0, y0, x1, y1 = 0.30, 0.78, 0.86, 0.12
    dx, dy = x1 - x0, y1 - y0
    length = math.hypot(dx, dy)
    u = ((x - x0) * dx + (y - y0) * dy) / (length * length)
    v = ((x - x0) * -dy + (y - y0) * dx) / length
    return u, v


def in_feather(x, y):
    u, v = quill_coords(x, y)
    if not (0.22 <= u <= 1.0):
        return False
    t = (u - 0.22) / 0.78
    half = 0.16 * math.sin(math.pi * min(1.0, t * 1.08)) ** 0.8
    return -half * 0.75 <= v <= half


def in_shaft(x, y):
    u, v = quill_coords(x, y)
    return 0.08 <= u <= 0.98 and abs(v) <= 0.018


def in_nib(x, y):
    u, v = quill_coords(x, y)
    return 0.0 <= u <= 0.12 and abs(v) <= 0.05 * u / 0.12 + 0.004


def colour_at(x, y):
    """Colour and alpha (0 or 1) of one sample point in the unit square."""
    if not in_rounded_square(x, y, 0.03, 0.18):
        return None
    if in_nib(x, y):
        return NIB
    if in_shaft(x, y):
        return TILE_EDGE
    if in_feather(x, y):
        _, v = quill_coords(x, y)
        return FEATHER if v >= 0 else VANE
    if in_grid(x, y):
        return GRID
    if not in_rounded_square(x, y, 0.06, 0.15):
        return TILE_EDGE
    return TILE


def render(size):
    rows = []
    for py in range(size):
        row = bytearray([0])  # filter type: none
        for px in range(size):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            if a:
                row += bytes((r // a, g // a, b // a, a * 255 // (SAMPLES * SAMPLES)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b"")


def ico(pngs):
    """An icon file holding the PNG pictures, {size: bytes}, smallest first."""
    sizes = sorted(pngs)
    directory = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size in sizes:
        side = size if size < 256 else 0  # 0 stands for 256
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(pngs[size]), offset)
        offset += len(pngs[size])
    return directory + b"".join(pngs[size] for size in sizes)


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "shell", "resources")
    os.makedirs(out, exist_ok=True)
    pngs = {}
    for size in SIZES:
        pngs[size] = png(size, render(size))
        with open(os.path.join(out, "quillon-%d.png" % size), "wb") as f:
            f.write(pngs[size])
    with open(os.path.join(out, "quillon.ico"), "wb") as f:
        f.write(ico(pngs))


if __name__ == "__main__":
    main()
