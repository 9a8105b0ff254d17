#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian 12 machine (run as root)
# and fetches the source packages of bzip2 and libdivsufsort into third_party/
# (git-ignored), where the Windows trees build them. Idempotent.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  cmake ninja-build pkg-config dpkg-dev
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32 wine64 xvfb x11-apps x11-utils imagemagick xdotool
  libbz2-dev bzip2 googletest libgtest-dev libdivsufsort-dev
  clang libclang-rt-14-dev clang-format lld valgrind
  xdelta3 bsdiff zstd locales qemu-user unzip
  libcli11-dev nlohmann-json3-dev
  osslsigncode openssl libssl-dev
  fonts-wine fonts-wqy-microhei python3 python3-matplotlib
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# Debian source package -> folder in third_party/
sources=(bzip2:bzip2 libdivsufsort:libdivsufsort)
need_src=0
for s in "${sources[@]}"; do
  [ -d "$top/third_party/${s#*:}" ] || need_src=1
done

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

for s in "${sources[@]}"; do
  package=${s%%:*} folder=${s#*:}
  [ -d "$top/third_party/$folder" ] && continue
  mkdir -p "$top/third_party"
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source -qq "$package" >/dev/null)
  src=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)
  [ -n "$src" ] || { echo "setup: apt-get source $package gave no source folder" >&2; exit 1; }
  mv "$src" "$top/third_party/$folder"
  rm -rf "$tmp"
done
# The translation tests run Wine in a Traditional Chinese (Big5) locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_TW.big5$'; then
  grep -q '^zh_TW BIG5' /etc/locale.gen 2>/dev/null || echo 'zh_TW BIG5' >> /etc/locale.gen
  locale-gen >/dev/null
fi

# Some kernels run no 32-bit ELF code natively; Wine's 32-bit half then runs under
# qemu's user-mode emulation, registered for i386 ELF files through binfmt_misc.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  dpkg-query -W -f='${Status}' qemu-user 2>/dev/null | grep -q 'install ok installed' ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
  [ -e $binfmt/qemu-i386 ] || printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' > $binfmt/register
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || { echo "setup: cannot run 32-bit programs on this machine" >&2; exit 1; }
fi
echo "setup: toolchain and the bzip2 and libdivsufsort sources ready"
