#!/usr/bin/env bash
# Takes a screenshot of the panel running under Wine and measures how long it takes to appear and
# to end after its close box.
#
#   scripts/screenshot.sh [AMPPANEL_EXE] [OUTPUT_PNG]
#
# Builds nothing. AMPPANEL_EXE defaults to build/win64/app/AmpPanel.exe; the panel driver is
# taken from the same build (tools/paneldriver.exe). OUTPUT_PNG defaults to
# docs/panel.png. Runs on a private Xvfb and a private Wine prefix inside the build folder, and
# ends both when it finishes, pass or fail. Exits non-zero if the panel does not appear, or is
# still running a second after its close box was pressed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
exe=$(realpath -m "${1:-$root/build/win64/app/AmpPanel.exe}")
out=$(realpath -m "${2:-$root/docs/panel.png}")
build=$(dirname "$(dirname "$exe")")
driver=$build/tools/paneldriver.exe
caption="Lumacore - 10W - V20240531"

die() {
  echo "screenshot: $*" >&2
  exit 1
}
[ -f "$exe" ] || die "no program at $exe (build it first)"
[ -f "$driver" ] || die "no panel driver at $driver (build the target paneldriver)"
for tool in wine wineserver Xvfb xwininfo import; do
  command -v "$tool" >/dev/null || die "$tool is not installed (scripts/install-deps.sh)"
done

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Waits until the command succeeds or timeout_ms pass.
wait_for() {  # wait_for TIMEOUT_MS COMMAND...
  local deadline=$(($(now_ms) + $1))
  shift
  until "$@"; do
    [ "$(now_ms)" -lt "$deadline" ] || return 1
    sleep 0.02
  done
}

. "$root/scripts/xvfb.sh"
export WINEPREFIX=$build/screenshot-wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
panel_pid=""
shot_dir=$(mktemp -d)
cleanup() {
  [ -n "$panel_pid" ] && kill "$panel_pid" 2>/dev/null || true
  [ -n "${DRIVER_PID:-}" ] && kill "$DRIVER_PID" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  amp_stop_xvfb
  rm -rf "$shot_dir"
}
trap cleanup EXIT

amp_start_xvfb || die "no X server"
"$root/scripts/wine-prefix.sh" "$WINEPREFIX" >/dev/null || die "could not prepare the Wine prefix"
# Keep the prefix's server running, so the start-up time is the program's, not the server's.
wineserver -w
wineserver -p || die "could not start the Wine server"
wine cmd /c exit >/dev/null 2>&1 || true

window_id() {
  xwininfo -root -tree | awk -v want="\"$caption\":" 'index($0, want) { print $1; exit }' | grep .
}
viewable() {
  local id
  id=$(window_id) && xwininfo -id "$id" | grep -q "Map State: IsViewable"
}

start=$(now_ms)
wine "$exe" &
panel_pid=$!
wait_for 30000 viewable || die "no window captioned \"$caption\" within 30 s"
shown=$(now_ms)
id=$(window_id)

# The window is mapped; take pictures until two in a row agree, so painting has finished.
geometry=$(xwininfo -id "$id" | awk '
  /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
  /Width:/ { w = $NF } /Height:/ { h = $NF }
  END { printf "%dx%d+%d+%d", w, h, x, y }')
snap() { import -window root -crop "$geometry" +repage "$1"; }
same_twice() {
  snap "$shot_dir/b.png"
  if [ -f "$shot_dir/a.png" ] && cmp -s <(convert "$shot_dir/a.png" rgb:-) <(convert "$shot_dir/b.png" rgb:-); then
    return 0
  fi
  mv "$shot_dir/b.png" "$shot_dir/a.png"
  sleep 0.1
  return 1
}
wait_for 10000 same_twice || die "the panel kept changing for 10 s"
mkdir -p "$(dirname "$out")"
mv "$shot_dir/b.png" "$out"

# Close it with the caption's close box, through the panel driver, and see the process end.
coproc DRIVER { wine "$driver" 2>/dev/null; }
drive() {  # drive COMMAND: sends one command, fails unless the driver answers "ok"
  local answer
  echo "$1" >&"${DRIVER[1]}"
  read -r -t 30 answer <&"${DRIVER[0]}" || die "panel driver: no answer to $1"
  answer=${answer%$'\r'}  # Windows line ends
  [ "$answer" = ok ] || die "panel driver: $1: $answer"
}
drive "find 5000"
closed=$(now_ms)
drive close
process_gone() { ! kill -0 "$panel_pid" 2>/dev/null; }
wait_for 1000 process_gone || die "AmpPanel.exe still running a second after the close"
gone=$(now_ms)
wait "$panel_pid" || true
panel_pid=""
echo quit >&"${DRIVER[1]}"

echo "screenshot: $out ($geometry)"
echo "screenshot: AmpPanel.exe $(stat -c %s "$exe") bytes"
echo "screenshot: start to visible window $((shown - start)) ms"
echo "screenshot: close box to exit $((gone - closed)) ms"
