#!/usr/bin/env python3
"""The Windows extractor's window as a receiver meets it, under Wine on a virtual display with a
window manager: keys typed through XTEST into the window that has the focus (xdotool), and what
the window shows read back by a Windows program (probe.exe asks each control for its text). The
question before a file is replaced, answered each way it can be; Stop while files are written;
the password ORVELZIP_PASSWORD gives, right and wrong.

    test_windows_window.py CLI EXTRACTOR.exe PROBE.exe

Exits 77 (skipped) when a tool is missing; in CI (CI set) it fails instead.
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winerun import ENV, check, cli, failures, restart_wine_server, tree, virtual_display, win  # noqa: E402
import winerun  # noqa: E402

CLI, EXTRACTOR, PROBE = sys.argv[1:4]
winerun.require("wine", "Xvfb", "openbox", "xdotool")
winerun.configure(CLI)


class Desktop:
    """A virtual display, a window manager that gives windows the focus, and a wine server of its
    own: Wine's desktop belongs to the server, and one started without a display has nowhere to
    open a window."""

    def __enter__(self):
        self.server, self.display = virtual_display()
        ENV["DISPLAY"] = self.display
        self.manager = subprocess.Popen(["openbox", "--sm-disable"], env=ENV, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        restart_wine_server()
        return self

    def __exit__(self, *exc):
        restart_wine_server()
        ENV.pop("DISPLAY", None)
        for process in (self.manager, self.server):
            process.terminate()
            process.wait()

    def start(self, exe, env=None):
        self.err = tempfile.TemporaryFile()
        return subprocess.Popen(["wine", exe], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.err,
                                env=dict(ENV, **(env or {})))

    def window(self, caption, timeout=60):
        """The X window of that caption once it is shown, or None."""
        end = time.time() + timeout
        while time.time() < end:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % caption.replace("?", "\\?")],
                                   capture_output=True, text=True, env=ENV).stdout.split()
            if found:
                return found[-1]
            time.sleep(0.2)
        return None

    def type(self, window, *keys):
        """Keys as a receiver types them: into that window once it has the focus."""
        subprocess.run(["xdotool", "windowactivate", "--sync", window], env=ENV, capture_output=True, timeout=30)
        subprocess.run(["xdotool", "key", "--clearmodifiers"] + list(keys), env=ENV, capture_output=True, timeout=30)

    def texts(self, caption):
        """The texts of the window's controls, a line each (line breaks within one shown as |)."""
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "texts.txt")
            subprocess.run(["wine", PROBE], env=dict(ENV, OZ_PROBE_WINDOW=caption, OZ_PROBE_OUT=win(out)),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            return open(out, encoding="utf-8-sig").read().splitlines() if os.path.exists(out) else []

    def wait_closed(self, window, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            shown = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."], capture_output=True,
                                   text=True, env=ENV).stdout.split()
            if window not in shown:
                return True
            time.sleep(0.2)
        return False


def unzip(desk, exe, env=None):
    """Starts the window and presses Enter: Unzip is its default button."""
    p = desk.start(exe, env)
    main = desk.window(os.path.basename(exe))
    check(main is not None, "%s: the window opens" % os.path.basename(exe))
    if main:
        desk.type(main, "Return")
    return p, main


def close(desk, p, main):
    """Closes the finished window with Escape and returns the program's status."""
    if main:
        desk.type(main, "Escape")
    try:
        return p.wait(timeout=60)
    except subprocess.TimeoutExpired:
        p.kill()
        return None


OLD = 981173106  # 2001-02-03, the time of the files on disk


def replace_question(desk, top):
    """Each answer of the question does on disk what it says, and the question names the file and
    shows both sizes and dates."""
    src = os.path.join(top, "src")
    os.makedirs(src)
    names = ["a.txt", "b.txt", "c.txt", "d.txt", "e.txt"]
    for name in names:
        with open(os.path.join(src, name), "wb") as f:
            f.write(b"from the archive: " + name.encode())
    exe = os.path.join(top, "replace.exe")
    cli("sfx", exe, src, "--quiet")
    dest = os.path.join(top, "replace")  # where the window unzips: beside the program, by its name

    def mine():
        os.makedirs(dest, exist_ok=True)
        for name in names:
            with open(os.path.join(dest, name), "wb") as f:
                f.write(b"mine")
            os.utime(os.path.join(dest, name), (OLD, OLD))

    def answer(keys):
        """Runs the window, answers the questions in turn; the files asked about and the status."""
        mine()
        p, main = unzip(desk, exe)
        asked = []
        for key in keys:
            question = desk.window("Replace file?", timeout=30)
            if not question:
                break
            shown = desk.texts("Replace file?")
            asked.append(next((n for n in names if any(line.endswith("\\" + n) for line in shown)), None))
            if len(asked) == 1:
                text = "\n".join(shown)
                check(win(os.path.join(dest, asked[0])) in text, "the question names the file: %s" % shown)
                check("On disk: 4 bytes, modified 2001-02-03" in text, "the question shows the file on disk: %s" % shown)
                check("In the archive: 23 bytes, modified 20" in text, "the question shows the archive's: %s" % shown)
            desk.type(question, key)
            desk.wait_closed(question)
        if keys[-1] != "alt+s":
            finished = [line for line in desk.texts(os.path.basename(exe)) if "unzipped to" in line]
            check(finished, "the window says what it did")
        code = close(desk, p, main) if keys[-1] != "alt+s" else p.wait(timeout=60)
        return asked, code, {n: open(os.path.join(dest, n), "rb").read() for n in names}

    # Replace, Keep, then Keep all: three questions, one file replaced.
    asked, code, got = answer(["alt+r", "alt+k", "alt+l"])
    check(len(asked) == 3 and None not in asked, "three questions, each naming its file: %s" % asked)
    check(code == 1, "files kept: status %s" % code)
    if len(asked) == 3 and None not in asked:
        check(got[asked[0]].startswith(b"from the archive"), "Replace replaced %s" % asked[0])
        check(all(got[n] == b"mine" for n in names if n != asked[0]), "Keep and Keep all kept the rest: %s" % got)

    # Keep, then Replace all: one file kept, every later one replaced without a question.
    asked, code, got = answer(["alt+k", "alt+a"])
    check(len(asked) == 2 and None not in asked and desk.window("Replace file?", timeout=2) is None,
          "Replace all asks no more: %s" % asked)
    check(code == 1, "one file kept: status %s" % code)
    if asked and asked[0]:
        check(got[asked[0]] == b"mine", "Keep kept %s" % asked[0])
        check(all(got[n].startswith(b"from the archive") for n in names if n != asked[0]), "Replace all: %s" % got)

    # Stop: the window ends with a stop's status, every file as it was.
    asked, code, got = answer(["alt+s"])
    check(len(asked) == 1 and code == 1, "Stop ends the program with status 1: %s %s" % (asked, code))
    check(all(data == b"mine" for data in got.values()), "Stop changed nothing: %s" % got)


def stop_while_writing(desk, top):
    """Stop while a large file is written: nothing half-written stays, the folder the run made
    goes, the window says so and the program ends with a stop's status."""
    exe = os.path.join(top, "big.exe")
    winerun.long_to_write(os.path.join(top, "big-source"), exe, size=1 << 30)
    dest = os.path.join(top, "big")
    p, main = unzip(desk, exe)
    writing = winerun.wait_for_writing(dest, lambda: p.poll() is not None)
    # Into the window that still has the focus from Enter: the Close button reads Stop meanwhile.
    subprocess.run(["xdotool", "key", "Escape"], env=ENV, capture_output=True, timeout=30)
    said = []
    for _ in range(100):
        said = [line for line in desk.texts(os.path.basename(exe)) if line.startswith("Stopped")]
        if said:
            break
        time.sleep(0.2)
    check(writing and said, "Stop while writing: the window says it stopped: %s %s" % (writing, said))
    check(not os.path.exists(dest), "Stop while writing: the folder the run made is gone")
    code = close(desk, p, main)
    check(code == 1, "Stop while writing: status %s" % code)


def password_from_environment(desk, top):
    """ORVELZIP_PASSWORD opens the archive without a question; a wrong one is named and unzips nothing."""
    src = os.path.join(top, "secret")
    os.makedirs(src)
    with open(os.path.join(src, "secret.txt"), "wb") as f:
        f.write(b"secret\n")
    exe = os.path.join(top, "locked.exe")
    cli("sfx", exe, src, "--quiet", "--password=s\u00e9same")
    dest = os.path.join(top, "locked")
    p, main = unzip(desk, exe, env={"ORVELZIP_PASSWORD": "wrong"})
    box = desk.window("Self-extracting archive", timeout=30)
    said = desk.texts("Self-extracting archive") if box else []
    check(any("ORVELZIP_PASSWORD is wrong" in line for line in said), "a wrong password is named: %s" % said)
    if box:
        desk.type(box, "Return")
        desk.wait_closed(box)
    code = close(desk, p, main)
    check(code == 2 and not os.path.exists(dest), "a wrong password unzips nothing: status %s" % code)

    p, main = unzip(desk, exe, env={"ORVELZIP_PASSWORD": "s\u00e9same"})
    for _ in range(150):
        if os.path.exists(os.path.join(dest, "secret.txt")) or desk.window("Password", timeout=0.1):
            break
        time.sleep(0.2)
    check(desk.window("Password", timeout=1) is None, "the password is not asked")
    time.sleep(1)
    code = close(desk, p, main)
    check(code == 0 and tree(dest) == {"secret.txt": b"secret\n"}, "ORVELZIP_PASSWORD opens it: status %s" % code)


def main():
    subprocess.run(["wineboot", "-i"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    top = tempfile.mkdtemp(prefix="oz-window-")
    try:
        with Desktop() as desk:
            for part in (replace_question, stop_while_writing, password_from_environment):
                part(desk, top)
                print("%s done" % part.__name__, flush=True)
    finally:
        subprocess.run(["wineserver", "-k"], env=ENV)
        subprocess.run(["rm", "-rf", top])
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("all window checks passed")


main()
