#!/usr/bin/env bash
# The long runs, each its own command (the test command runs a short form of each):
#   scripts/endurance.sh faults          the panel under Wine: every fault case, with 50
#                                        unplug/replug and 50 close-during-delivery cycles
#   scripts/endurance.sh soak [MINUTES]  the panel under Wine linked while commands are worked
#                                        (default 10 minutes), handles, threads, GDI and USER
#                                        objects and memory sampled
#   scripts/endurance.sh readers         ampd with 100 readers and 10 event streams for a minute:
#                                        the wire unchanged, every reader answered, memory flat
#   scripts/endurance.sh page            ampd's page in headless Chromium for a minute of changing
#                                        readings: heap, nodes and listeners flat
#   scripts/endurance.sh launch [RUNS]   scripts/panel.sh --device against the simulator, each run
#                                        (default 10) in a new Wine prefix on a desktop's display:
#                                        the panel starts and links, panel.sh ends as it closes
#                                        (no short form in the test command)
# Installs what is missing and builds first. Prints the figures; exit status 1 when a check failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() { sed -n '2,15s/^# \{0,1\}//p' "$0"; }
run=${1:-}
case "$run" in
  faults) options=(--cycles 3 --long-cycles 50) ;;
  soak)
    minutes=${2:-10}
    [[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]] || { usage >&2; exit 2; }
    options=(--minutes "$minutes" --sample-s 30) ;;
  launch)
    runs=${2:-10}
    [[ "$runs" =~ ^[1-9][0-9]*$ ]] || { usage >&2; exit 2; } ;;
  readers | page) ;;
  -h|--help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac

scripts/install-deps.sh
work=$root/build/endurance/$run
mkdir -p "$work"
native=$root/build/native
cmake --preset native >/dev/null

case "$run" in
  readers)
    cmake --build --preset native -j2 --target ampd ampsim
    exec /usr/bin/python3 tests/ampd/server_test.py load --load-seconds 60 --ampd "$native/ampd/ampd" \
      --ampsim "$native/linux/ampsim" --version "$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" \
      --work "$work" ;;
  page)
    cmake --build --preset native -j2 --target ampd ampsim
    exec /usr/bin/python3 tests/web/page_test.py --only memory --soak-seconds 60 --ampd "$native/ampd/ampd" \
      --ampsim "$native/linux/ampsim" --work "$work" ;;
esac

cmake --build --preset native -j2 --target ampsim amp_ptyshim
cmake --preset win64 >/dev/null && cmake --build --preset win64 -j2 --target AmpPanel paneldriver
build=$root/build/win64
. scripts/xvfb.sh
cleanup() {
  WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
  amp_stop_xvfb
}
trap cleanup EXIT
amp_start_xvfb
if [ "$run" = launch ]; then
  /usr/bin/python3 tools/bench/launch_runs.py --runs "$runs" --desktop --panel "$build/app/AmpPanel.exe" \
    --driver "$build/tools/paneldriver.exe" --ampsim "$native/linux/ampsim" --work "$work"
  exit
fi
scripts/wine-prefix.sh "$build/wineprefix" >/dev/null

/usr/bin/python3 tools/bench/endurance.py "$run" "${options[@]}" --wine-run "$build/wine-run" \
  --panel "$build/app/AmpPanel.exe" --driver "$build/tools/paneldriver.exe" \
  --ampsim "$native/linux/ampsim" --prefix "$build/wineprefix" --work "$work"
