#!/usr/bin/env python3
"""What the Linux extractor reads to start: its settings and the archive's directory, never the
archive's content or its own program. Traced with strace on --info and --list of a
self-extractor whose archive holds 4 MB, the reads from its own file may total at most the end
record's search (the last 64 KiB + 22 bytes, as every zip reader does), the directory, and
64 KiB besides.

    test_startup_reads.py CLI EXTRACTOR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

CLI, EXTRACTOR = sys.argv[1:3]
if not shutil.which("strace"):
    print("SKIPPED: strace is not installed (scripts/install-deps.sh installs it)")
    sys.exit(77)

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def reads_from(exe, *args):
    """Bytes read from exe itself, by any thread of the extractor."""
    trace = subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat,read,pread64", "-e", "signal=none", exe]
                           + list(args), capture_output=True, text=True, errors="replace")
    fds, total = set(), 0
    for line in trace.stderr.splitlines():
        opened = re.search(r'openat\(AT_FDCWD, "%s", [^)]*\) = (\d+)' % re.escape(exe), line)
        if opened:
            fds.add(opened.group(1))
        done = re.search(r'(?:read|pread64)\((\d+), .*\) = (\d+)$', line)
        if done and done.group(1) in fds:
            total += int(done.group(2))
    return trace.returncode, total


top = tempfile.mkdtemp(prefix="oz-startup-")
try:
    src = os.path.join(top, "src")
    os.makedirs(src)
    with open(os.path.join(src, "big.bin"), "wb") as f:
        f.write(os.urandom(4 << 20))
    for i in range(50):
        with open(os.path.join(src, "small-%02d.txt" % i), "w") as f:
            f.write("file %d\n" % i)
    exe = os.path.join(top, "setup.run")
    p = subprocess.run([CLI, "sfx", exe, src, "--quiet", "--run", "small-00.txt", "--param", "a b"],
                       capture_output=True)
    check(p.returncode == 0, "building the self-extractor: %s" % p.stderr)
    with zipfile.ZipFile(exe) as z:
        directory = sum(46 + len(i.filename.encode()) + len(i.extra) + len(i.comment) for i in z.infolist())
    allowed = (64 << 10) + 22 + directory + (64 << 10)
    for args in (["--info"], ["--list"]):
        code, total = reads_from(exe, *args)
        check(code == 0, "%s: status %s" % (args, code))
        check(0 < total <= allowed, "%s read %d bytes of its file; at most %d" % (args, total, allowed))
        print("%-8s read %7d bytes (allowed %d)" % (args[0], total, allowed))
    info = subprocess.run([exe, "--info"], capture_output=True, text=True).stdout
    check("run: small-00.txt" in info and "parameters: a b" in info, "the settings are read back: %s" % info)
finally:
    shutil.rmtree(top)

if failures:
    print("%d failures" % len(failures))
    sys.exit(1)
print("the extractor reads only its settings and the directory to start")
