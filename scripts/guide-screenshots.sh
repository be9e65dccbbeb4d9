#!/usr/bin/env bash
# Takes the operator guide's pictures (docs/operator/*.png): the real panel under Wine on a private
# Xvfb, against the simulator, worked through the panel driver. See --help.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'EOF'
usage: scripts/guide-screenshots.sh [--out DIR]

Takes the pictures of docs/operator.md: installs what is missing, brings the builds up to date,
starts the simulator, the panel under Wine on a private Xvfb in a private Wine prefix
(build/guide/wineprefix) and the panel driver, and works the panel through closed, probing,
linked in ACC, output on, APC and a line lost while linked, taking one picture of each, cropped
to the window (default folder: docs/operator). Ends everything it started, pass or fail.
EOF
}

out=$root/docs/operator
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --out)
      [ $# -ge 2 ] && [ -n "$2" ] || { echo "guide-screenshots: --out needs a folder" >&2; exit 2; }
      out=$(realpath -m "$2")
      shift 2 ;;
    *) echo "guide-screenshots: unknown option: $1 (--help for the usage)" >&2; exit 2 ;;
  esac
done
mkdir -p "$out" && [ -w "$out" ] || { echo "guide-screenshots: cannot write to $out" >&2; exit 2; }

work=$root/build/guide
mkdir -p "$work"
"$root/scripts/install-deps.sh" >/dev/null
echo "guide-screenshots: building (log in $work/build.log)"
(
  cd "$root"
  cmake --preset native && cmake --build --preset native -j2 --target ampsim amp_ptyshim &&
    cmake --preset win64 && cmake --build --preset win64 -j2 --target AmpPanel paneldriver
) >"$work/build.log" 2>&1 || { tail -n 20 "$work/build.log" >&2; exit 1; }

. "$root/scripts/xvfb.sh"
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LD_PRELOAD=$root/build/native/linux/libamp_ptyshim.so
cleanup() {
  wineserver -k 2>/dev/null || true
  amp_stop_xvfb
}
trap cleanup EXIT
amp_start_xvfb
echo "guide-screenshots: Wine prefix $WINEPREFIX (Wine's messages: $work/wine.log)"
"$root/scripts/wine-prefix.sh" "$WINEPREFIX" >"$work/wine.log" 2>&1

# The simulator's COM number: the first that Wine does not link to a serial device of this machine
# at its start (one a /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, counted from 0 while they exist).
com=1
for pattern in /dev/ttyS /dev/ttyUSB /dev/ttyACM; do
  for ((i = 0; ; i++)); do [ -e "$pattern$i" ] || break; com=$((com + 1)); done
done

python3 "$root/scripts/panelshots.py" guide --out "$out" --work "$work" --com "$com" \
  --panel "$root/build/win64/app/AmpPanel.exe" --driver "$root/build/win64/tools/paneldriver.exe" \
  --ampsim "$root/build/native/linux/ampsim"
