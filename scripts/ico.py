"""Windows icon (.ico) files and the PNG pictures they hold, written as Windows reads them: for the
program's own icon (make-art.py) and for the tests that give the builder one."""
import struct
import zlib


def png_bytes(width, height, rows, alpha=True):
    """A PNG of rows, top first, each the bytes of its pixels: RGBA, or RGB when not alpha."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + bytes(row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(pictures):
    """An .ico of pictures, (size, data) pairs: data a PNG, or a bitmap and its mask as an icon
    keeps it. Its directory says 32 bits a pixel, which every picture here has."""
    head = struct.pack("<HHH", 0, 1, len(pictures))
    at = 6 + 16 * len(pictures)
    body = b""
    for size, data in pictures:
        head += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), at + len(body))
        body += data
    return head + body
