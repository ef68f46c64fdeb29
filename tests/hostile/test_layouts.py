#!/usr/bin/env python3
"""Archives laid out as other tools write them, built byte by byte, read by the command-line tool
and by the extractor program: each must give back exactly the files it holds, with their times.
Where unzip, 7zz, bsdtar or Python's zipfile read one too, the files they write must be the same.

    test_layouts.py CLI EXTRACTOR
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
from corpus import Entry, build, central_header, end_record, local_header  # noqa: E402

CLI, EXTRACTOR = sys.argv[1], sys.argv[2]
# DOS times are local: a zone hours away from UTC shows a time taken from the wrong field.
os.environ["TZ"] = "OZT+7"
time.tzset()
failures = []

FOLDER = None  # what a folder holds in an expected tree
ONE = Entry("one.txt", b"the first file\n" * 20)
TWO = Entry("sub/two.txt", b"the second file\n" * 30, method=0)
TREE = {"one.txt": ONE.data, "sub": FOLDER, "sub/two.txt": TWO.data}


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def zip64_end(count, cd_size, cd_offset, at, locator_at=None):
    """The zip64 end record at offset at, then its locator (pointing at locator_at)."""
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, cd_size, cd_offset)
    return record + struct.pack("<IIQI", 0x07064B50, 0, at if locator_at is None else locator_at, 1)


def with_zip64(entries, base, plain, shift=0):
    """entries, a zip64 end record and its locator, and the plain end record plain(count, size,
    offset). Offsets count from base - shift: shift bytes stand in front that the writer ignored."""
    body = build(entries, base - shift)
    end = body.rfind(b"PK\x05\x06")
    count, cd_size, cd_offset = struct.unpack("<HII", body[end + 10:end + 20])
    at = cd_offset + cd_size
    return bytes(shift) + body[:end] + zip64_end(count, cd_size, cd_offset, at) + plain(count, cd_size, cd_offset)


def all_ffff(count, cd_size, cd_offset):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)


def stray_locator(base):
    """The last central record's comment ends in what looks like a zip64 locator."""
    out = bytearray()
    offsets = []
    for e in (ONE, TWO):
        offsets.append(base + len(out))
        out += local_header(e) + e.payload
    cd_start = base + len(out)
    comment = b"PK\x06\x07" + b"\x00\x00\x00\x00" + b"AAAAAAAA" + b"\x01\x00\x00\x00"
    last = bytearray(central_header(TWO, offsets[1]))
    last[32:34] = struct.pack("<H", len(comment))
    cd = central_header(ONE, offsets[0]) + bytes(last) + comment
    return bytes(out) + cd + end_record(2, len(cd), cd_start)


def comment_past_end(base):
    data = build([ONE, TWO], base) + b"a short comment"
    end = data.rfind(b"PK\x05\x06")
    return data[:end + 20] + struct.pack("<H", 200) + data[end + 22:]


def wrapped_count(base):
    """More than 65,535 entries and no zip64 end record: the count keeps its low 16 bits."""
    body, cd = bytearray(), bytearray()
    for i in range(65536 + 3):
        e = Entry("many/%05d" % i, b"%d" % i, method=0)
        cd += central_header(e, base + len(body))
        body += local_header(e) + e.payload
    return bytes(body + cd) + end_record(3, len(cd), base + len(body))


def dos_folders(base):
    folder = Entry("plain-folder", b"", method=0, attributes=0x10, made_by=corpus.MADE_BY_DOS)
    file = Entry("file.txt", b"a file\n", attributes=0x20, made_by=corpus.MADE_BY_DOS)
    return build([folder, file], base)


T_NTFS, T_UT, T_5855, T_000D = 1600000000, 1500000000, 1400000000, 1300000000


def timed(name, *fields):
    return Entry(name, name.encode() * 10, extra=b"".join(fields))


def times(base):
    ntfs = struct.pack("<HHIHHQQQ", 0x000A, 32, 0, 1, 24, (T_NTFS + 11644473600) * 10000000, 0, 0)
    ut = struct.pack("<HHBI", 0x5455, 5, 1, T_UT)
    old = struct.pack("<HHIIHH", 0x5855, 12, T_5855 - 50, T_5855, 1000, 1000)
    pkware = struct.pack("<HHIIHH", 0x000D, 12, T_000D - 50, T_000D, 1000, 1000)
    return build([timed("ut-then-ntfs.txt", ut, ntfs), timed("ut.txt", ut), timed("ut-after-5855.txt", old, ut),
                  timed("5855.txt", old), timed("000d.txt", pkware), timed("dos.txt")], base)


DOS_TIME = time.mktime((2025, 1, 1, 0, 0, 0, 0, 0, -1))  # date 0x5A21, time 0, as corpus writes
STORED_DEFLATE = zlib.compress(b"x" * 1000)[2:-4]

# Archives whose own bytes come before their first record: an extractor program finds its
# settings right in front of its archive's first record, which its builder always puts there, so
# these are read by the tool alone.
OWN_PREFIX = {"zip64-after-prefix"}

CASES = {
    # name: (archive for its offset in the file, tree it holds, {name: mtime}, others compared)
    "end-all-ffff-zip64": (lambda base: with_zip64([ONE, TWO], base, all_ffff), TREE, {}, True),
    "zip64-plain-numbers": (lambda base: with_zip64([ONE, TWO], base, end_record), TREE, {}, True),
    "zip64-after-prefix": (lambda base: with_zip64([ONE, TWO], base + 4096, all_ffff, shift=4096), TREE, {}, True),
    "stray-zip64-locator": (stray_locator, TREE, {}, True),
    "comment-past-end": (comment_past_end, TREE, {}, True),
    "count-wrapped": (wrapped_count, None, {}, False),
    "dos-folder-attribute": (dos_folders, {"plain-folder": FOLDER, "file.txt": b"a file\n"}, {}, True),
    "aes-field-on-plain-entry": (lambda base: build(
        [Entry("stored.bin", STORED_DEFLATE, method=0, extra=corpus.aes_field(8))], base),
        {"stored.bin": STORED_DEFLATE}, {}, True),
    "times": (times, {n: n.encode() * 10 for n in ("ut-then-ntfs.txt", "ut.txt", "ut-after-5855.txt", "5855.txt",
                                                     "000d.txt", "dos.txt")},
              {"ut-then-ntfs.txt": T_NTFS, "ut.txt": T_UT, "ut-after-5855.txt": T_UT, "5855.txt": T_5855,
               "000d.txt": T_000D, "dos.txt": DOS_TIME}, False),
}


def tree_of(folder):
    out = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs:
            out[os.path.relpath(os.path.join(root, name), folder)] = FOLDER
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                out[os.path.relpath(os.path.join(root, name), folder)] = f.read()
    return out


def run(args):
    p = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    return p.returncode, p.stderr.decode(errors="replace").strip()


def expect_tree(label, folder, tree, mtimes):
    got = tree_of(folder)
    if tree is None:  # count-wrapped: every entry, each holding its number
        check(len(got) == 65536 + 3 + 1 and got.get("many/65538") == b"65538", "%s: %d files" % (label, len(got)))
        return
    check(got == tree, "%s: holds %s" % (label, sorted(got)))
    for name, when in mtimes.items():
        path = os.path.join(folder, name)
        got_time = int(os.stat(path).st_mtime) if os.path.exists(path) else None
        check(got_time == int(when), "%s: %s dated %s, not %s" % (label, name, got_time, int(when)))


OTHERS = {
    "unzip": lambda archive, out: ["unzip", "-qq", "-o", archive, "-d", out],
    "7zz": lambda archive, out: ["7zz", "x", "-y", "-bd", "-o" + out, archive],
    "bsdtar": lambda archive, out: ["bsdtar", "-xf", archive, "-C", out],
    "python": lambda archive, out: [sys.executable, "-m", "zipfile", "-e", archive, out],
}


def compare_with_others(name, archive, tree, top):
    """The files another reader writes, where it reads the archive at all, are ours."""
    verdicts = []
    for tool, command in OTHERS.items():
        out = os.path.join(top, "by-" + tool)
        os.makedirs(out)
        code, _ = run(command(archive, out))
        # A folder another reader makes an empty file of is the difference this case is about.
        got = {k: v for k, v in tree_of(out).items() if v is not FOLDER and tree.get(k, b"") is not FOLDER}
        files = {k: v for k, v in tree.items() if v is not FOLDER}
        if code != 0 or not got:
            verdicts.append(tool + ": cannot read")
        else:
            verdicts.append(tool + ": same")
            check(got == files, "%s: %s writes %s" % (name, tool, sorted(got)))
        shutil.rmtree(out)
    print("    " + ", ".join(verdicts), flush=True)


def self_extractor(path, make):
    with open(EXTRACTOR, "rb") as f:
        stub = f.read()
    block = corpus.settings_block()
    with open(path, "wb") as f:
        f.write(stub + block + make(len(stub) + len(block)))
    os.chmod(path, 0o755)


def main():
    top = tempfile.mkdtemp(prefix="oz-layouts-")
    try:
        for name, (make, tree, mtimes, others) in CASES.items():
            print(name, flush=True)
            folder = os.path.join(top, name)
            os.makedirs(folder)
            archive = os.path.join(folder, name + ".zip")
            with open(archive, "wb") as f:
                f.write(make(0))
            code, err = run([CLI, "extract", archive, "-d", os.path.join(folder, "cli"), "--quiet"])
            check(code == 0, "cli extract %s: status %s %s" % (name, code, err))
            expect_tree("cli extract " + name, os.path.join(folder, "cli"), tree, mtimes)
            if name not in OWN_PREFIX:
                exe = os.path.join(folder, name + ".run")
                self_extractor(exe, make)
                code, err = run([exe, "--dest", os.path.join(folder, "exe"), "--quiet"])
                check(code == 0, "extractor %s: status %s %s" % (name, code, err))
                expect_tree("extractor " + name, os.path.join(folder, "exe"), tree, mtimes)
            if others:
                compare_with_others(name, archive, tree, folder)
            subprocess.run(["rm", "-rf", folder])
    finally:
        subprocess.run(["rm", "-rf", top])
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("every layout read")


if __name__ == "__main__":
    main()
