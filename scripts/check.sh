#!/usr/bin/env bash
# The checks to run before a commit: the tree's structure (the include rule of docs/architecture.md,
# no source file over 400 lines, tests at most a third of the lines), every C++ file formatted as
# .clang-format says, and the native build clean under .clang-tidy. Exit status 1 when any finds
# something; the findings are printed.
#   scripts/check.sh [--fix]     (--fix formats the files in place instead of reporting them)
#   scripts/check.sh --structure (the structure only: what scripts/test.sh runs)
set -uo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,7s/^# \{0,1\}//p' "$0"; }
fix=0
structure_only=0
case "${1:-}" in
  --fix) fix=1 ;;
  --structure) structure_only=1 ;;
  "") ;;
  -h|--help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac

# Programs' folders: nothing outside a program includes from it, but the tests of what it holds.
programs="app ampctl ampd sim tools"
# The longest a source file outside tests/ may be.
most_lines=400

# Lines of a file that are not blank.
lines_of() { grep -cv '^[[:space:]]*$' "$1"; }

# The code's files as the test share counts them: C/C++, Python, shell and resource scripts.
code_files() {
  git ls-files | while read -r f; do
    case "$f" in
      *.c | *.cpp | *.h | *.py | *.sh | *.rc) echo "$f" ;;
      *.*) ;;
      *) [ -f "$f" ] && head -c 64 "$f" | grep -q '^#!.*\(sh\|python\)' && echo "$f" ;;
    esac
  done
}

structure() {
  local bad=0 f line dir included total=0 tested=0 n

  echo "check: the include rule (no folder includes from a program's folder: $programs)"
  while IFS= read -r line; do
    f=${line%%:*}
    included=${line#*#include \"}
    included=${included%%\"*}
    dir=${included%%/*}
    case " $programs " in *" $dir "*) ;; *) continue ;; esac
    case "$f" in "$dir"/* | tests/*) continue ;; esac
    echo "check: $f includes $included, from the program folder $dir/"
    bad=1
  done < <(git grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z]+/' -- '*.c' '*.cpp' '*.h' '*.rc' '*.rc.in')

  echo "check: no source file outside tests/ over $most_lines lines"
  while IFS= read -r f; do
    [ -f "$f" ] || continue
    n=$(wc -l <"$f")
    if [ "$n" -gt "$most_lines" ]; then
      echo "check: $f has $n lines"
      bad=1
    fi
  done < <(git ls-files -- '*.c' '*.cpp' '*.h' '*.js' '*.css' '*.sh' '*.py' ':!tests/')

  while IFS= read -r f; do
    n=$(lines_of "$f")
    total=$((total + n))
    case "$f" in tests/*) tested=$((tested + n)) ;; esac
  done < <(code_files)
  echo "check: tests are $tested of $total lines ($((100 * tested / total)) %), at most a third"
  if [ $((3 * tested)) -gt "$total" ]; then
    echo "check: tests are more than a third of the lines"
    bad=1
  fi
  return "$bad"
}

status=0
structure || status=1
if [ "$structure_only" = 1 ]; then
  [ "$status" = 0 ] && echo "check: the structure holds"
  exit "$status"
fi

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')

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
