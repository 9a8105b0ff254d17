#!/usr/bin/env bash
# Screenshots of the updater's main window under the virtual X display, in English and in the
# "$0404" translation (LC_ALL=zh_TW.BIG5): docs/main-window.png and docs/main-window-zh_TW.png.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
source scripts/wine-env.sh

# The Chinese texts need a font that has their characters.
if ! fc-list :lang=zh | grep -q .; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q fonts-wqy-microhei >/dev/null
fi
cmake --preset host >/dev/null && cmake --build --preset host --target mendsmith >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 --target mendsmith_stub driver >/dev/null
prepare_wine

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/old" "$work/new" docs
printf 'MZ ledger 2.0' >"$work/old/Ledger.exe"
printf 'MZ ledger 2.1' >"$work/new/Ledger.exe"
build/host/tool/mendsmith build "$work/old" "$work/new" --setup tests/data/Update.ini \
  --lang tests/data/Language.ini --stub build/win32/stub-padded.bin -o "$work/Update.exe" --quiet

# The updater runs in a Wine virtual desktop, which draws the title bar itself; the driver
# holds it open while the desktop's X window is captured and cut to the main window (the
# desktop around it is one plain colour).
shoot() {
  local locale=$1 out=$2 desktop="mendsmith-shot-$$" window= colours=0
  LC_ALL=$locale wine explorer "/desktop=$desktop,640x400" build/win32/tests/e2e/driver.exe \
    "$work/Update.exe" --hold 30 >/dev/null 2>&1 &
  local runner=$!
  for _ in $(seq 300); do
    sleep 2
    window=$(xdotool search --name "$desktop" 2>/dev/null | head -1) || true
    [ -n "$window" ] || continue
    import -window "$window" "$work/shot.png" 2>/dev/null || continue
    colours=$(convert "$work/shot.png" -format %k info:)
    [ "$colours" -gt 16 ] && break
  done
  if [ "$colours" -le 16 ]; then
    echo "screenshot: the main window did not show" >&2
    return 1
  fi
  # Let the window finish painting.
  sleep 4
  import -window "$window" "$work/shot.png"
  convert "$work/shot.png" -trim +repage "$out"
  wait "$runner" || true
  echo "screenshot: $out"
}

shoot C docs/main-window.png
shoot zh_TW.BIG5 docs/main-window-zh_TW.png
