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
# The panel's font, Cambria, is not on Linux: a serif face stands in for it, and the CJK face that
# Debian ships supplies the glyphs it lacks (the step buttons' 《 》 and the degree sign ℃).
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Cambria /d 'DejaVu Serif' /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
  /v 'DejaVu Serif' /t REG_MULTI_SZ /d 'wqy-zenhei.ttc,WenQuanYi Zen Hei' /f >/dev/null 2>&1
wineserver -w
echo "wine-prefix: ready at $prefix"
