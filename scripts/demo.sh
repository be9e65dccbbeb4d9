#!/usr/bin/env bash
# Runs the panel against the amplifier simulator: installs what is missing, builds, starts the
# simulator on a pseudo-terminal linked as COM5 of a private Wine prefix, and starts the panel under
# Wine on your display. Without a display it runs under Xvfb instead, opens COM5 from the panel,
# waits for live readouts and writes a screenshot (default build/demo/panel.png; or the path given
# with --screenshot PATH).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

screenshot="$root/build/demo/panel.png"
force_headless=0
while [ $# -gt 0 ]; do
  case "$1" in
    --screenshot) screenshot=$(realpath -m "$2"); force_headless=1; shift 2 ;;
    *) echo "usage: scripts/demo.sh [--screenshot PATH]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh
cmake --preset native >/dev/null && cmake --build --preset native -j2 --target ampsim amp_ptyshim
cmake --preset win64 >/dev/null && cmake --build --preset win64 -j2 --target AmpPanel paneldriver

demo="$root/build/demo"
prefix="$demo/wineprefix"
mkdir -p "$demo"
. scripts/xvfb.sh

sim_pid=""
panel_pid=""
cleanup() {
  [ -n "$panel_pid" ] && kill "$panel_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null
  amp_stop_xvfb
}
trap cleanup EXIT

headless=$force_headless
if [ "$headless" = 0 ] && ! { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; then
  headless=1
fi
if [ "$headless" = 1 ]; then
  amp_start_xvfb
fi

scripts/wine-prefix.sh "$prefix" >/dev/null
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's wait for line events then blocks on the pseudo-terminal as it would on a real port.
export LD_PRELOAD="$root/build/native/linux/libamp_ptyshim.so"

build/native/linux/ampsim --output on --link "$prefix/dosdevices/com5" --log "$demo/frames.log" \
  --control "$demo/control.sock" > "$demo/ampsim.out" &
sim_pid=$!
for _ in $(seq 1 100); do grep -q "ampsim: line" "$demo/ampsim.out" 2>/dev/null && break; sleep 0.1; done
echo "demo: simulator on $(cat "$demo/ampsim.out") as COM5; frame log $demo/frames.log"
echo "demo: control it with e.g.: python3 -c 'import socket;s=socket.socket(socket.AF_UNIX);s.connect(\"$demo/control.sock\");s.sendall(b\"state\\n\");print(s.recv(9999).decode())'"

if [ "$headless" = 0 ]; then
  echo "demo: pick COM5 in the panel's list and click OpenPort; close the panel to end the demo"
  wine build/win64/app/AmpPanel.exe
  exit 0
fi

# No display: open the simulator's port from the panel, as an operator would, and take a picture.
wine build/win64/app/AmpPanel.exe &
panel_pid=$!
python3 - "$screenshot" <<'PY'
import subprocess, sys, time
sys.path.insert(0, "tests/e2e")
from harness import *
drive = Driver("wine", "build/win64/tools/paneldriver.exe")
drive("find 30000")
items = drive("items %d" % IDC_PORT_LIST).partition(" sel ")[0].split(",")
drive("select %d %d" % (IDC_PORT_LIST, items.index("COM5")))
drive("click %d" % IDC_OPEN_PORT)
wait_until(lambda: drive("text %d" % IDC_LD_TEMP) != "", 15, "live readouts")
time.sleep(1.0)  # a few more polls, so the readouts have moved
x0, y0, x1, y1 = (int(v) for v in drive("screenrect 0").split())
subprocess.run(["import", "-silent", "-window", "root", "-crop", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0),
                "+repage", sys.argv[1]], check=True)
print("demo: readouts %s mA, in %s dBm, out %s dBm, %s C" % tuple(
    drive("text %d" % i) for i in (IDC_CURRENT_READ, IDC_INPUT_POWER, IDC_OUTPUT_POWER, IDC_LD_TEMP)))
drive("close")
drive.stop()
PY
wait "$panel_pid" 2>/dev/null || true
panel_pid=""
echo "demo: screenshot of the linked panel written to $screenshot"
