#!/usr/bin/env bash
# The Debian package of ampd: dist/ampd_<version>_amd64.deb with ampd and ampctl (stripped), their
# man pages, the template unit ampd@.service, a conffile, logrotate and an example udev rule, built
# with dpkg-deb from a staging tree. The package's own files are in packaging/deb/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
  cat <<'EOF'
Usage: scripts/package-deb.sh [--build-dir DIR] [--out DIR] [-h|--help]

Builds ampd and ampctl with the preset native (-j2; a Release build, hardened as Debian builds its
packages, and the build scripts/test.sh tests) and writes

  dist/ampd_<version>_amd64.deb

holding /usr/bin/ampd and /usr/bin/ampctl (stripped), their man pages ampd(8) and ampctl(1),
/lib/systemd/system/ampd@.service (the instance is the device's name under /dev: ampd@ttyUSB0
serves /dev/ttyUSB0), the conffiles /etc/ampd/ttyUSB0.conf and /etc/logrotate.d/ampd, and under
/usr/share/doc/ampd/ the copyright, the changelog and examples/70-ampd.rules (udev).
The version is the CMake project's (project(AmpPanel VERSION ...) in CMakeLists.txt); the top
entry of packaging/deb/changelog must carry the same one.

  --build-dir DIR  package the programs of another build (DIR/ampd/ampd, DIR/ampctl/ampctl)
                   instead; nothing is built
  --out DIR        where the package goes (default: dist)

Needs dpkg-deb, dpkg-shlibdeps (dpkg-dev), strip and gzip. Exit status: 0 written, 1 failed,
2 for a wrong argument.
EOF
}

build_dir=""
out=$root/dist
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --build-dir) [ $# -ge 2 ] || { usage >&2; exit 2; }; build_dir=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || { usage >&2; exit 2; }; out=$2; shift 2 ;;
    *) usage >&2; exit 2 ;;
  esac
done

fail() {
  echo "package-deb: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(AmpPanel VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project(AmpPanel VERSION ...) in CMakeLists.txt"
logged=$(sed -n '1s/^ampd (\([^)]*\)).*/\1/p' packaging/deb/changelog)
[ "$logged" = "$version" ] ||
  fail "packaging/deb/changelog's top entry is ${logged:-missing}, the project is $version: add an entry"

if [ -z "$build_dir" ]; then
  [ -f build/native/CMakeCache.txt ] || cmake --preset native >/dev/null
  build_dir=$root/build/native
  cmake --build "$build_dir" -j2 --target ampd ampctl
fi
build_dir=$(cd "$build_dir" && pwd)
for program in ampd/ampd ampctl/ampctl; do
  [ -x "$build_dir/$program" ] || fail "$build_dir/$program is not built"
done

src=$root/packaging/deb
work=$build_dir/deb
stage=$work/ampd_${version}_amd64
rm -rf "$work"
umask 022
mkdir -p "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/share/man/man1" "$stage/usr/share/man/man8" \
  "$stage/usr/share/doc/ampd/examples" "$stage/lib/systemd/system" "$stage/etc/ampd" "$stage/etc/logrotate.d"

# As dh_strip does: no symbols, no compiler notes.
for program in ampd ampctl; do
  strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    -o "$stage/usr/bin/$program" "$build_dir/$program/$program"
  chmod 0755 "$stage/usr/bin/$program"
done
gzip -9n -c "$src/ampd.8" >"$stage/usr/share/man/man8/ampd.8.gz"
gzip -9n -c "$src/ampctl.1" >"$stage/usr/share/man/man1/ampctl.1.gz"
install -m 0644 "$src/copyright" "$stage/usr/share/doc/ampd/copyright"
# A native package's changelog is changelog.gz.
gzip -9n -c "$src/changelog" >"$stage/usr/share/doc/ampd/changelog.gz"
install -m 0644 "$src/70-ampd.rules" "$stage/usr/share/doc/ampd/examples/70-ampd.rules"
install -m 0644 "$src/ampd@.service" "$stage/lib/systemd/system/ampd@.service"
install -m 0644 "$src/ttyUSB0.conf" "$stage/etc/ampd/ttyUSB0.conf"
install -m 0644 "$src/logrotate" "$stage/etc/logrotate.d/ampd"
install -m 0644 "$src/conffiles" "$stage/DEBIAN/conffiles"
for script in postinst prerm postrm; do
  install -m 0755 "$src/$script" "$stage/DEBIAN/$script"
done

# The libraries' packages and versions the programs need, from the symbols they use.
mkdir -p "$work/shlibs/debian"
printf 'Source: ampd\n\nPackage: ampd\nArchitecture: amd64\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O -e"$stage/usr/bin/ampd" -e"$stage/usr/bin/ampctl" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies for the programs"

size=$(du -k -s --apparent-size --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$src/control" >"$stage/DEBIAN/control"
if grep -q '@[A-Z_]*@' "$stage/DEBIAN/control"; then
  fail "packaging/deb/control has a placeholder this script does not fill"
fi
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/md5sums" "$stage/DEBIAN/control"

# Every file dated at the commit, so the same commit gives the same package.
stamp=$(git log -1 --format=%ct 2>/dev/null || date +%s)
find "$stage" -exec touch -h -d "@$stamp" {} +

mkdir -p "$out"
deb=$(cd "$out" && pwd)/ampd_${version}_amd64.deb
SOURCE_DATE_EPOCH=$stamp dpkg-deb --build --root-owner-group -Zxz "$stage" "$deb" >/dev/null
echo "package-deb: ${deb#"$root"/} (ampd $version, from $build_dir)"
