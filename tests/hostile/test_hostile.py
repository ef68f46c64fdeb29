#!/usr/bin/env python3
"""Every hostile archive of corpus.py, extracted, listed and tested by the command-line tool and by
the extractor program, and the faults of a full or read-only disk.

    test_hostile.py CLI EXTRACTOR

Each run must end with a clear message or success as the case says, never with a signal or a hang;
nothing may appear outside the destination, no file that was there before may change, and no
temporary file may be left behind.
"""
import hashlib
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import warnings
import zipfile
import zlib

sys.setrecursionlimit(20000)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402

CLI, EXTRACTOR = sys.argv[1], sys.argv[2]
failures = []
# Names the refused archives also hold: a copy already in the destination must survive them.
PRECIOUS = ["keep.txt", "crc.txt", "crc.bin", "big.bin", "short.bin", "garbage.bin", "odd.bin",
            "past.bin", "secret.txt"]


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def snapshot(folder):
    """Every path below folder with a digest of what it is and holds."""
    out = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, folder)
            out[rel] = digest_of(path)
    return out


def digest_of(path):
    if os.path.islink(path):
        return "link:" + os.readlink(path)
    if os.path.isdir(path):
        return "dir"
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def run(args, env=None, timeout=60):
    try:
        p = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                           env=dict(os.environ, **(env or {})))
        return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return "timeout", "", ""
    except OSError as e:  # a cut executable the kernel will not start
        return 126, "", str(e)


class Scene:
    """A destination holding precious files, and an outside folder that must stay empty."""

    def __init__(self, top):
        self.top = tempfile.mkdtemp(dir=top)
        self.dest = os.path.join(self.top, "dest")
        self.outside = os.path.join(self.top, "outside")
        os.makedirs(self.dest)
        os.makedirs(self.outside)
        for n in PRECIOUS:
            with open(os.path.join(self.dest, n), "wb") as f:
                f.write(b"precious " + n.encode())
        self.before = snapshot(self.dest)

    def verify(self, label, expect, code, err, changed_ok=()):
        check(code != "timeout", "%s: hangs" % label)
        if code == "timeout":
            return
        check(code >= 0, "%s: killed by signal %s" % (label, -code if code < 0 else 0))
        check(code in (0, 1, 2), "%s: exit status %s" % (label, code))
        if expect == "refuse":
            check(code == 2, "%s: should be refused, exit status %s" % (label, code))
            check(err.strip() != "", "%s: refused without a message" % label)
            check("\n" not in err.strip() or len(err) < 4000, "%s: message too long" % label)
        if expect == "ok":
            check(code == 0, "%s: should succeed, exit status %s: %s" % (label, code, err.strip()))
        check(snapshot(self.outside) == {}, "%s: wrote outside the destination: %s"
              % (label, sorted(snapshot(self.outside))))
        for rel, digest in self.before.items():
            if rel not in changed_ok:
                check(digest_of(os.path.join(self.dest, rel)) == digest,
                      "%s: damaged the existing %s" % (label, rel))
        leftovers = [os.path.join(root, n) for root, dirs, files in os.walk(self.dest)
                     for n in dirs + files if ".ozpart" in n]
        check(not leftovers, "%s: left partial files %s" % (label, leftovers))

    def remove(self):
        # rm is much quicker than shutil on the 70,000-file case.
        subprocess.run(["chmod", "-R", "u+rwx", self.top])
        subprocess.run(["rm", "-rf", self.top])


def self_extractor(path, archive_for_base, block=None):
    with open(EXTRACTOR, "rb") as f:
        stub = f.read()
    prefix = stub + (corpus.settings_block() if block is None else block)
    with open(path, "wb") as f:
        f.write(prefix + archive_for_base(len(prefix)))
    os.chmod(path, 0o755)


def hostile_cases(top):
    for name in sorted(corpus.cases("/nowhere")):
        started = time.monotonic()
        scene = Scene(top)
        # Absolute names and links point at this scene's outside folder.
        expect, make = corpus.cases(scene.outside)[name]
        archive = os.path.join(scene.top, name + ".zip")
        with open(archive, "wb") as f:
            f.write(make(0))
        # The default keeps existing files; --overwrite is the harder test of "nothing damaged".
        code, _, err = run([CLI, "extract", archive, "-d", scene.dest, "--overwrite", "--quiet"])
        scene.verify("cli extract " + name, expect, code, err)
        for command in ("list", "test"):
            code, _, err = run([CLI, command, archive])
            scene.verify("cli %s %s" % (command, name), "ok" if expect == "ok" else "safe", code, err)

        exe = os.path.join(scene.top, name + ".run")
        self_extractor(exe, make)
        code, _, err = run([exe, "--dest", scene.dest, "--overwrite", "--quiet"])
        scene.verify("extractor " + name, expect, code, err)
        code, _, err = run([exe, "--list"])
        scene.verify("extractor --list " + name, "ok" if expect == "ok" else "safe", code, err)
        scene.remove()
        print("%-32s %-6s %5.1f s" % (name, expect, time.monotonic() - started), flush=True)


def damaged_extractors(top):
    good = corpus.settings_block()
    block_crc = good[:-13] + bytes([good[-13] ^ 0xFF]) + good[-12:]
    huge_text = b"OZSFX1\r\n" + struct.pack("<I", 0x7FFFFFF0) + good[12:]
    cases = {
        "settings-crc-wrong": (block_crc, corpus.plain),
        "settings-cut-short": (good[:20], lambda base: b""),
        "settings-length-huge": (huge_text, corpus.plain),
        "settings-missing": (b"", lambda base: b""),
        "archive-cut-short": (good, lambda base: corpus.plain(base)[:100]),
        "archive-missing": (good, lambda base: b""),
    }
    for name, (block, make) in cases.items():
        scene = Scene(top)
        exe = os.path.join(scene.top, name + ".run")
        self_extractor(exe, make, block)
        for args in (["--dest", scene.dest, "--overwrite", "--quiet"], ["--list"], ["--info"]):
            code, _, err = run([exe] + args)
            expect = "safe" if args == ["--info"] and name.startswith("archive") else "refuse"
            scene.verify("extractor %s %s" % (" ".join(args), name), expect, code, err)
        scene.remove()
    with open(EXTRACTOR, "rb") as f:
        stub = f.read()
    scene = Scene(top)
    for cut in range(0, len(stub), max(len(stub) // 12, 1)):
        exe = os.path.join(scene.top, "cut.run")
        with open(exe, "wb") as f:
            f.write(stub[:cut])
        os.chmod(exe, 0o755)
        code, _, err = run([exe, "--dest", scene.dest, "--quiet"])
        # A cut ELF file may not start at all (the kernel refuses it: status 126 from exec);
        # what matters is that it writes nothing.
        check(code != "timeout", "extractor cut at %d hangs" % cut)
    scene.verify("extractor cut short", "safe", 0, "")
    scene.remove()


def encrypted(top):
    scene = Scene(top)
    src = os.path.join(scene.top, "src")
    os.makedirs(src)
    with open(os.path.join(src, "secret.txt"), "wb") as f:
        f.write(b"the secret\n" * 1000)
    archive = os.path.join(scene.top, "aes.zip")
    env = {"ORVELZIP_PASSWORD": "right"}
    code, _, err = run([CLI, "create", "--password", archive, os.path.join(src, "secret.txt"), "--quiet"], env=env)
    check(code == 0, "cli create aes: %s %s" % (code, err))
    with open(archive, "rb") as f:
        good = f.read()
    # The authentication code is the 10 bytes before the central directory; the data lies before it.
    cd = good.find(b"PK\x01\x02")
    variants = {
        "wrong-password": (good, "wrong"),
        "auth-code-corrupted": (good[:cd - 3] + bytes([good[cd - 3] ^ 0x55]) + good[cd - 2:], "right"),
        "data-corrupted": (good[:cd - 20] + bytes([good[cd - 20] ^ 0x55]) + good[cd - 19:], "right"),
    }
    for name, (data, password) in variants.items():
        bad = os.path.join(scene.top, name + ".zip")
        with open(bad, "wb") as f:
            f.write(data)
        code, _, err = run([CLI, "extract", bad, "-d", scene.dest, "--overwrite", "--quiet"],
                           env={"ORVELZIP_PASSWORD": password})
        scene.verify("cli extract " + name, "refuse", code, err)
        said_right(name, "cli", err)
        code, _, err = run([CLI, "test", bad], env={"ORVELZIP_PASSWORD": password})
        scene.verify("cli test " + name, "refuse", code, err)
        said_right(name, "cli test", err)
        exe = os.path.join(scene.top, name + ".run")
        self_extractor(exe, lambda base, data=data: _rebase(data, base))
        code, _, err = run([exe, "--dest", scene.dest, "--overwrite", "--quiet", "--password", password])
        scene.verify("extractor " + name, "refuse", code, err)
        said_right(name, "extractor", err)
    scene.remove()


def said_right(name, front, err):
    """A wrong password is called one; an entry whose verifier passed but whose code fails is
    damaged, which no other password would cure."""
    if name == "wrong-password":
        check("wrong password" in err.lower(), "%s %s: says %r" % (front, name, err.strip()))
    else:
        check("damaged" in err and "wrong password" not in err.lower(),
              "%s %s: says %r" % (front, name, err.strip()))


def _rebase(archive, base):
    """The archive with every offset moved by base, for the end of an extractor."""
    out = bytearray(archive)
    eocd = out.rfind(b"PK\x05\x06")
    count, cd_size, cd_off = struct.unpack("<HII", out[eocd + 10:eocd + 20])
    at = cd_off
    for _ in range(count):
        n, m, k = struct.unpack("<HHH", out[at + 28:at + 34])
        (local,) = struct.unpack("<I", out[at + 42:at + 46])
        out[at + 42:at + 46] = struct.pack("<I", local + base)
        at += 46 + n + m + k
    out[eocd + 16:eocd + 20] = struct.pack("<I", cd_off + base)
    return bytes(out)


def bounded_memory(top):
    """The names that once cost gigabytes, in 512 MiB of address space: refused with a reason,
    never ended by a signal."""
    if not shutil.which("prlimit"):
        check(False, "prlimit is missing (util-linux)")
        return
    if b"libasan" in subprocess.run(["ldd", CLI], capture_output=True).stdout:
        # The address sanitizer reserves terabytes of address space for its shadow: a tool built
        # with it cannot start under such a limit. The plain build runs this check.
        print("bounded memory: not tried on a sanitized build")
        return
    limit = ["prlimit", "--as=%d" % (512 << 20), "--"]
    scene = Scene(top)
    archive = os.path.join(scene.top, "deep.zip")
    with open(archive, "wb") as f:
        f.write(corpus.deep_names(8)(0))
    exe = os.path.join(scene.top, "deep.run")
    self_extractor(exe, corpus.deep_names(8))
    for label, args in (("cli", [CLI, "extract", archive, "-d", scene.dest, "--overwrite", "--quiet"]),
                        ("extractor", [exe, "--dest", scene.dest, "--overwrite", "--quiet"])):
        code, _, err = run(limit + args)
        scene.verify("%s deep names in 512 MiB" % label, "refuse", code, err)
        check("longer than this system allows" in err, "%s deep names: the reason is given: %s" % (label, err))
    scene.remove()
    print("deep names refused in 512 MiB", flush=True)


# --- faults ----------------------------------------------------------------------------------

def small_filesystem(folder, size):
    """A tmpfs of the given size at folder, or False where this machine may not mount."""
    os.makedirs(folder, exist_ok=True)
    return subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", folder],
                          capture_output=True).returncode == 0


def unmount(folder):
    subprocess.run(["umount", folder], capture_output=True)


def faults(top):
    scene = Scene(top)
    src = os.path.join(scene.top, "src")
    os.makedirs(src)
    with open(os.path.join(src, "noise.bin"), "wb") as f:
        f.write(os.urandom(3 << 20))
    with open(os.path.join(src, "small.txt"), "wb") as f:
        f.write(b"small\n")
    small_zip = os.path.join(scene.top, "small.zip")
    big_zip = os.path.join(scene.top, "big.zip")
    run([CLI, "create", small_zip, os.path.join(src, "small.txt"), "--quiet"])
    run([CLI, "create", big_zip, src, "--quiet"])
    # Large enough to be streamed and written behind rather than read whole.
    huge = os.path.join(scene.top, "huge")
    os.makedirs(huge)
    with open(os.path.join(huge, "huge.bin"), "wb") as f:
        f.write(os.urandom(12 << 20))
    huge_zip = os.path.join(scene.top, "huge.zip")
    run([CLI, "create", huge_zip, huge, "--quiet"])

    # Extraction destination that is a file.
    code, _, err = run([CLI, "extract", small_zip, "-d", os.path.join(scene.dest, "keep.txt")])
    scene.verify("extract onto a file", "refuse", code, err)
    code, _, err = run([exe_of(scene, small_zip), "--dest", os.path.join(scene.dest, "keep.txt"), "--quiet"])
    scene.verify("extractor onto a file", "refuse", code, err)

    disk = os.path.join(scene.top, "disk")
    if small_filesystem(disk, 1 << 20):
        try:
            # Disk full while writing an archive over an existing one: the old one stays.
            target = os.path.join(disk, "target.zip")
            shutil.copy(small_zip, target)
            before = snapshot(disk)
            code, _, err = run([CLI, "create", target, src, "--quiet"])
            check(code == 2 and "target.zip" in err, "create on a full disk: %s %s" % (code, err))
            check(snapshot(disk) == before, "create on a full disk changed %s" % sorted(snapshot(disk)))
            # Disk full while extracting: a message, and nothing that looks complete.
            out = os.path.join(disk, "out")

            def extract_on_full_disk(archive, name, what):
                code, _, err = run([CLI, "extract", archive, "-d", out, "--quiet"])
                check(code == 2 and err.strip(), "%s on a full disk: %s %s" % (what, code, err))
                left = snapshot(disk)
                check("out/" + name not in left and not [r for r in left if ".ozpart" in r],
                      "%s on a full disk left %s" % (what, sorted(left)))
                shutil.rmtree(out, ignore_errors=True)

            extract_on_full_disk(big_zip, "noise.bin", "extract")
            # Large enough to be written behind by a second thread.
            extract_on_full_disk(huge_zip, "huge.bin", "extract of a large file")
            code, _, err = run([exe_of(scene, big_zip), "--dest", out, "--quiet"])
            check(code == 2 and err.strip(), "extractor on a full disk: %s %s" % (code, err))
            left = snapshot(disk)
            check("out/noise.bin" not in left, "extractor on a full disk left %s" % sorted(left))
            shutil.rmtree(out, ignore_errors=True)

            # A read-only folder, even for root.
            subprocess.run(["mount", "-o", "remount,ro", disk], check=True)
            before = snapshot(disk)
            code, _, err = run([CLI, "create", os.path.join(disk, "new.zip"), src, "--quiet"])
            check(code == 2 and "new.zip" in err, "create in a read-only folder: %s %s" % (code, err))
            code, _, err = run([CLI, "extract", small_zip, "-d", os.path.join(disk, "target"), "--quiet"])
            check(code == 2 and err.strip(), "extract into a read-only folder: %s %s" % (code, err))
            code, _, err = run([exe_of(scene, small_zip), "--dest", disk, "--overwrite", "--quiet"])
            check(code == 2 and err.strip(), "extractor into a read-only folder: %s %s" % (code, err))
            check(snapshot(disk) == before, "read-only folder changed")
        finally:
            unmount(disk)
    else:
        # In CI a case not tried is a failure; at a desk it says what is missing.
        check(not os.environ.get("CI"), "cannot mount a small filesystem (needs root and tmpfs)")
        print("SKIP: cannot mount a small filesystem here (needs root); full and read-only disks not tried")

    # A source that vanishes before the build: the tool names it and writes no archive.
    gone = os.path.join(scene.top, "gone.zip")
    code, _, err = run([CLI, "create", gone, os.path.join(src, "missing.txt"), "--quiet"])
    check(code == 2 and "missing.txt" in err and not os.path.exists(gone),
          "create from a missing file: %s %s" % (code, err))
    scene.verify("faults", "safe", 0, "")
    scene.remove()


def exe_of(scene, archive):
    exe = archive[:-4] + ".run"
    if not os.path.exists(exe):
        with open(archive, "rb") as f:
            data = f.read()
        self_extractor(exe, lambda base: _rebase(data, base))
    return exe


# --- damaged entries -------------------------------------------------------------------------

def damaged_entries(top):
    """One entry damaged in its data: every intact one is extracted, folders and links are
    finished, the damaged one is named and left nowhere, the status is 1; always the same tree,
    whatever the thread count. Files that were there are not replaced; --strict writes nothing."""
    scene = Scene(top)
    files = {"a/one.txt": b"one\n" * 500, "a/bad.bin": os.urandom(40000), "a/two.bin": os.urandom(30000),
             "b/c.txt": b"c\n"}
    archive = os.path.join(scene.top, "damaged.zip")
    tree_zip(archive, files, links=[("b/to-one", "../a/one.txt")], folders=[("a", 0o750), ("b", 0o755)],
             damaged=["a/bad.bin"])
    expected = {"a": "dir", "b": "dir", "b/to-one": "link:../a/one.txt"}
    expected.update({rel: hashlib.sha1(data).hexdigest() for rel, data in files.items() if rel != "a/bad.bin"})
    fronts = [("cli %d threads" % t, [CLI, "extract", archive, "--threads", str(t), "--quiet"], "-d", 50)
              for t in (1, 4)]
    fronts.append(("extractor", [exe_of(scene, archive), "--quiet"], "--dest", 10))
    for label, command, dest_option, runs in fronts:
        trees = set()
        for i in range(runs):
            dest = os.path.join(scene.top, "out")
            code, _, err = run(command + [dest_option, dest])
            got = snapshot(dest)
            trees.add(tuple(sorted(got.items())))
            if i == 0:
                check(code == 1 and "a/bad.bin" in err, "damaged %s: %s %s" % (label, code, err))
                check(got == expected, "damaged %s: tree %s" % (label, sorted(got.items())))
                check(os.stat(os.path.join(dest, "a")).st_mode & 0o777 == 0o750, "damaged %s: folder mode" % label)
            shutil.rmtree(dest)
        check(len(trees) == 1, "damaged %s: %d different trees in %d runs" % (label, len(trees), runs))
    _damaged_replacements(scene, archive, files)
    scene.remove()
    print("damaged entries handled", flush=True)


def _many_replacements(scene):
    """More replacements than descriptors can be held open (a limit of 1,024): with a damaged last
    entry none is made; with none damaged, all are."""
    if not shutil.which("prlimit"):
        check(os.environ.get("CI") is None, "prlimit is missing in CI")
        return
    files = {"r/%03d.txt" % i: b"new %d\n" % i for i in range(600)}
    files["r/zz-last.bin"] = os.urandom(20000)
    dest = os.path.join(scene.top, "many")
    for damaged in (["r/zz-last.bin"], []):
        archive = os.path.join(scene.top, "many.zip")
        tree_zip(archive, files, damaged=damaged)
        os.makedirs(os.path.join(dest, "r"), exist_ok=True)
        for rel in files:
            with open(os.path.join(dest, rel), "wb") as f:
                f.write(b"old")
        code, _, err = run(["prlimit", "--nofile=1024:1024", CLI, "extract", archive, "-d", dest, "--overwrite",
                            "--quiet"])
        got = snapshot(dest)
        new = [rel for rel, data in files.items() if got.get(rel) == hashlib.sha1(data).hexdigest()]
        if damaged:
            check(code == 2 and "zz-last.bin" in err and not new,
                  "600 replacements, the last damaged: %s, %d replaced: %s" % (code, len(new), err))
        else:
            check(code == 0 and len(new) == len(files), "600 replacements: %s, %d replaced: %s" % (code, len(new), err))
        check(not temporaries(dest), "600 replacements left %s" % temporaries(dest)[:3])


def _damaged_replacements(scene, archive, files):
    dest = os.path.join(scene.top, "there")
    for rel in ("a/one.txt", "a/bad.bin"):
        os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
        with open(os.path.join(dest, rel), "wb") as f:
            f.write(b"old\n")
    code, _, err = run([CLI, "extract", archive, "-d", dest, "--overwrite", "--quiet"])
    got = snapshot(dest)
    old = hashlib.sha1(b"old\n").hexdigest()
    check(code == 1 and got.get("a/one.txt") == old and got.get("a/bad.bin") == old
          and got.get("a/two.bin") == hashlib.sha1(files["a/two.bin"]).hexdigest() and not temporaries(dest),
          "damaged over existing files: %s %s %s" % (code, err, sorted(got.items())))
    _many_replacements(scene)
    strict = os.path.join(scene.top, "strict")
    code, _, err = run([CLI, "extract", archive, "-d", strict, "--strict", "--quiet"])
    check(code == 2 and "a/bad.bin" in err and not os.path.exists(strict),
          "damaged --strict: %s %s %s" % (code, err, os.path.exists(strict)))
    only = os.path.join(scene.top, "only.zip")
    tree_zip(only, {"bad.bin": os.urandom(5000)}, damaged=["bad.bin"])
    for command in ([CLI, "extract", only, "-d", strict, "--quiet"], [exe_of(scene, only), "--dest", strict, "--quiet"]):
        code, _, err = run(command)
        check(code == 2 and "bad.bin" in err and not snapshot(strict),
              "nothing but a damaged entry: %s %s" % (code, err))


# --- file systems without unnamed files ------------------------------------------------------

def bind_mount(source, mount):
    """A bindfs (FUSE) view of source at mount: no O_TMPFILE, no renameat2 flags, as on NFS or
    SMB. False where this machine may not mount one."""
    os.makedirs(mount, exist_ok=True)
    if not shutil.which("bindfs"):
        return False
    return subprocess.run(["bindfs", "--no-allow-other", source, mount], capture_output=True).returncode == 0


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return p.pid


def fuse_mount(top):
    """Extraction, replacement, links and archive writes on a FUSE mount, where every file takes
    a hidden named temporary; a kill -9 leaves one behind, and the next run into the same folder
    removes it (and only the leftovers of processes that are gone)."""
    scene = Scene(top)
    under = os.path.join(scene.top, "under")
    mount = os.path.join(scene.top, "mount")
    os.makedirs(under)
    if not bind_mount(under, mount):
        check(os.environ.get("CI") is None, "bindfs cannot be mounted in CI")
        print("SKIP: bindfs cannot be mounted here; FUSE extraction not tried", flush=True)
        scene.remove()
        return
    try:
        _fuse_cases(scene, mount)
    finally:
        subprocess.run(["fusermount3", "-u", mount], capture_output=True)
        subprocess.run(["umount", mount], capture_output=True)
    scene.remove()
    print("FUSE mount handled", flush=True)


def tree_zip(path, files, links=(), folders=(), damaged=()):
    """An archive of files {name: bytes}, links (name, target) and folders (name, mode); the
    entries named in damaged get one flipped byte in their stored data."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for name, mode in folders:
            info = zipfile.ZipInfo(name.rstrip("/") + "/", (2020, 1, 2, 3, 4, 6))
            info.external_attr = (0o040000 | mode) << 16 | 0x10
            z.writestr(info, b"")
        for name, data in files.items():
            info = zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6))
            info.external_attr = 0o100644 << 16
            z.writestr(info, data)
        for name, target in links:
            info = zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6))
            info.create_system = 3
            info.external_attr = 0o120777 << 16
            z.writestr(info, target)
    if damaged:
        with zipfile.ZipFile(path) as z:
            spots = [i.header_offset + 30 + len(i.filename.encode()) + len(i.extra) + i.compress_size // 2
                     for i in z.infolist() if i.filename in damaged]
        with open(path, "r+b") as f:
            for at in spots:
                f.seek(at)
                byte = f.read(1)
                f.seek(at)
                f.write(bytes([byte[0] ^ 0xFF]))


def _fuse_cases(scene, mount):
    tree = {"d/a.txt": b"a\n" * 1000, "d/b.bin": os.urandom(50000), "top.txt": b"top\n"}
    src = os.path.join(scene.top, "src")
    archive = os.path.join(scene.top, "tree.zip")
    tree_zip(archive, tree, links=[("d/link", "a.txt")])
    for rel, data in tree.items():
        os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
        with open(os.path.join(src, rel), "wb") as f:
            f.write(data)
    exe = exe_of(scene, archive)
    for front, command in (("cli", lambda d, *o: [CLI, "extract", archive, "-d", d, "--quiet"] + list(o)),
                           ("extractor", lambda d, *o: [exe, "--dest", d, "--quiet"] + list(o))):
        dest = os.path.join(mount, front)
        for attempt in ("new", "overwrite"):
            code, _, err = run(command(dest, "--overwrite"))
            check(code == 0, "fuse %s %s: %s %s" % (front, attempt, code, err))
            got = snapshot(dest)
            for rel, data in tree.items():
                check(got.get(rel) == hashlib.sha1(data).hexdigest(), "fuse %s %s: %s" % (front, attempt, rel))
            check(got.get("d/link") == "link:a.txt", "fuse %s %s: link %s" % (front, attempt, got.get("d/link")))
            check(not temporaries(dest), "fuse %s %s left %s" % (front, attempt, temporaries(dest)))
    # An archive written onto an existing name, and a new one.
    for name in ("cli/again.zip", "cli/again.zip"):
        code, _, err = run([CLI, "create", os.path.join(mount, name), src, "--quiet"])
        check(code == 0, "fuse create %s: %s" % (name, err))
    code, _, err = run([CLI, "test", os.path.join(mount, "cli/again.zip")])
    check(code == 0 and not temporaries(mount), "fuse create onto a name: %s %s" % (err, temporaries(mount)))
    _fuse_leftovers(scene, mount, archive, src)


def _fuse_leftovers(scene, mount, archive, src):
    big_src = os.path.join(scene.top, "big")
    os.makedirs(big_src)
    with open(os.path.join(big_src, "big.bin"), "wb") as f:
        f.write(os.urandom(48 << 20))
    big = os.path.join(scene.top, "big.zip")
    run([CLI, "create", big, big_src, "--level", "0", "--quiet"])
    dest = os.path.join(mount, "killed")
    os.makedirs(os.path.join(dest, "big"))
    ours = os.path.join(dest, ".oz-%d-ours.part" % os.getpid())  # a running process's: it stays
    dead = os.path.join(dest, ".oz-%d-dead.part" % dead_pid())
    for path in (ours, dead):
        with open(path, "w") as f:
            f.write("x")
    runs = {"extract --overwrite": lambda: [CLI, "extract", big, "-d", dest, "--overwrite", "--quiet"],
            "create onto a name": lambda: [CLI, "create", os.path.join(dest, "big.zip"), big_src, "--level", "0",
                                          "--quiet"]}
    for label, command in runs.items():
        left = []
        for delay in (0.1, 0.3, 0.6):
            interrupted(command(), delay, signal.SIGKILL)
            left += [t for t in temporaries(dest) if t != ours and t != dead]
        code, _, err = run(command())
        check(code == 0, "fuse %s after kill -9: %s %s" % (label, code, err))
        remaining = [t for t in temporaries(dest) if t != ours]
        check(not remaining, "fuse %s: the next run left %s" % (label, remaining))
        print("fuse %s: kill -9 left %d temporaries, the next run removed them" % (label, len(left)), flush=True)
    check(os.path.exists(ours), "fuse: a running process's temporary was removed")
    os.unlink(ours)


# --- interruptions ---------------------------------------------------------------------------

def temporaries(folder):
    return [os.path.join(root, n) for root, dirs, files in os.walk(folder)
            for n in dirs + files if n.startswith(".oz") or ".ozpart" in n]


def interrupted(args, delay, sig):
    """Starts args, sends sig after delay seconds (unless it ended first), and waits."""
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(delay)
    if p.poll() is None:
        p.send_signal(sig)
    p.wait(timeout=60)


def interruptions(top):
    """kill -9, SIGTERM and SIGINT at several moments of an extraction (tool and extractor) and of
    a write: afterwards no temporary file is left, every file under its real name is whole, and a
    file the archive would replace is either as it was or wholly replaced."""
    scene = Scene(top)
    src = os.path.join(scene.top, "src")
    source = {}
    for i in range(100):
        rel = "d%d/f%02d.bin" % (i % 4, i)
        os.makedirs(os.path.join(src, os.path.dirname(rel)), exist_ok=True)
        data = os.urandom(2 << 20) if i % 2 else (b"%d compressible line\n" % i) * 100000
        with open(os.path.join(src, rel), "wb") as f:
            f.write(data)
        source[rel] = hashlib.sha1(data).hexdigest()
    archive = os.path.join(scene.top, "big.zip")
    exe = os.path.join(scene.top, "big.run")
    for args in ([CLI, "create", archive, src, "--quiet"], [CLI, "sfx", exe, src, "--quiet"]):
        code, _, err = run(args)
        check(code == 0, "interruptions: %s failed: %s" % (args[1], err))
    fronts = {"cli": lambda dest: [CLI, "extract", archive, "-d", dest, "--overwrite", "--quiet"],
              "extractor": lambda dest: [exe, "--dest", dest, "--overwrite", "--quiet"]}
    for front, command in fronts.items():
        for sig in (signal.SIGKILL, signal.SIGTERM, signal.SIGINT):
            for delay in (0.01, 0.05, 0.15):
                label = "%s %s after %.2f s" % (front, signal.Signals(sig).name, delay)
                dest = tempfile.mkdtemp(dir=scene.top)
                old = {}
                for rel in list(source)[::3]:  # files the archive replaces
                    os.makedirs(os.path.join(dest, os.path.dirname(rel)), exist_ok=True)
                    with open(os.path.join(dest, rel), "wb") as f:
                        f.write(b"old " + rel.encode())
                    old[rel] = hashlib.sha1(b"old " + rel.encode()).hexdigest()
                interrupted(command(dest), delay, sig)
                left = temporaries(dest)
                # A kill -9 between the link and the rename of a replacement may leave one
                # complete temporary; the next run into the same folders removes it.
                check(not left or sig == signal.SIGKILL, "%s: left %s" % (label, left))
                for rel, digest in snapshot(dest).items():
                    if digest == "dir" or rel in [os.path.relpath(t, dest) for t in left]:
                        continue
                    check(digest in (source.get(rel), old.get(rel)), "%s: %s is not whole" % (label, rel))
                if left:
                    run(command(dest))
                    check(not temporaries(dest), "%s: the next run left %s" % (label, temporaries(dest)))
                subprocess.run(["rm", "-rf", dest])
    # The archive being written: the old one stays until the new one is complete.
    with open(archive, "rb") as f:
        before = f.read()
    for sig in (signal.SIGKILL, signal.SIGTERM):
        for delay in (0.05, 0.2):
            label = "cli create %s after %.2f s" % (signal.Signals(sig).name, delay)
            interrupted([CLI, "create", archive, src, "--level", "9", "--quiet"], delay, sig)
            check(not temporaries(scene.top), "%s: left %s" % (label, temporaries(scene.top)))
            with open(archive, "rb") as f:
                now = f.read()
            if now != before:
                code, _, err = run([CLI, "test", archive])
                check(code == 0, "%s: the archive is neither the old one nor whole: %s" % (label, err))
                before = now
    scene.remove()
    print("interruptions handled", flush=True)


# --- new folders -----------------------------------------------------------------------------

def hidden_folders(dest):
    return [n for n in os.listdir(dest) if n.startswith(".oz-") and os.path.isdir(os.path.join(dest, n))] \
        if os.path.isdir(dest) else []


def caught_midway(args, watch, sig, files=20):
    """Starts args and sends sig once a hidden folder in watch holds files names; the status, or
    None when the extraction ended before that."""
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while p.poll() is None and time.monotonic() < deadline:
        if any(sum(len(f) for _, _, f in os.walk(os.path.join(watch, h))) >= files for h in hidden_folders(watch)):
            p.send_signal(sig)
            return p.wait(timeout=60)
    p.wait(timeout=60)
    return None


def new_folders(top):
    """A new top folder is written under a hidden name and renamed into place at the end: a kill -9
    leaves only that hidden folder, which the next run removes without following what was planted
    in it; SIGTERM and SIGINT make what was complete appear; a damaged entry leaves nothing."""
    scene = Scene(top)
    src = os.path.join(scene.top, "src", "big")
    os.makedirs(src)
    source = {}
    for i in range(400):
        data = os.urandom(256 << 10)
        with open(os.path.join(src, "f%03d.bin" % i), "wb") as f:
            f.write(data)
        source["big/f%03d.bin" % i] = hashlib.sha1(data).hexdigest()
    archive, exe = os.path.join(scene.top, "big.zip"), os.path.join(scene.top, "big.run")
    for args in ([CLI, "create", archive, "src", "--level", "0", "--quiet"],
                 [CLI, "sfx", exe, "src", "--level", "0", "--quiet"]):
        made = subprocess.run(args, cwd=scene.top, capture_output=True, text=True)
        check(made.returncode == 0, "new folders: %s failed: %s" % (args[1], made.stderr))
    fronts = {"cli": lambda d: [CLI, "extract", archive, "-d", d, "--threads", "1", "--quiet"],
              "extractor": lambda d: [exe, "--dest", d, "--quiet"]}

    def whole(dest, label):
        for rel, digest in snapshot(dest).items():
            if digest != "dir":
                check(digest == source.get(rel), "%s: %s is not whole" % (label, rel))

    # Into a destination that is there (big is new) and into one that is not (made beside it).
    cases = [(front, sig, there) for front in fronts for there in (True, False)
             for sig in (signal.SIGKILL, signal.SIGTERM, signal.SIGINT) if there or sig != signal.SIGINT]
    for front, sig, there in cases:
        command = fronts[front]
        label = "new folder %s %s %s" % (front, signal.Signals(sig).name, "in a folder" if there else "new")
        above = tempfile.mkdtemp(dir=scene.top)
        dest = above if there else os.path.join(above, "out")
        code = None
        for _ in range(5):  # until the signal lands while files are being written
            code = caught_midway(command(dest), above, sig)
            if code is not None:
                break
            subprocess.run(["rm", "-rf", above])
            os.makedirs(above)
        check(code is not None, "%s: the extraction always ended before the signal" % label)
        if code is not None:
            check(code != 0, "%s: status 0 after the signal" % label)
            if sig == signal.SIGKILL:
                check(not os.path.exists(os.path.join(dest, "big")), "%s: big appeared" % label)
                check(len(hidden_folders(above)) == 1, "%s: hidden folders %s" % (label, hidden_folders(above)))
                code, _, err = run(command(dest))
                check(code == 0, "%s: the next run: %s %s" % (label, code, err))
                check(len(snapshot(dest)) == len(source) + 1, "%s: the next run made %d" % (label, len(snapshot(dest))))
            else:
                got = [rel for rel, digest in snapshot(dest).items() if digest != "dir"]
                check(len(got) >= 10, "%s: %d complete files appeared" % (label, len(got)))
            check(not temporaries(above), "%s: left %s" % (label, temporaries(above)))
            whole(dest, label)
        subprocess.run(["rm", "-rf", above])
    _planted_leftover(scene, fronts)
    _damaged_in_new_folder(scene)
    scene.remove()
    print("new folders handled", flush=True)


def _planted_leftover(scene, fronts):
    """Links in a leftover hidden folder, or the leftover itself a link, lead outside: its removal
    follows none of them. A running process's hidden folder stays."""
    with open(os.path.join(scene.outside, "keep.txt"), "w") as f:
        f.write("keep")
    for front, command in fronts.items():
        dest = tempfile.mkdtemp(dir=scene.top)
        dead = dead_pid()
        planted = os.path.join(dest, ".oz-%d-0123456789ab.new" % dead)
        os.makedirs(os.path.join(planted, "sub", "deeper"))
        os.symlink(scene.outside, os.path.join(planted, "out"))
        os.symlink("../../../../outside", os.path.join(planted, "sub", "deeper", "up"))
        os.symlink(os.path.join(scene.outside, "keep.txt"), os.path.join(planted, "sub", "keep.txt"))
        with open(os.path.join(planted, "sub", "deeper", "half.bin"), "wb") as f:
            f.write(b"half")
        os.symlink(scene.outside, os.path.join(dest, ".oz-%d-link.new" % dead))
        running = os.path.join(dest, ".oz-%d-fedcba987654.new" % os.getpid())
        os.makedirs(running)
        code, _, err = run(command(dest))
        label = "planted leftover %s" % front
        check(code == 0, "%s: %s %s" % (label, code, err))
        check(not os.path.lexists(planted), "%s: the leftover stayed" % label)
        check(not os.path.lexists(os.path.join(dest, ".oz-%d-link.new" % dead)), "%s: the leftover link stayed" % label)
        check(os.path.isdir(running), "%s: a running process's folder was removed" % label)
        check(snapshot(scene.outside) == {"keep.txt": hashlib.sha1(b"keep").hexdigest()},
              "%s: outside changed: %s" % (label, snapshot(scene.outside)))
        subprocess.run(["rm", "-rf", dest])


def _damaged_in_new_folder(scene):
    """A damaged entry large enough to be streamed, in a new folder: the others appear, no part of
    it does, through both fronts."""
    files = {"new/a.txt": b"a\n" * 100, "new/sub/bad.bin": os.urandom(12 << 20), "new/z.txt": b"z\n"}
    archive = os.path.join(scene.top, "streamed.zip")
    tree_zip(archive, files, damaged=["new/sub/bad.bin"])
    for front, command in (("cli", [CLI, "extract", archive, "--quiet", "-d"]),
                           ("extractor", [exe_of(scene, archive), "--quiet", "--dest"])):
        dest = os.path.join(scene.top, "streamed-" + front)
        code, _, err = run(command + [dest])
        label = "damaged in a new folder, %s" % front
        check(code == 1 and "bad.bin" in err, "%s: %s %s" % (label, code, err))
        expected = {"new": "dir", "new/sub": "dir", "new/a.txt": hashlib.sha1(files["new/a.txt"]).hexdigest(),
                    "new/z.txt": hashlib.sha1(files["new/z.txt"]).hexdigest()}
        check(snapshot(dest) == expected, "%s: tree %s" % (label, sorted(snapshot(dest).items())))
    # Two entries of one name in a new folder: the later wins, as anywhere else.
    twice = os.path.join(scene.top, "twice.zip")
    with warnings.catch_warnings(), zipfile.ZipFile(twice, "w") as z:
        warnings.simplefilter("ignore")
        for data in (b"first", b"second"):
            z.writestr("new/dup.txt", data)
    for front, command in (("cli", [CLI, "extract", twice, "--quiet", "-d"]),
                           ("extractor", [exe_of(scene, twice), "--quiet", "--dest"])):
        dest = os.path.join(scene.top, "twice-" + front)
        code, _, err = run(command + [dest])
        check(code == 0 and snapshot(dest) == {"new": "dir", "new/dup.txt": hashlib.sha1(b"second").hexdigest()},
              "twice in a new folder, %s: %s %s %s" % (front, code, err, snapshot(dest)))


def main():
    top = tempfile.mkdtemp(prefix="oz-hostile-")
    try:
        hostile_cases(top)
        bounded_memory(top)
        damaged_extractors(top)
        encrypted(top)
        faults(top)
        interruptions(top)
        damaged_entries(top)
        new_folders(top)
        fuse_mount(top)
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", top])
        subprocess.run(["rm", "-rf", top])
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("all hostile archives and faults handled")


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    main()
