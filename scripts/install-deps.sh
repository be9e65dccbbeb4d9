#!/usr/bin/env bash
# Installs the Debian 12 packages that the builds, the tests, the demo and the release need;
# skips what is already there. Nothing else is downloaded.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3            # native build, scripts
  clang libclang-rt-14-dev                 # sanitizers and libFuzzer
  googletest                               # GoogleTest sources, built by each build
  libboost-dev                             # Boost.Asio (header-only): ampd, and ampctl's connection to it
  mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64  # the Windows program
  wine wine64                              # running it on Linux; never wine32: it needs 32-bit
                                           # Linux programs, which these machines cannot run, and
                                           # once installed it stops wine from starting 64-bit ones
  xvfb xauth x11-utils imagemagick         # a display for Wine, screenshots
  fonts-wqy-zenhei fonts-dejavu-core        # glyphs for the panel's text and its 《 》 ℃
  zip unzip                                # the release zips (scripts/release.sh)
  libboost-dev nlohmann-json3-dev          # ampd: Boost.Asio and JSON, header-only
  python3-pyvisa python3-pyvisa-py lxi-tools  # ampd's tests: real SCPI clients
  libjs-dygraphs                           # the trend plot of ampd's web page, served by ampd
  chromium chromium-driver python3-selenium  # the web page's tests and its picture
  dpkg-dev lintian man-db                  # ampd's Debian package (scripts/package-deb.sh) and its test
  systemd logrotate strace                 # its unit (systemd-analyze), logrotate snippet, syscall filter
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
