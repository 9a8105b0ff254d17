#!/usr/bin/env bash
# The shipped i686 stub, run for real under Wine on a copy of the sample's old release:
# - the tool's updater brings the folder to the new release;
# - a run stopped by its last entry (a file named like the main file, changed on disk) puts
#   every file it had replaced back as it was;
# - the same updater signed (a certificate table after the package) and asking for the asInvoker
#   level still applies;
# - a real release that drops files of its predecessor (bench/patch_size.py's REMOVAL_PAIR)
#   leaves exactly the new release's files, the dropped ones in the backup folder;
# - programs of each width are rebuilt from predicted difference bodies.
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

# run_updater OLD NEW INSTALL NAME [BUILD_ARGS...]: builds NAME.exe from the trees OLD and NEW
# (with $SETUP, else the sample's Update.ini), installs a copy of INSTALL and presses Update with
# the driver, whose output goes to NAME.log (the tool's warnings to NAME.build.log).
run_updater() {
  build/host/tool/mendsmith build "$1" "$2" --setup "${SETUP:-$out/Update.ini}" --lang "$out/Language.ini" \
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

# Two test programs of this build, which share their test framework at moved addresses, stand in
# for a program and its next release, in 32 and 64 bits.
predicted_bodies_rebuild_programs() {
  local old="$out/programs-old" new="$out/programs-new"
  cp -r "$out/old" "$old" && cp -r "$out/new" "$new"
  cp build/win32/tests/win32/tree_ops_test.exe "$old/App32.exe"
  cp build/win32/tests/win32/checksum_test.exe "$new/App32.exe"
  cp build/win64/tests/win32/tree_ops_test.exe "$old/App64.dll"
  cp build/win64/tests/win32/checksum_test.exe "$new/App64.dll"
  run_updater "$old" "$new" "$old" PredictedUpdate || return 1
  [ "$(build/host/tool/mendsmith inspect "$out/PredictedUpdate.exe" | grep -c 'predicted difference body')" = 2 ] ||
    return 1
  grep -q 'message: \[Mendsmith\] Update applied sucessfully!' "$out/PredictedUpdate.log" || return 1
  diff -r -x Mendsmith.log -x Mendsmith.bak "$installed" "$new" >/dev/null || return 1
  no_work_directory_left
}

# Skipped (77) when the pair cannot be fetched, as on a machine without the registry.
real_release_removes_dropped_files() {
  local folders old new
  folders=$(python3 bench/patch_size.py --fetch-removal-pair 2> "$out/RemovalPair.fetch.log") || return 77
  old=$(sed -n 1p <<< "$folders") new=$(sed -n 2p <<< "$folders")
  printf '[App]\r\nAppName=chalk\r\nMainFile=package.json\r\n[Path]\r\nSoftWarePath=%s\r\n' \
    'C:\Program Files\Sample Application' > "$out/RemovalPair.ini"
  SETUP="$out/RemovalPair.ini" run_updater "$old" "$new" "$old" RemovalPair || return 1
  grep -q 'message: \[Mendsmith\] Update applied sucessfully!' "$out/RemovalPair.log" || return 1
  diff -r -x Mendsmith.log -x Mendsmith.bak "$installed" "$new" >/dev/null || return 1
  # Each file only the old release has is logged as removed and kept in the backup folder.
  local dropped
  dropped=$(cd "$old" && find . -type f | sort | while read -r f; do [ -e "$new/$f" ] || echo "${f#./}"; done)
  [ -n "$dropped" ] || return 1
  while read -r f; do
    grep -qxF "${f//\//\\} -> Removed." <(tr -d '\r' < "$installed/Mendsmith.log") || return 1
    cmp -s "$old/$f" "$installed/Mendsmith.bak/$f" || return 1
  done <<< "$dropped"
  no_work_directory_left
}

status=0
cases=""
for name in applies_update stop_restores_replaced_files signed_update_applies real_release_removes_dropped_files \
  predicted_bodies_rebuild_programs; do
  $name
  result=$?
  if [ $result -eq 77 ]; then
    echo "i686 updater: $name skipped"
    cases+="  <testcase name=\"smoke.i686_$name\" status=\"notrun\"><skipped message=\"SKIP_REGEX_MATCHED\"/></testcase>"$'\n'
  elif [ $result -eq 0 ]; then
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
