#!/usr/bin/env bash
# Runs the control panel (AmpPanel.exe) under Wine on Linux with a serial device as one of its COM
# ports: a USB serial adapter, a pseudo-terminal, or the amplifier simulator. See --help.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/panel

usage() {
  cat <<'EOF'
usage: scripts/panel.sh --device DEVICE [--com N] [--exe AMPPANEL_EXE] [--screenshot PNG]
       scripts/panel.sh --device DEVICE --share [--scpi ADDR:PORT] [--http [ADDR:PORT]] [--guard RULES]
                        [--log FILE] [--audit FILE] [--token-file FILE] [--com N]
       scripts/panel.sh --sim [--com N] [--build] [--screenshot PNG]

Runs the amplifier's control panel (AmpPanel.exe) under Wine on your display, with a serial device
linked as one of the COM ports of a Wine prefix. Pick that port in the panel's list and click
OpenPort. The link is removed when the panel ends, however it ends (Ctrl+C here included).

  --device DEVICE   the amplifier's serial device: /dev/ttyUSB0, /dev/serial/by-id/..., or a
                    pseudo-terminal such as /dev/pts/3
  --sim             the amplifier simulator (ampsim) on a pseudo-terminal, output on, instead
  --share          the panel through ampd, which owns the device and serves scripts and the page
                    beside the panel: ampd is started on the device with a panel link (or one
                    already running on it with --panel-link is used), and that link is the
                    panel's COM port. --scpi, --http, --guard, --log, --audit and --token-file go
                    to ampd; the audit goes to ${XDG_STATE_HOME:-~/.local/state}/ampanel/audit.log
                    unless given. Each alarm that latches is printed here with how to clear it.
                    An ampd started here stops with the panel; one already running goes on
  --com N           the COM number (1 to 254) the panel lists it as. Default: COM1, or, as Wine
                    links COM1, COM2, ... to /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* at every
                    start, the lowest number after those and free (it is said at the start)
  --exe PATH        the panel to run; default build/win64/app/AmpPanel.exe, built if missing
  --build           install missing packages and bring every build it uses up to date first
  --screenshot PNG  no window on your display: runs on a private Xvfb, opens the port from the
                    panel, waits for live readouts, writes a picture of the panel to PNG, closes
                    the panel. The default for --sim when there is no display (build/panel/panel.png)
  -h, --help        this text

The Wine prefix is $WINEPREFIX if set, otherwise ${XDG_DATA_HOME:-~/.local/share}/ampanel/wineprefix,
made on the first run (about a minute) with the fonts the panel needs. A pseudo-terminal gets the
shim build/native/linux/libamp_ptyshim.so preloaded, so that Wine waits on it as on a real port.
Wine's own messages go to build/panel/wine.log.

While the panel runs, the device's lock file (/var/lock/LCK..ttyUSB0, LCK..pts_3 for /dev/pts/3)
and flock are held for it, so that ampctl, minicom and the like see the port as busy; both go when
it ends.

Exit status: 0 the panel ended; 1 it could not be started (no display, build or Wine failed);
2 bad options; 3 the device is missing, not permitted to this user, or busy (open, or locked by
another program).
EOF
}

say() { echo "panel: $*"; }
fail() {  # fail STATUS MESSAGE...
  local status=$1
  shift
  printf 'panel: %s\n' "$@" >&2
  exit "$status"
}
bad_usage() { fail 2 "$1" "usage: scripts/panel.sh --device DEVICE [--com N] | --sim; --help for more"; }

# ---- options, all checked before anything is built or started --------------------------------

device=""
sim=0
com=""
exe=""
build=0
screenshot=""
share=0
ampd_args=()
audit=""
scpi_first=""
http_first=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --device | --com | --exe | --screenshot)
      [ $# -ge 2 ] && [ -n "$2" ] && [ "${2#--}" = "$2" ] || bad_usage "$1 needs a value"
      case "$1" in
        --device) device=$2 ;;
        --com) com=$2 ;;
        --exe) exe=$2 ;;
        --screenshot) screenshot=$2 ;;
      esac
      shift 2 ;;
    --device=* | --com=* | --exe=* | --screenshot=*)
      set -- "${1%%=*}" "${1#*=}" "${@:2}" ;;
    --share) share=1; shift ;;
    --scpi | --guard | --log | --audit | --token-file)
      [ $# -ge 2 ] && [ -n "$2" ] || bad_usage "$1 needs a value"
      case "$1" in
        --audit) audit=$(realpath -m "$2") ;;
        --scpi) ampd_args+=("$1" "$2"); [ -n "$scpi_first" ] || scpi_first=$2 ;;
        --log | --token-file) ampd_args+=("$1" "$(realpath -m "$2")") ;;
        *) ampd_args+=("$1" "$2") ;;
      esac
      shift 2 ;;
    --http)
      if [ $# -ge 2 ] && [ "${2#-}" = "$2" ]; then
        ampd_args+=(--http "$2"); [ -n "$http_first" ] || http_first=$2; shift 2
      else
        ampd_args+=(--http); [ -n "$http_first" ] || http_first=127.0.0.1:8080; shift
      fi ;;
    --sim) sim=1; shift ;;
    --build) build=1; shift ;;
    *) bad_usage "unknown option: $1" ;;
  esac
done
[ -n "$device" ] || [ "$sim" = 1 ] || bad_usage "say which device (--device DEVICE) or --sim"
[ -z "$device" ] || [ "$sim" = 0 ] || bad_usage "--device and --sim exclude each other"
if [ "$share" = 0 ] && { [ ${#ampd_args[@]} -gt 0 ] || [ -n "$audit" ]; }; then
  bad_usage "--scpi, --http, --guard, --log, --audit and --token-file go with --share"
fi
[ "$share" = 0 ] || [ -n "$device" ] || bad_usage "--share needs --device DEVICE"
[ "$share" = 0 ] || [ -z "$screenshot" ] || bad_usage "--share runs on your display: no --screenshot"
if [ -n "$com" ]; then
  [[ "$com" =~ ^[0-9]+$ ]] && [ "$((10#$com))" -ge 1 ] && [ "$((10#$com))" -le 254 ] ||
    bad_usage "--com takes a number from 1 to 254, not '$com'"
  com=$((10#$com))
fi
if [ -n "$exe" ]; then
  exe=$(realpath -m "$exe")
  [ -f "$exe" ] || bad_usage "no panel at $exe"
fi

if [ -n "$screenshot" ]; then
  screenshot=$(realpath -m "$screenshot")
  case "$screenshot" in *.png) ;; *) bad_usage "the screenshot is a PNG picture: give a file name ending in .png" ;; esac
  [ ! -d "$screenshot" ] || bad_usage "--screenshot $screenshot is a folder; give a file name"
  # Made now, so that a path it cannot write to is found before anything is built.
  shot_dir=$(dirname "$screenshot")
  if ! mkdir -p "$shot_dir" 2>/dev/null || ! probe=$(mktemp "$shot_dir/.panel-shot.XXXXXX" 2>/dev/null); then
    bad_usage "cannot write the screenshot to $screenshot: $shot_dir is not a folder you can write to"
  fi
  rm -f "$probe"
  [ ! -e "$screenshot" ] || [ -w "$screenshot" ] || bad_usage "cannot write over $screenshot"
fi

# ---- the device: present, permitted, free -------------------------------------------------------

# is_pty, check_device, take_device, release_device
. "$root/scripts/serial-device.sh"

# ampd already serving the device with a panel link: the panel joins it (its command line says so).
running_ampd_link() {
  local pid args dev=$(readlink -f "$device") p="" l="" prev=""
  for pid in $(pgrep -x ampd 2>/dev/null); do
    mapfile -d '' args <"/proc/$pid/cmdline" 2>/dev/null || continue
    p="" l="" prev=""
    for a in "${args[@]}"; do
      case "$prev" in -p | --port) p=$a ;; --panel-link) l=$a ;; esac
      case "$a" in --port=*) p=${a#--port=} ;; --panel-link=*) l=${a#--panel-link=} ;; esac
      prev=$a
    done
    if [ -n "$p" ] && [ "$(readlink -f "$p")" = "$dev" ]; then
      echo "$pid ${l}"
      return 0
    fi
  done
  return 1
}
existing_ampd=""
if [ "$share" = 1 ] && existing_ampd=$(running_ampd_link); then
  [ -n "${existing_ampd#* }" ] || fail 3 "ampd (pid ${existing_ampd%% *}) holds $device without --panel-link; stop it or give it one"
else
  existing_ampd=""
  [ -z "$device" ] || check_device "$device"
fi

display_usable() { [ -n "${DISPLAY:-}" ] && { ! command -v xdpyinfo >/dev/null || xdpyinfo >/dev/null 2>&1; }; }
headless=0
if [ -n "$screenshot" ]; then
  headless=1
elif ! display_usable; then
  [ "$sim" = 1 ] || fail 1 "no X display to show the panel on (DISPLAY='${DISPLAY:-}')." \
    "Start it from your desktop session, or use --screenshot PNG to check the line without one."
  headless=1
  screenshot=$work/panel.png
  say "no X display: the panel runs on a private Xvfb and leaves a picture in $screenshot"
fi

# ---- the Wine prefix and its COM numbers -------------------------------------------------------

prefix=${WINEPREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/ampanel/wineprefix}
prefix=$(realpath -m "$prefix")
dosdevices=$prefix/dosdevices

# wine_ports, remove_stale_links, wine_port_of, port_free, choose_com
. "$root/scripts/panel-ports.sh"
remove_stale_links

link_target=""  # what the link will point to
[ -z "$device" ] || link_target=$device
if [ "$share" = 1 ]; then
  # The panel's port is ampd's panel link, a pseudo-terminal there while ampd's link is up.
  if [ -n "$existing_ampd" ]; then
    link_target=${existing_ampd#* }
  else
    link_target=$root/build/panel/panel-link
  fi
fi

choose_com

# ---- what it runs --------------------------------------------------------------------------------

native=$root/build/native/linux
win64=$root/build/win64
[ -n "$exe" ] || exe=$win64/app/AmpPanel.exe
driver=$win64/tools/paneldriver.exe
shim=$native/libamp_ptyshim.so
use_shim=0
{ [ "$sim" = 1 ] || [ "$share" = 1 ] || is_pty "$device"; } && use_shim=1

mkdir -p "$work" || fail 1 "cannot make $work for the logs"
winelog=$work/wine.log  # this run's
buildlog=$work/build.log

needed=("$exe")
[ "$use_shim" = 0 ] || needed+=("$shim")
[ "$sim" = 0 ] || needed+=("$native/ampsim")
ampd=$root/build/native/ampd/ampd
[ "$share" = 0 ] || [ -n "$existing_ampd" ] || needed+=("$ampd")
[ "$headless" = 0 ] || needed+=("$driver")
tools=(wine wineserver xdpyinfo xprop)
[ "$headless" = 0 ] || tools+=(Xvfb import convert python3)
missing=0
for f in "${needed[@]}"; do [ -f "$f" ] || missing=1; done
for t in "${tools[@]}"; do command -v "$t" >/dev/null || missing=1; done

if [ "$build" = 1 ] || [ "$missing" = 1 ]; then
  [ -f "$root/CMakePresets.json" ] ||
    fail 1 "missing: some of ${needed[*]} ${tools[*]}; install Wine and build the panel first"
  "$root/scripts/install-deps.sh" || fail 1 "could not install the packages it needs"
  say "building (the first time takes a few minutes; log in $buildlog)"
  {
    cmake --preset native && cmake --build --preset native -j2 --target ampsim amp_ptyshim ampd &&
      cmake --preset win64 && cmake --build --preset win64 -j2 --target AmpPanel paneldriver
  } >"$buildlog" 2>&1 || { tail -n 20 "$buildlog" >&2; fail 1 "the build failed; the whole log is in $buildlog"; }
  for f in "${needed[@]}"; do [ -f "$f" ] || fail 1 "the build made no $f"; done
fi

# ---- running it ------------------------------------------------------------------------------

export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all,err+all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
. "$root/scripts/xvfb.sh"

# server_running, prepare_prefix, run_panel, shoot_panel
. "$root/scripts/panel-wine.sh"

panel_pid=""
sim_pid=""
ampd_pid=""
control_dir=""
made_link=""
record=""
own_server=0
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$panel_pid" ] && kill -0 "$panel_pid" 2>/dev/null; then
    kill "$panel_pid" 2>/dev/null || true
    wait "$panel_pid" 2>/dev/null || true
  fi
  if [ -n "$ampd_pid" ]; then
    kill -INT "$ampd_pid" 2>/dev/null || true  # it removes its panel link as it ends
    wait "$ampd_pid" 2>/dev/null || true
    say "ampd stopped"
  fi
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true  # it removes its link as it ends
    wait "$sim_pid" 2>/dev/null || true
  fi
  [ -z "$control_dir" ] || rm -rf "$control_dir"
  if [ -n "$made_link" ] && [ -L "$made_link" ] && [ "$(readlink "$made_link")" = "$link_target" ]; then
    rm -f "$made_link"
  fi
  [ -z "$made_link" ] || say "COM$com removed from the prefix"
  [ -z "$record" ] || rm -f "$record"
  release_device
  [ "$own_server" = 0 ] || wineserver -k 2>/dev/null || true
  amp_stop_xvfb
  exit "$status"
}
amp_cleanup_on_exit cleanup
: >"$winelog"
# Wine opens the device without a lock: the lock file and flock are taken for it, for the run.
[ -z "$device" ] || [ "$share" = 1 ] || take_device "$device"

if [ "$headless" = 1 ]; then
  amp_start_xvfb 2>>"$winelog" || fail 1 "could not start Xvfb (see $winelog)"
fi
server_running || own_server=1

prepare_prefix

link=$dosdevices/com$com
echo "$$ ${link_target:-sim}" >"$prefix/.ampanel-com$com"
record=$prefix/.ampanel-com$com
if [ "$sim" = 1 ]; then
  : >"$work/ampsim.out"
  # A socket's path is limited to 107 bytes, which a checkout deep in a home folder can pass.
  control_dir=$(mktemp -d "${TMPDIR:-/tmp}/ampsim.XXXXXX")
  control=$control_dir/control
  "$native/ampsim" --output on --link "$link" --log "$work/frames.log" --control "$control" \
    >"$work/ampsim.out" 2>>"$work/ampsim.err" &
  sim_pid=$!
  deadline=$((SECONDS + 10))
  until grep -q "ampsim: line" "$work/ampsim.out"; do
    kill -0 "$sim_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ] ||
      fail 1 "the simulator did not start: $(cat "$work/ampsim.err")"
    sleep 0.05
  done
  link_target=$(readlink "$link")
  made_link=$link
  echo "$$ $link_target" >"$record"
  say "simulator on $link_target as COM$com; frame log $work/frames.log"
  [ "$headless" = 1 ] || say "control it, e.g.: python3 -c 'import socket;s=socket.socket(socket.AF_UNIX);s.connect(\"$control\");s.sendall(b\"state\\n\");print(s.recv(9999).decode())'"
elif [ "$share" = 1 ]; then
  scpi_at=${scpi_first:-127.0.0.1:5025}
  if [ -n "$existing_ampd" ]; then
    say "ampd (pid ${existing_ampd%% *}) already serves $device; its panel link $link_target is COM$com"
  else
    if [ -z "$audit" ]; then
      audit=${XDG_STATE_HOME:-$HOME/.local/state}/ampanel/audit.log
      mkdir -p "$(dirname "$audit")" || fail 1 "cannot make $(dirname "$audit") for the audit"
    fi
    say "ampd on $device; its audit goes to $audit, its messages to $work/ampd.log"
    : >"$work/ampd.log"
    # ampd's messages to its log; each alarm that latches also here, with how to clear it.
    "$ampd" -p "$device" --panel-link "$link_target" --audit "$audit" "${ampd_args[@]}" \
      2> >(while IFS= read -r line; do
        echo "$line" >>"$work/ampd.log"
        case "$line" in
          "ampd: alarm "*)
            echo "panel: ${line#ampd: }"
            echo "panel:   clear it with: ampctl -p tcp://$scpi_at clear-alarms${http_first:+, or on the page http://$http_first/}"
            ;;
        esac
      done) &
    ampd_pid=$!
    deadline=$((SECONDS + 10))
    until grep -q "SCPI on" "$work/ampd.log"; do
      kill -0 "$ampd_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ] ||
        fail 1 "ampd did not start: $(cat "$work/ampd.log")"
      sleep 0.05
    done
    say "scripts reach it as tcp://$scpi_at${http_first:+; the page is http://$http_first/}"
  fi
  # The link may dangle until ampd's line is up: the panel then finds its port as a replugged one.
  ln -sfn "$link_target" "$link"
  made_link=$link
else
  ln -sfn "$link_target" "$link"
  made_link=$link
  also=""
  while read -r n dev; do
    [ "$(readlink -f "$dev")" != "$(readlink -f "$device")" ] || also="COM$n"
  done < <(wine_ports)
  say "COM$com is $device in $prefix${also:+ (Wine lists it as $also too)}"
fi

if [ "$use_shim" = 1 ]; then
  export LD_PRELOAD=$shim${LD_PRELOAD:+:$LD_PRELOAD}
fi
say "Wine's messages go to $winelog"

if [ "$headless" = 0 ]; then
  run_panel
else
  shoot_panel
fi
