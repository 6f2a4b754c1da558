#!/bin/sh
# Runs a Windows program under Wine on a virtual X display (the cross build's
# test emulator). Without a DISPLAY it starts its own Xvfb for the run.
set -eu
. "$(dirname "$0")/wine-env.sh"

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$@"
fi

quelmar_wine_init
quelmar_wine_system_dlls
status=0
"$WINE" "$@" || status=$?
# The prefix's server and desktop belong to this display: stop them with it.
"$WINESERVER" -k >/dev/null 2>&1 || true
exit $status
