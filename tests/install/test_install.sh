#!/usr/bin/env bash
# Installs the build into a temporary prefix, makes it read-only, and runs the
# installed program and tool from there: they must find their help, icons and
# extractor without the build tree.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'chmod -R u+w "$prefix"; rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/orvelzip bin/orvelzip-cli libexec/orvelzip/orvelzip-sfx share/orvelzip/orvelziphelp.html \
         share/orvelzip/about.png share/orvelzip/icons/oz.ico share/applications/orvelzip.desktop \
         share/icons/hicolor/64x64/apps/orvelzip.png share/man/man1/orvelzip-cli.1; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
desktop-file-validate "$prefix/share/applications/orvelzip.desktop"
grep -qx 'MimeType=application/zip;' "$prefix/share/applications/orvelzip.desktop"
chmod -R a-w "$prefix"

export HOME=$work/home
mkdir -p "$HOME" "$work/src"
echo "installed" > "$work/src/a.txt"
cd "$work"
"$prefix/bin/orvelzip-cli" create "$work/t.zip" src --quiet
"$prefix/bin/orvelzip-cli" list "$work/t.zip" | grep -q 'a.txt'
# A self-extractor needs the installed extractor program.
"$prefix/bin/orvelzip-cli" sfx "$work/t.run" src --quiet
"$work/t.run" --dest "$work/out" --quiet
[ "$(cat "$work/out/a.txt")" = installed ]

# The window, started as a file manager starts it, opens and lists the
# archive: its log says so, and it finds its help beside it.
export QT_QPA_PLATFORM=offscreen ORVELZIP_LOG_FILE=$work/log.txt
timeout 5 "$prefix/bin/orvelzip" "$work/t.zip" &
pid=$!
for _ in $(seq 50); do
  grep -q "GetEntries" "$work/log.txt" 2>/dev/null && break
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
grep -q "OpenZip $work/t.zip" "$work/log.txt" || { echo "the installed program did not open the archive" >&2; cat "$work/log.txt" >&2; exit 1; }
grep -q "GetEntries" "$work/log.txt"
echo "install test passed"
