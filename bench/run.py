#!/usr/bin/env python3
"""Orvel Zip against the zip tools installed here, side by side.

Corpora are made deterministically under the work folder: a copy of the
regular files of /usr/include, one large file (the include files repeated,
3 GiB unless --large-mib says otherwise), and 100,000 small generated files.
Each tool creates and extracts each corpus --runs times, the tools taking
turns; the table shows the median wall time, the peak resident memory, the
archive size and the ratio of the time to Info-ZIP's.

flat (one folder of 20,000 small files) and tree (100 folders of 200) time
extraction alone, by the tool, the self-extractor and unzip, each into a
folder that does not exist yet. memory is no time: the peak memory of the
tool and the self-extractor over the hostile archives under 1 MiB.
"""
import argparse, os, random, shutil, statistics, subprocess, sys, tempfile, time
from pathlib import Path

PASSWORD = "bench-Secret1"

def make_include(root: Path):
    if root.exists():
        return
    tmp = root.with_suffix(".part")
    shutil.rmtree(tmp, ignore_errors=True)
    for dirpath, dirnames, filenames in os.walk("/usr/include"):
        dirnames.sort()
        for name in sorted(filenames):
            src = Path(dirpath) / name
            if src.is_symlink() or not src.is_file():
                continue
            dst = tmp / "include" / src.relative_to("/usr/include")
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(src, dst)
    tmp.rename(root)

def make_large(root: Path, mib: int, include: Path):
    if root.exists():
        return
    tmp = root.with_suffix(".part")
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir(parents=True)
    files = sorted(p for p in include.rglob("*") if p.is_file())
    want = mib << 20
    with open(tmp / "large.bin", "wb") as out:
        while out.tell() < want:
            for p in files:
                data = p.read_bytes()
                out.write(data[: want - out.tell()])
                if out.tell() >= want:
                    break
    tmp.rename(root)

# The corpora of small generated text files: the top folder, how many folders below it (one: the
# files lie in the top folder itself), the files in each, the seed, and whether the files' numbers
# run on from folder to folder. A corpus made once is kept, so a layout never changes its files.
SMALL_LAYOUTS = {"many": ("many", 100, 1000, 7, True), "sfx": ("many", 20, 1000, 7, True),
                 "flat": ("files", 1, 20_000, 11, False), "tree": ("files", 100, 200, 11, False)}

def make_small_files(root: Path, layout: str):
    if root.exists():
        return
    top, folders, per_folder, seed, running = SMALL_LAYOUTS[layout]
    tmp = root.with_suffix(".part")
    shutil.rmtree(tmp, ignore_errors=True)
    rng = random.Random(seed)
    words = [("%x" % rng.getrandbits(24)) for _ in range(512)]
    for d in range(folders):
        folder = tmp / top / ("d%03d" % d) if folders > 1 else tmp / top
        folder.mkdir(parents=True)
        for i in range(per_folder):
            name = "f%06d.txt" % (d * per_folder + i) if running else "f%05d.txt" % i
            (folder / name).write_text(" ".join(rng.choice(words) for _ in range(rng.randint(4, 200))))
    tmp.rename(root)

def remove(path: Path):
    if path.exists():
        subprocess.run(["chmod", "-R", "u+rwx", str(path)], check=False)
        # rm rather than shutil, whose recursion stops at a thousand folders deep.
        subprocess.run(["rm", "-rf", str(path)], check=True)

def settle(extracted: Path, many: bool):
    """Removes the extracted trees and, when they held many files, waits until their inodes
    are no longer fresh.

    On ext4 without a journal (this VM's disk), a new inode skips every inode freed within the
    last dirty-expire interval, reading its table block each time: deleting thousands of files
    right before extracting thousands made every tool spend seconds in that scan, measuring the
    file system rather than the tools. So the trees of a block are kept until it ends, and the
    next block starts once their deletion is old.
    """
    if not extracted.exists():
        return
    remove(extracted)
    if many:
        os.sync()
        centis = int(Path("/proc/sys/vm/dirty_expire_centisecs").read_text())
        time.sleep(centis / 100 + 1)

def measured(cmd, cwd):
    """Wall time, CPU time (user and system), peak resident memory in MiB, error output and
    exit status of one command.

    The peak comes from GNU time: a child's own peak as the kernel keeps it starts from this
    script's size at the fork, which hid every tool smaller than the script.
    """
    with tempfile.NamedTemporaryFile("r") as peak:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", peak.name] + cmd, cwd=cwd,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        user, system, kib = peak.read().split()[-3:]
    return (wall, float(user) + float(system), int(kib) / 1024.0, proc.stderr.decode(errors="replace"),
            proc.returncode)

def run(cmd, cwd):
    """Wall time, peak resident memory in MiB and error output of one command."""
    wall, _, peak, err, _ = measured(cmd, cwd)
    return wall, peak, err

def tools(cli):
    t = {}
    t["orvelzip"] = (lambda a, src: [cli, "create", a, src, "--quiet"],
                     lambda a, d: [cli, "extract", a, "-d", d, "--quiet"],
                     lambda a, src: [cli, "create", a, src, "--quiet", "--password=" + PASSWORD],
                     lambda a, d: [cli, "extract", a, "-d", d, "--quiet", "--password=" + PASSWORD])
    if shutil.which("zip") and shutil.which("unzip"):
        t["zip/unzip"] = (lambda a, src: ["zip", "-r", "-q", a, src],
                          lambda a, d: ["unzip", "-q", a, "-d", d], None, None)
    if shutil.which("7zz"):
        t["7zz"] = (lambda a, src: ["7zz", "a", "-tzip", "-bd", a, src],
                    lambda a, d: ["7zz", "x", "-bd", "-o" + d, a],
                    lambda a, src: ["7zz", "a", "-tzip", "-bd", "-mem=AES256", "-p" + PASSWORD, a, src],
                    lambda a, d: ["7zz", "x", "-bd", "-p" + PASSWORD, "-o" + d, a])
    if shutil.which("bsdtar"):
        t["bsdtar"] = (lambda a, src: ["bsdtar", "--format", "zip", "-cf", a, src],
                       lambda a, d: ["bsdtar", "-xf", a, "-C", d], None, None)
    return t

def bench_extractor(work: Path, cli: str, runs: int):
    """The extractor program against unzip on the same executable, taking turns."""
    exe = str(work / "many.run")
    if os.path.exists(exe):
        os.remove(exe)
    subprocess.run([cli, "sfx", exe, "many", "--quiet"], cwd=work / "c-sfx", check=True)
    commands = {"orvelzip-sfx": lambda d: [exe, "--dest", d, "--quiet"]}
    if shutil.which("unzip"):
        commands["unzip"] = lambda d: ["unzip", "-q", exe, "-d", d]
    walls = {name: [] for name in commands}
    peaks = {name: [] for name in commands}
    for _ in range(runs):
        for name, command in commands.items():
            dest = work / "x" / ("sfx-%s-%d" % (name, len(walls[name])))
            remove(dest)
            dest.mkdir(parents=True)
            wall, peak, _ = run(command(str(dest)), work)
            walls[name].append(wall)
            peaks[name].append(peak)
    settle(work / "x", True)
    os.remove(exe)
    return [(name, statistics.median(walls[name]), max(peaks[name])) for name in commands]

SMALL_FILES = {"flat": "one folder of 20,000 small files", "tree": "100 folders of 200 small files"}

def bench_small_files(work: Path, cli: str, runs: int, corpus: str):
    """Extraction of many small files by the tool, by the self-extractor and by unzip, the three
    taking turns. Each run extracts into a folder that does not exist yet, as a user does; the
    tree is removed afterwards, outside the time."""
    source = work / ("c-" + corpus)
    make_small_files(source, corpus)
    archive, exe = work / (corpus + ".zip"), work / (corpus + ".run")
    for path in (archive, exe):
        if path.exists():
            path.unlink()
    subprocess.run([cli, "create", str(archive), "files", "--quiet"], cwd=source, check=True)
    subprocess.run([cli, "sfx", str(exe), "files", "--quiet"], cwd=source, check=True)
    commands = {"orvelzip-cli": lambda d: [cli, "extract", str(archive), "-d", d, "--quiet"],
                "orvelzip-sfx": lambda d: [str(exe), "--dest", d, "--quiet"]}
    if shutil.which("unzip"):
        commands["unzip"] = lambda d: ["unzip", "-q", str(archive), "-d", d]
    results = {name: ([], [], []) for name in commands}
    for _ in range(runs):
        for name, command in commands.items():
            dest = work / "x" / ("%s-%s" % (corpus, name))
            remove(dest)
            wall, cpu, peak, err, code = measured(command(str(dest)), work)
            if code != 0:
                sys.exit("%s failed on %s: %s" % (name, corpus, err))
            for kept, value in zip(results[name], (wall, cpu, peak)):
                kept.append(value)
            remove(dest)
    settle(work / "x", True)
    rows = [(corpus, name, statistics.median(w), statistics.median(c), max(m)) for name, (w, c, m) in results.items()]
    return rows

def print_small_files(rows):
    print("\nMany small files, extracted into a new folder (removal not timed); median wall and CPU time:\n")
    print("| corpus | tool | extract s | CPU s | extract MiB | ratio | CPU ratio |")
    print("|---|---|---|---|---|---|---|")
    for corpus, name, wall, cpu, peak in rows:
        base = next((r for r in rows if r[0] == corpus and r[1] == "unzip"), None)
        ratios = ("%.2f" % (wall / base[2]), "%.2f" % (cpu / base[3])) if base else ("", "")
        print("| %s | %s | %.2f | %.2f | %.0f | %s | %s |" % (SMALL_FILES[corpus], name, wall, cpu, peak, *ratios))

def bench_memory(work: Path, cli: str):
    """Peak memory of the tool and of the self-extractor over every archive under 1 MiB of the
    hostile corpus: not a time, a bound (64 MiB) that no archive of that size may pass."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "hostile"))
    import corpus  # noqa: E402  (the archives the hostile tests use)
    stub = (Path(cli).parent / "orvelzip-sfx").read_bytes()
    folder = work / "hostile"
    remove(folder)
    folder.mkdir(parents=True)
    prefix = stub + corpus.settings_block()
    rows = []
    cases = {name: make for name, (_, make) in corpus.cases(str(folder / "outside")).items()}
    # The largest of the deep names under 1 MiB, and as many entries as fit in it.
    cases["deep-names-7"] = corpus.deep_names(7)
    cases["entries-9000"] = lambda base: corpus.build([corpus.Entry("d%d/f%d" % (i % 50, i), b"x")
                                                      for i in range(9000)], base)
    for name, make in sorted(cases.items()):
        data = make(0)
        if len(data) >= 1 << 20:
            continue
        archive, exe = folder / (name + ".zip"), folder / (name + ".run")
        archive.write_bytes(data)
        exe.write_bytes(prefix + make(len(prefix)))
        exe.chmod(0o755)
        peaks = []
        for command in ([cli, "extract", str(archive), "-d", str(folder / "x"), "--overwrite", "--quiet"],
                        [str(exe), "--dest", str(folder / "x"), "--overwrite", "--quiet"]):
            _, _, peak, _, _ = measured(command, folder)
            peaks.append(peak)
            remove(folder / "x")
        rows.append((name, len(data), *peaks))
        archive.unlink()
        exe.unlink()
    remove(folder)
    print("\nPeak memory over the %d hostile archives under 1 MiB (MiB; the bound is 64):\n" % len(rows))
    print("| archive | bytes | orvelzip-cli | orvelzip-sfx |")
    print("|---|---|---|---|")
    for name, size, tool, extractor in sorted(rows, key=lambda r: -max(r[2], r[3])):
        print("| %s | %d | %.1f | %.1f |" % (name, size, tool, extractor))
    largest = max(rows, key=lambda r: max(r[2], r[3]))
    print("\nLargest: %s, %.1f MiB%s" % (largest[0], max(largest[2], largest[3]),
                                         "" if max(largest[2], largest[3]) < 64 else "  OVER THE BOUND"))

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--work", default="/tmp/orvelzip-bench")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--corpus", action="append",
                    choices=["include", "large", "many", "sfx", "flat", "tree", "memory"])
    ap.add_argument("--large-mib", type=int, default=3072)
    args = ap.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    corpora = args.corpus or ["include", "large", "many", "sfx", "flat", "tree", "memory"]
    cli = str(Path(args.cli).resolve())
    small_rows = []
    for corpus in [c for c in corpora if c in SMALL_FILES]:
        corpora.remove(corpus)
        small_rows += bench_small_files(work, cli, args.runs, corpus)
    if small_rows:
        print_small_files(small_rows)
    if "memory" in corpora:
        corpora.remove("memory")
        bench_memory(work, cli)
    if not corpora:
        return
    make_include(work / "c-include")
    sources = {"include": (work / "c-include", "include")}
    if "large" in corpora:
        make_large(work / "c-large", args.large_mib, work / "c-include")
        sources["large"] = (work / "c-large", "large.bin")
    if "many" in corpora:
        make_small_files(work / "c-many", "many")
        sources["many"] = (work / "c-many", "many")
    if "sfx" in corpora:
        corpora.remove("sfx")
        make_small_files(work / "c-sfx", "sfx")
        sfx_rows = bench_extractor(work, cli, args.runs)
    else:
        sfx_rows = []
    rows = []
    for corpus in corpora:
        cwd, src = sources[corpus]
        for mode in ("plain", "AES"):
            chosen = []
            for name, (create, extract, acreate, aextract) in tools(cli).items():
                if mode == "AES":
                    create, extract = acreate, aextract
                if create is not None:
                    chosen.append((name, create, extract))
            times = {name: ([], [], [], [], 0) for name, _, _ in chosen}
            # The tools take turns within each round, so that a machine slowing down or speeding
            # up between minutes weighs on all of them alike.
            for _ in range(args.runs):
                for name, create, extract in chosen:
                    ct, cm, xt, xm, _ = times[name]
                    archive = str(work / ("out-%s.zip" % name.replace("/", "-")))
                    if os.path.exists(archive):
                        os.remove(archive)
                    w, m, err = run(create(archive, src), cwd)
                    ct.append(w); cm.append(m)
                    size = os.path.getsize(archive)
                    dest = work / "x" / ("%s-%d" % (name.replace("/", "-"), len(xt)))
                    remove(dest)
                    dest.mkdir(parents=True)
                    w, m, err = run(extract(archive, str(dest)), cwd)
                    xt.append(w); xm.append(m)
                    if corpus == "large":
                        remove(dest)
                    os.remove(archive)
                    times[name] = (ct, cm, xt, xm, size)
            settle(work / "x", corpus != "large")
            base = None
            for name, _, _ in chosen:
                ct, cm, xt, xm, size = times[name]
                c, x = statistics.median(ct), statistics.median(xt)
                if name == "zip/unzip" or (mode == "AES" and base is None and name == "7zz"):
                    base = (c, x)
                rows.append((corpus, mode, name, c, max(cm), size, x, max(xm)))
            for i, r in enumerate(rows):
                if r[0] == corpus and r[1] == mode and base:
                    rows[i] = r + (r[3] / base[0], r[6] / base[1])
    print("| corpus | mode | tool | create s | create MiB | archive MB | extract s | extract MiB | create ratio | extract ratio |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        ratios = ("%.2f" % r[8], "%.2f" % r[9]) if len(r) > 8 else ("", "")
        print("| %s | %s | %s | %.2f | %.0f | %.1f | %.2f | %.0f | %s | %s |" % (
            r[0], r[1], r[2], r[3], r[4], r[5] / 1e6, r[6], r[7], ratios[0], ratios[1]))
    print("\nRatios: to Info-ZIP for plain archives, to 7zz for AES (Info-ZIP has no AES).")
    if sfx_rows:
        print("\nA self-extracting executable of 20,000 small files, unpacked by itself and by unzip:\n")
        print("| tool | extract s | extract MiB | ratio |")
        print("|---|---|---|---|")
        base = next((r[1] for r in sfx_rows if r[0] == "unzip"), None)
        for name, wall, peak in sfx_rows:
            print("| %s | %.2f | %.0f | %s |" % (name, wall, peak, "%.2f" % (wall / base) if base else ""))

if __name__ == "__main__":
    main()
