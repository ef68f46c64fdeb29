#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the sources of src/ and tests/ with the compile commands of a
# configured build tree (default build/), and fails on any finding, on a file clang-tidy cannot
# compile, and when clang-tidy is not there at all: a check that cannot run must not pass. The
# Windows-only sources need the cross compiler's headers and the fuzz targets their own tree:
# both are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=${1:-build}
command -v clang-tidy >/dev/null || { echo "check-tidy: clang-tidy is not installed (scripts/install-deps.sh installs it)" >&2; exit 2; }
[ -f "$tree/compile_commands.json" ] || { echo "check-tidy: configure $tree first (make build)" >&2; exit 2; }
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# The build precompiles the Qt headers with GCC, whose files clang cannot read: clang-tidy gets the
# same commands without them, so each file is also checked to include what it uses.
python3 - "$tree/compile_commands.json" "$logs/compile_commands.json" <<'PY'
import json, re, sys
pch = re.compile(r" -include \S*cmake_pch\.hxx| -Winvalid-pch| -fpch-preprocess")
commands = json.load(open(sys.argv[1]))
for c in commands:
    c["command"] = pch.sub("", c["command"])
json.dump(commands, open(sys.argv[2], "w"))
PY
mapfile -t files < <(git ls-files 'src/*.cpp' 'tests/*.cpp' | grep -v -e '^src/sfxwin/' -e '^tests/fuzz/' -e 'Windows\.cpp$' -e 'Utf16\.cpp$')
# One log per file, and the file's name in a list of failures when clang-tidy itself failed on it
# (it could not compile it, or it reported an error).
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -I{} sh -c \
  'log="$1/$(echo "$2" | tr / _).log"; clang-tidy -p "$0" --quiet "$2" >"$log" 2>&1 || echo "$2" >>"$1/failed"' \
  "$logs" "$logs" {}
findings=$(cat "$logs"/*.log | grep -E '(warning|error):' | sort -u || true)
if [ -n "$findings" ] || [ -s "$logs/failed" ]; then
  [ -n "$findings" ] && echo "$findings"
  [ -s "$logs/failed" ] && { echo "clang-tidy failed on:"; sed 's/^/  /' "$logs/failed"; }
  echo "check-tidy: $(printf '%s' "$findings" | grep -c . || true) findings, $(cat "$logs/failed" 2>/dev/null | wc -l) files failed" >&2
  exit 1
fi
echo "check-tidy: ${#files[@]} files, no findings"
