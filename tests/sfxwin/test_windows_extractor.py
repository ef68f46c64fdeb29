#!/usr/bin/env python3
"""The Windows extractor as its receivers meet it, run under Wine: executables built by the tool,
extracted unattended and compared with their source tree, encrypted ones with right and wrong
passwords, model 2 with auto-temp (parameters for programs and scripts, a bootstrapper whose
program outlives it, a broadcast to every window while it runs), the icon and the image headers
read back from the executable, and every hostile archive of the corpus.

    test_windows_extractor.py CLI EXTRACTOR.exe PROBE.exe

Exits 77 (skipped) with a message when Wine, wrestool or Xvfb is missing; in CI (CI set) it fails instead.
"""
import os
import pty
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hostile"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import corpus  # noqa: E402
from ico import ico_bytes, png_bytes  # noqa: E402
from pe import pe_checksum  # noqa: E402
from winerun import ENV, check, cli, failures, restart_wine_server, tree, virtual_display, win, wine  # noqa: E402
import winerun  # noqa: E402

sys.setrecursionlimit(20000)  # the deep-folders case
CLI, EXTRACTOR, PROBE = sys.argv[1:4]
winerun.require("wine", "wrestool", "winepath", "Xvfb", "x86_64-w64-mingw32-objdump", "osslsigncode", "openssl")
winerun.configure(CLI)


def temporary_folders():
    code, temp, _ = wine("cmd", "/c", "echo %TEMP%")
    with tempfile.TemporaryFile() as out:
        subprocess.run(["winepath", "-u", temp.strip()], stdout=out, stderr=subprocess.DEVNULL, env=ENV)
        out.seek(0)
        folder = out.read().decode().strip()
    return folder, sorted(n for n in os.listdir(folder) if n.startswith("orvelzip-")) if os.path.isdir(folder) else []


def source_tree(top):
    src = os.path.join(top, "src")
    files = {
        "a.txt": b"hello\n",
        "Caf\u00e9 cr\u00e8me.txt": "caf\u00e9\n".encode(),
        "\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb.txt": b"nihongo\n",
        "\U0001f389 party.txt": b"emoji\n",
        "deep/er/still/big.bin": os.urandom(3 << 20),
        "deep/empty.txt": b"",
    }
    for rel, data in files.items():
        path = os.path.join(src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(src, "empty folder"))
    return src


def plain_and_encrypted(top, src):
    exe = os.path.join(top, "plain.exe")
    cli("sfx", exe, src, "--quiet")
    check(zipfile.ZipFile(exe).testzip() is None, "other tools read the Windows executable as a zip")
    code, out, err = wine(exe, "--dest", win(os.path.join(top, "plain")), "--quiet")
    check(code == 0, "plain extraction: status %s %s" % (code, err))
    check(tree(os.path.join(top, "plain")) == tree(src), "plain extraction equals the source tree")
    # Again, without --overwrite: every file is kept and says so; with it, replaced.
    with open(os.path.join(top, "plain", "a.txt"), "wb") as f:
        f.write(b"changed")
    code, out, err = wine(exe, "--dest", win(os.path.join(top, "plain")))
    check(code == 1 and "a.txt: it exists already" in err, "existing files are kept: %s %s" % (code, err))
    check(open(os.path.join(top, "plain", "a.txt"), "rb").read() == b"changed", "a kept file stays")
    code, out, err = wine(exe, "--dest", win(os.path.join(top, "plain")), "--overwrite", "--quiet")
    check(code == 0 and tree(os.path.join(top, "plain")) == tree(src), "--overwrite replaces: %s" % err)
    # The switches Windows installers take: /S quiet, /D=DIR the destination.
    code, out, err = wine(exe, "/S", "/D=" + win(os.path.join(top, "switches")))
    check(code == 0 and not out and not err and tree(os.path.join(top, "switches")) == tree(src),
          "/S and /D=DIR: %s %s %s" % (code, out, err))

    locked = os.path.join(top, "locked.EXE")
    cli("sfx", locked, src, "--quiet", "--password=s\u00e9same 123")
    dest = os.path.join(top, "locked")
    code, out, err = wine(locked, "--dest", win(dest))
    check(code == 2 and "encrypted" in err and not os.path.exists(dest), "no password: %s %s" % (code, err))
    code, out, err = wine(locked, "--dest", win(dest), "--password", "wrong")
    check(code == 2 and "wrong password" in err and not os.path.exists(dest), "wrong password: %s %s" % (code, err))
    code, out, err = wine(locked, "--list")
    # The columns and words of the Linux program's --list.
    check(code == 0 and "%12d  a.txt  (encrypted)\n" % 6 in out.replace("\r\n", "\n"), "--list: %s" % out)
    code, out, err = wine(locked, "--info")
    check(code == 0 and "icon: " in out and " bytes)\nrun: (none)" in out.replace("\r\n", "\n"), "--info: %s" % out)
    # The help names the program by its own file name, with the switches of Windows installers
    # and how cmd waits for a window program.
    code, out, err = wine(locked, "--help")
    check(code == 0 and "Usage: locked.EXE" in out and "/S, /D=DIR" in out and "start /wait locked.EXE" in out,
          "--help: %s" % out)
    code, out, err = wine(locked, "--test", "--password", "s\u00e9same 123")
    check(code == 0 and "intact" in out, "--test: %s %s" % (out, err))
    code, out, err = wine(locked, "--dest", win(dest), "--quiet", env={"ORVELZIP_PASSWORD": "s\u00e9same 123"})
    check(code == 0 and tree(dest) == tree(src), "AES extraction equals the source tree: %s" % err)


def model_two(top, src):
    shutil.copy(PROBE, os.path.join(src, "deep", "probe.exe"))
    record = os.path.join(top, "probe.txt")
    env = {"OZ_PROBE_OUT": win(record)}
    exe = os.path.join(top, "setup.exe")
    cli("sfx", exe, src, "--quiet", "--run", "probe.exe", "--param", '7 "two words" c:\\x', "--auto-temp")
    temp, before = temporary_folders()
    code, out, err = wine(exe, "--quiet", env=env)
    check(code == 7, "auto-temp returns the program's status: %s %s" % (code, err))
    lines = open(record, encoding="utf-8-sig").read().splitlines()
    check(lines[1:] == ["[7]", "[two words]", "[c:\\x]"], "parameters split the Windows way: %s" % lines)
    check(lines[0].startswith("cwd=") and "orvelzip-" in lines[0], "runs in the extraction folder: %s" % lines)
    check(temporary_folders()[1] == before, "the temporary folder is removed after the program")

    # The program missing from the archive: refused, and the folder goes all the same.
    missing = os.path.join(top, "missing.exe")
    cli("sfx", missing, os.path.join(src, "a.txt"), "--quiet", "--run", "absent.exe", "--auto-temp")
    code, out, err = wine(missing, "--quiet", env=env)
    check(code == 2 and "absent.exe" in err, "a missing program is reported: %s %s" % (code, err))
    check(temporary_folders()[1] == before, "the temporary folder is removed when the program is missing")

    # --dest with auto-temp is honoured: that folder is the receiver's and stays.
    dest = os.path.join(top, "kept")
    code, out, err = wine(exe, "--dest", win(dest), "--quiet", env=env)
    check(code == 7 and os.path.isfile(os.path.join(dest, "deep", "probe.exe")), "--dest wins over auto-temp")
    os.remove(os.path.join(src, "deep", "probe.exe"))


# One parameter text, and the arguments a program and a script must both receive from it.
PARAMETERS = '5 https://x.example/?a=1&b=2 back\\slash C:\\dir\\ "q\\"in" "two words" a,b;c=d ""'
ARGUMENTS = ["[5]", "[https://x.example/?a=1&b=2]", "[back\\slash]", "[C:\\dir\\]", '[q"in]', "[two words]",
             "[a,b;c=d]", "[]"]


def program_folder(top, name, script=None):
    app = os.path.join(top, name)
    os.makedirs(app)
    shutil.copy(PROBE, os.path.join(app, "probe.exe"))
    with open(os.path.join(app, "a.txt"), "wb") as f:
        f.write(b"needed by the program\n")
    if script:
        with open(os.path.join(app, "setup.bat"), "wb") as f:
            f.write(script)
    return app


def parameters(top):
    """The same text reaches an .exe and a .bat as the same arguments: '&' does not cut it."""
    app = program_folder(top, "params", b'@"%~dp0probe.exe" %*\r\n@exit /b %errorlevel%\r\n')
    record = os.path.join(top, "params.txt")
    for run in ("probe.exe", "setup.bat"):
        exe = os.path.join(top, "params-%s.exe" % run[:-4])
        cli("sfx", exe, app, "--quiet", "--run", run, "--param", PARAMETERS, "--auto-temp")
        if os.path.exists(record):
            os.remove(record)
        code, out, err = wine(exe, "--quiet", env={"OZ_PROBE_OUT": win(record)})
        lines = open(record, encoding="utf-8-sig").read().splitlines() if os.path.exists(record) else []
        check(code == 5, "%s: the program's status comes back: %s %s" % (run, code, err))
        check(lines[1:] == ARGUMENTS, "%s gets its arguments as typed: %s" % (run, lines))


def bootstrapper(top):
    """A script that starts the real program and exits at once: its files stay until it ends."""
    app = program_folder(top, "boot", b'@start "" "%~dp0probe.exe" 4\r\n@exit /b 0\r\n')
    exe = os.path.join(top, "boot.exe")
    cli("sfx", exe, app, "--quiet", "--run", "setup.bat", "--auto-temp")
    record = os.path.join(top, "boot.txt")
    temp, before = temporary_folders()
    code, out, err = wine(exe, "--quiet", env={"OZ_PROBE_OUT": win(record), "OZ_PROBE_SLEEP": "3000"})
    lines = open(record, encoding="utf-8-sig").read().splitlines() if os.path.exists(record) else []
    check(code == 0, "the bootstrapper's status: %s %s" % (code, err))
    check("sibling=yes" in lines, "the program the script started still finds its files: %s" % lines)
    check(temporary_folders()[1] == before, "the folder goes once the started program has ended")


def broadcast(top):
    """The window keeps answering while the program runs: a broadcast to every window returns."""
    app = program_folder(top, "broadcast")
    exe = os.path.join(top, "broadcast.exe")
    cli("sfx", exe, app, "--quiet", "--run", "probe.exe", "--param", "0", "--auto-temp")
    record = os.path.join(top, "broadcast.txt")
    server, display = virtual_display()
    # Wine's desktop belongs to the running wine server: one started without a display gives the
    # window nowhere to open, so this run gets a server of its own, and the runs after it one
    # without the display that is about to go.
    restart_wine_server()
    try:
        code, out, err = wine(exe, env={"OZ_PROBE_OUT": win(record), "OZ_PROBE_BROADCAST": "1", "DISPLAY": display})
    finally:
        restart_wine_server()
        server.terminate()
        server.wait()
    lines = open(record, encoding="utf-8-sig").read().splitlines() if os.path.exists(record) else []
    took = [int(line[10:]) for line in lines if line.startswith("broadcast=")]
    check(code == 0 and took, "the window runs the program: %s %s %s" % (code, err, lines))
    # A window that handled no messages would hold the broadcast for its whole 10 s.
    check(took and took[0] < 5000, "the broadcast is answered while the program runs: %s ms" % took)


def image_headers(top):
    """Relocations kept (a random address), checksum and data size right after the icon changed."""
    for name in ("plain.exe", "icon.exe", "params-setup.exe"):
        exe = os.path.join(top, name)
        data = open(exe, "rb").read()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        sections = [struct.unpack_from("<8sIIIIIIHHI", data, pe + 24 + optional_size + 40 * i) for i in range(count)]
        initialized = sum(s[3] for s in sections if s[9] & 0x40)
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True).stdout
        fields = dict(p for p in (line.split(None, 1) for line in dump.splitlines() if "\t" in line) if len(p) == 2)
        check(int(fields.get("CheckSum", "0"), 16) == pe_checksum(data, pe + 24 + 64),
              "%s: the header checksum covers the file: %s" % (name, fields.get("CheckSum")))
        check(int(fields.get("SizeOfInitializedData", "0"), 16) == initialized,
              "%s: SizeOfInitializedData is the sections' sum" % name)
        for flag in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT"):
            check(flag in dump, "%s: DllCharacteristics has %s" % (name, flag))
        check(b".reloc" in b"".join(s[0] for s in sections) and "Base Relocation" in dump,
              "%s: the relocations are kept" % name)
        check(zipfile.ZipFile(exe).testzip() is None, "%s: still a zip for other tools" % name)


def signed(top, src):
    """A signed executable still finds its own archive: the signature follows it, covered by its comment."""
    key, cert = os.path.join(top, "key.pem"), os.path.join(top, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=Orvel Test Signer"], capture_output=True)
    exe = os.path.join(top, "signed.exe")
    cli("sfx", exe, src, "--quiet", "--sign", cert, "--sign-key", key)
    verify = subprocess.run(["osslsigncode", "verify", "-in", exe, "-CAfile", cert], capture_output=True, text=True)
    check(verify.returncode == 0, "the signature verifies: %s" % verify.stdout[-400:])
    code, out, err = wine(exe, "--dest", win(os.path.join(top, "signed")), "--quiet")
    check(code == 0 and tree(os.path.join(top, "signed")) == tree(src), "the signed program extracts: %s %s" % (code, err))


def icon_file(path):
    """An .ico with a 16 x 16 bitmap and a 256 x 256 PNG picture."""
    bitmap = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0) + b"\xff\0\0\xff" * 256 + b"\0" * 64
    pictures = [(16, bitmap), (256, png_bytes(256, 256, [b"\x20\x80\xff\xff" * 256] * 256))]
    with open(path, "wb") as f:
        f.write(ico_bytes(pictures))
    return pictures


def icons(top, src):
    ico = os.path.join(top, "chosen.ico")
    pictures = icon_file(ico)
    exe = os.path.join(top, "icon.exe")
    cli("sfx", exe, os.path.join(src, "a.txt"), "--quiet", "--icon", ico)
    for number, (size, data) in enumerate(pictures, 1):
        raw = subprocess.run(["wrestool", "-x", "--raw", "--type=3", "--name=%d" % number, exe],
                             capture_output=True).stdout
        check(raw == data, "picture %d of the icon is in the executable's resources" % number)
    group = subprocess.run(["wrestool", "-x", "--type=14", "--name=1", exe], capture_output=True).stdout
    check(group.startswith(open(ico, "rb").read()), "the executable's icon is the chosen .ico")
    code, out, err = wine(exe, "--dest", win(os.path.join(top, "icon")), "--quiet")
    check(code == 0, "the executable with its new icon still runs: %s %s" % (code, err))
    default = os.path.join(top, "default.exe")
    cli("sfx", default, os.path.join(src, "a.txt"), "--quiet")
    group = subprocess.run(["wrestool", "-x", "--type=14", "--name=1", default], capture_output=True).stdout
    oz = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "icons", "oz.ico")
    check(group.startswith(open(oz, "rb").read()), "without a chosen icon the executable shows oz.ico")


def windows_names(top):
    """Names Linux holds and Windows does not: each becomes a name Windows can hold."""
    src = os.path.join(top, "odd")
    os.makedirs(src)
    for name in ("a:b.txt", "CON.txt", "trailing.", "what?.txt"):
        with open(os.path.join(src, name), "w") as f:
            f.write(name)
    exe = os.path.join(top, "odd.exe")
    cli("sfx", exe, src, "--quiet")
    dest = os.path.join(top, "odd-out")
    code, out, err = wine(exe, "--dest", win(dest), "--quiet")
    check(code == 0, "odd names: %s %s" % (code, err))
    check(sorted(os.listdir(dest)) == ["_CON.txt", "a_b.txt", "trailing_", "what_.txt"],
          "odd names mapped: %s" % (sorted(os.listdir(dest)) if os.path.isdir(dest) else None))


def windows_collisions(top):
    """Names that differ only in letter case, or that cleaning makes one: every entry lands under a
    name of its own, and each changed name is reported, at build time, in --list and on extraction."""
    src = os.path.join(top, "collide")
    names = ["A.txt", "a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "a:b.txt", "a_b.txt", "trailing.",
             "trailing ", "CON", "what?.txt", "Dir/x.txt", "dir/x.txt", "DIR/y.txt"]
    names += ["many/F%02d.txt" % i for i in range(11)] + ["many/f%02d.txt" % i for i in range(11)]
    for name in names:
        path = os.path.join(src, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("content of " + name)
    exe = os.path.join(top, "collide.exe")
    p = subprocess.run([CLI, "sfx", exe, src], capture_output=True)
    warned = p.stderr.decode().count("warning: on Windows")
    check(p.returncode == 0 and warned >= 8, "the build warns of changed names: %s" % p.stderr.decode())
    code, listed, err = wine(exe, "--list")
    check(code == 0 and listed.count(" -> ") == warned, "--list shows each changed name: %s" % listed)
    dest = os.path.join(top, "collide-out")
    code, out, err = wine(exe, "--dest", win(dest))
    check(code == 0, "colliding names extract: %s %s" % (code, err))
    got = {}
    for rel, data in tree(dest).items():
        if data is not None:
            got[data.decode()] = rel
    lost = [n for n in names if "content of " + n not in got]
    check(not lost and len(got) == len(names), "no entry is lost: %s missing, %d files" % (lost, len(got)))
    reported = [line for line in err.splitlines() if " was unzipped as " in line]
    check(len(reported) == warned, "each changed name is reported once: %s" % err)
    for line in reported:
        name, place = line.split(" was unzipped as ")
        place = place.replace("\\", "/")
        if name.endswith("/"):  # folders of one name are shared: the report says which
            check(os.path.isdir(os.path.join(dest, place)), "folder %s is where the report says: %s" % (name, place))
        else:
            check(got.get("content of " + name) == place, "%s is where the report says: %s" % (name, place))
    check(got.get("content of CON") == "_CON" and got.get("content of what?.txt") == "what_.txt",
          "cleaned names: %s" % sorted(got.values()))


def hostile(top):
    """The corpus: the Windows program carries zlib alone, so the other methods are refused."""
    stub = open(EXTRACTOR, "rb").read() + corpus.settings_block()
    for name in sorted(corpus.cases("/nowhere")):
        if name == "entries-70000":
            continue  # the same rules as zip64-fields, at a length Wine makes slow
        scene = tempfile.mkdtemp(dir=top)
        dest, outside = os.path.join(scene, "dest"), os.path.join(scene, "outside")
        os.makedirs(dest)
        os.makedirs(outside)
        with open(os.path.join(dest, "keep.txt"), "wb") as f:
            f.write(b"precious")
        expect, make = corpus.cases(outside)[name]
        if name.startswith("method-") and name not in ("method-stored", "method-deflate"):
            expect = "refuse"
        exe = os.path.join(scene, name + ".exe")
        with open(exe, "wb") as f:
            f.write(stub + make(len(stub)))
        # Wine finds a path that is not there yet by looking up each of its folders from the top,
        # so each of the 1,500 folders of deep-folders costs as many lookups as it is deep: 90 s
        # unloaded, many minutes on a busy machine (Windows walks each path once). The limit
        # guards against a hang only.
        limit = 900 if name == "deep-folders" else 120
        code, out, err = wine(exe, "--dest", win(dest), "--overwrite", "--quiet", timeout=limit)
        check(code in (0, 1, 2), "hostile %s: status %s" % (name, code))
        if expect == "refuse":
            check(code == 2 and err.strip(), "hostile %s: should be refused: %s %s" % (name, code, err))
        if expect == "ok":
            check(code == 0, "hostile %s: should succeed: %s %s" % (name, code, err))
        check(os.listdir(outside) == [], "hostile %s: wrote outside the destination" % name)
        check(open(os.path.join(dest, "keep.txt"), "rb").read() == b"precious", "hostile %s: damaged a file" % name)
        leftovers = [n for r, d, f in os.walk(dest) for n in f if n.startswith(".oz-")]
        check(not leftovers, "hostile %s: left temporary files %s" % (name, leftovers))
        print("%-32s %-6s %s" % (name, expect, code), flush=True)


def damaged_and_leftovers(top):
    """One damaged entry: the intact ones are extracted, the damaged one is named and left nowhere,
    a file that was there is not replaced, the status is 1. The temporaries of a process that
    is gone are removed from a folder extracted into; a killed run leaves none."""
    scene = os.path.join(top, "damaged")
    os.makedirs(scene)
    archive = os.path.join(scene, "damaged.zip")
    files = {"d/one.txt": b"one\n" * 100, "d/bad.bin": os.urandom(20000), "d/two.txt": b"two\n"}
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
        for name, data in files.items():
            z.writestr(name, data)
        bad = z.getinfo("d/bad.bin")
    with open(archive, "r+b") as f:
        f.seek(bad.header_offset + 30 + len(bad.filename) + 5000)
        f.write(b"\xff\x00\xff")
    exe = os.path.join(scene, "damaged.exe")
    with open(EXTRACTOR, "rb") as f:
        stub = f.read() + corpus.settings_block()
    with open(archive, "rb") as f:
        body = f.read()
    with open(exe, "wb") as f:
        f.write(stub + _rebased(body, len(stub)))
    dest = os.path.join(scene, "out")
    os.makedirs(os.path.join(dest, "d"))
    with open(os.path.join(dest, "d", "one.txt"), "wb") as f:
        f.write(b"old")
    gone = os.path.join(dest, "d", ".oz-4000000-7.tmp")  # no Windows process has that id
    with open(gone, "wb") as f:
        f.write(b"left by a killed run")
    code, out, err = wine(exe, "--dest", win(dest), "--overwrite", "--quiet")
    got = tree(dest)
    check(code == 1 and "d/bad.bin" in err, "damaged entry: status %s %s" % (code, err))
    check(got == {"d/": None, "d/one.txt": b"old", "d/two.txt": files["d/two.txt"]},
          "damaged entry: tree %s" % sorted(got))
    killed(scene)
    stopped(scene)
    print("damaged entry and leftovers handled", flush=True)


def killed(scene):
    """kill -9 while a large file is written: the system deletes its temporary with the process."""
    exe = os.path.join(scene, "big.exe")
    winerun.long_to_write(os.path.join(scene, "big"), exe)
    dest = os.path.join(scene, "killed")
    p = subprocess.Popen(["wine", exe, "--dest", win(dest), "--quiet"], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=ENV)
    seen = winerun.wait_for_writing(dest, lambda: p.poll() is not None)
    p.kill()
    p.wait()
    time.sleep(2)  # the server closes the killed process's handles
    left = winerun.temporaries(dest)
    check(seen and not left, "kill -9 during extraction: seen %s, left %s" % (seen, left))


def on_terminal(exe, *args):
    """Starts exe under Wine on a pseudo-terminal of its own, as from a terminal window: Wine gives
    it a console there, and Ctrl-C typed into it reaches the program as Windows sends it."""
    pid, fd = pty.fork()
    if pid == 0:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.execvpe("wine", ["wine", exe] + list(args), ENV)
    return pid, fd


def finish_on_terminal(pid, fd):
    """What the program printed and its status, once it ends."""
    out = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    os.close(fd)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), out.decode("utf-8", "replace")


def stopped(scene):
    """Ctrl-C on the console while a large file is written: the files already whole stay, nothing
    half-written does, a folder the run made and left empty goes, and the status is a stop's (1),
    not that of a program Windows ended."""
    src = os.path.join(scene, "stop")
    exe = os.path.join(scene, "stop.exe")
    winerun.long_to_write(src, exe, {"a small one.txt": b"whole\n"})
    check([i.filename for i in zipfile.ZipFile(exe).infolist()] == ["a small one.txt", "zeros.bin"],
          "the small file comes first")
    only_big = os.path.join(scene, "stop-big.exe")
    cli("sfx", only_big, os.path.join(src, "zeros.bin"), "--level", "1", "--quiet")
    for exe, dest, left in ((exe, os.path.join(scene, "stopped"), {"a small one.txt": b"whole\n"}),
                            (only_big, os.path.join(scene, "made", "for", "it"), None)):
        pid, fd = on_terminal(exe, "--dest", win(dest))
        # Until the large file is being written.
        writing = winerun.wait_for_writing(dest, lambda: False, "-%d.tmp" % (0 if left is None else 1))
        os.write(fd, b"\x03")
        code, said = finish_on_terminal(pid, fd)
        check(writing and code == 1 and "Stopped: " in said, "Ctrl-C: status %s, %s" % (code, said))
        if left is None:
            check(not os.path.exists(os.path.join(scene, "made")), "Ctrl-C: the empty folders the run made are gone")
        else:
            check(tree(dest) == left, "Ctrl-C: the whole file stays, nothing else: %s" % sorted(tree(dest)))


def _rebased(body, base):
    """The archive moved behind base bytes of program: its directory offsets shifted."""
    end = body.rfind(b"PK\x05\x06")
    count, size, offset = struct.unpack("<HII", body[end + 10:end + 20])
    out = bytearray(body)
    at = offset
    for _ in range(count):
        local = struct.unpack("<I", body[at + 42:at + 46])[0]
        out[at + 42:at + 46] = struct.pack("<I", local + base)
        at += 46 + sum(struct.unpack("<HHH", body[at + 28:at + 34]))
    out[end + 16:end + 20] = struct.pack("<I", offset + base)
    return bytes(out)


def main():
    subprocess.run(["wineboot", "-i"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.Popen(["wineserver", "-p"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # one server for every run: much quicker
    top = tempfile.mkdtemp(prefix="oz-wine-")
    try:
        src = source_tree(top)
        for part in (plain_and_encrypted, model_two, icons, signed):
            part(top, src)
        for part in (parameters, bootstrapper, broadcast, image_headers):
            part(top)
        windows_names(top)
        windows_collisions(top)
        damaged_and_leftovers(top)
        hostile(top)
    finally:
        subprocess.run(["wineserver", "-k"], env=ENV)
        subprocess.run(["rm", "-rf", top])  # much quicker than shutil on the deep cases
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("all Windows extractor checks passed")


main()
