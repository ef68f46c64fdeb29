#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for the given number of
# seconds (default 10: the short run of `make test`; `make fuzz` runs longer), as many at a time
# as there are cores; `--build` only builds them and makes the seeds (CI, ahead of the run). Seeds are the
# hostile archives of tests/hostile/corpus.py, archives of other zip tools and our own; what the
# fuzzer learns is kept in build-fuzz/corpus/ between runs. A crash leaves its input in
# build-fuzz/crashes/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build_only=
[ "${1:-}" = --build ] && { build_only=1; shift; }
seconds=${1:-10}
jobs=${JOBS:-$(nproc)}
tree=build-fuzz
targets=(archive extractor names inflate64 peimage options)

# The extractor programs are not fuzzed as programs here (their code is, in-process): take the
# plain tree's rather than build them again.
flags=("-DORVELZIP_EXTRACTORS_FROM=$PWD/build")
command -v ccache >/dev/null && flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Line tables are all a crash report needs.
cmake -S . -B "$tree" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVELZIP_FUZZ=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVELZIP_DEBUG_INFO=-g1 "${flags[@]}" >/dev/null
# The seeds come from the tool of the plain tree when there is one; building it here would compile
# the component once more, with coverage, for a few archives.
cli=$PWD/build/bin/orvelzip-cli
build=("${targets[@]/#/fuzz_}")
[ -x "$cli" ] || { cli=$PWD/$tree/bin/orvelzip-cli; build+=(orvelzip-cli); }
cmake --build "$tree" -j "$jobs" --target "${build[@]}"

seeds=$tree/seeds
if [ ! -d "$seeds" ]; then
  mkdir -p "$seeds/archive" "$seeds/extractor" "$seeds/names" "$tree/outside"
  python3 tests/hostile/corpus.py "$seeds/hostile" "$tree/outside"
  # Small ones only: libFuzzer skips inputs beyond -max_len anyway.
  find "$seeds/hostile" -name '*.zip' -size -64k -exec cp {} "$seeds/archive/" \;
  src=$(mktemp -d)
  printf 'hello\n' >"$src/a.txt"
  mkdir "$src/sub" && printf 'world %.0s' $(seq 100) >"$src/sub/b.txt"
  ln -s a.txt "$src/link"
  (cd "$src" && zip -qry "$OLDPWD/$seeds/archive/infozip.zip" . && zip -qr -P pw "$OLDPWD/$seeds/archive/zipcrypto.zip" a.txt)
  command -v 7zz >/dev/null && (cd "$src" && 7zz a -tzip -mem=AES256 -psecret "$OLDPWD/$seeds/archive/aes.zip" a.txt sub >/dev/null)
  "$cli" create "$seeds/archive/ours.zip" "$src" --quiet
  ORVELZIP_PASSWORD=secret "$cli" create --password "$seeds/archive/ours-aes.zip" "$src" --quiet
  rm -rf "$src"
  cp "$seeds"/archive/*.zip "$seeds/extractor/"
  printf 'OZSFX1\r\n' >"$seeds/extractor/magic"
  printf '../a\0*.txt' >"$seeds/names/dotdot"
  printf '/home/ann/photos\0a.jpg\0b.jpg\0' >"$seeds/names/multi"
  printf '*.*\0readme' >"$seeds/names/star-dot-star"
  printf 'a/b/link\0../../x' >"$seeds/names/link"
fi

# Deflate64 streams: deflate without 258-byte matches is one too. The leading two bytes choose
# how the fuzz target cuts the input and the output.
if [ ! -d "$seeds/inflate64" ]; then
  mkdir -p "$seeds/inflate64"
  python3 - "$seeds/inflate64" <<'PY'
import sys, zlib
text = b"".join(b"line %d: Orvel Zip reads Deflate64\n" % i for i in range(400))
for name, level, strategy in (("stored", 0, zlib.Z_DEFAULT_STRATEGY), ("fixed", 6, zlib.Z_FIXED),
                              ("dynamic", 9, zlib.Z_DEFAULT_STRATEGY), ("huffman", 6, zlib.Z_HUFFMAN_ONLY)):
    co = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
    open("%s/%s" % (sys.argv[1], name), "wb").write(b"\x05\x21" + co.compress(text) + co.flush())
PY
fi

# Icons and program images: a 16-bit length, that many bytes of .ico, then a small PE32+ image
# laid out as the linker lays out the extractor (resources, then relocations, last).
if [ ! -d "$seeds/peimage" ]; then
  mkdir -p "$seeds/peimage"
  python3 - "$seeds/peimage" resources/icons/oz.ico <<'PY'
import struct, sys
def image():
    head = bytearray(0x200)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    head[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", head, 0x44, 0x8664, 2, 0, 0, 0, 240, 0x22)
    o = 0x58
    struct.pack_into("<HBBIIIII", head, o, 0x20B, 2, 0, 0, 0x400, 0, 0x1000, 0x1000)
    struct.pack_into("<QIIHHHHHHIIIIHHQQQQII", head, o + 24, 0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0,
                     0x3000, 0x200, 0, 2, 0x8160, 1 << 20, 4096, 1 << 20, 4096, 0, 16)
    struct.pack_into("<II", head, o + 112 + 2 * 8, 0x1000, 16)
    struct.pack_into("<II", head, o + 112 + 5 * 8, 0x2000, 12)
    for i, (name, va, raw, flags) in enumerate(((b".rsrc", 0x1000, 0x200, 0x40000040), (b".reloc", 0x2000, 0x400, 0x42000040))):
        struct.pack_into("<8sIIIIIIHHI", head, o + 240 + 40 * i, name, 0x200, va, 0x200, raw, 0, 0, 0, 0, flags)
    rsrc = bytes(0x200)  # an empty resource directory
    reloc = struct.pack("<IIHH", 0x1000, 12, 0xA000, 0).ljust(0x200, b"\0")
    return bytes(head) + rsrc + reloc
ico = open(sys.argv[2], "rb").read()
w, h, c, r, p, b, size, at = struct.unpack_from("<BBBBHHII", ico, 6 + 16)
small = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w, h, c, r, p, b, size, 22) + ico[at:at + size]
for name, icon in (("oz", ico), ("small", small), ("empty", b"")):
    open("%s/%s" % (sys.argv[1], name), "wb").write(struct.pack("<H", len(icon)) + icon + image())
PY
fi

# The extractors' options: a command line as Windows hands it over, a NUL, a byte of flags, then
# a settings block. The blocks are those the tool writes for a Linux program (Windows' is the
# same), each run with a command line a receiver or a script would type.
if [ ! -d "$seeds/options" ]; then
  mkdir -p "$seeds/options"
  python3 - "$seeds/options" "$cli" resources/icons/oz.ico <<'PY'
import os, struct, subprocess, sys, tempfile
out, cli, icon = (os.path.abspath(a) for a in sys.argv[1:4])
builds = (
    [],
    ["--run", "setup.bat", "--param", '/S /D="C:\\Program Files\\Album" %TEMP% a&b^c', "--auto-temp"],
    ["--run", "run.sh", "--param", 'now "two words" back\\\\slash\\"quote ""'],
    ["--run", "Setup Tool.exe", "--param", "--mode=silent\t'single'", "--icon", icon],
    ["--run", "tools/install.cmd", "--param", '(x) | y > z; !v!, "a""b"'],
)
lines = (
    "",
    '--dest "C:\\Program Files\\Album" --overwrite',
    "/S /D=C:\\Users\\ann\\My Files",
    '--password "pa ss\\"word" --list --names CP866',
    "--in-terminal --dest=/tmp/x --quiet --test",
    '"C:\\dir\\\\" a\\\\\\"b c" "" --help /? --version --info --names',
)
with tempfile.TemporaryDirectory() as top:
    os.makedirs(os.path.join(top, "app"))
    with open(os.path.join(top, "app", "a.txt"), "w") as f:
        f.write("hello\n")
    for n, build in enumerate(builds):
        exe = os.path.join(top, "self%d.run" % n)
        subprocess.run([cli, "sfx", exe, "app", "--quiet"] + build, cwd=top, check=True)
        data = open(exe, "rb").read()
        end = data.rfind(b"OZSFXEND") - 4
        block = data[end - struct.unpack_from("<I", data, end)[0]:end]
        for flags in (0, 3):
            with open(os.path.join(out, "block%d-%d" % (n, flags)), "wb") as f:
                f.write(lines[n].encode() + b"\0" + bytes([flags]) + block)
for n, line in enumerate(lines):
    with open(os.path.join(out, "line%d" % n), "wb") as f:
        f.write(line.encode())
PY
fi

[ -n "$build_only" ] && exit 0

# Each target in its own folder (fuzz_archive extracts below TMPDIR), with its own log.
fuzz() {
  local target=$1 corpus=$tree/corpus/$1 leaks=1
  mkdir -p "$corpus"
  ASAN_OPTIONS=detect_leaks=$leaks TMPDIR=$(mktemp -d) "$tree/fuzz/fuzz_$target" "$corpus" "$seeds/$target" \
    -detect_leaks=$leaks -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$tree/crashes/$target-" -print_final_stats=0 2>"$tree/fuzz_$target.log"
}
mkdir -p "$tree/crashes"
failed=0
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  batch=("${targets[@]:i:jobs}")
  pids=()
  for target in "${batch[@]}"; do
    echo "fuzz_$target: $seconds s"
    fuzz "$target" &
    pids+=($!)
  done
  for k in "${!batch[@]}"; do
    target=${batch[k]}
    if ! wait "${pids[k]}"; then
      echo "fuzz_$target failed; see $tree/fuzz_$target.log and $tree/crashes/" >&2
      tail -40 "$tree/fuzz_$target.log" >&2
      failed=1
    fi
    grep -E '(DONE|^Done [0-9]+ runs)' "$tree/fuzz_$target.log" | tail -1 || true
  done
done
exit $failed
