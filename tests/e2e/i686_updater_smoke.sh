#!/usr/bin/env bash
# The shipped i686 stub, run for real under Wine on a copy of the sample's old release:
# - the tool's updater brings the folder to the new release;
# - a run stopped by its last entry (a file named like the main file, changed on disk) puts
#   every file it had replaced back as it was;
# - the same updater signed (a certificate table after the package) and asking for the asInvoker
#   level still applies.
# Writes build/smoke/ctest.xml for the test summary.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
source scripts/wine-env.sh
prepare_wine
out=build/smoke
rm -rf "$out" && mkdir -p "$out"
python3 scripts/make_sample.py "$out"
installed="$WINEPREFIX/drive_c/Program Files/Sample Application"
windows_path() { realpath "$1" | sed 's|^|Z:|; s|/|\\\\|g'; }

# run_updater OLD NEW INSTALL NAME [BUILD_ARGS...]: builds NAME.exe from the trees OLD and NEW,
# installs a copy of INSTALL and presses Update with the driver, whose output goes to NAME.log
# (the tool's warnings to NAME.build.log).
run_updater() {
  build/host/tool/mendsmith build "$1" "$2" --setup "$out/Update.ini" --lang "$out/Language.ini" \
    --stub build/win32/stub-padded.bin --quiet -o "$out/$4.exe" "${@:5}" 2> "$out/$4.build.log" || return 1
  rm -rf "$installed" && mkdir -p "$installed" && cp -r "$3/." "$installed/"
  timeout 900 "$WINELOADER" build/win64/tests/e2e/driver.exe "$(windows_path "$out/$4.exe")" --update \
    2>&1 | tr -d '\r' > "$out/$4.log"
}

# No work directory of the updater is left in the temp folder.
no_work_directory_left() {
  local temp
  temp=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | head -n 1)
  [ -d "$temp" ] && ! ls -d "$temp"/MSA* >/dev/null 2>&1
}

# applies_update [NAME BUILD_ARGS...]
applies_update() {
  local name=${1:-SampleUpdate}
  run_updater "$out/old" "$out/new" "$out/old" "$name" "${@:2}" || return 1
  grep -q 'message: \[Mendsmith\] Update applied sucessfully!' "$out/$name.log" || return 1
  grep -q '^exit: 0$' "$out/$name.log" || return 1
  diff -r -x Mendsmith.log -x Mendsmith.bak "$installed" "$out/new" >/dev/null || return 1
  no_work_directory_left
}

# The stub reads its two records and never the alignment padding or certificate table after them.
# Its manifest, rewritten to the shortest level the tool writes (blanks after it in the tag), loads.
signed_update_applies() {
  bash tests/support/make_signing_cert.sh "$out/signer" || return 1
  applies_update SignedUpdate --execution-level asInvoker --sign "$out/signer/signer.pfx" \
    --sign-password-file "$out/signer/password.txt" || return 1
  grep -q 'requestedExecutionLevel level="asInvoker"           />' "$out/SignedUpdate.exe" || return 1
  osslsigncode verify -CAfile "$out/signer/signer.pem" -in "$out/SignedUpdate.exe" > "$out/SignedUpdate.verify.log"
}

stop_restores_replaced_files() {
  local old="$out/stop-old" new="$out/stop-new" before="$out/stop-installed"
  cp -r "$out/old" "$old" && cp -r "$out/new" "$new"
  mkdir -p "$old/zz" "$new/zz"
  printf 'tools 1.0' > "$old/zz/Sample.exe" && printf 'tools 1.1' > "$new/zz/Sample.exe"
  # The installed copy of zz/Sample.exe differs from both releases, so the last entry fails with
  # a CRC error and, bearing the main file's name, stops the run after the others were applied.
  cp -r "$old" "$before" && printf 'tools 1.0, edited' > "$before/zz/Sample.exe"
  run_updater "$old" "$new" "$before" StoppedUpdate || return 1
  grep -q 'message: \[Mendsmith\] Main file updating failed' "$out/StoppedUpdate.log" || return 1
  grep -q '^exit: 0$' "$out/StoppedUpdate.log" || return 1
  # Every replaced file is back byte for byte; the added file stays.
  cp "$new/data/lang/de.txt" "$before/data/lang/de.txt"
  diff -r -x Mendsmith.log "$installed" "$before" >/dev/null || return 1
  no_work_directory_left
}

status=0
cases=""
for name in applies_update stop_restores_replaced_files signed_update_applies; do
  if $name; then
    echo "i686 updater: $name passed"
    cases+="  <testcase name=\"smoke.i686_$name\" status=\"run\"/>"$'\n'
  else
    echo "i686 updater: $name FAILED (driver output in $out)" >&2
    cat "$out"/*.log >&2
    cases+="  <testcase name=\"smoke.i686_$name\" status=\"run\"><failure/></testcase>"$'\n'
    status=1
  fi
done
printf '<testsuite name="smoke">\n%s</testsuite>\n' "$cases" > "$out/ctest.xml"
exit $status
