#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian 12 machine (run as root)
# and fetches bzip2's source package into third_party/ (git-ignored). Idempotent.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  cmake ninja-build pkg-config dpkg-dev
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32 xvfb x11-apps imagemagick xdotool
  libbz2-dev bzip2 googletest libgtest-dev libdivsufsort-dev
  clang libclang-rt-14-dev
  xdelta3 bsdiff zstd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

need_src=0
[ -d "$top/third_party/bzip2" ] || need_src=1

if [ ${#missing[@]} -gt 0 ] || [ $need_src -eq 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # deb-src entries mirroring the existing deb822 sources, so that `apt-get source` works
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      sed 's/^Types: deb$/Types: deb-src/' "$f" > "${f%.sources}-src.sources"
    done
    if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/project-src.list
    fi
  fi
  apt-get update -qq
  [ ${#missing[@]} -gt 0 ] && apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ $need_src -eq 1 ]; then
  mkdir -p "$top/third_party"
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source -qq bzip2 >/dev/null)
  src=$(find "$tmp" -maxdepth 1 -type d -name 'bzip2-*' | head -n 1)
  mv "$src" "$top/third_party/bzip2"
  rm -rf "$tmp"
fi
echo "setup: toolchain and bzip2 source ready"
