#!/usr/bin/env bash
# Installs the Debian 12 packages that the builds, the tests, the demo, the release and the
# launcher need (skipping what is already there; recommended packages are left out), then checks
# that every program and file they start or read is there: a missing one fails at once, with its
# name and its package. Nothing else is downloaded.
#   scripts/install-deps.sh           install what is missing, then check
#   scripts/install-deps.sh --check   check only
set -euo pipefail

# What each package is for, and what of it the project starts or reads: "package: program...".
# A program is looked up on PATH; a path (starting with /) must exist.
needs=(
  "cmake: cmake ctest"                                  # the builds
  "ninja-build: ninja"
  "g++: g++"
  "python3: /usr/bin/python3"                           # scripts and the Python tests
  "clang: clang++"                                      # sanitizers and libFuzzer
  "clang-format: clang-format"                          # scripts/check.sh: the format and the lint
  "clang-tidy: clang-tidy run-clang-tidy"
  "libclang-rt-14-dev: /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a"
  "googletest: /usr/src/googletest/CMakeLists.txt"      # GoogleTest sources, built by each build
  "libboost-dev: /usr/include/boost/asio.hpp /usr/include/boost/beast.hpp"  # ampd, ampctl: Asio, Beast
  "nlohmann-json3-dev: /usr/include/nlohmann/json.hpp"  # ampd's JSON
  "mingw-w64: x86_64-w64-mingw32-windres"               # the Windows programs
  "g++-mingw-w64-x86-64: x86_64-w64-mingw32-g++"
  "g++-mingw-w64-i686: i686-w64-mingw32-g++"
  "binutils-mingw-w64: x86_64-w64-mingw32-objdump x86_64-w64-mingw32-strip i686-w64-mingw32-objdump i686-w64-mingw32-strip"
  # Running them on Linux; never wine32: it needs 32-bit Linux programs, which these machines
  # cannot run, and once installed it stops wine from starting 64-bit ones.
  "wine: wine wineserver wineboot"
  "wine64: /usr/lib/wine/wine64"
  "xvfb: Xvfb"                                          # a display for Wine
  "xauth: xauth"
  "x11-utils: xdpyinfo"
  "imagemagick: import convert"                         # screenshots, colours read off the screen
  "fonts-wqy-zenhei: /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"  # the panel's 《 》 and ℃
  "fonts-dejavu-core: /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
  "zip: zip"                                            # the release zips
  "unzip: unzip"
  "python3-pyvisa: /usr/lib/python3/dist-packages/pyvisa"  # ampd's tests: real SCPI clients
  "python3-pyvisa-py: /usr/lib/python3/dist-packages/pyvisa_py"
  "lxi-tools: lxi"
  "prometheus: prometheus promtool"                     # ampd's metrics scraped, its alert rules
  "libjs-dygraphs: /usr/share/javascript/dygraphs/dygraph.min.js"  # the page's trend plot
  "chromium: chromium"                                  # the page's tests and its picture
  "chromium-driver: chromedriver"
  "python3-selenium: /usr/lib/python3/dist-packages/selenium"
  "dpkg-dev: dpkg-deb dpkg-shlibdeps"                   # ampd's Debian package and its checks
  "lintian: lintian"
  "man-db: man lexgrog"
  "systemd: systemd-analyze"                            # its unit verified and its exposure read
  "logrotate: logrotate"
  "strace: strace"                                      # ampd's system calls against the unit's filter
)

check() {
  local missing=0 entry package item
  for entry in "${needs[@]}"; do
    package=${entry%%:*}
    for item in ${entry#*:}; do
      if [[ $item == /* ]]; then
        [ -e "$item" ] && continue
      else
        command -v "$item" >/dev/null 2>&1 && continue
      fi
      echo "install-deps: missing $item (package $package)" >&2
      missing=1
    done
  done
  return "$missing"
}

case "${1:-}" in
  --check)
    check && echo "install-deps: every program and file is there"
    exit ;;
  "") ;;
  *) sed -n '2,8s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
esac

missing=()
for entry in "${needs[@]}"; do
  p=${entry%%:*}
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#needs[@]} packages present"
else
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
check || { echo "install-deps: the packages above are installed but their programs are not there" >&2; exit 1; }
