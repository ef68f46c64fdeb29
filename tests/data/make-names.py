#!/usr/bin/env python3
"""Writes the archives of legacy names byte by byte, as the tools that make them write them.

    make-names.py OUTDIR

Each entry holds its name's UTF-8 text, so that a test can tell which name it was read as.
"""
import os
import struct
import sys
import zlib

DOS = 20            # version made by: host 0 (FAT), as Windows zippers write
NTFS = (10 << 8) | 20
UNIX = (3 << 8) | 30
UTF8 = 0x800


def unicode_path(name_bytes, text, crc=None):
    """The Info-ZIP Unicode Path field (0x7075), version 1."""
    body = struct.pack("<BI", 1, zlib.crc32(name_bytes) if crc is None else crc) + text.encode()
    return struct.pack("<HH", 0x7075, len(body)) + body


def archive(entries):
    """entries: (stored name bytes, content, made by, flags, extra field)."""
    out, central = b"", b""
    for name, data, made_by, flags, extra in entries:
        crc = zlib.crc32(data)
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, 0, 0x6000, 0x52CF, crc, len(data),
                           len(data), len(name), len(extra)) + name + extra + data
        attributes = (0o100644 << 16) if made_by >> 8 == 3 else 0x20
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, made_by, 20, flags, 0, 0x6000, 0x52CF, crc,
                               len(data), len(data), len(name), len(extra), 0, 0, 0, attributes, offset)
        central += name + extra
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(out), 0)
    return out + central + end


def entry(text, codec, made_by=DOS, extra=b""):
    return (text.encode(codec), text.encode(), made_by, 0, extra)


def main():
    out = sys.argv[1]
    cases = {
        # A Windows zipper: the ANSI name in the header, the real one in the Unicode Path field;
        # the second entry's field was left behind by a rename and no longer matches.
        "unicode-path.zip": [
            ("€_for_Dollar.txt".encode("cp1252"), "€_for_Dollar.txt".encode(), NTFS, 0,
             unicode_path("€_for_Dollar.txt".encode("cp1252"), "€_for_Dollar.txt")),
            (b"renamed.txt", b"renamed.txt", NTFS, 0, unicode_path(b"old name.txt", "Ölfässer.txt")),
        ],
        # Japanese Windows: cp932, whose 表 ends in the byte 0x5C, a backslash in ASCII.
        "cp932.zip": [entry("一覧表.txt", "cp932")],
        # Russian Windows: cp866 names.
        "cp866.zip": [entry("Отчёт за год.txt", "cp866"), entry("Привет мир.txt", "cp866"),
                      entry("Документы/Список сотрудников.txt", "cp866")],
        # Western DOS names in CP437, the format's default: accented letters before ASCII ones
        # must not pass for the pairs of a double-byte page.
        "cp437.zip": [entry("Crème brûlée.txt", "cp437"), entry("Ölfässer.txt", "cp437"),
                      entry("España/Año nuevo.txt", "cp437")],
        # Info-ZIP on a Latin-1 Unix system: the file system's bytes, no UTF-8 flag.
        "unix-latin1.zip": [("café.txt".encode("latin-1"), "café.txt".encode(), UNIX, 0, b"")],
    }
    for name, entries in cases.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(archive(entries))


main()
