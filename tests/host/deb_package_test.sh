#!/usr/bin/env bash
# deb_package_test.sh CPACK TREE STUB: the Debian package as a user gets it. cpack makes it from the
# tree, dpkg -x installs it into a scratch root, and the installed tool, given no --stub, builds
# an updater from the stub the package installed; verify then reads it. Skipped (77) while the
# win32 tree has not built the stub the package carries.
set -euo pipefail
cpack=$1 tree=$2 stub=$3
[ -f "$stub" ] || { echo "no stub at $stub: build the win32 tree first"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

"$cpack" --config "$tree/CPackConfig.cmake" -B "$scratch/out" >/dev/null || fail "cpack"
deb=$(ls "$scratch"/out/mendsmith_*.deb)
recommends=$(dpkg-deb -f "$deb" Recommends | tr ',' '\n' | sed 's/^ *//')
grep -qx osslsigncode <<<"$recommends" || fail "osslsigncode is not recommended"
# The signature check opens libcrypto itself, so no library dependency names it.
grep -q '^libssl3' <<<"$recommends" || fail "libcrypto's package is not recommended"
dpkg -x "$deb" "$scratch/root"
tool=$scratch/root/usr/bin/mendsmith
installed_stub=$scratch/root/usr/share/mendsmith/stub-padded.bin
[ -x "$tool" ] && [ -f "$installed_stub" ] || fail "the package lacks the tool or its stub"

# A mark in the installed stub's last byte, so that the updater shows which stub it was built from.
printf '\001' | dd of="$installed_stub" bs=1 seek=$((0x79FF)) conv=notrunc status=none
mkdir -p "$scratch/old" "$scratch/new"
printf 'release 1' > "$scratch/old/app.exe"
printf 'release 2' > "$scratch/new/app.exe"
printf '[App]\r\nAppName=Test\r\nMainFile=app.exe\r\n[Path]\r\nSoftWarePath=C:\\Test\r\n' > "$scratch/Update.ini"
(cd "$scratch" && "$tool" build old new --setup Update.ini -o Update.exe --quiet) || fail "build with the installed tool"
cmp -s -n $((0x7A00)) "$scratch/Update.exe" "$installed_stub" || fail "the updater does not carry the installed stub"
"$tool" verify "$scratch/Update.exe" "$scratch/old" | grep -q 'the run would complete' || fail "verify"
echo "the installed package builds and verifies an updater"
