# Sourced by the project's scripts: a private Wine prefix inside the build folder,
# a persistent wineserver and a virtual X display for the tests that show windows.
top=${top:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix}
export WINEDEBUG=-all
# No browser or .NET runtime: their installers would stop the prefix set-up to ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

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
template=${MENDSMITH_WINE_TEMPLATE:-${XDG_CACHE_HOME:-$HOME/.cache}/mendsmith/wineprefix}

prepare_wine() {
  start_virtual_display
  if [ ! -f "$WINEPREFIX/system.reg" ] && [ -f "$template/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")" && cp -a "$template" "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the test prefix (slow once: Wine's 32-bit half may run emulated)"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    rm -rf "$template" && mkdir -p "$(dirname "$template")" && cp -a "$WINEPREFIX" "$template"
  fi
  # A wineserver that stays up spares every test program its start.
  wineserver -p >/dev/null 2>&1 || true
}
