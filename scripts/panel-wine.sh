# Sourced by scripts/panel.sh: the Wine side of a run, the prefix's server, its one-time set-up and
# the panel's start, on the operator's display or on a private one for its picture. The caller
# sets root, prefix, exe, com, driver, screenshot, winelog and own_server (1: no server served the
# prefix when it began), exports WINEPREFIX and defines say and fail; panel_pid is the panel's
# process while it runs.
# shellcheck shell=bash

# The wineserver serves the prefix while anything of it runs; the one this script started is
# ended with it (its socket names the prefix's device and inode).
server_running() {
  local dev ino id
  read -r dev ino < <(stat -c '%d %i' "$prefix" 2>/dev/null) && [ -n "$ino" ] || return 1
  id=$(printf 'server-%x-%x' "$dev" "$ino")
  compgen -G "/tmp/wine-*/$id/socket" >/dev/null || compgen -G "/tmp/.wine-$(id -u)/$id/socket" >/dev/null
}

# The prefix, with the font replacements the panel's text needs (made once), and windows managed
# by the window manager on a desktop; without one (Xvfb) unmanaged, or Wine waits about 2 s for
# every window it hides.
prepare_prefix() {
  local managed=N
  if ! grep -qs '^"Cambria"="DejaVu Serif"' "$prefix/user.reg"; then
    if [ -f "$prefix/system.reg" ]; then
      say "setting up the Wine prefix $prefix"
    else
      say "making the Wine prefix $prefix (first run only: about a minute)"
    fi
    mkdir -p "$prefix"
    "$root/scripts/wine-prefix.sh" "$prefix" >>"$winelog" 2>&1 || fail 1 "could not make the Wine prefix (see $winelog)"
  fi
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && managed=Y
  if ! grep -qs "^\"Managed\"=\"$managed\"" "$prefix/user.reg"; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$managed" /f >>"$winelog" 2>&1
    # Debian's wineserver starts with -p0: the session of that one command winds down as it ends.
    # When nothing else uses the prefix, the panel waits for it to be gone and starts its own.
    [ "$own_server" = 0 ] || wineserver -w
  fi
}

# The panel on the operator's display, until they close it.
run_panel() {
  say "pick COM$com in the panel's list and click OpenPort; close the panel to end"
  wine "$exe" >>"$winelog" 2>&1 &
  panel_pid=$!
  wait "$panel_pid" || true
  panel_pid=""
  say "the panel has ended"
}

# No display: the port opened from the panel, as an operator would, and its picture taken.
shoot_panel() {
  wine "$exe" >>"$winelog" 2>&1 &
  panel_pid=$!
  AMP_COM=$com python3 - "$root" "$driver" "$screenshot" <<'PY' || fail 1 "the run without a display failed (Wine's messages: $winelog)"
import os, sys
root, driver, screenshot = sys.argv[1:]
sys.path.insert(0, os.path.join(root, "scripts"))
from panelshots import *
port = "COM" + os.environ["AMP_COM"]
drive = Driver("wine", driver)
try:
    drive("find 30000")
    drive.select_port(port)
    drive("click %d" % IDC_OPEN_PORT)
    wait_until(lambda: drive("text %d" % IDC_LD_TEMP) != "", 15, "live readouts")
    snap(panel_rect(drive), screenshot)
    print("panel: linked on %s; readouts %s mA, in %s dBm, out %s dBm, %s C" % ((port,) + tuple(
        drive("text %d" % i) for i in (IDC_CURRENT_READ, IDC_INPUT_POWER, IDC_OUTPUT_POWER, IDC_LD_TEMP))))
    drive("close")
finally:
    drive.stop()
PY
  wait "$panel_pid" || true
  panel_pid=""
  say "picture of the linked panel written to $screenshot"
}
