#!/usr/bin/env bash
# Takes a picture of each window of the running program under a virtual display and writes them to
# docs/screenshots/, so the README shows the windows as they are built now; and a second set at
# 120 dpi (Xft.dpi, as a desktop's larger text setting gives it) in docs/screenshots/120dpi/, to
# see that every text fits there too.
# Usage: scripts/screenshots.sh [path/to/orvelzip]   (make screenshots builds first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=${1:-build/bin/orvelzip}
cli=$(dirname "$bin")/orvelzip-cli
shots=$root/docs/screenshots
[ -x "$bin" ] && [ -x "$cli" ] || { echo "screenshots: build first ($bin not found)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The program keeps its working folder and settings per user; a throwaway home keeps the
# pictures free of whatever this machine's user did last.
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share XDG_CONFIG_HOME=$work/home/.config
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# Sample archives: one to list in the main window, one with a password for the prompt.
mkdir -p "$work/Holiday/photos"
for n in beach harbour market; do head -c 40000 /dev/urandom >"$work/Holiday/photos/$n.jpg"; done
printf 'Ten days by the sea.\n' >"$work/Holiday/notes.txt"
(cd "$work" && "$root/$cli" create Holiday.zip Holiday >/dev/null)
(cd "$work" && ORVELZIP_PASSWORD=secret "$root/$cli" create --password Private.zip Holiday/notes.txt >/dev/null)

# The screen is wide enough that every window gets a place of its own: without a window manager
# new windows open at the corner, and a picture of a covered window would show the cover.
# One display per dpi, its logical dpi set where the toolkit reads a desktop's: Xft.dpi. The
# server keeps it only when it does not reset as each client leaves.
start_display() {
  display=:$((90 + RANDOM % 100))
  Xvfb "$display" -screen 0 3000x2100x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=$display QT_QPA_PLATFORM=xcb
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  echo "Xft.dpi: $1" | xrdb -nocpp -merge
}

# Waits for a visible window titled exactly $1 that is not one already pictured.
seen=" "
await() {
  local title=$1 id
  for _ in $(seq 100); do
    for id in $(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null); do
      case "$seen" in *" $id "*) ;; *) echo "$id"; return 0 ;; esac
    done
    sleep 0.1
  done
  echo "screenshots: no window \"$title\" appeared" >&2
  return 1
}

# A length of the 96 dpi pictures at the current dpi: the toolkit scales the windows with it.
px() { echo $(($1 * dpi / 96)); }

# Pictures window $1 as $out/$2.png after moving it to $3,$4 (at 96 dpi).
shoot() {
  local id=$1 name=$2 x y
  x=$(px "$3") y=$(px "$4")
  seen="$seen$id "
  xdotool windowmove --sync "$id" "$x" "$y" 2>/dev/null || xdotool windowmove "$id" "$x" "$y"
  sleep 0.5 # let the moved window repaint
  import -window "$id" "$out/$name.png"
  echo "screenshots: $out/$name.png"
}

# Pictures every window of a program started on the current display into $out.
shoot_all() {
  seen=" "
  mkdir -p "$out"
  "$root/$bin" "$work/Holiday.zip" >"$work/main.log" 2>&1 &
  pids+=($!)
  main=$(await "Orvel Zip")
  sleep 1 # the archive is opened and listed just after the window shows
  shoot "$main" main 0 0

  xdotool windowfocus --sync "$main"
  xdotool key alt+h && sleep 0.3 && xdotool key a
  shoot "$(await "About Orvel Zip")" about 800 0

  # The options window has no access key: click its button where the main window has it.
  xdotool mousemove --window "$main" "$(px 600)" "$(px 240)" click 1
  options=$(await "Advance Zip archive")
  shoot "$options" options 0 800

  xdotool windowfocus --sync "$options"
  xdotool key alt+p
  shoot "$(await "Set Password\\(Optional\\)")" set-password 800 800

  xdotool windowfocus --sync "$main"
  xdotool key alt+a && sleep 0.3 && xdotool key p
  shoot "$(await "Orvel Zip - Create SFX: \\(Self-Extract File\\) Form")" sfx 1500 0

  # A second program opens the archive with a password, as a file manager would, and asks for it.
  "$root/$bin" "$work/Private.zip" >"$work/private.log" 2>&1 &
  pids+=($!)
  # It shows its main window and then the prompt, both titled "Orvel Zip"; the prompt is the smaller.
  first=$(await "Orvel Zip"); seen="$seen$first "
  other=$(await "Orvel Zip"); seen="$seen$other "
  width() { xwininfo -id "$1" | awk '/Width:/ { print $2 }'; }
  prompt=$first
  [ "$(width "$other")" -lt "$(width "$first")" ] && prompt=$other
  shoot "$prompt" password-prompt 1500 1000
}

for dpi in 96 120; do
  out=$shots
  [ "$dpi" = 96 ] || out=$shots/${dpi}dpi
  start_display "$dpi"
  shoot_all
done
