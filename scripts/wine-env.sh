# Sourced by the project's scripts: a private Wine prefix inside the build folder,
# a persistent wineserver and a virtual X display for the tests that show windows.
top=${top:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
# A 64-bit prefix: 64-bit programs run natively, 32-bit ones through Wine's WoW64
# (emulated where the kernel runs no 32-bit code, see scripts/setup.sh).
export WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix64}
export WINEARCH=win64
export WINELOADER=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver64
export WINEDEBUG=-all
# No browser or .NET runtime: their installers would stop the prefix set-up to ask.
export WINEDLLOVERRIDES="mscoree,mshtml="

start_virtual_display() {
  if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    export DISPLAY=:77
    if ! xdpyinfo -display :77 >/dev/null 2>&1; then
      Xvfb :77 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      for _ in $(seq 50); do xdpyinfo -display :77 >/dev/null 2>&1 && break; sleep 0.2; done
    fi
  fi
}

# A pristine prefix kept outside the checkout, so that a clean build copies it
# instead of waiting minutes for Wine's first start.
template=${MENDSMITH_WINE_TEMPLATE:-${XDG_CACHE_HOME:-$HOME/.cache}/mendsmith/wineprefix64}

prepare_wine() {
  start_virtual_display
  mkdir -p "$(dirname "$WINEPREFIX")"
  # One creator at a time: tests and scripts may start together.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.update-timestamp" ] && [ -f "$template/.update-timestamp" ]; then
    rm -rf "$WINEPREFIX" && mkdir -p "$(dirname "$WINEPREFIX")" && cp -a "$template" "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/.update-timestamp" ]; then
    echo "wine: creating the test prefix (minutes, once: Wine's 32-bit half may run emulated)"
    "$WINELOADER" wineboot -i >/dev/null 2>&1 || true
    "$WINESERVER" -w
    rm -rf "$template" && mkdir -p "$(dirname "$template")" && cp -a "$WINEPREFIX" "$template"
  fi
  # A wineserver that stays up spares every test program its start. Wine's own services
  # start with the first program and outlive it; started here, they do not hold on to the
  # output pipe of a test that ctest waits on.
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null || true
  "$WINELOADER" cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
  flock -u 9
  exec 9>&-
}
