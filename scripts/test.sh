#!/usr/bin/env bash
# Every test of the project, from a fresh Debian 12 machine: installs what is missing, builds the
# native, sanitizer and Windows (x86-64 and i686) builds, and runs the native tests, the same under
# AddressSanitizer/UndefinedBehaviorSanitizer with the fuzzer, and the Windows tests under Wine;
# then the release command with its checks. The whole output also goes to build/test.log.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
log=$root/build/test.log

usage() {
  cat <<EOF
Usage: scripts/test.sh [-h|--help]

Runs every test of the project: installs missing Debian packages (scripts/install-deps.sh), builds
the presets native, asan, win64 and win32 (warnings are errors), and runs the native tests, the
same under AddressSanitizer and UndefinedBehaviorSanitizer with 20 s of fuzzing, and the Windows
tests under Wine on a private Xvfb display; last, scripts/release.sh makes the release zips and
checks the programs in them. About 15 minutes on two cores.

The whole output is shown and saved to build/test.log; its path is printed at the end.
Exit status: 0 when everything passed, 1 when anything failed, 2 for a wrong argument.
EOF
}

case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  "") ;;
  *) usage >&2; exit 2 ;;
esac

run() {
  scripts/install-deps.sh || { echo "test: installing dependencies failed" >&2; exit 1; }
  . scripts/xvfb.sh

  failed=()
  cleanup() {
    [ -d build/win64/wineprefix ] && WINEPREFIX="$root/build/win64/wineprefix" wineserver -k 2>/dev/null
    amp_stop_xvfb
  }
  trap cleanup EXIT

  stage() {  # stage NAME COMMAND...
    local name=$1
    shift
    echo
    echo "=== $name"
    local t0=$SECONDS
    if "$@"; then
      echo "=== $name: ok ($((SECONDS - t0)) s)"
    else
      echo "=== $name: FAILED ($((SECONDS - t0)) s)"
      failed+=("$name")
    fi
  }

  build() {  # build PRESET
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j2
  }

  stage "native build" build native
  stage "native tests" ctest --preset native
  stage "sanitizer build" build asan
  stage "sanitizer tests and fuzzing" ctest --preset asan
  stage "windows x86-64 build" build win64
  if amp_start_xvfb; then
    echo "test: Wine runs on Xvfb display $DISPLAY"
    stage "windows tests under wine" ctest --preset win64
    echo "=== figures measured end to end (the simulator's frame log under Wine)"
    cat build/win64/tests/e2e/*/figures.txt 2>/dev/null
  else
    failed+=("windows tests under wine (no X server)")
  fi
  stage "windows i686 build" build win32
  # The release presets and their checks: size budget, system imports only, version resource, manifest.
  stage "release zips" scripts/release.sh

  echo
  if [ ${#failed[@]} -ne 0 ]; then
    printf 'test: FAILED: %s\n' "${failed[@]}"
    exit 1
  fi
  echo "test: everything passed"
}

mkdir -p "$(dirname "$log")"
# The run goes in a subshell, so its exit trap (Xvfb, wineserver) fires when it ends, before the
# log's path is printed.
(run) 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
echo "test: the whole output is in $log"
exit "$status"
