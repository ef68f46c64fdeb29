#!/usr/bin/env python3
"""The terminal as the tool and the Linux extractor leave it: at "Password:" the echo is off, and
it is on again however the question ends, by an answer, Ctrl-C, Ctrl-D (which gives up) or
SIGTERM. Then the Linux extractor's question before it replaces a file: both files described,
Keep all, and Stop with the status of a kept file.

    test_terminal.py CLI EXTRACTOR
"""
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time

CLI, EXTRACTOR = sys.argv[1:3]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


class Session:
    """A program on a pseudo-terminal of its own, as a receiver at a terminal runs it."""

    def __init__(self, argv, env=None, cwd=None):
        self.seen = b""
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            if cwd:
                os.chdir(cwd)
            environment = {k: v for k, v in os.environ.items() if k != "ORVELZIP_PASSWORD"}
            os.execve(argv[0], argv, dict(environment, **(env or {})))

    def wait_for(self, text, seconds=30):
        deadline = time.time() + seconds
        while text not in self.seen and time.time() < deadline:
            if not select.select([self.fd], [], [], max(0, deadline - time.time()))[0]:
                break
            try:
                self.seen += os.read(self.fd, 4096)
            except OSError:
                break
        return text in self.seen

    def echo(self):
        # The master side reads the terminal's settings as the program set them.
        return bool(termios.tcgetattr(self.fd)[3] & termios.ECHO)

    def type(self, text):
        os.write(self.fd, text)

    def status(self, seconds=60):
        """The exit status, or None when the program is still waiting (it is killed then)."""
        self.wait_for(b"\0", 2)  # whatever is left to read
        deadline = time.time() + seconds
        while time.time() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return os.waitstatus_to_exitcode(status)
            self.wait_for(b"\0", 0.2)
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        return None


def run(*argv, env=None):
    return subprocess.run(list(argv), capture_output=True, env=dict(os.environ, **(env or {})))


def password_prompts(top):
    src = os.path.join(top, "src")
    os.makedirs(src)
    with open(os.path.join(src, "secret.txt"), "w") as f:
        f.write("secret\n")
    locked_zip = os.path.join(top, "locked.zip")
    locked_run = os.path.join(top, "locked.run")
    check(run(CLI, "create", locked_zip, src, "--quiet", "--password=pw").returncode == 0, "encrypted zip built")
    check(run(CLI, "sfx", locked_run, src, "--quiet", "--password=pw").returncode == 0, "encrypted sfx built")
    programs = {
        "orvelzip-cli": [CLI, "extract", locked_zip, "-d", os.path.join(top, "cli-out")],
        "the extractor": [locked_run, "--dest", os.path.join(top, "sfx-out")],
    }
    for name, argv in programs.items():
        for how in ("Ctrl-C", "Ctrl-D", "SIGTERM", "an answer"):
            s = Session(argv)
            asked = s.wait_for(b"Password: ")
            check(asked and not s.echo(), "%s: no echo at the password: %r" % (name, s.seen))
            if how == "Ctrl-C":
                s.type(b"\x03")
            elif how == "Ctrl-D":
                s.type(b"\x04")
            elif how == "SIGTERM":
                os.kill(s.pid, signal.SIGTERM)
            else:
                s.type(b"pw\n")
            if how == "an answer":
                s.wait_for(b"Extract to [" if name == "the extractor" else b"extracted to")
                if name == "the extractor":
                    s.type(b"\n")
            code = s.status()
            check(s.echo(), "%s: the echo is back after %s" % (name, how))
            if how == "an answer":
                check(code == 0 and b"pw" not in s.seen, "%s: extracted, nothing echoed: %s %r" % (name, code, s.seen))
            elif how == "Ctrl-D":
                check(code == 2 and b"no password was given" in s.seen and b"Wrong password" not in s.seen,
                      "%s: Ctrl-D gives up at once: %s %r" % (name, code, s.seen))
            else:
                sig = signal.SIGINT if how == "Ctrl-C" else signal.SIGTERM
                check(code in (-sig, 128 + sig), "%s: ends as %s ends a program: %s" % (name, how, code))


def replace_question(top):
    src = os.path.join(top, "names")
    os.makedirs(os.path.join(src, "caf\u00e9 \u65e5\u672c"))
    files = {"caf\u00e9 \u65e5\u672c/\u30d5\u30a1\u30a4\u30eb.txt": b"from the archive\n", "b.txt": b"bee\n",
             "c.txt": b"sea\n"}
    for rel, data in files.items():
        with open(os.path.join(src, rel), "wb") as f:
            f.write(data)
    exe = os.path.join(top, "names.run")
    check(run(CLI, "sfx", exe, src, "--quiet").returncode == 0, "sfx with accented and CJK names built")
    dest = os.path.join(top, "there")
    check(run(exe, "--dest", dest, "--quiet").returncode == 0, "first extraction")
    for rel in files:
        with open(os.path.join(dest, rel), "wb") as f:
            f.write(b"mine")

    # Keep all: one question, every file kept, status 1.
    s = Session([exe, "--dest", dest])
    asked = s.wait_for(b"[q]uit (Enter: no): ")
    text = s.seen.decode("utf-8", "replace")
    check(asked and "On disk: 4 bytes, modified " in text and "In the archive: " in text,
          "the question describes both files: %r" % text)
    check("\u30d5\u30a1\u30a4\u30eb.txt" in text or "b.txt" in text, "the question names the file: %r" % text)
    s.type(b"k\n")
    code = s.status()
    check(code == 1 and s.seen.count(b"Replace ") == 1, "Keep all asks once and keeps: %s %r" % (code, s.seen))
    check(all(open(os.path.join(dest, rel), "rb").read() == b"mine" for rel in files), "Keep all kept every file")

    # Stop: nothing extracted, the status of a kept file, not of an error.
    s = Session([exe, "--dest", dest])
    s.wait_for(b"[q]uit (Enter: no): ")
    s.type(b"q\n")
    code = s.status()
    check(code == 1 and b"Stopped at your request" in s.seen, "Stop ends with status 1: %s %r" % (code, s.seen))
    check(all(open(os.path.join(dest, rel), "rb").read() == b"mine" for rel in files), "Stop changed nothing")

    # The same names extracted into a new folder with an accented name, from a shell.
    fresh = os.path.join(top, "d\u00e9j\u00e0 \u65b0")
    p = run(exe, "--dest", fresh)
    check(p.returncode == 0 and "3 files extracted to " + fresh in p.stderr.decode(),
          "accented and CJK names from a shell: %s" % p.stderr.decode())
    for rel, data in files.items():
        check(open(os.path.join(fresh, rel), "rb").read() == data, "%s extracted whole" % rel)


def main():
    top = tempfile.mkdtemp(prefix="oz-terminal-")
    try:
        password_prompts(top)
        replace_question(top)
    finally:
        subprocess.run(["rm", "-rf", top])
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("all terminal checks passed")


main()
