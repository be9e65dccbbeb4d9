#!/bin/sh
# Creates (or refreshes) a private Wine prefix for the tests and the demo.
#   scripts/wine-prefix.sh PREFIX
set -eu
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
command -v wine >/dev/null || { echo "wine-prefix: wine is not installed (scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$prefix"
if [ ! -f "$prefix/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
[ -f "$prefix/system.reg" ] || { echo "wine-prefix: wineboot did not create $prefix" >&2; exit 1; }
# Without a window manager Wine otherwise waits about 2 s for every window it hides or destroys.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -w
echo "wine-prefix: ready at $prefix"
