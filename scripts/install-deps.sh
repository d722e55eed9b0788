#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12 (bookworm), as
# root; with --bench, the benchmarks' peers too. The CDN guide's test also
# needs npm's s3rver, installed into build/s3rver and mended to page and order
# its listings as S3 does (scripts/s3rver-as-s3.patch).
# The publisher compresses its frames with python3-zstandard.
# Idempotent: when every package is already present it touches no network.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  googletest clang libclang-rt-14-dev
  wine wine32:i386
  xvfb xauth xdotool x11-utils
  python3 python3-pytest python3-cryptography python3-zstandard openssl osslsigncode
  nginx-light
  imagemagick librsvg2-bin liblnk-utils
  awscli rclone patch
  zstd
)

packages_64=(wine64 g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 mingw-w64-x86-64-dev)
# --bench: the peers the patch benchmark measures the launcher against, and
# python3-xlib, with which the splash benchmark sends a key and a click.
packages_bench=(rsync zsync casync curl python3-xlib)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

wanted=("${packages[@]}")
[ "${1:-}" = --bench ] && wanted+=("${packages_bench[@]}")
# npm from a Node.js installed some other way serves as well as Debian's.
command -v npm >/dev/null || wanted+=(nodejs npm)
missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done

install() {
  echo "install-deps: installing $*"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails the update of one list; the lists there are still serve.
  apt-get update -qq || echo "install-deps: apt-get update failed; installing from the package lists there are"
  if ! apt-get install -y -qq --no-install-recommends "$@"; then
    # A security list that failed to download for one architecture leaves the
    # two architectures' versions apart, and wine32's libraries cannot match
    # the installed ones: install from the main suites alone, whose lists agree.
    echo "install-deps: retrying from the main suites alone"
    local parts
    parts=$(mktemp -d)
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -e "$f" ] && awk 'BEGIN { RS = ""; ORS = "\n\n" } !/security/' "$f" > "$parts/$(basename "$f")"
    done
    if [ -f /etc/apt/sources.list ]; then grep -v security /etc/apt/sources.list > "$parts/main.list" || true; fi
    local only_main=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$parts")
    apt-get "${only_main[@]}" update -qq
    apt-get "${only_main[@]}" install -y -qq --no-install-recommends "$@"
    rm -rf "$parts"
    apt-get update -qq || true  # the machine's own lists again
  fi
}

[ ${#missing[@]} -eq 0 ] || install "${missing[@]}"

# A kernel without ia32 emulation runs no 32-bit program, so no 32-bit Wine:
# the tests then run a 64-bit build under Wine's 64-bit half.
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  missing=()
  for p in "${packages_64[@]}"; do
    installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] || install "${missing[@]}"
fi
# A local S3-compatible server for the test of the README's CDN commands.
s3rver_dir="$(cd "$(dirname "$0")/.." && pwd)/build/s3rver"
if [ ! -x "$s3rver_dir/node_modules/.bin/s3rver" ]; then
  echo "install-deps: installing s3rver from npm into $s3rver_dir"
  npm install --prefix "$s3rver_dir" --no-audit --no-fund --loglevel=error s3rver@3.7.1
fi
# As published, its continuation token needs DES, which Node 17 and later lack
# (a listing past 1 000 keys fails), and it lists a folder "x/" before a file
# "x.png", which S3 never does (a sync then deletes what it just uploaded).
s3rver_patch="$(dirname "$0")/s3rver-as-s3.patch"
if ! patch -R -p1 -s -f --dry-run -d "$s3rver_dir/node_modules/s3rver" < "$s3rver_patch" >/dev/null 2>&1; then
  echo "install-deps: mending s3rver to page and order its listings as S3 does"
  patch -p1 -s -N -d "$s3rver_dir/node_modules/s3rver" < "$s3rver_patch"
fi
echo "install-deps: everything is installed"
