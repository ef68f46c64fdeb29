#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy: bugprone and performance checks) over the sources of src/ and tests/
# with the compile commands of a configured build tree (default build/), and fails on any
# finding. The Windows-only sources need the cross compiler's headers and the fuzz targets
# their own tree: both are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=${1:-build}
[ -f "$tree/compile_commands.json" ] || { echo "check-tidy: configure $tree first (make build)" >&2; exit 2; }
mapfile -t files < <(git ls-files 'src/*.cpp' 'tests/*.cpp' | grep -v -e '^src/sfxwin/' -e '^tests/fuzz/' -e 'Windows\.cpp$' -e 'Utf16\.cpp$')
out=$(printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$tree" --quiet 2>/dev/null \
      | grep -E 'warning:|error:' | sort -u || true)
if [ -n "$out" ]; then
  echo "$out"
  echo "check-tidy: $(echo "$out" | wc -l) findings" >&2
  exit 1
fi
echo "check-tidy: ${#files[@]} files, no findings"
