#!/usr/bin/env python3
"""Hostile zip archives, built byte by byte so that every lie is exactly the one intended.

Each case is a function of the byte offset at which the archive will start in its file (0 for a
plain .zip, the extractor's length for a self-extracting executable, whose offsets count from the
start of the file) and returns the archive's bytes.

    corpus.py OUTDIR OUTSIDE [NAME...]   writes OUTDIR/NAME.zip for every case (or those named)
                                         and OUTDIR/cases.tsv

OUTSIDE is a folder the tests watch: absolute names and links point into it, so anything
written there is a failure they can see.

cases.tsv lines: name, then what extraction must do:
  refuse  fail with a message and write nothing outside the destination
  ok      succeed
  safe    either, as long as nothing outside the destination is touched
"""
import io
import bz2
import lzma
import os
import subprocess
import struct
import sys
import zipfile
import zlib

UNIX_FILE = (0o100644 << 16)
UNIX_LINK = (0o120777 << 16)
MADE_BY_UNIX = (3 << 8) | 30
MADE_BY_DOS = 20  # host 0: names use backslashes between folders
UTF8 = 0x800


class Entry:
    """One entry; any of the declared fields may be set to lie about the data."""

    def __init__(self, name, data=b"", method=8, attributes=UNIX_FILE, flags=UTF8, crc=None,
                 size=None, csize=None, local_name=None, extra=b"", made_by=MADE_BY_UNIX):
        self.name = name.encode() if isinstance(name, str) else name
        self.data = data
        self.method = method
        self.attributes = attributes
        self.flags = flags
        self.payload = compress(method, data)
        if method == 14:
            self.flags |= 2  # the LZMA stream ends with its end marker
        self.crc = zlib.crc32(data) if crc is None else crc
        self.size = len(data) if size is None else size
        self.csize = len(self.payload) if csize is None else csize
        self.local_name = self.name if local_name is None else local_name
        self.extra = extra
        self.made_by = made_by


def compress(method, data):
    """data as the method stores it; methods this test does not write are stored as they are."""
    if method == 8:
        c = zlib.compressobj(6, zlib.DEFLATED, -15)
        return c.compress(data) + c.flush()
    if method == 12:
        return bz2.compress(data)
    if method == 14:
        # Two version bytes, the properties' length, the properties, then the raw stream.
        filters = [{"id": lzma.FILTER_LZMA1, "preset": 6}]
        props = lzma._encode_filter_properties(filters[0])
        return bytes([9, 20]) + struct.pack("<H", len(props)) + props + lzma.compress(
            data, format=lzma.FORMAT_RAW, filters=filters)
    if method == 95:
        return lzma.compress(data, format=lzma.FORMAT_XZ)
    if method == 93:
        return subprocess.run(["zstd", "-q", "-c", "-"], input=data, capture_output=True, check=True).stdout
    return data


def settings_block(run_program=""):
    """The settings an extractor program finds in front of its archive, as the builder writes
    them: the block, its CRC, then the trailer (the block's length and its magic) that the
    program looks for right before the archive."""
    text = ("icon=\nrun=%s\nparameters=\nautotemp=0\nautoextract=0\n" % run_program).encode()
    out = b"OZSFX1\r\n" + struct.pack("<I", len(text)) + text + struct.pack("<I", 0)
    out += struct.pack("<I", zlib.crc32(out))
    return out + struct.pack("<I", len(out)) + b"OZSFXEND"


def local_header(e):
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, e.flags, e.method, 0, 0x5A21, e.crc,
                       e.csize, e.size, len(e.local_name), len(e.extra)) + e.local_name + e.extra


def central_header(e, offset):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.made_by, 20, e.flags, e.method, 0,
                       0x5A21, e.crc, e.csize, e.size, len(e.name), len(e.extra), 0, 0, 0,
                       e.attributes, offset) + e.name + e.extra


def end_record(count, cd_size, cd_offset, comment=b""):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, cd_size, cd_offset,
                       len(comment)) + comment


def build(entries, base=0, central=None):
    """Local records in order, then the central directory.

    central, when given, lists (entry index, local offset index) pairs, so that several central
    records can point at one local record."""
    out = bytearray()
    offsets = []
    for e in entries:
        offsets.append(base + len(out))
        out += local_header(e) + e.payload
    cd_start = base + len(out)
    cd = bytearray()
    pairs = central if central is not None else [(i, i) for i in range(len(entries))]
    for ei, oi in pairs:
        cd += central_header(entries[ei], offsets[oi])
    out += cd + end_record(len(pairs), len(cd), cd_start)
    return bytes(out)


def plain(base):
    return build([Entry("docs/", b"", method=0, attributes=(0o40755 << 16)),
                  Entry("docs/readme.txt", b"read me\n" * 50),
                  Entry("stored.bin", bytes(range(256)), method=0)], base)


# --- names -----------------------------------------------------------------------------------

def names(outside):
    one = lambda n: (lambda base: build([Entry(n, b"evil\n")], base))
    dos = lambda n: (lambda base: build([Entry(n, b"evil\n", made_by=MADE_BY_DOS)], base))
    return {
        "dotdot": ("refuse", one("../evil.txt")),
        "dotdot-deep": ("refuse", one("a/b/../../../evil.txt")),
        "dotdot-after-ok-file": ("refuse", lambda base: build(
            [Entry("fine.txt", b"fine"), Entry("../../evil.txt", b"evil")], base)),
        "absolute": ("refuse", one(outside + "/evil-absolute.txt")),
        # A backslash separates folders only in names made on DOS or Windows.
        "backslash-dotdot": ("refuse", dos("..\\..\\evil.txt")),
        "backslash-absolute": ("refuse", dos("\\evil.txt")),
        "backslash-dotdot-from-unix": ("ok", one("..\\..\\evil.txt")),
        # Colons are characters on this system: a drive-like name is a name.
        "drive-letter": ("ok", dos("C:\\evil.txt")),
        "drive-letter-slash": ("ok", one("C:/evil.txt")),
        "drive-relative": ("ok", one("C:evil.txt")),
        "nul-in-name": ("safe", one(b"ok.txt\x00/../../evil.txt")),
        "invalid-utf8": ("safe", one(b"caf\xe9-\xff\xfe.txt")),
        "only-dots": ("safe", one("./")),
        "empty-name": ("refuse", one("")),
        "local-name-differs": ("refuse", lambda base: build(
            [Entry("inside.txt", b"data", local_name=b"../evil.txt")], base)),
        "duplicate-names": ("safe", lambda base: build(
            [Entry("dup.txt", b"first"), Entry("dup.txt", b"second")], base)),
        "file-then-folder-same-name": ("safe", lambda base: build(
            [Entry("x", b"file"), Entry("x/inner.txt", b"inner")], base)),
        "long-name": ("safe", one("n" * 4000 + ".txt")),
        "deep-folders": ("safe", one("d/" * 1500 + "f.txt")),
        # Longer than any system opens: refused before anything is kept of it.
        "deep-names-huge": ("refuse", deep_names(8)),
        "name-part-too-long": ("refuse", lambda base: build(
            [Entry("keep.txt", b"replaced"), Entry("n" * 300 + ".txt", b"long")], base)),
    }


def deep_names(count):
    """count names of 65,535 bytes, 32,767 folders deep each."""
    return lambda base: build([Entry("a/" * 32767 + str(i % 10), b"x") for i in range(count)], base)


def links(outside):
    link = lambda n, target: Entry(n, target.encode(), method=0, attributes=UNIX_LINK)
    return {
        "link-absolute": ("refuse", lambda base: build([link("lnk", outside)], base)),
        "link-dotdot": ("refuse", lambda base: build([link("lnk", "../../..")], base)),
        "link-then-file-through-it": ("refuse", lambda base: build(
            [link("lnk", outside), Entry("lnk/evil.txt", b"evil")], base)),
        "link-chain-out": ("refuse", lambda base: build(
            [link("a/up", ".."), link("a/up2", "../..")], base)),
        # Each target alone stays inside; through the links made before it, it leaves.
        "link-chain-through-dot": ("refuse", lambda base: build(
            [link("a", "."), link("b", "a/a/a/a/../../../.."), link("passwd", "b" + outside + "/passwd")], base)),
        "link-chain-through-up": ("refuse", lambda base: build(
            [link("a/up", ".."), link("esc", "a/up/../outside")], base)),
        "link-inside": ("ok", lambda base: build(
            [Entry("real.txt", b"real"), link("alias", "real.txt")], base)),
        "link-target-huge": ("refuse", lambda base: build([link("lnk", "a/" * 5000)], base)),
        "link-target-too-long": ("refuse", lambda base: build([link("lnk", "a/" * 2048)], base)),
        # A link whose name no system holds fails before the file in front of it is replaced.
        "link-name-too-long": ("refuse", lambda base: build(
            [Entry("keep.txt", b"replaced"), link("l" * 300, "keep.txt")], base)),
    }


# --- sizes, overlaps and bombs ---------------------------------------------------------------

def bombs():
    zeros = bytes(8 << 20)
    cases = {}
    # Every central record names the one local record: a quoted-overlap bomb in its plainest form.
    cases["overlap-same-local"] = ("refuse", lambda base: build(
        [Entry("kernel.bin", zeros)], base, central=[(0, 0)] * 200 + [(0, 0)]))

    # The second local record starts inside the first's data.
    def nested(base):
        inner = Entry("inner.bin", zeros)
        inner_local = local_header(inner) + inner.payload
        outer = Entry("outer.bin", b"", method=0, crc=0, csize=len(inner_local) + 16, size=0)
        head = local_header(outer)
        body = bytearray(head + bytes(16) + inner_local)
        cd = central_header(outer, base) + central_header(inner, base + len(head) + 16)
        return bytes(body + cd + end_record(2, len(cd), base + len(body)))
    cases["overlap-nested"] = ("refuse", nested)

    # Data that inflates to far more than declared.
    cases["size-understated"] = ("refuse", lambda base: build([Entry("big.bin", zeros, size=1000)], base))
    cases["size-overstated"] = ("refuse", lambda base: build([Entry("short.bin", b"x" * 100, size=100000)], base))
    cases["csize-past-end"] = ("refuse", lambda base: build([Entry("past.bin", b"y" * 100, csize=1 << 30)], base))
    cases["crc-wrong"] = ("refuse", lambda base: build([Entry("crc.txt", b"hello" * 20, crc=0x12345678)], base))
    cases["crc-wrong-stored"] = ("refuse", lambda base: build(
        [Entry("crc.bin", b"hello" * 20, method=0, crc=0xDEADBEEF)], base))
    cases["deflate-garbage"] = ("refuse", _garbage)
    cases["method-unknown"] = ("refuse", lambda base: _method(base, 77))
    # Refused before the readable file in front of it is written.
    cases["ppmd-after-ok-file"] = ("refuse", lambda base: build(
        [Entry("fine.txt", b"fine"), Entry("x.bin", b"not really ppmd", method=98)], base))
    # Deflate64 is read: damaged or cut short, it is refused, never looped on.
    cases["deflate64-garbage"] = ("refuse", lambda base: _method(base, 9))
    cases["deflate64-cut-short"] = ("refuse", _deflate64_cut)
    # Honest and highly compressed: a real file of zeros may be extracted.
    cases["honest-high-ratio"] = ("ok", lambda base: build([Entry("zeros.bin", zeros)], base))
    return cases


def _garbage(base):
    e = Entry("garbage.bin", b"", method=0)
    e.method, e.payload, e.csize, e.size, e.crc = 8, b"\xff" * 64, 64, 4096, 0
    return build([e], base)


def _deflate64_cut(base):
    # Deflate without matches of 258 bytes is Deflate64 too; half of it is not.
    text = b"".join(b"line %d of a Deflate64 entry\n" % i for i in range(3000))
    co = zlib.compressobj(6, zlib.DEFLATED, -15)
    stream = co.compress(text) + co.flush()
    e = Entry("cut.bin", b"", method=0)
    half = stream[:len(stream) // 2]
    e.method, e.payload, e.csize, e.size, e.crc = 9, half, len(half), len(text), zlib.crc32(text)
    return build([e], base)


def _method(base, method):
    e = Entry("odd.bin", b"q" * 40, method=0)
    e.method = method
    return build([e], base)


# --- broken structure ------------------------------------------------------------------------

def structure():
    cases = {}
    sample = plain(0)
    cd = sample.rfind(b"PK\x01\x02", 0, sample.rfind(b"PK\x05\x06"))
    first_cd = sample.find(b"PK\x01\x02")
    eocd = sample.rfind(b"PK\x05\x06")
    cuts = {"local-header": 10, "after-first-local": 30, "mid-data": 60,
            "central-start": first_cd, "mid-central": first_cd + 20, "last-central": cd,
            "end-record": eocd, "mid-end-record": eocd + 10, "last-byte": len(sample) - 1}
    for label, at in cuts.items():
        cases["truncated-" + label] = ("refuse", lambda base, at=at: plain(base)[:at])
    cases["end-count-lies"] = ("refuse", lambda base: _patch_end(plain(base), count=9))
    cases["end-offset-lies"] = ("refuse", lambda base: _patch_end(plain(base), offset=0x7FFFFFF0))
    cases["end-size-lies"] = ("refuse", lambda base: _patch_end(plain(base), size=0x7FFFFFF0))
    cases["central-name-length-lies"] = ("refuse", lambda base: _patch_central_name_length(plain(base)))
    cases["empty-archive"] = ("ok", lambda base: end_record(0, 0, base))
    cases["second-directory"] = ("refuse", _second_directory)
    cases["not-a-zip"] = ("refuse", lambda base: b"This is a letter, not an archive.\n" * 40)
    cases["zero-bytes"] = ("refuse", lambda base: b"")
    cases["random-bytes"] = ("refuse", lambda base: bytes((i * 7919 + 13) % 251 for i in range(5000)))
    cases["end-record-only-garbage"] = ("refuse", lambda base: b"PK\x05\x06" + b"\xff" * 18)
    return cases


def _second_directory(base):
    """The end record declares the offset of a directory of bombs, while the directory that ends
    at the end record is benign: readers that trust the declared offset see another archive."""
    kernel, note = Entry("kernel.bin", bytes(8 << 20)), Entry("note.txt", b"hello")
    first = local_header(kernel) + kernel.payload
    body = first + local_header(note) + note.payload
    bombs = central_header(kernel, base) * 200
    benign = central_header(note, base + len(first))
    return body + bombs + benign + end_record(1, len(benign), base + len(body))


def _patch_end(data, count=None, offset=None, size=None):
    at = data.rfind(b"PK\x05\x06")
    fields = list(struct.unpack("<IHHHHIIH", data[at:at + 22]))
    if count is not None:
        fields[3] = fields[4] = count
    if size is not None:
        fields[5] = size
    if offset is not None:
        fields[6] = offset
    return data[:at] + struct.pack("<IHHHHIIH", *fields) + data[at + 22:]


def _patch_central_name_length(data):
    at = data.find(b"PK\x01\x02")
    return data[:at + 28] + struct.pack("<H", 0xFFFF) + data[at + 30:]


# --- records that disagree: every reader must see one archive ----------------------------------

def aes_field(method, version=2):
    """A WinZip AES field: version, vendor "AE", strength 3 (256 bits), the real method."""
    return struct.pack("<HHH2sBH", 0x9901, 7, version, b"AE", 3, method)


def local_differs(base, **lies):
    """One entry whose local header lies about one thing the central record says."""
    e = Entry("differs.bin", b"the local header says otherwise\n" * 20, method=0)
    local = Entry("differs.bin", e.data, method=0)
    for key, value in lies.items():
        setattr(local, key, value)
    head = local_header(local)
    cd = central_header(e, base)
    return head + e.payload + cd + end_record(1, len(cd), base + len(head) + len(e.payload))


def two_ends(base, comment_for):
    """An archive whose comment is comment_for(offset of the comment)."""
    outer = build([Entry("outer.txt", b"the outer archive\n")], base)
    comment = comment_for(base + len(outer))
    return outer[:-2] + struct.pack("<H", len(comment)) + comment


def disagreements():
    cases = {}
    # A stray AES field on a plain entry neither switches off its CRC nor changes its method.
    cases["aes-field-plain-crc-wrong"] = ("refuse", lambda base: build(
        [Entry("crc.bin", b"hello" * 20, method=0, crc=0xDEADBEEF, extra=aes_field(0))], base))
    cases["aes-field-plain-says-deflate"] = ("ok", lambda base: build(
        [Entry("stored.bin", zlib.compress(b"x" * 1000)[2:-4], method=0, extra=aes_field(8))], base))
    cases["aes-method-unencrypted"] = ("refuse", lambda base: _aes_method_unencrypted(base))
    cases["aes-field-encrypted-other-method"] = ("refuse", lambda base: build(
        [Entry("secret.txt", bytes(40), method=8, flags=UTF8 | 1, extra=aes_field(8))], base))
    cases["two-ends-comment-archive"] = ("refuse", lambda base: two_ends(
        base, lambda at: build([Entry("inner.txt", b"the inner archive\n")], at)))
    cases["two-ends-comment-bare"] = ("refuse", lambda base: two_ends(base, lambda at: end_record(0, 0, 0)))
    cases["local-method-differs"] = ("refuse", lambda base: local_differs(base, method=8))
    cases["local-size-differs"] = ("refuse", lambda base: local_differs(base, size=10, csize=10))
    cases["local-crc-differs"] = ("refuse", lambda base: local_differs(base, crc=0x1234))
    cases["local-encryption-differs"] = ("refuse", lambda base: local_differs(base, flags=UTF8 | 1))
    # A data descriptor carries sizes and CRC: a local header without them is sound.
    cases["local-sizes-in-descriptor"] = ("ok", lambda base: _descriptor(base))
    return cases


def _aes_method_unencrypted(base):
    e = Entry("plain.txt", b"not encrypted at all\n", method=0, extra=aes_field(0))
    e.method = 99
    return build([e], base)


def _descriptor(base):
    e = Entry("streamed.txt", b"written as a stream\n" * 10, flags=UTF8 | 8)
    local = Entry("streamed.txt", e.data, flags=UTF8 | 8, crc=0, size=0, csize=0)
    descriptor = struct.pack("<IIII", 0x08074B50, e.crc, e.csize, e.size)
    body = local_header(local) + e.payload + descriptor
    cd = central_header(e, base)
    return body + cd + end_record(1, len(cd), base + len(body))


# --- large and zip64 -------------------------------------------------------------------------

def python_zip(count, zip64):
    def make(base):
        buffer = io.BytesIO()
        buffer.write(bytes(base))
        with zipfile.ZipFile(buffer, "a", zipfile.ZIP_STORED) as z:
            for i in range(count):
                info = zipfile.ZipInfo("f/%06d.txt" % i)
                info.external_attr = UNIX_FILE
                with z.open(info, "w", force_zip64=zip64) as f:
                    f.write(b"%d\n" % i)
        return buffer.getvalue()[base:]
    return make


def large():
    return {
        "entries-70000": ("ok", python_zip(70000, False)),
        "zip64-fields": ("ok", python_zip(5, True)),
    }


# --- methods other tools write ----------------------------------------------------------------

METHOD_TEXT = b"Every method gives back the same bytes.\n" * 300


def methods():
    cases = {}
    for name, number in (("stored", 0), ("deflate", 8), ("bzip2", 12), ("lzma", 14), ("xz", 95), ("zstd", 93)):
        cases["method-" + name] = ("ok", lambda base, number=number: build(
            [Entry("%s.txt" % number, METHOD_TEXT, method=number)], base))
    cases["method-bzip2-damaged"] = ("refuse", lambda base: build(
        [Entry("bad.txt", METHOD_TEXT, method=12, crc=1)], base))
    return cases


def cases(outside):
    out = {}
    for group in (names(outside), links(outside), bombs(), structure(), disagreements(), large(), methods()):
        out.update(group)
    return out


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    folder, outside, only = sys.argv[1], os.path.abspath(sys.argv[2]), set(sys.argv[3:])
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "cases.tsv"), "w") as manifest:
        for name, (expect, make) in sorted(cases(outside).items()):
            if only and name not in only:
                continue
            with open(os.path.join(folder, name + ".zip"), "wb") as f:
                f.write(make(0))
            manifest.write("%s\t%s\n" % (name, expect))


if __name__ == "__main__":
    main()
