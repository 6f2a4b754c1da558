#!/bin/sh
# Sourced by the Wine helpers: finds Wine and prepares a private prefix.
# WINEPREFIX defaults to build-windows/wineprefix; the first use initialises it
# (a minute or so) and stores the window settings for a display without a
# window manager, so dialogs open at once and draw their own captions.
# QUELMAR_WINE_SYSTEM_DLLS names DLLs (paths, space-separated) to put in the
# prefix's system directory for one run, as a driver installs them.

quelmar_root=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$quelmar_root/build-windows/wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEARCH=win64

for quelmar_candidate in "${QUELMAR_WINE:-}" "$(command -v wine64 || true)" \
                         /usr/lib/wine/wine64 "$(command -v wine || true)"; do
  if [ -n "$quelmar_candidate" ] && [ -x "$quelmar_candidate" ]; then
    WINE=$quelmar_candidate
    break
  fi
done
: "${WINE:?no Wine found (install wine64)}"
WINESERVER=$(dirname "$WINE")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)
export WINE WINESERVER

quelmar_wine_prefix_ready() {
  [ -f "$WINEPREFIX/.quelmar-ready" ]
}

# Initialises the prefix once; concurrent callers wait for the first one.
quelmar_wine_init() {
  quelmar_wine_prefix_ready && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    quelmar_wine_prefix_ready && exit 0
    rm -rf "$WINEPREFIX"
    # No Mono or Gecko prompts: nothing here needs .NET or HTML.
    WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot -i >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d Y /f >/dev/null 2>&1
    "$WINESERVER" -w
    touch "$WINEPREFIX/.quelmar-ready"
  ) 9>"$WINEPREFIX.lock"
}

# Puts the DLLs QUELMAR_WINE_SYSTEM_DLLS names into the prefix's system
# directory and takes out those an earlier run put there: each run sees
# exactly the system DLLs it asks for. Runs in one prefix must not overlap.
quelmar_wine_system_dlls() {
  quelmar_system32=$WINEPREFIX/drive_c/windows/system32
  quelmar_installed=$WINEPREFIX/.quelmar-system-dlls
  if [ -f "$quelmar_installed" ]; then
    while read -r quelmar_name; do rm -f "$quelmar_system32/$quelmar_name"; done < "$quelmar_installed"
  fi
  : > "$quelmar_installed"
  for quelmar_dll in ${QUELMAR_WINE_SYSTEM_DLLS:-}; do
    cp -f "$quelmar_dll" "$quelmar_system32/" || return 1
    basename "$quelmar_dll" >> "$quelmar_installed"
  done
}
