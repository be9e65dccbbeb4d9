# Sourced by scripts/panel.sh: checks a serial device before Wine is given it (present, permitted
# to this user, free), says what to do when it is not, and holds it the ways other serial programs
# look for (the UUCP lock file and flock) while the panel runs, as Wine itself takes no lock. The
# caller defines fail STATUS MESSAGE...
# shellcheck shell=bash

# Unix98 pseudo-terminal slaves have majors 136 to 143.
is_pty() { local major; major=$(stat -L -c %t "$1" 2>/dev/null) && [ $((16#$major)) -ge 136 ] && [ $((16#$major)) -le 143 ]; }

# One process as the busy messages show it: "  pid (name, user U): command line".
describe_process() {
  printf '  %s (%s, user %s): %s\n' "$1" "$(cat "/proc/$1/comm" 2>/dev/null)" \
    "$(stat -c %U "/proc/$1" 2>/dev/null)" "$(tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null)"
}

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
    describe_process "$pid"
  done
}

# The lock folder: AMP_LOCK_DIR when set (for tests), as ampctl takes it, otherwise /var/lock.
lock_folder() { echo "${AMP_LOCK_DIR:-/var/lock}"; }

# The UUCP lock file of DEVICE: named after its real path's part after /dev/, each '/' made '_'
# (a '/' cannot stand in a file name): LCK..ttyUSB0, LCK..pts_3.
lock_file_of() {
  local name
  name=$(readlink -f "$1")
  name=${name#/dev/}
  name=${name#/}
  echo "$(lock_folder)/LCK..${name//\//_}"
}

# Whether the lock file FILE is held by a live process other than this script; prints the process
# number, or nothing for one whose text names no process yet (its maker may still be writing it).
lock_owner() {
  local file=$1 text pid
  [ -f "$file" ] && [ ! -L "$file" ] || return 1
  text=$(head -c 64 "$file" 2>/dev/null) || return 1
  if [[ "$text" =~ ^\ *([0-9]{1,10})$ ]]; then
    pid=$((10#${BASH_REMATCH[1]}))
    [ "$pid" -gt 0 ] && [ "$pid" != $$ ] && [ -d "/proc/$pid" ] || return 1
    echo "$pid"
    return 0
  fi
  [ $(($(date +%s) - $(stat -c %Y "$file" 2>/dev/null || echo 0))) -lt 5 ]
}

# fail_locked DEVICE FILE PID: the device is busy by its lock file.
fail_locked() {
  if [ -n "$3" ] && [ -r "/proc/$3/cmdline" ]; then
    fail 3 "$1 is busy: another program has locked it ($2); end it first:" "$(describe_process "$3")"
  fi
  fail 3 "$1 is busy: another program has locked it ($2${3:+, process $3}); end it first."
}

serial_devices() { compgen -G '/dev/tty[UA][SC][BM]*' || true; compgen -G '/dev/serial/by-id/*' || true; }

check_device() {
  local dev=$1 real group user mode found error lock owner
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
  lock=$(lock_file_of "$real")
  if owner=$(lock_owner "$lock"); then
    fail_locked "$dev" "$lock" "$owner"
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

# take_device DEVICE: holds DEVICE for the rest of this script's run, as other serial programs
# look for it: its lock file, with this script's process number (made whole under a private name,
# then linked into place, which never replaces a file nor follows a link; a stale one is removed
# first, and only while it is still the one read), and flock, held by a helper until this script
# ends however it ends. Sets lock_taken, lock_id and hold_pid for release_device.
lock_taken=""
lock_id=""
hold_pid=""
take_device() {
  local dev=$1 file folder own owner seen real reply found
  real=$(readlink -f "$dev")
  file=$(lock_file_of "$real")
  folder=$(lock_folder)
  if [ ! -d "$folder" ]; then
    printf 'panel: note: %s does not exist: no lock file taken for %s\n' "$folder" "$dev" >&2
  elif ! own=$(mktemp "$folder/LTMP.XXXXXXXXXX" 2>/dev/null); then
    printf 'panel: note: %s is not writable: no lock file taken for %s\n' "$folder" "$dev" >&2
  else
    if ! printf '%10d\n' $$ >"$own" || ! chmod 644 "$own"; then
      rm -f "$own"
      fail 1 "cannot write the lock file $own"
    fi
    for _ in 1 2 3 4 5; do
      if ln -T "$own" "$file" 2>/dev/null; then
        lock_taken=$file
        lock_id=$(stat -c %d:%i "$own")
        break
      fi
      if [ -L "$file" ] || { [ -e "$file" ] && [ ! -f "$file" ]; }; then
        rm -f "$own"
        fail 3 "$file is in the place of $dev's lock file and is no lock file; remove it"
      fi
      seen=$(stat -c %d:%i "$file" 2>/dev/null) || continue
      if owner=$(lock_owner "$file"); then
        rm -f "$own"
        fail_locked "$dev" "$file" "$owner"
      fi
      # Stale: its process has gone.
      [ "$(stat -c %d:%i "$file" 2>/dev/null)" != "$seen" ] || rm -f "$file"
    done
    rm -f "$own"
    [ -n "$lock_taken" ] || fail 3 "$dev is busy: its lock file $file keeps being taken"
  fi

  # The flock needs the device open; a helper holds it (opened without waiting for a carrier,
  # which a shell cannot do) until its standard input, this script's end of a pipe, closes (the
  # pipe's descriptors are not passed on to the programs this script starts).
  coproc HOLD { exec python3 "$(dirname "${BASH_SOURCE[0]}")/hold-device.py" "$real"; }
  # shellcheck disable=SC2153 # HOLD_PID is set by coproc
  hold_pid=$HOLD_PID
  read -r -t 10 reply <&"${HOLD[0]}" || reply="no answer"
  case "$reply" in
    held) ;;
    busy)
      found=$(holders "$real" | grep -v "^  $hold_pid " || true)
      fail 3 "$dev is busy: another program holds its lock (flock); end it first:" \
        "${found:-  (not one this user can see)}" ;;
    *) fail 1 "could not lock $dev: $reply" ;;
  esac
  # Taken in the order ampctl takes them; a program that takes none of them shows only as an open
  # descriptor of the device.
  found=$(holders "$real" | grep -v "^  $hold_pid " || true)
  if grep -qv '(wineserver' <<<"$found"; then
    found=$(grep -v '(wineserver' <<<"$found")
  fi
  [ -z "$found" ] || fail 3 "$dev is busy: another program has it open; end it first:" "$found"
}

# Gives back what take_device took: the flock (its helper ended) and the lock file, if it is still
# ours.
release_device() {
  if [ -n "$hold_pid" ]; then
    kill "$hold_pid" 2>/dev/null || true
    wait "$hold_pid" 2>/dev/null || true
    hold_pid=""
  fi
  if [ -n "$lock_taken" ] && [ "$(stat -c %d:%i "$lock_taken" 2>/dev/null)" = "$lock_id" ]; then
    rm -f "$lock_taken"
  fi
  lock_taken=""
}
