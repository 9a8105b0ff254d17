#!/usr/bin/env bash
# The main job: makes a sample application in two releases, builds an updater for it
# with the mendsmith tool and the real (i686) stub, installs the old release in the
# Wine prefix, and applies the update as a user would, showing every message, the
# log and whether the installed folder now equals the new release.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh
for tree in host win32 win64; do
  cmake --preset $tree >/dev/null
  cmake --build --preset $tree >/dev/null
done
source scripts/wine-env.sh
prepare_wine

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
python3 scripts/make_sample.py "$demo"

echo "== Building the updater"
build/host/tool/mendsmith build "$demo/old" "$demo/new" --setup "$demo/Update.ini" --lang "$demo/Language.ini" \
  --stub build/win32/stub-padded.bin -o "$demo/SampleUpdate.exe"
ls -l "$demo/SampleUpdate.exe"

installed="$WINEPREFIX/drive_c/Program Files/Sample Application"
rm -rf "$installed" && mkdir -p "$installed" && cp -r "$demo/old/." "$installed/"

echo "== Applying it under Wine (the i686 updater runs emulated here: allow a few minutes)"
# Wine's drive Z: is the root of the Unix file system.
windows_path() { realpath "$1" | sed 's|^|Z:|; s|/|\\|g'; }
"$WINELOADER" build/win64/tests/e2e/driver.exe "$(windows_path "$demo/SampleUpdate.exe")" --update

echo "== Log written by the updater"
cat "$installed/Mendsmith.log"; echo

echo "== Installed folder against the new release"
if diff -r -x Mendsmith.log -x Mendsmith.bak "$installed" "$demo/new"; then
  echo "the installed folder now equals the new release"
else
  echo "the installed folder differs from the new release" >&2
  exit 1
fi
echo "backup of the replaced files:"
(cd "$installed/Mendsmith.bak" && find . -type f | sort)
