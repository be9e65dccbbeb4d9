# Sourced by scripts/panel.sh: checks a serial device before Wine is given it (present, permitted
# to this user, free), and says what to do when it is not. The caller defines fail STATUS MESSAGE...
# shellcheck shell=bash

# Unix98 pseudo-terminal slaves have majors 136 to 143.
is_pty() { local major; major=$(stat -L -c %t "$1" 2>/dev/null) && [ $((16#$major)) -ge 136 ] && [ $((16#$major)) -le 143 ]; }

# The programs that have DEVICE open, one "pid (name): command line" a line. For a pseudo-terminal,
# the program that holds its other side (the simulator) is the line itself, not a user of it.
holders() {
  local real pty="" pid masters=()
  real=$(readlink -f "$1")
  is_pty "$real" && pty=${real#/dev/pts/}
  for pid in $(find /proc/[0-9]*/fd -maxdepth 1 -lname "$real" 2>/dev/null | cut -d/ -f3 | sort -un); do
    [ "$pid" != $$ ] || continue
    if [ -n "$pty" ]; then
      mapfile -t masters < <(find "/proc/$pid/fd" -maxdepth 1 -lname '*ptmx' 2>/dev/null | sed 's,/fd/,/fdinfo/,')
      [ ${#masters[@]} = 0 ] || ! grep -qsx "tty-index:[[:space:]]*$pty" "${masters[@]}" || continue
    fi
    printf '  %s (%s, user %s): %s\n' "$pid" "$(cat "/proc/$pid/comm" 2>/dev/null)" \
      "$(stat -c %U "/proc/$pid" 2>/dev/null)" "$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
  done
}

serial_devices() { compgen -G '/dev/tty[UA][SC][BM]*' || true; compgen -G '/dev/serial/by-id/*' || true; }

check_device() {
  local dev=$1 real group user mode found error
  if [ ! -e "$dev" ]; then
    found=$(serial_devices | tr '\n' ' ')
    fail 3 "$dev does not exist: is the adapter plugged in?" \
      "serial devices present: ${found:-none}"
  fi
  real=$(readlink -f "$dev")
  [ -c "$real" ] || fail 3 "$dev is not a serial device (not a character device)"
  user=$(id -un)
  if [ ! -r "$real" ] || [ ! -w "$real" ]; then
    group=$(stat -c %G "$real")
    mode=$(stat -c '%A %U:%G' "$real")
    if [ "${mode:4:2}" = "rw" ] && ! id -Gn | tr ' ' '\n' | grep -qx "$group"; then
      if id -Gn "$user" | tr ' ' '\n' | grep -qx "$group"; then
        fail 3 "you may not open $dev ($mode): you are in the group $group, but this login" \
          "session started before you were added. Log out and back in (or run: newgrp $group)."
      fi
      fail 3 "you may not open $dev ($mode): you ($user) are not in the group $group." \
        "Add yourself with:  sudo usermod -aG $group $user" \
        "then log out and back in (or run: newgrp $group) and start this again."
    fi
    fail 3 "you may not open $dev ($mode): only $(stat -c %U "$real") can; ask the machine's administrator."
  fi
  found=$(holders "$real")
  # Wine's server holds the device for the Wine program that opened it: that program is the one
  # to name, when it can be seen.
  if grep -qv '(wineserver' <<<"$found"; then
    found=$(grep -v '(wineserver' <<<"$found")
  fi
  if [ -n "$found" ]; then
    fail 3 "$dev is busy: another program has it open; end it first:" "$found"
  fi
  # Opening without waiting for the modem lines shows what Wine's open would meet.
  if command -v python3 >/dev/null; then
    error=$(python3 -c '
import os, sys
try:
    os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
except OSError as e:
    print(os.strerror(e.errno) + (" (busy)" if e.errno == 16 else ""))' "$real")
    if [ -n "$error" ]; then
      case "$error" in
        *"(busy)") fail 3 "$dev is busy: another program holds it exclusively (not one this user can see;" \
          "ModemManager takes new adapters for a few seconds after they are plugged in)." ;;
        *) fail 3 "$dev cannot be opened: $error. Unplug the adapter and plug it in again." ;;
      esac
    fi
  fi
}
