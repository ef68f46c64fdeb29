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
mapfile -t files < <(git ls-files 'src/*.cpp' 'tests/*.cpp' | grep -v -e '^src/sfxwin/' -e '^tests/fuzz/' -e 'Windows\.cpp$' -e 'Utf16\.cpp$')
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# One log per file, and the file's name in a list of failures when clang-tidy itself failed on it
# (it could not compile it, or it reported an error).
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -I{} sh -c \
  'log="$1/$(echo "$2" | tr / _).log"; clang-tidy -p "$0" --quiet "$2" >"$log" 2>&1 || echo "$2" >>"$1/failed"' \
  "$tree" "$logs" {}
findings=$(cat "$logs"/*.log | grep -E '(warning|error):' | sort -u || true)
if [ -n "$findings" ] || [ -s "$logs/failed" ]; then
  [ -n "$findings" ] && echo "$findings"
  [ -s "$logs/failed" ] && { echo "clang-tidy failed on:"; sed 's/^/  /' "$logs/failed"; }
  echo "check-tidy: $(printf '%s' "$findings" | grep -c . || true) findings, $(cat "$logs/failed" 2>/dev/null | wc -l) files failed" >&2
  exit 1
fi
echo "check-tidy: ${#files[@]} files, no findings"
