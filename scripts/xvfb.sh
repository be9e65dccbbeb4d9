# Sourced by scripts that need an X display for Wine: starts a private Xvfb on a free display
# number, exports DISPLAY, and records its pid in AMP_XVFB_PID. Fails loudly if it cannot start.
# Also the exit trap those scripts share (amp_cleanup_on_exit).
amp_start_xvfb() {
  local n log
  for n in $(seq 90 140); do
    [ -e "/tmp/.X${n}-lock" ] || [ -e "/tmp/.X11-unix/X${n}" ] && continue
    log=$(mktemp)
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$log" 2>&1 &
    AMP_XVFB_PID=$!
    for _ in $(seq 1 100); do
      if xdpyinfo -display ":$n" >/dev/null 2>&1; then
        export DISPLAY=":$n"
        rm -f "$log"
        return 0
      fi
      kill -0 "$AMP_XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill "$AMP_XVFB_PID" 2>/dev/null || true
    cat "$log" >&2
    rm -f "$log"
  done
  echo "xvfb: could not start an X server for the Windows tests" >&2
  return 1
}

amp_stop_xvfb() {
  if [ -n "${AMP_XVFB_PID:-}" ]; then
    kill "$AMP_XVFB_PID" 2>/dev/null || true
    wait "$AMP_XVFB_PID" 2>/dev/null || true
    AMP_XVFB_PID=""
  fi
}

# amp_cleanup_on_exit FUNCTION: runs FUNCTION however the script ends. A signal exits with the
# shell's status for it, so FUNCTION runs once, from the exit trap, and sees that status.
amp_cleanup_on_exit() {
  trap "$1" EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}
