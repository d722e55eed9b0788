#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12 (bookworm), as root.
# Idempotent: when every package is already present it touches no network.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  googletest clang libclang-rt-14-dev
  wine wine32:i386
  xvfb xauth xdotool x11-utils
  python3 python3-pytest
  nginx-light
  imagemagick librsvg2-bin liblnk-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "install-deps: done"
