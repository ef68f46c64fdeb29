#!/usr/bin/env bash
# Installs the Debian 12 packages Orvel Zip builds and tests with.
# Idempotent: when every package is present it returns at once without touching apt.
# Extra group on request: `screenshots` (a virtual display and its tools).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  # the zip core's codecs and crypto; the self-extractor links them statically
  zlib1g-dev libdeflate-dev libbz2-dev liblzma-dev libzstd-dev nettle-dev
  # the detector of the code page of names that are not UTF-8
  libuchardet-dev
  fonts-liberation2
  zip unzip 7zip libarchive-tools python3
  # the benchmark's peak memory of each tool, apart from its own
  time
  # the test of what the Linux extractor reads when it starts
  strace
  # the hostile test extracts onto a FUSE view, which lacks O_TMPFILE and renameat2's flags
  bindfs fuse3
  # the install test validates the desktop entry
  desktop-file-utils
  # the short fuzz run of make test: clang and libFuzzer; the format and tidy checks of CI
  clang libclang-rt-14-dev clang-format clang-tidy universal-ctags
  # rebuilds from the compiler cache; links in a fraction of the time
  ccache lld
  # the Windows extractor, cross-built, and its tests under Wine (icoutils reads its icon back;
  # its window runs on a virtual display, with a window manager, typed into through xdotool)
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 icoutils xvfb openbox xdotool
  # Authenticode signatures of Windows executables (a build without --sign works without it); the
  # tests make their certificates with openssl
  osslsigncode openssl
)
for group in "$@"; do
  case "$group" in
    screenshots) packages+=(xvfb xdotool x11-utils x11-xserver-utils imagemagick) ;;
    *) echo "install-deps: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# A fresh machine has no package lists yet; refresh them once before the first install.
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
