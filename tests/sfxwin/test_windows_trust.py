#!/usr/bin/env python3
"""What Windows uses to trust a program, read back from executables the tool builds: the version
resource (wrestool), the header (objdump), the icon kept once, and Authenticode signatures made
with certificates of the test's own (openssl), verified by osslsigncode while unzip, 7zz, bsdtar
and Python's zipfile still list the archive inside. Signatures that cannot be made leave no file.

    test_windows_trust.py CLI

Exits 77 (skipped) when a tool is missing; in CI (CI set) it fails instead.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe import pe_checksum  # noqa: E402

CLI = sys.argv[1]
TOOLS = ("wrestool", "x86_64-w64-mingw32-objdump", "osslsigncode", "openssl", "unzip", "7zz", "bsdtar")
for tool in TOOLS:
    if not shutil.which(tool):
        print("SKIPPED: %s is not installed (scripts/install-deps.sh installs it)" % tool)
        sys.exit(1 if os.environ.get("CI") else 77)

failures = []
OZ_ICO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "icons", "oz.ico")


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def run(*args, env=None):
    p = subprocess.run(list(args), capture_output=True, env=dict(os.environ, **(env or {})))
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def sfx(exe, *args, env=None):
    return run(CLI, "sfx", exe, *args, "--quiet", env=env)


def version_resource(exe):
    """The strings and the fixed file version of the executable's version resource."""
    data = subprocess.run(["wrestool", "-x", "--raw", "--type=16", exe], capture_output=True).stdout
    found = {}

    def text_at(at):
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[at:end].decode("utf-16-le"), end + 2

    def walk(at, depth):
        # Every node: its length, its value's length, whether that is text, its key, its value,
        # then its children, each on a 32-bit boundary.
        length, value_length, is_text = struct.unpack_from("<HHH", data, at)
        key, after = text_at(at + 6)
        after = (after + 3) & ~3
        value_size = value_length * 2 if is_text else value_length
        if depth == 0:
            ms, ls = struct.unpack_from("<II", data, after + 8)
            found["#fixed"] = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if depth == 3:  # VS_VERSION_INFO, StringFileInfo, the table, then its strings
            found[key] = data[after:after + value_size].decode("utf-16-le").rstrip("\0")
            return
        child = (after + value_size + 3) & ~3
        while child < at + length:
            walk(child, depth + 1)
            child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3

    if len(data) >= 6:
        walk(0, 0)
    return found


def readers(exe, names):
    """The archive inside as four other readers list it: each must see every name."""
    listed = {
        "unzip": run("unzip", "-t", exe),
        "7zz": run("7zz", "l", "-ba", "-slt", exe),
        "bsdtar": run("bsdtar", "-tf", exe),
    }
    for reader, (code, out, err) in listed.items():
        check(code == 0 and all(n in out for n in names), "%s lists the archive of %s: %s %s" % (reader, exe, code, err))
    try:
        with zipfile.ZipFile(exe) as z:
            files = sorted(n for n in z.namelist() if not n.endswith("/"))
            check(files == sorted(names) and z.testzip() is None, "Python reads %s: %s" % (exe, files))
    except zipfile.BadZipFile as e:
        check(False, "Python reads %s: %s" % (exe, e))
    code, out, err = run(CLI, "list", exe)
    check(code == 0 and all(n in out for n in names), "orvelzip-cli lists %s: %s" % (exe, err))


def pe_fields(exe):
    data = open(exe, "rb").read()
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True).stdout
    fields = dict(p for p in (line.split(None, 1) for line in dump.splitlines() if "\t" in line) if len(p) == 2)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return fields, dump, pe_checksum(data, pe + 24 + 64)


def version_info(top, src):
    exe = os.path.join(top, "Holiday photos.exe")
    code, _, err = sfx(exe, src)
    check(code == 0, "default build: %s" % err)
    v = version_resource(exe)
    check(v.get("ProductName") == "Holiday photos" and v.get("OriginalFilename") == "Holiday photos.exe",
          "by default the product is the executable's name: %s" % v)
    code, out, _ = run(CLI, "--version")
    own = out.split()[-1]
    check(v.get("FileVersion") == own and v.get("#fixed", "").startswith(own), "by default the tool's version: %s" % v)
    check("CompanyName" not in v and "LegalCopyright" not in v, "no maker given, none claimed: %s" % v)

    exe = os.path.join(top, "setup.exe")
    code, _, err = sfx(exe, src, "--product", "Café Suite", "--version", "2.5.10", "--company", "Ann Example Ltd")
    check(code == 0, "build with version values: %s" % err)
    v = version_resource(exe)
    check(v.get("ProductName") == "Café Suite" and v.get("FileDescription", "").startswith("Café Suite"),
          "the product name as given, accents and all: %s" % v)
    check(v.get("FileVersion") == "2.5.10" and v.get("ProductVersion") == "2.5.10" and v.get("#fixed") == "2.5.10.0",
          "the version as given and as four numbers: %s" % v)
    check(v.get("CompanyName") == "Ann Example Ltd" and "Ann Example Ltd" in v.get("LegalCopyright", ""),
          "the company and its copyright: %s" % v)
    dump = pe_fields(exe)[1]
    check("Version" in dump or ".rsrc" in dump, "objdump reads the resources of the dressed program")

    for bad in ("1.2.3.4.5", "65536", "1..2", "v2", "1.-2"):
        target = os.path.join(top, "bad-version.exe")
        code, _, err = sfx(target, src, "--version", bad)
        check(code == 2 and "version" in err and not os.path.exists(target), "--version %s refused: %s" % (bad, err))
    # A Linux program has no such resource: the values change nothing there, and the help says so.
    code, _, err = sfx(os.path.join(top, "same.run"), src, "--product", "X", "--version", "1.2")
    check(code == 0, "a .run takes the values and ignores them: %s" % err)
    code, out, _ = run(CLI, "sfx", "--help")
    check(code == 0 and "Linux .run has no such resource" in out, "the help says what a .run does with them")


def certificates(top):
    """A valid certificate and key, one with a password, an expired one, and one of many certificates."""
    def ossl(*args):
        code, _, err = run("openssl", *args)
        check(code == 0, "openssl %s: %s" % (" ".join(args[:2]), err))
    c = {name: os.path.join(top, name) for name in ("key.pem", "cert.pem", "other.pem", "pkey.pem", "pcert.pem",
                                                     "expired.pem", "chain.pem", "ca.cnf", "csr.pem")}
    ossl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", c["key.pem"], "-out", c["cert.pem"],
         "-days", "30", "-subj", "/CN=Orvel Test Signer")
    ossl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", c["other.pem"], "-out", os.devnull,
         "-days", "30", "-subj", "/CN=Someone Else")
    ossl("req", "-x509", "-newkey", "rsa:2048", "-keyout", c["pkey.pem"], "-out", c["pcert.pem"], "-days", "30",
         "-subj", "/CN=Guarded", "-passout", "pass:s3cret")
    # openssl req cannot date a certificate in the past; its small CA can.
    with open(c["ca.cnf"], "w") as f:
        f.write("[ca]\ndefault_ca=c\n[c]\ndatabase=%s/index.txt\nnew_certs_dir=%s\nserial=%s/serial\n"
                "default_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n" % (top, top, top))
    open(os.path.join(top, "index.txt"), "w").close()
    with open(os.path.join(top, "serial"), "w") as f:
        f.write("01\n")
    ossl("req", "-new", "-key", c["key.pem"], "-subj", "/CN=Expired Signer", "-out", c["csr.pem"])
    ossl("ca", "-batch", "-config", c["ca.cnf"], "-selfsign", "-keyfile", c["key.pem"], "-in", c["csr.pem"],
         "-startdate", "20200101000000Z", "-enddate", "20200201000000Z", "-out", c["expired.pem"])
    # So many certificates that the signature outgrows what zip readers look back over.
    with open(c["chain.pem"], "w") as chain:
        chain.write(open(c["cert.pem"]).read())
        for i in range(50):
            one = os.path.join(top, "extra.pem")
            ossl("req", "-x509", "-key", c["key.pem"], "-out", one, "-days", "30", "-subj",
                 "/CN=Extra certificate %d with a long name that takes room/O=An organisation with a long name/OU=%d"
                 % (i, i))
            chain.write(open(one).read())
    return c


def signing(top, src, names):
    c = certificates(top)
    exe = os.path.join(top, "signed.exe")
    code, _, err = sfx(exe, src, "--sign", c["cert.pem"], "--sign-key", c["key.pem"], "--product", "Signed Thing")
    check(code == 0, "signed build: %s" % err)
    code, out, err = run("osslsigncode", "verify", "-in", exe, "-CAfile", c["cert.pem"])
    check(code == 0 and "Signature verification: ok" in out, "osslsigncode verifies the signature: %s %s" % (out, err))
    readers(exe, names)
    fields, dump, checksum = pe_fields(exe)
    check(int(fields.get("CheckSum", "0"), 16) == checksum, "the checksum covers the signed file")
    for flag in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT"):
        check(flag in dump, "signed: DllCharacteristics has %s" % flag)
    check(version_resource(exe).get("ProductName") == "Signed Thing", "the signed program keeps its version resource")

    code, _, err = sfx(os.path.join(top, "guarded.exe"), src, "--sign", c["pcert.pem"], "--sign-key", c["pkey.pem"],
                       "--sign-pass", "s3cret")
    check(code == 0, "a key with its password signs: %s" % err)
    code, _, err = sfx(os.path.join(top, "guarded2.exe"), src, "--sign", c["pcert.pem"], "--sign-key", c["pkey.pem"],
                       env={"ORVELZIP_SIGN_PASSWORD": "s3cret"})
    check(code == 0, "the key's password from the environment: %s" % err)

    # Failures leave no executable, and a file of that name from before stays as it was.
    with open(os.path.join(top, "kept.exe"), "wb") as f:
        f.write(b"earlier build")
    path_without_signer = os.pathsep.join(p for p in os.environ["PATH"].split(os.pathsep)
                                          if not os.path.exists(os.path.join(p, "osslsigncode")))
    cases = [
        ("wrong-key.exe", ["--sign", c["cert.pem"], "--sign-key", c["other.pem"]], None, "private key"),
        ("wrong-pass.exe", ["--sign", c["pcert.pem"], "--sign-key", c["pkey.pem"], "--sign-pass", "nope"], None,
         "password"),
        ("no-pass.exe", ["--sign", c["pcert.pem"], "--sign-key", c["pkey.pem"]], None, "private key"),
        ("expired.exe", ["--sign", c["expired.pem"], "--sign-key", c["key.pem"]], None, "expired on 2020-02-01"),
        ("no-tool.exe", ["--sign", c["cert.pem"], "--sign-key", c["key.pem"]], {"PATH": path_without_signer},
         "osslsigncode"),
        ("no-server.exe", ["--sign", c["cert.pem"], "--sign-key", c["key.pem"], "--timestamp", "http://127.0.0.1:9/"],
         None, "127.0.0.1:9"),
        ("kept.exe", ["--sign", c["cert.pem"], "--sign-key", c["other.pem"]], None, "private key"),
        ("too-long.exe", ["--sign", c["chain.pem"], "--sign-key", c["key.pem"]], None, "no longer find"),
        ("linux.run", ["--sign", c["cert.pem"], "--sign-key", c["key.pem"]], None, "Only a Windows program"),
        ("ftp.exe", ["--sign", c["cert.pem"], "--sign-key", c["key.pem"], "--timestamp", "ftp://x.example/"], None,
         "no web address"),
        ("no-key.exe", ["--sign", c["cert.pem"]], None, "needs its key"),
    ]
    for name, args, env, reason in cases:
        target = os.path.join(top, name)
        code, _, err = sfx(target, src, *args, env=env)
        check(code == 2 and reason in err, "%s: refused with its reason (%s): %s %s" % (name, reason, code, err))
        if name == "kept.exe":
            check(open(target, "rb").read() == b"earlier build", "a failed signature leaves the earlier file")
        else:
            check(not os.path.exists(target), "%s: no executable is left" % name)
        check(not [n for n in os.listdir(top) if n.startswith(".oz-")], "%s: no temporary is left" % name)


def icons(top, src):
    empty = os.path.join(top, "empty.ico")
    open(empty, "wb").close()
    code, _, err = sfx(os.path.join(top, "empty-icon.exe"), src, "--icon", empty)
    check(code == 2 and "it is empty" in err and not os.path.exists(os.path.join(top, "empty-icon.exe")),
          "a 0-byte icon is refused: %s" % err)
    code, _, err = sfx(os.path.join(top, "empty-icon.run"), src, "--icon", empty)
    check(code == 2 and "it is empty" in err, "a 0-byte icon is refused for Linux too: %s" % err)
    ico = open(OZ_ICO, "rb").read()
    for name, data in (("cut.ico", ico[:100]), ("huge-count.ico", b"\0\0\1\0\xff\xff" + ico[6:]),
                       ("not-an-icon.ico", b"GIF89a" + bytes(64))):
        path = os.path.join(top, name)
        with open(path, "wb") as f:
            f.write(data)
        code, _, err = sfx(os.path.join(top, "bad.exe"), src, "--icon", path)
        check(code == 2 and "cannot be used" in err and not os.path.exists(os.path.join(top, "bad.exe")),
              "%s is refused with its reason: %s %s" % (name, code, err))

    # The default icon: 16, 32, 48 and 256 pixels in full colour, the 256 one as PNG.
    count = struct.unpack_from("<H", ico, 4)[0]
    sizes = {}
    for i in range(count):
        w, h, _, _, _, bits, size, at = struct.unpack_from("<BBBBHHII", ico, 6 + 16 * i)
        sizes[w or 256] = (bits, ico[at:at + 8] == b"\x89PNG\r\n\x1a\n")
    check(sizes == {16: (32, False), 32: (32, False), 48: (32, False), 256: (32, True)},
          "the default icon's pictures: %s" % sizes)
    # Kept once, in the Windows program's resources; the Linux program keeps it in its settings.
    exe = os.path.join(top, "default-icon.exe")
    code, _, err = sfx(exe, src, "--icon", OZ_ICO)
    data = open(exe, "rb").read()
    for i in range(count):
        _, _, _, _, _, _, size, at = struct.unpack_from("<BBBBHHII", ico, 6 + 16 * i)
        check(data.count(ico[at:at + size]) == 1, "picture %d of the icon is kept once in the .exe" % (i + 1))
    run_file = os.path.join(top, "default-icon.run")
    sfx(run_file, src, "--icon", OZ_ICO)
    check(open(run_file, "rb").read().count(ico) == 1, "the .run keeps the icon once, in its settings")


def main():
    top = tempfile.mkdtemp(prefix="oz-trust-")
    try:
        src = os.path.join(top, "src")
        os.makedirs(os.path.join(src, "sub"))
        names = ["a.txt", "sub/b.bin"]
        with open(os.path.join(src, "a.txt"), "w") as f:
            f.write("hello\n")
        with open(os.path.join(src, "sub", "b.bin"), "wb") as f:
            f.write(os.urandom(200000))
        version_info(top, src)
        icons(top, src)
        signing(top, src, names)
    finally:
        shutil.rmtree(top)
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("all checks of what Windows trusts passed")


main()
