#!/usr/bin/env bash
# The shipped i686 stub, run for real: the tool builds an updater from the sample's two
# releases, the updater runs under Wine on a copy of the old release, and afterwards the
# folder must equal the new release. Writes build/smoke/ctest.xml for the test summary.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
source scripts/wine-env.sh
prepare_wine
out=build/smoke
rm -rf "$out" && mkdir -p "$out"
python3 scripts/make_sample.py "$out"
windows_path() { realpath "$1" | sed 's|^|Z:|; s|/|\\\\|g'; }

check() {
  build/host/tool/mendsmith build "$out/old" "$out/new" --setup "$out/Update.ini" --lang "$out/Language.ini" \
    --stub build/win32/stub-padded.bin --quiet -o "$out/SampleUpdate.exe" || return 1
  installed="$WINEPREFIX/drive_c/Program Files/Sample Application"
  rm -rf "$installed" && mkdir -p "$installed" && cp -r "$out/old/." "$installed/"
  timeout 900 "$WINELOADER" build/win64/tests/e2e/driver.exe "$(windows_path "$out/SampleUpdate.exe")" --update \
    2>&1 | tr -d '\r' > "$out/driver.log"
  grep -q 'message: \[Mendsmith\] Update applied sucessfully!' "$out/driver.log" || return 1
  grep -q '^exit: 0$' "$out/driver.log" || return 1
  diff -r -x Mendsmith.log -x Mendsmith.bak "$installed" "$out/new" >/dev/null || return 1
  # No work directory of the updater is left in the temp folder.
  temp=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | head -n 1)
  [ -d "$temp" ] && ! ls -d "$temp"/MSA* >/dev/null 2>&1
}

if check; then
  echo "i686 updater: applied the sample update under Wine, folder equals the new release"
  result='<testcase name="smoke.i686_updater" status="run"/>'
  status=0
else
  echo "i686 updater: FAILED (see $out/driver.log)" >&2
  cat "$out/driver.log" >&2
  result='<testcase name="smoke.i686_updater" status="run"><failure/></testcase>'
  status=1
fi
printf '<testsuite name="smoke">\n  %s\n</testsuite>\n' "$result" > "$out/ctest.xml"
exit $status
