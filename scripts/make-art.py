#!/usr/bin/env python3
"""Draws the program's icon (resources/icons/oz.ico: 16, 32, 48 and 256 pixels in full colour
with alpha; resources/orvelzip.png, 64 pixels, for the desktop) and the About picture
(resources/about.png). Deterministic; run it again after a change."""
import math
import os
import struct

from ico import ico_bytes, png_bytes

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")

BLUE_TOP, BLUE_BOTTOM = (40, 90, 190), (24, 48, 120)
YELLOW, WHITE, EDGE = (250, 200, 40), (255, 255, 255), (10, 20, 60)

# The sizes Explorer asks for: small and large icons, tiles, and the 256 of its biggest views.
ICON_SIZES = (16, 32, 48, 256)


def _inside_rounded(u, v, r=0.14):
    cu, cv = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    return (u - cu) ** 2 + (v - cv) ** 2 <= r * r


def _z(u, v):
    """The white Z across the zipper: two bars and the diagonal between them."""
    if 5 / 32 <= u <= 27 / 32 and (6 / 32 <= v <= 9 / 32 or 23 / 32 <= v <= 26 / 32):
        return True
    if 9 / 32 <= v <= 23 / 32:
        x = 26 / 32 - (v - 9 / 32) * 21 / 14
        return abs(u - x) <= 1.6 / 32
    return False


def icon_colour(u, v):
    """The icon at a point of the unit square, as RGBA: drawn the same at every size."""
    if not _inside_rounded(u, v):
        return (0, 0, 0, 0)
    if not _inside_rounded((u - 0.5) * 32 / 30 + 0.5, (v - 0.5) * 32 / 30 + 0.5):
        return EDGE + (255,)  # the dark rim
    if _z(u, v):
        return WHITE + (255,)
    if 13 / 32 <= u <= 19 / 32:  # the zipper's teeth
        return (YELLOW if int(v * 16) % 2 == 0 else BLUE_TOP) + (255,)
    return tuple(round(a + (b - a) * v) for a, b in zip(BLUE_TOP, BLUE_BOTTOM)) + (255,)


def icon_pixels(size, samples=4):
    """size x size RGBA pixels, top row first, each the mean of samples x samples points."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = icon_colour((x + (sx + 0.5) / samples) / size, (y + (sy + 0.5) / samples) / size)
                    acc = [acc[0] + r * a, acc[1] + g * a, acc[2] + b * a, acc[3] + a]
            alpha = acc[3] / (samples * samples)
            row.append(tuple(round(c / acc[3]) if acc[3] else 0 for c in acc[:3]) + (round(alpha),))
        rows.append(row)
    return rows


def bitmap_picture(size):
    """A 32-bit picture with alpha, as an icon keeps it: bottom row first, then its 1-bit mask."""
    px = icon_pixels(size)
    colours = b"".join(bytes((b, g, r, a)) for row in reversed(px) for r, g, b, a in row)
    stride = (size + 31) // 32 * 4
    mask = b""
    for row in reversed(px):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, len(colours) + len(mask), 0, 0, 0, 0)
    return header + colours + mask


def png_of(size):
    return png_bytes(size, size, (b"".join(bytes(p) for p in row) for row in icon_pixels(size)))


def write_ico(path):
    # The 256 picture as PNG, as Windows keeps its large pictures; the others as bitmaps, which
    # every reader of icons knows.
    pictures = [(s, png_of(s) if s == 256 else bitmap_picture(s)) for s in ICON_SIZES]
    with open(path, "wb") as f:
        f.write(ico_bytes(pictures))


def about_colour(x, y, width=480, height=300):
    t = x / width
    r, g, b = 20 + 30 * t, 40 + 80 * t, 110 + 60 * (1 - y / height)
    for cx, cy, rad in ((400, 60, 90), (330, 250, 70), (120, 280, 50)):
        d = math.hypot(x - cx, y - cy)
        if d < rad:
            k = 0.25 * (1 - d / rad)
            r, g, b = r + (250 - r) * k, g + (200 - g) * k, b + (40 - b) * k
    return int(r), int(g), int(b)


def write_png(path, width=480, height=300, colour=about_colour):
    rows = (b"".join(bytes(colour(x, y)) for x in range(width)) for y in range(height))
    with open(path, "wb") as f:
        f.write(png_bytes(width, height, rows, alpha=False))


if __name__ == "__main__":
    os.makedirs(os.path.join(ROOT, "icons"), exist_ok=True)
    write_ico(os.path.join(ROOT, "icons", "oz.ico"))
    write_png(os.path.join(ROOT, "about.png"))
    with open(os.path.join(ROOT, "orvelzip.png"), "wb") as f:
        f.write(png_of(64))
