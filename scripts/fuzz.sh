#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for the given number of
# seconds (default 10: the short run of `make test`; `make fuzz` runs longer). Seeds are the
# hostile archives of tests/hostile/corpus.py, archives of other zip tools and our own; what the
# fuzzer learns is kept in build-fuzz/corpus/ between runs. A crash leaves its input in
# build-fuzz/crashes/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
jobs=${JOBS:-$(nproc)}
tree=build-fuzz

flags=()
# The Windows extractor is not fuzzed here: take the plain tree's rather than cross-build it again.
[ -f build/bin/orvelzip-sfx.exe ] && flags+=("-DORVELZIP_WINDOWS_EXTRACTOR=$PWD/build/bin/orvelzip-sfx.exe")
command -v ccache >/dev/null && flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$tree" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVELZIP_FUZZ=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$tree" -j "$jobs" --target fuzz_archive fuzz_extractor fuzz_names fuzz_inflate64 orvelzip-cli

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
  "$tree/bin/orvelzip-cli" create "$seeds/archive/ours.zip" "$src" --quiet
  ORVELZIP_PASSWORD=secret "$tree/bin/orvelzip-cli" create --password "$seeds/archive/ours-aes.zip" "$src" --quiet
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

mkdir -p "$tree/crashes"
failed=0
for target in archive extractor names inflate64; do
  corpus=$tree/corpus/$target
  mkdir -p "$corpus"
  echo "fuzz_$target: $seconds s"
  leaks=1
  # Each target in its own folder: fuzz_archive extracts below TMPDIR.
  if ! ASAN_OPTIONS=detect_leaks=$leaks TMPDIR=$(mktemp -d) "$tree/fuzz/fuzz_$target" "$corpus" "$seeds/$target" -detect_leaks=$leaks \
         -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
         -artifact_prefix="$tree/crashes/$target-" -print_final_stats=0 2>"$tree/fuzz_$target.log"; then
    echo "fuzz_$target failed; see $tree/fuzz_$target.log and $tree/crashes/" >&2
    tail -40 "$tree/fuzz_$target.log" >&2
    failed=1
  fi
  grep -E '(DONE|^Done [0-9]+ runs)' "$tree/fuzz_$target.log" | tail -1 || true
done
exit $failed
