#!/usr/bin/env bash
# The build's room walls see only include paths: a room reaches the headers of its own folder and
# of the rooms below it. A relative include that climbs out of its folder ("../sfx/SfxDesk.h"), or
# an absolute one, would walk past that wall unseen, header-only use included, so none is allowed
# in src/: a header of another room is named by its room ("core/format/Names.h").
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h' 'src/*.c' 'src/*.rc')
out=$(grep -nE '^\s*#\s*include\s*"(\.\./|/)' "${files[@]}" || true)
if [ -n "$out" ]; then
  echo "$out"
  echo "check-rooms: includes that leave their room's folder; name the header by its room instead" >&2
  exit 1
fi
echo "check-rooms: ${#files[@]} files include only through their rooms"
