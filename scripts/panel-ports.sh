# Sourced by scripts/panel.sh: the COM numbers of the panel's Wine prefix, the ones Wine takes for
# itself and the links this script makes there. The caller sets prefix, dosdevices and link_target
# and defines say, fail and bad_usage.
# shellcheck shell=bash

# The COM numbers Wine links at every start of the prefix: those named under
# HKLM\Software\Wine\Ports, then one for each /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* (counting
# from 0 while they exist), on the lowest numbers left. One "N DEVICE" a line.
wine_ports() {
  local used=" " n=1 pattern i dev
  if [ -f "$prefix/system.reg" ]; then
    while read -r n dev; do
      echo "$n $dev"
      used="$used$n "
    done < <(awk '/^\[/ { ports = ($1 == "[Software\\\\Wine\\\\Ports]") }
                  ports && match($0, /^"[Cc][Oo][Mm][0-9]+"="/) {
                    split($0, kv, "\"=\""); n = substr(kv[1], 5) + 0; v = kv[2]; sub(/"$/, "", v); print n, v }' \
      "$prefix/system.reg")
  fi
  n=1
  for pattern in /dev/ttyS /dev/ttyUSB /dev/ttyACM; do
    for ((i = 0; ; i++)); do
      dev=$pattern$i
      [ -e "$dev" ] || break
      while [[ "$used" == *" $n "* ]]; do n=$((n + 1)); done
      echo "$n $dev"
      n=$((n + 1))
    done
  done
}

# Links left by a run of this script that could not clean up (killed): each has a record naming the
# run's process; a record whose process is gone is stale, and its link goes with it.
remove_stale_links() {
  local record owner target link
  for record in "$prefix"/.ampanel-com*; do
    [ -f "$record" ] || continue
    read -r owner target <"$record" || true
    kill -0 "$owner" 2>/dev/null && continue
    link=$dosdevices/${record##*/.ampanel-}
    if [ "$(readlink "$link" 2>/dev/null)" = "$target" ]; then
      rm -f "$link"
      say "removed COM${link##*/com} (to $target), left by a run of this script that was killed"
    fi
    rm -f "$record"
  done
}

wine_port_of() {  # wine_port_of N: the device Wine links COM N to, if it does
  wine_ports | awk -v n="$1" '$1 == n { print $2; found = 1; exit } END { exit !found }'
}

port_free() {  # port_free N: Wine keeps no port on it, and no other link holds it
  local link=$dosdevices/com$1
  ! wine_port_of "$1" >/dev/null || return 1
  [ -L "$link" ] || [ -e "$link" ] || return 0
  [ -L "$link" ] || return 1                          # a file of that name: not ours to replace
  [ -e "$link" ] || return 0                          # a dangling link: its device has gone
  [ -n "$link_target" ] && [ "$(readlink -f "$link")" = "$(readlink -f "$link_target")" ]
}

# choose_com: checks the asked-for $com, or sets com to the lowest free number.
choose_com() {
  local owner free
  if [ -n "$com" ]; then
    if owner=$(wine_port_of "$com"); then
      free=1
      while ! port_free "$free"; do free=$((free + 1)); done
      bad_usage "COM$com is Wine's own name for $owner in $prefix (Wine makes that link again at every start); COM$free is free"
    fi
    port_free "$com" ||
      bad_usage "COM$com is already linked to $(readlink "$dosdevices/com$com") in $prefix; choose another --com"
  else
    com=1
    while [ "$com" -le 254 ] && ! port_free "$com"; do com=$((com + 1)); done
    [ "$com" -le 254 ] || fail 1 "no free COM number left in $prefix"
  fi
}
