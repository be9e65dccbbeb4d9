#!/usr/bin/env bash
# The panel against the amplifier simulator: scripts/panel.sh --sim, after installing what is
# missing and bringing the builds up to date. See --help.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [--screenshot PNG]

Runs the amplifier's control panel against the simulator: installs the Debian packages that are
missing, builds, starts the simulator (ampsim, output on) on a pseudo-terminal linked as a COM port
of the Wine prefix, and starts the panel under Wine on your display. Pick that port in the panel's
list and click OpenPort; close the panel to end the demo.

Without a display, or with --screenshot PNG, it runs on a private Xvfb instead: it opens the port
from the panel, waits for live readouts, writes a picture of the panel (default
build/panel/panel.png) and ends.

It is scripts/panel.sh --sim --build; scripts/panel.sh --help tells the rest (the Wine prefix,
the COM number, the logs). Exit status: 0 done; 1 it could not run; 2 bad options.
EOF
}

args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --screenshot)
      if [ $# -lt 2 ] || [ -z "$2" ] || [ "${2#-}" != "$2" ]; then
        echo "demo: --screenshot needs the PNG file to write, e.g. --screenshot build/panel.png" >&2
        exit 2
      fi
      args+=(--screenshot "$2")
      shift 2 ;;
    --screenshot=*) set -- --screenshot "${1#*=}" "${@:2}" ;;
    *)
      echo "demo: unknown option: $1 (usage: scripts/demo.sh [--screenshot PNG]; --help for more)" >&2
      exit 2 ;;
  esac
done

exec "$(dirname "$0")/panel.sh" --sim --build "${args[@]}"
