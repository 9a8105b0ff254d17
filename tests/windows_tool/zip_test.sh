#!/usr/bin/env bash
# The zip as a user gets it: unpacked anywhere, mendsmith.exe builds an updater with the stub that
# lies beside it. Skipped (77) when the zip is not made (cmake --build --preset win64-tool --target package).
set -euo pipefail
zip=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
[ -f "$zip" ] || { echo "no $zip: build the package target first"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work/unpacked"
folder=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d)
[ "$(ls "$folder")" = "$(printf 'mendsmith.exe\nstub-padded.bin')" ] || { echo "unexpected zip content: $(ls "$folder")"; exit 1; }

mkdir -p "$work/old" "$work/new"
printf 'release 1' > "$work/old/app.exe"
printf 'release 2' > "$work/new/app.exe"
printf '[App]\r\nAppName=Zip\r\nMainFile=app.exe\r\n[Path]\r\nSoftWarePath=C:\\Zip\r\n' > "$work/Update.ini"
win() { printf 'Z:%s' "$1" | tr / '\\'; }
"$top/scripts/wine-run" "$folder/mendsmith.exe" build "$(win "$work/old")" "$(win "$work/new")" \
  --setup "$(win "$work/Update.ini")" -o "$(win "$work/Update.exe")" -q </dev/null
stub_size=$(stat -c %s "$folder/stub-padded.bin")
cmp -n "$stub_size" "$folder/stub-padded.bin" "$work/Update.exe" || { echo "the updater does not start with the zip's stub"; exit 1; }
echo "zip: $(basename "$zip") builds an updater with its own stub"
