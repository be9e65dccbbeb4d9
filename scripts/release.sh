#!/usr/bin/env bash
# The release in one command: AmpPanel.exe, ampctl.exe and ampd.exe for Windows x86-64 and i686 as
# the presets win64 and win32 build them (Release: the x86-64 ones are the programs the Windows
# tests run), stripped, checked, and zipped with the operator's readme into
# dist/AmpPanel-<version>-win64.zip and dist/AmpPanel-<version>-win32.zip.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
  cat <<'EOF'
Usage: scripts/release.sh [-h|--help]

Takes AmpPanel.exe, ampctl.exe and ampd.exe as the presets win64 and win32 build them (Release;
built first only if they are not built yet or out of date, so after scripts/test.sh the zips hold
the very programs the Windows tests ran), strips them, checks each stripped program and writes

  dist/AmpPanel-<version>-win64.zip
  dist/AmpPanel-<version>-win32.zip

each holding AmpPanel.exe, ampctl.exe, ampd.exe and README.txt (docs/README.txt with Windows line
ends).
The version is the CMake project's (project(... VERSION ...) in CMakeLists.txt).

Checks on every stripped program, any of which failing fails the release (exit 1):
  - its size budget: 512 KiB for AmpPanel.exe and ampctl.exe, 1 MiB for ampd.exe (Asio's network
    code and the server);
  - the machine type of its architecture;
  - imports from system DLLs only (so the C and C++ runtimes are linked in statically);
  - a version resource with the project's version as file and product version, a description
    and the product name;
  - the application manifest: system DPI aware, Windows 7 to 11 declared, and no dependency on
    version 6 of the common controls.

Installs missing Debian packages first (scripts/install-deps.sh). Builds with -j2.
EOF
}

case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  "") ;;
  *) usage >&2; exit 2 ;;
esac

# Each program's budget, stripped. The server carries Asio's network code besides ampctl's.
declare -A kMaxBytes=([AmpPanel.exe]=$((512 * 1024)) [ampctl.exe]=$((512 * 1024)) [ampd.exe]=$((1024 * 1024)))
kPrograms=(AmpPanel.exe ampctl.exe ampd.exe)
# The DLLs every Windows from 7 on has; anything else (libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll, a UCRT forwarder) would have to travel with the program.
kSystemDlls=" kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll advapi32.dll shell32.dll \
ole32.dll oleaut32.dll msvcrt.dll ntdll.dll setupapi.dll cfgmgr32.dll shlwapi.dll version.dll winmm.dll \
ws2_32.dll mswsock.dll uxtheme.dll psapi.dll "
# supportedOS identifiers: Windows 7, 8, 8.1, and 10 and 11 (one identifier for both).
kSupportedOs=(35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38
  1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a)

failures=0
fail() {
  echo "release: FAILED: $*" >&2
  failures=$((failures + 1))
}

# check_exe EXE TRIPLE FORMAT VERSION
check_exe() {
  local exe=$1 triple=$2 format=$3 version=$4 name size dll rc
  name=$(basename "$exe")

  local budget=${kMaxBytes[$name]:?no budget for $name}
  size=$(stat -c %s "$exe")
  if [ "$size" -gt "$budget" ]; then
    fail "$name is $size bytes, more than its $budget"
  fi

  "$triple-objdump" -f "$exe" | grep -q "file format $format" || fail "$name is not $format"

  local dlls
  dlls=$("$triple-objdump" -p "$exe" | awk '/DLL Name:/ { print $3 }')
  [ -n "$dlls" ] || fail "$name: no import table found"
  for dll in $dlls; do
    case "$kSystemDlls" in
      *" ${dll,,} "*) ;;
      *) fail "$name imports $dll, which is not a system DLL" ;;
    esac
  done

  # The resources read back from the stripped program.
  rc=$("$triple-windres" -i "$exe" -O rc 2>&1) || { fail "$name: cannot read its resources: $rc"; return; }
  local major minor patch tweak
  IFS=. read -r major minor patch tweak <<<"$version"
  local numbers="${major:-0}, ${minor:-0}, ${patch:-0}, ${tweak:-0}"
  grep -qx " FILEVERSION $numbers" <<<"$rc" || fail "$name: FILEVERSION is not $numbers"
  grep -qx " PRODUCTVERSION $numbers" <<<"$rc" || fail "$name: PRODUCTVERSION is not $numbers"
  local field
  for field in FileVersion ProductVersion; do
    grep -qF "VALUE \"$field\", \"$version\"" <<<"$rc" || fail "$name: $field is not \"$version\""
  done
  for field in FileDescription ProductName; do
    grep -qE "VALUE \"$field\", \"[^\"]+\"" <<<"$rc" || fail "$name: no $field"
  done

  grep -qF "1 24 /* RT_MANIFEST */" <<<"$rc" || fail "$name: no application manifest"
  grep -qF '>true</dpiAware>' <<<"$rc" || fail "$name: the manifest does not declare DPI awareness"
  grep -qF '>system</dpiAwareness>' <<<"$rc" || fail "$name: the manifest's DPI awareness is not system"
  local id
  for id in "${kSupportedOs[@]}"; do
    grep -qiF "{$id}" <<<"$rc" || fail "$name: the manifest lacks supportedOS {$id}"
  done
  # windres shows the manifest's text as C strings, quotes doubled.
  if grep -qiF 'name=""Microsoft.Windows.Common-Controls""' <<<"$rc"; then
    fail "$name: the manifest selects the version 6 common controls"
  fi

  printf '  %-12s %7d bytes (%d KiB of %d)  imports: %s\n' "$name" "$size" $(((size + 1023) / 1024)) \
    $((budget / 1024)) "$(echo $dlls)"
}

scripts/install-deps.sh || { echo "release: installing dependencies failed" >&2; exit 1; }

# The programs' time stamps and the zip entries' dates are the commit's time, so the same commit
# gives the same zips.
stamp=$(git log -1 --format=%ct 2>/dev/null || date +%s)
commit=$(git describe --always --dirty 2>/dev/null || echo "unknown")
mkdir -p dist
made=()

for arch in win64 win32; do
  preset=$arch
  if [ "$arch" = win64 ]; then
    triple=x86_64-w64-mingw32 format=pei-x86-64
  else
    triple=i686-w64-mingw32 format=pei-i386
  fi
  echo "=== $preset"
  # Nothing is built again that the tests built: ninja finds these up to date.
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2 --target AmpPanel ampctl ampd

  build=build/$preset
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [ -n "$version" ] || { echo "release: no project version in $build/CMakeCache.txt" >&2; exit 1; }

  stage=$build/zip
  rm -rf "$stage"
  mkdir -p "$stage"
  # strip writes the PE header's time stamp anew: the commit's time, as for the zip entries.
  SOURCE_DATE_EPOCH=$stamp "$triple-strip" -o "$stage/AmpPanel.exe" "$build/app/AmpPanel.exe"
  SOURCE_DATE_EPOCH=$stamp "$triple-strip" -o "$stage/ampctl.exe" "$build/ampctl/ampctl.exe"
  SOURCE_DATE_EPOCH=$stamp "$triple-strip" -o "$stage/ampd.exe" "$build/ampd/ampd.exe"
  sed 's/\r*$/\r/' docs/README.txt >"$stage/README.txt"

  echo "release: checking the stripped programs ($arch, version $version)"
  for exe in "${kPrograms[@]}"; do
    check_exe "$stage/$exe" "$triple" "$format" "$version"
  done
  if [ "$failures" -ne 0 ]; then
    echo "release: $failures check(s) failed; no zip written for $arch" >&2
    exit 1
  fi

  zip=$root/dist/AmpPanel-$version-$arch.zip
  rm -f "$zip"
  touch -d "@$stamp" "$stage"/*
  (cd "$stage" && zip -q -X -D "$zip" "${kPrograms[@]}" README.txt)
  made+=("$zip")
done

echo
echo "release: built from $commit"
for zip in "${made[@]}"; do
  echo "release: ${zip#"$root"/}"
  unzip -l "$zip" | sed -n '4,7p'
done
