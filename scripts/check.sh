#!/usr/bin/env bash
# The checks to run before a commit: every C++ file formatted as .clang-format says, and the native
# build clean under .clang-tidy. Exit status 1 when either finds something; the findings are printed.
#   scripts/check.sh [--fix]   (--fix formats the files in place instead of reporting them)
set -uo pipefail
cd "$(dirname "$0")/.."

fix=0
case "${1:-}" in
  --fix) fix=1 ;;
  "") ;;
  -h|--help) sed -n '2,4s/^# \{0,1\}//p' "$0"; exit 0 ;;
  *) sed -n '2,4s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
esac

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')
status=0

echo "check: formatting ${#sources[@]} files"
if [ "$fix" = 1 ]; then
  clang-format -i "${sources[@]}"
elif ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "check: formatting differs (scripts/check.sh --fix formats in place)"
  status=1
fi

echo "check: clang-tidy on the native build"
cmake --preset native >/dev/null || exit 1
# The native build compiles everything but the Windows-only files, which clang-tidy cannot parse here.
mapfile -t native < <(git ls-files '*.cpp' | grep -Ev '(^|/)win32/|^app/|^tools/paneldriver|^tests/win/|Win32\.cpp$')
if ! run-clang-tidy -quiet -p build/native "${native[@]/#/$PWD/}" > build/native/tidy.log 2>&1; then
  grep -E "warning:|error:" build/native/tidy.log | sort -u
  echo "check: clang-tidy found the above (full output: build/native/tidy.log)"
  status=1
fi
[ "$status" = 0 ] && echo "check: clean"
exit "$status"
