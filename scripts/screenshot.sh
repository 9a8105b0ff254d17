#!/usr/bin/env bash
# Screenshots of the updater's main window under the virtual X display: docs/main-window.png, the
# main job's sample in English, and docs/main-window-zh_TW.png, a Traditional Chinese sample
# (tests/data, Big5 texts) in the "$0404" translation (LC_ALL=zh_TW.BIG5).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
source scripts/wine-env.sh

# The fonts of a Windows desktop (Wine's caption buttons are Marlett glyphs) and one that has the
# Chinese characters.
bash scripts/setup.sh >/dev/null
cmake --preset host >/dev/null && cmake --build --preset host --target mendsmith >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 --target mendsmith_stub driver >/dev/null
prepare_wine

# Debian's Wine does not look where fonts-wine puts its fonts; C:\windows\Fonts is where a
# Windows desktop keeps Tahoma and Marlett (the title bar's buttons are Marlett glyphs).
cp -u /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/zh/old" "$work/zh/new" docs
python3 scripts/make_sample.py "$work/en"
build/host/tool/mendsmith build "$work/en/old" "$work/en/new" --setup "$work/en/Update.ini" \
  --lang "$work/en/Language.ini" --stub build/win32/stub-padded.bin -o "$work/en/Update.exe" --quiet
printf 'MZ ledger 2.0' >"$work/zh/old/Ledger.exe"
printf 'MZ ledger 2.1' >"$work/zh/new/Ledger.exe"
build/host/tool/mendsmith build "$work/zh/old" "$work/zh/new" --setup tests/data/Update.ini \
  --lang tests/data/Language.ini --stub build/win32/stub-padded.bin -o "$work/zh/Update.exe" --quiet

# The updater runs in a Wine virtual desktop, which draws the title bar itself; the driver
# holds it open while the desktop's X window is captured and cut to the main window.
shoot() {
  local locale=$1 updater=$2 out=$3 desktop="mendsmith-shot-$$" window=
  # Tahoma has no Chinese characters: as on Windows, a font linked to it supplies them. Wine
  # rewrites Tahoma's links whenever the code page changes, so they are written in the locale
  # of the shot, which the updater then starts in.
  LC_ALL=$locale "$WINELOADER" reg add \
    'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
    /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
  LC_ALL=$locale "$WINELOADER" explorer "/desktop=$desktop,640x400" build/win32/tests/e2e/driver.exe \
    "$updater" --hold 30 >"$work/driver.log" 2>/dev/null &
  local runner=$! place= left top width height
  # Once the main window shows, the driver prints its place on the desktop: left, top, width
  # and height.
  for _ in $(seq 300); do
    sleep 2
    place=$(sed -n 's/^place: //p' "$work/driver.log" | tr -d '\r')
    [ -n "$place" ] && break
  done
  if [ -z "$place" ]; then
    echo "screenshot: the main window did not show" >&2
    return 1
  fi
  read -r left top width height <<<"$place"
  # Let the window finish painting.
  sleep 4
  window=$(xdotool search --name "$desktop" | head -1)
  import -window "$window" "$work/shot.png"
  convert "$work/shot.png" -crop "${width}x${height}+${left}+${top}" +repage "$out"
  wait "$runner" || true
  echo "screenshot: $out"
}

shoot C "$work/en/Update.exe" docs/main-window.png
shoot zh_TW.BIG5 "$work/zh/Update.exe" docs/main-window-zh_TW.png
