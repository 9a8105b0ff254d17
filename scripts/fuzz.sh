#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for the given seconds (default 600),
# starting from the seed corpora in fuzz/corpus. Writes build/fuzz/ctest.xml for the
# test summary and prints each target's executions and coverage.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
out=$top/build/fuzz
CC=clang CXX=clang++ cmake -S "$top/fuzz" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
  cmake --build "$out" >/dev/null || { echo "fuzz build failed" >&2; exit 1; }

echo '<testsuite name="fuzz">' > "$out/ctest.xml.new"
status=0
for target in package_record_fuzz bundle_fuzz patch_data_fuzz format_reader_fuzz reference_fuzz bzip2_copy_fuzz; do
  work=$out/corpus/$target
  mkdir -p "$work" "$out/crashes/$target"
  # Regressions: every input that once failed is replayed before the timed run.
  regress=()
  [ -d "$top/fuzz/regressions/$target" ] && regress=("$top/fuzz/regressions/$target"/*)
  log=$out/$target.log
  if [ ${#regress[@]} -gt 0 ] && ! "$out/$target" "${regress[@]}" >"$log.regress" 2>&1; then
    ok=0
  else
    "$out/$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/crashes/$target/" \
      "$work" "$top/fuzz/corpus/$target" >"$log" 2>&1
    ok=$([ $? -eq 0 ] && echo 1 || echo 0)
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" 2>/dev/null | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "$log" 2>/dev/null | tail -n 1)
  if [ "$ok" = 1 ]; then
    echo "$target: ${runs:-0} executions in ${seconds}s, ${cov:-cov: ?}, no crash"
    echo "  <testcase name=\"fuzz.$target\" status=\"run\"/>" >> "$out/ctest.xml.new"
  else
    echo "$target: FAILED, see $log and $out/crashes/$target" >&2
    echo "  <testcase name=\"fuzz.$target\" status=\"run\"><failure/></testcase>" >> "$out/ctest.xml.new"
    status=1
  fi
done
echo '</testsuite>' >> "$out/ctest.xml.new"
mv "$out/ctest.xml.new" "$out/ctest.xml"
exit $status
