"""Running the Windows extractor under Wine as the tests do: a prefix of the build's own, the
program's output through files, paths on drive Z, and a virtual display for its window."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

failures = []
ENV = {}
TOOL = []  # orvelzip-cli


def require(*tools):
    """Exits 77 (skipped) when a tool is missing; in CI (CI set) it fails instead."""
    for tool in tools:
        if not shutil.which(tool):
            print("SKIPPED: %s is not installed (scripts/install-deps.sh installs it)" % tool)
            sys.exit(1 if os.environ.get("CI") else 77)


def configure(cli):
    TOOL[:] = [cli]
    # A prefix of the build's own, so that the tests neither need nor touch the user's.
    ENV.update(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=",
               WINEPREFIX=os.path.join(os.path.dirname(os.path.abspath(cli)), "..", "wineprefix"))
    ENV.pop("DISPLAY", None)
    ENV.pop("WAYLAND_DISPLAY", None)


def cli(*args, env=None):
    p = subprocess.run(TOOL + list(args), capture_output=True, env=dict(os.environ, **(env or {})))
    check(p.returncode == 0, "orvelzip-cli %s: %s" % (" ".join(args), p.stderr.decode()))


def long_to_write(src, exe, small=None, size=300 << 20):
    """An executable quick to build and long to extract: the files small names (name: bytes), then
    size bytes of zeros."""
    os.makedirs(src)
    for name, data in (small or {}).items():
        with open(os.path.join(src, name), "wb") as f:
            f.write(data)
    with open(os.path.join(src, "zeros.bin"), "wb") as f:
        f.truncate(size)
    cli("sfx", exe, src, "--level", "1", "--quiet")


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def win(path):
    """A Linux path as the Windows program sees it: on drive Z."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(exe, *args, env=None, timeout=120):
    # Into files, not pipes: Wine's own services inherit the handles and would hold a pipe open
    # long after the program ended.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.run(["wine", exe] + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                           timeout=timeout, env=dict(ENV, **(env or {})))
        out.seek(0)
        err.seek(0)
        return p.returncode, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")


def tree(folder):
    out = {}
    for root, dirs, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = f.read()
        for name in dirs:
            out[os.path.relpath(os.path.join(root, name), folder) + "/"] = None
    return out


def virtual_display():
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"], pass_fds=(write,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            break
        number += chunk
    os.close(read)
    return server, ":" + number.decode().strip()


def restart_wine_server():
    subprocess.run(["wineserver", "-k"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # One server for every run: much quicker.
    subprocess.Popen(["wineserver", "-p"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def temporaries(folder):
    """The hidden names files have in folder while they are written."""
    return [n for n in (os.listdir(folder) if os.path.isdir(folder) else []) if n.startswith(".oz-")]


def wait_for_writing(folder, ended, ending=".tmp"):
    """The temporaries in folder once one whose name ends with ending is there, or once ended()
    says the program has ended (a minute at the most)."""
    seen = []
    for _ in range(1200):
        seen = temporaries(folder)
        if any(n.endswith(ending) for n in seen) or ended():
            break
        time.sleep(0.05)
    return seen
