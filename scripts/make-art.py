#!/usr/bin/env python3
"""Draws the program's icon (resources/icons/oz.ico, 32x32, 16 colours) and the
About picture (resources/about.png). Deterministic; run it again after a change."""
import math
import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")

PALETTE = [(0, 0, 0), (24, 48, 120), (255, 255, 255), (250, 200, 40), (40, 90, 190)] + [(0, 0, 0)] * 11


def icon_pixels():
    px = [[1] * 32 for _ in range(32)]
    for y in range(32):
        for x in range(32):
            if x in (0, 31) or y in (0, 31):
                px[y][x] = 0
            elif 13 <= x <= 18:
                px[y][x] = 3 if (y // 2) % 2 == 0 else 4  # the zipper
    for x in range(5, 27):  # a white Z across it
        for t in range(3):
            px[6 + t][x] = 2
            px[23 + t][x] = 2
    for y in range(9, 23):
        x = 26 - round((y - 9) * 21 / 14)
        for t in range(-1, 2):
            if 1 <= x + t <= 30:
                px[y][x + t] = 2
    return px


def write_ico(path):
    px = icon_pixels()
    xor = b"".join(bytes((row[x] << 4) | row[x + 1] for x in range(0, 32, 2)) for row in reversed(px))
    mask = b"\0" * (4 * 32)
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    image = header + palette + xor + mask
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1))
        f.write(struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 22))
        f.write(image)


def about_colour(x, y, width=480, height=300):
    t = x / width
    r, g, b = 20 + 30 * t, 40 + 80 * t, 110 + 60 * (1 - y / height)
    for cx, cy, rad in ((400, 60, 90), (330, 250, 70), (120, 280, 50)):
        d = math.hypot(x - cx, y - cy)
        if d < rad:
            k = 0.25 * (1 - d / rad)
            r, g, b = r + (250 - r) * k, g + (200 - g) * k, b + (40 - b) * k
    return int(r), int(g), int(b)


def app_icon_colour(x, y, size=64):
    """The icon's 32 by 32 picture, drawn twice as large for the desktop."""
    return PALETTE[icon_pixels()[y * 32 // size][x * 32 // size]]


def write_png(path, width=480, height=300, colour=about_colour):
    rows = []
    for y in range(height):
        row = bytearray([0])
        for x in range(width):
            row += bytes(colour(x, y))
        rows.append(bytes(row))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(b"".join(rows), 9)))
        f.write(chunk(b"IEND", b""))


if __name__ == "__main__":
    os.makedirs(os.path.join(ROOT, "icons"), exist_ok=True)
    write_ico(os.path.join(ROOT, "icons", "oz.ico"))
    write_png(os.path.join(ROOT, "about.png"))
    write_png(os.path.join(ROOT, "orvelzip.png"), 64, 64, app_icon_colour)
