#!/usr/bin/env bash
# The long runs of the real panel under Wine against the simulator, each its own command:
#   scripts/endurance.sh faults          every fault case, with 50 unplug/replug and 50
#                                        close-during-delivery cycles
#   scripts/endurance.sh soak [MINUTES]  linked while commands are worked (default 10 minutes),
#                                        handles, threads, GDI and USER objects and memory sampled
# Installs what is missing and builds first. Prints the figures; exit status 1 when a check failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() { sed -n '2,7s/^# \{0,1\}//p' "$0"; }
run=${1:-}
case "$run" in
  faults) options=(--cycles 3 --long-cycles 50) ;;
  soak)
    minutes=${2:-10}
    [[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]] || { usage >&2; exit 2; }
    options=(--minutes "$minutes" --sample-s 30) ;;
  -h|--help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake --preset native >/dev/null && cmake --build --preset native -j2 --target ampsim amp_ptyshim
cmake --preset win64 >/dev/null && cmake --build --preset win64 -j2 --target AmpPanel paneldriver

build=$root/build/win64
work=$root/build/endurance/$run
mkdir -p "$work"
. scripts/xvfb.sh
cleanup() {
  WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
  amp_stop_xvfb
}
trap cleanup EXIT
amp_start_xvfb
scripts/wine-prefix.sh "$build/wineprefix" >/dev/null

python3 tests/e2e/endurance.py "$run" "${options[@]}" --wine-run "$build/wine-run" \
  --panel "$build/app/AmpPanel.exe" --driver "$build/tools/paneldriver.exe" \
  --ampsim "$root/build/native/linux/ampsim" --prefix "$build/wineprefix" --work "$work"
