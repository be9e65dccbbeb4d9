#!/usr/bin/env bash
# Every test of the project, from a fresh Debian 12 machine: installs what is missing, builds the
# native, sanitizer and Windows (x86-64 and i686) builds, and runs the native tests, the same under
# AddressSanitizer/UndefinedBehaviorSanitizer with the fuzzer, and the Windows tests under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

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

echo
if [ ${#failed[@]} -ne 0 ]; then
  printf 'test: FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "test: everything passed"
