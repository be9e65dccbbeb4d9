#!/usr/bin/env bash
# Every test of the project, from a fresh Debian 12 machine: installs what is missing and checks
# that every program the tests start is there, builds the native, sanitizer and Windows (x86-64
# and i686) builds, and runs the native tests, the same under AddressSanitizer/UndefinedBehavior-
# Sanitizer with the fuzzer, and the Windows tests under Wine; then packs the release zips from the
# Windows builds the tests ran, with their checks. Ends with a table of each stage's time. The
# whole output also goes to build/test.log.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
log=$root/build/test.log

usage() {
  cat <<EOF
Usage: scripts/test.sh [-h|--help]

Runs every test of the project: installs missing Debian packages and checks that every program
the tests start is there (scripts/install-deps.sh: a missing one fails the run at once, with its
package), builds the presets native, asan, win64 and win32 (warnings are errors), and runs the
native tests, the same under AddressSanitizer and UndefinedBehaviorSanitizer with 20 s of fuzzing,
and the Windows tests under Wine on a private Xvfb display; last, scripts/release.sh packs the
release zips from the win64 and win32 builds (the x86-64 programs the Windows tests ran) and
checks the programs in them. It ends with each stage's time. Under 15 minutes on two cores; the
long runs are scripts/endurance.sh's.

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
  local start=$SECONDS
  failed=()
  times=()
  stage() {  # stage NAME COMMAND...
    local name=$1
    shift
    echo
    echo "=== $name"
    local t0=$SECONDS verdict=ok
    if ! "$@"; then
      verdict=FAILED
      failed+=("$name")
    fi
    echo "=== $name: $verdict ($((SECONDS - t0)) s)"
    times+=("$(printf '%-32s %5d s  %s' "$name" $((SECONDS - t0)) "$verdict")")
  }
  table() {
    echo
    echo "=== stage times"
    printf '%s\n' "${times[@]}"
    printf '%-32s %5d s\n' "total" $((SECONDS - start))
  }

  # Nothing is worth building while a program the tests start is missing.
  stage "dependencies" scripts/install-deps.sh
  if [ ${#failed[@]} -ne 0 ]; then
    table
    echo "test: FAILED: a package or program is missing (above)"
    exit 1
  fi
  . scripts/xvfb.sh

  # The include rule, the files' length, the tests' share: a second each.
  stage "structure" scripts/check.sh --structure

  cleanup() {
    [ -d build/win64/wineprefix ] && WINEPREFIX="$root/build/win64/wineprefix" wineserver -k 2>/dev/null
    amp_stop_xvfb
  }
  trap cleanup EXIT

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
  # The zips from the builds above, and their checks: size budget, system imports only, version
  # resource, manifest.
  stage "release zips" scripts/release.sh

  table
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
