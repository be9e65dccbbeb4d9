#!/usr/bin/env bash
# The performance figures, each beside its reference measured in the same run, as one table
# (also written to build/bench/bench.txt): the reply framer natively; the port engine's delivery,
# idle CPU and memory under bursts (serial_port_tests' CommPortFigures, with and without the pty
# shim); the panel under Wine against the simulator (CPU idle and linked, with and without the
# shim, beside the wineserver; open click to the first poll; poll cadence; reply-to-display
# latency, directly and through ampd's panel link; start-up beside an empty dialog); `ampctl
# status` beside its floor; ampd natively against the simulator (a reading and a setting beside
# ampctl and their floors, the wire with 1 and 100 readers, its CPU, memory and descriptors); its
# page in headless Chromium (load time and size, a reading's way from the wire to the readout
# beside the panel's, ampd's CPU with 50 event streams); and the programs' sizes.
#   scripts/bench.sh [--only PARTS] [--starts N] [--latency-n N] ...  (tools/bench/bench.py --help)
# Installs what is missing and builds what it needs first; runs on a private Xvfb and Wine prefix
# (build/bench/wineprefix) and ends whatever it started. Times are printed, never checked: the
# exit status is 1 only when a figure could not be measured at all (or a build failed).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

case "${1:-}" in
  -h | --help) sed -n '2,15s/^# \{0,1\}//p' "$0"; exit 0 ;;
esac

# Bad options are found before anything is built.
/usr/bin/python3 tools/bench/bench.py --root . --wine-run - --prefix - --work - --parse-only "$@" || exit 2

work=$root/build/bench
prefix=$work/wineprefix
log=$work/build.log
mkdir -p "$work"
say() { echo "bench: $*"; }

scripts/install-deps.sh || { say "installing the packages failed" >&2; exit 1; }

build() {  # build PRESET TARGET...
  local preset=$1
  shift
  cmake --preset "$preset" >>"$log" 2>&1 && cmake --build --preset "$preset" -j2 --target "$@" >>"$log" 2>&1
}
: >"$log"
say "building (log in $log)"
build native ampsim amp_ptyshim ampctl ampd framerbench &&
  build win64 AmpPanel paneldriver emptydlg ampctl ampd serial_port_tests ||
  { tail -n 20 "$log" >&2; say "the build failed; the whole log is in $log" >&2; exit 1; }
no_win32=()
build win32 AmpPanel ampctl ampd emptydlg || { no_win32=(--no-win32); say "the win32 build failed: no win32 sizes"; }

# A wrapper like the build's own (the same shim switch, AMP_NO_PTY_SHIM), for this run's prefix.
sed "s|^export WINEPREFIX=.*|export WINEPREFIX='$prefix'|" build/win64/wine-run >"$work/wine-run"
chmod +x "$work/wine-run"
grep -q "^export WINEPREFIX='$prefix'\$" "$work/wine-run" ||
  { say "could not make $work/wine-run from build/win64/wine-run" >&2; exit 1; }

. scripts/xvfb.sh
bench_pid=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$bench_pid" ] && kill -0 "$bench_pid" 2>/dev/null; then
    kill -TERM "$bench_pid" 2>/dev/null
    for _ in $(seq 1 150); do kill -0 "$bench_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$bench_pid" 2>/dev/null
    wait "$bench_pid" 2>/dev/null
  fi
  # Simulators and servers of a measuring program that could not end them itself.
  if [ -f "$work/started.pids" ]; then
    while read -r pid; do
      grep -qs -e ampsim -e ampd "/proc/$pid/cmdline" && kill "$pid" 2>/dev/null
    done <"$work/started.pids"
  fi
  WINEPREFIX=$prefix wineserver -k 2>/dev/null
  amp_stop_xvfb
  exit "$status"
}
amp_cleanup_on_exit cleanup

amp_start_xvfb || { say "could not start Xvfb" >&2; exit 1; }
scripts/wine-prefix.sh "$prefix" >/dev/null || { say "could not make the Wine prefix $prefix" >&2; exit 1; }

/usr/bin/python3 tools/bench/bench.py --root "$root" --wine-run "$work/wine-run" --prefix "$prefix" --work "$work" \
  "${no_win32[@]}" "$@" &
bench_pid=$!
wait "$bench_pid"
status=$?
bench_pid=""
exit "$status"
