#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the sources of src/ and tests/ with the compile commands of a
# configured build tree (default build/), and fails on any finding, on a file clang-tidy cannot
# compile, and when clang-tidy is not there at all: a check that cannot run must not pass. The
# Windows-only sources need the cross compiler's headers and the fuzz targets their own tree:
# both are left out.
#
# Time: clang-tidy matches its checks against every declaration of the standard and Qt headers a
# file includes, and that is most of its work. The sources of one library (same flags) are
# therefore checked as one unit that includes them all, which does that work once per library
# instead of once per file (a quarter of the time). Findings in the sources are reported as in a
# file of their own. A unit that does not pass is checked again a file at a time, whose result
# stands: two files whose private names collide, or one that leans on another's includes, are
# then judged alone. Each test is a program of its own and is checked alone.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=${1:-build}
command -v clang-tidy >/dev/null || { echo "check-tidy: clang-tidy is not installed (scripts/install-deps.sh installs it)" >&2; exit 2; }
[ -f "$tree/compile_commands.json" ] || { echo "check-tidy: configure $tree first (make build)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mapfile -t files < <(git ls-files 'src/*.cpp' 'tests/*.cpp' | grep -v -e '^src/sfxwin/' -e '^tests/fuzz/' -e 'Windows\.cpp$' -e 'Utf16\.cpp$')

# The build precompiles the Qt headers with GCC, whose files clang cannot read: clang-tidy gets the
# same commands without them. Each file is checked once, with the first command the build has for
# it (the extractor compiles the core again with other optimization flags only). Writes the
# compilation database of the units and one line per unit: its name, then its files.
printf '%s\n' "${files[@]}" >"$work/files"
python3 - "$tree/compile_commands.json" "$work" "$PWD" <<'PY'
import json, os, re, sys
db, work, top = sys.argv[1:4]
pch = re.compile(r" -include \S*cmake_pch\.hxx| -Winvalid-pch| -fpch-preprocess")
wanted = [os.path.join(top, f) for f in open(os.path.join(work, "files")).read().split()]
first = {}
for c in json.load(open(db)):
    if c["file"] in wanted and c["file"] not in first:
        c["command"] = pch.sub("", c["command"])
        first[c["file"]] = c
missing = [f for f in wanted if f not in first]
if missing:
    sys.exit("check-tidy: no compile command for " + " ".join(os.path.relpath(f, top) for f in missing))
# A unit: the files compiled with the same flags. Tests stay alone.
units = {}
for f, c in first.items():
    flags = re.sub(r" -o \S+| -c \S+", "", c["command"].replace(f, ""))
    key = (c["directory"], flags) if f.startswith(os.path.join(top, "src") + "/") else f
    units.setdefault(key, []).append(c)
out, lines = [], []
for n, members in enumerate(units.values()):
    if len(members) == 1:
        out.append(members[0])
        name = members[0]["file"]
    else:
        name = os.path.join(work, "units", "unit%d.cpp" % n)
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, "w") as u:
            u.writelines('#include "%s" // NOLINT(bugprone-suspicious-include)\n' % m["file"] for m in members)
        c = dict(members[0])
        c["command"] = c["command"].replace(c["file"], name)
        c["file"] = name
        out.append(c)
    lines.append(" ".join([name] + [m["file"] for m in members]))
out.extend(first.values())  # for a unit checked again file by file
json.dump(out, open(os.path.join(work, "compile_commands.json"), "w"))
open(os.path.join(work, "units.txt"), "w").write("\n".join(lines) + "\n")
PY

# One log per unit. A unit whose check fails (a finding, or it does not compile) is checked
# again file by file; a file that fails then is listed with the file's own log kept.
check_unit() {
  local work=$1 unit=$2
  shift 2
  local log
  log="$work/logs/$(echo "$unit" | tr / _).log"
  if clang-tidy -p "$work" --config-file=.clang-tidy --quiet "$unit" >"$log" 2>&1 && ! grep -qE '(warning|error):' "$log"; then
    return 0
  fi
  [ $# -gt 1 ] || { echo "$unit" >>"$work/failed"; return 0; }
  rm "$log"
  for f in "$@"; do
    log="$work/logs/$(echo "$f" | tr / _).log"
    clang-tidy -p "$work" --config-file=.clang-tidy --quiet "$f" >"$log" 2>&1 || echo "$f" >>"$work/failed"
  done
}
export -f check_unit
mkdir -p "$work/logs"
xargs -P "$(nproc)" -L 1 bash -c 'check_unit "$0" "$@"' "$work" <"$work/units.txt"
findings=$(cat "$work"/logs/*.log | grep -E '(warning|error):' | sort -u || true)
if [ -n "$findings" ] || [ -s "$work/failed" ]; then
  [ -n "$findings" ] && echo "$findings"
  [ -s "$work/failed" ] && { echo "clang-tidy failed on:"; sed "s|^$PWD/|  |" "$work/failed"; }
  echo "check-tidy: $(printf '%s' "$findings" | grep -c . || true) findings, $(cat "$work/failed" 2>/dev/null | wc -l) files failed" >&2
  exit 1
fi
echo "check-tidy: ${#files[@]} files in $(wc -l <"$work/units.txt") units, no findings"
