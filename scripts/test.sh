#!/usr/bin/env bash
# Builds every tree and runs every test: host tests natively, once more under ASan and
# UBSan, Windows tests under Wine. Ends with the line "N passed, N failed" (", N skipped"
# when some were); exits non-zero when a test failed.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh || exit 1
source scripts/wine-env.sh

build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" || { echo "build of the $1 tree failed" >&2; exit 1; }
}
build host
build host-sanitize
build win32
build win64
build win64-tool
# The zip holds the i686 stub that the win32 tree has just written.
cmake --build --preset win64-tool --target package >/dev/null || { echo "packaging the Windows tool failed" >&2; exit 1; }
# The tool's Debian package, carrying the stub just built: build/host/package/mendsmith_*.deb.
cpack --config build/host/CPackConfig.cmake >/dev/null || { echo "packaging the tool failed" >&2; exit 1; }
prepare_wine

rm -rf build/*/test-results build/*/ctest.xml
# The test programs write their reports here; a Windows program cannot make the folder itself.
mkdir -p build/host/test-results build/host-sanitize/test-results build/win64/test-results
status=0
ctest --preset host --output-junit "$top/build/host/ctest.xml" || status=1
ctest --preset host-sanitize --output-junit "$top/build/host-sanitize/ctest.xml" || status=1
# The Windows tests run from the x86-64 tree: on this kind of machine Wine's 32-bit half
# is emulated and a 32-bit program needs about a minute to start. The shipped i686 stub
# is still run for real by the end-to-end tests below.
ctest --preset win64 --output-junit "$top/build/win64/ctest.xml" || status=1
# The Windows tool's own checks and its zip; the host tree's command-line tests ran it already.
ctest --preset win64-tool --output-junit "$top/build/win64-tool/ctest.xml" || status=1

# The shipped i686 stub, run for real (emulated here, so a few runs only: whole updates, one
# of a real release that drops files, and a stopped run).
bash tests/e2e/i686_updater_smoke.sh || status=1

# Each fuzz target briefly (a minute in all); scripts/fuzz.sh 600 is the long run.
bash scripts/fuzz.sh 15 || status=1

python3 scripts/count_results.py build/host build/host-sanitize build/win64 build/win64-tool build/smoke build/fuzz || status=1
exit $status
