#!/bin/sh
# The Debian packages as a user gets them: cpack makes them from the build
# tree; their contents, dependencies and lintian's verdict (no errors) are
# checked; and the programs run from the unpacked packages, with nothing
# installed system-wide. Usage: package_test.sh BUILD_DIR VERSION
set -u
build=$1 version=$2
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

if ! (cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAILED: cpack"
  exit 1
fi
deb() { echo "$work/out/${1}_${version}_${arch}.deb"; }
for package in valmor-setup libvalmor-serial0 libvalmor-serial-dev libvalmor-serial-qt0 libvalmor-serial-qt-dev; do
  [ -f "$(deb "$package")" ] || fail "no package $package"
done
[ "$failures" -eq 0 ] || { ls "$work/out"; exit 1; }

# has PACKAGE PATH...: each path is in the package.
has() {
  package=$1
  shift
  dpkg-deb -c "$(deb "$package")" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' >"$work/list"
  for path in "$@"; do grep -qx "$path" "$work/list" || fail "$package lacks $path"; done
}
lib=/usr/lib/$multiarch
has valmor-setup /usr/bin/valmor-setup /usr/bin/valmor-cli /usr/bin/valmor-sim \
  /usr/share/applications/valmor-setup.desktop /usr/share/icons/hicolor/scalable/apps/valmor-setup.svg \
  /usr/share/man/man1/valmor-setup.1.gz /usr/share/man/man1/valmor-cli.1.gz /usr/share/man/man1/valmor-sim.1.gz \
  /usr/share/doc/valmor-setup/copyright
has libvalmor-serial0 "$lib/libvalmor-serial.so.0" "$lib/libvalmor-serial.so.$version"
grep -q '/usr/include' "$work/list" && fail "libvalmor-serial0 carries headers"
has libvalmor-serial-dev "$lib/libvalmor-serial.so" /usr/include/valmor/serial/serial_port.h \
  /usr/include/valmor/platform/main_queue.h /usr/include/valmor/discovery/device_registry.h \
  "$lib/cmake/ValmorSerial/ValmorSerialConfig.cmake" "$lib/cmake/ValmorSerial/ValmorSerialConfigVersion.cmake" \
  "$lib/pkgconfig/valmor-serial.pc" /usr/share/doc/libvalmor-serial-dev/api/index.html \
  /usr/share/doc/libvalmor-serial-dev/examples/request.cpp
grep -qE 'port_session\.h|serial_port_impl\.h|background\.h' "$work/list" && fail "libvalmor-serial-dev carries internal headers"
has libvalmor-serial-qt0 "$lib/libvalmor-serial-qt.so.0"
has libvalmor-serial-qt-dev /usr/include/valmor/qt/qt_main_queue.h "$lib/pkgconfig/valmor-serial-qt.pc" \
  "$lib/cmake/ValmorSerial/ValmorSerialQtTargets.cmake"

# Dependencies, from dpkg-shlibdeps and between the packages.
depends() { dpkg-deb -f "$(deb "$1")" Depends; }
depends valmor-setup | grep -q "libvalmor-serial0 (= $version)" || fail "valmor-setup does not depend on libvalmor-serial0: $(depends valmor-setup)"
depends valmor-setup | grep -q 'libqt6widgets6' || fail "valmor-setup's dependencies miss Qt: $(depends valmor-setup)"
for needed in libudev1 libicu libuuid1 libsystemd0 libstdc++6; do
  depends libvalmor-serial0 | grep -q "$needed" || fail "libvalmor-serial0 does not depend on $needed: $(depends libvalmor-serial0)"
done
depends libvalmor-serial-dev | grep -q "libvalmor-serial0 (= $version)" || fail "libvalmor-serial-dev does not depend on the library"
dpkg-deb -I "$(deb libvalmor-serial0)" shlibs | grep -q "^libvalmor-serial 0 libvalmor-serial0" ||
  fail "libvalmor-serial0 has no shlibs entry"

if ! lintian --fail-on error "$work"/out/*.deb >"$work/lintian.log" 2>&1; then
  fail "lintian reports errors:"
  sed 's/^/  /' "$work/lintian.log"
fi
cp "$work/lintian.log" "$build/lintian.log" 2>/dev/null

# The programs from the unpacked packages, the library found beside them.
for package in valmor-setup libvalmor-serial0 libvalmor-serial-qt0; do dpkg-deb -x "$(deb "$package")" "$work/root"; done
run() { LD_LIBRARY_PATH="$work/root$lib" "$@"; }
run ldd "$work/root/usr/bin/valmor-cli" | grep -q "libvalmor-serial.so.0 => $work/root" ||
  fail "valmor-cli does not load the unpacked library"
out=$(run env -u DISPLAY -u WAYLAND_DISPLAY "$work/root/usr/bin/valmor-setup" --version 2>&1)
[ "$out" = "valmor-setup $version" ] || fail "valmor-setup --version says: $out"
mkdir "$work/units"
out=$(run env VALMOR_DEVICE_DIR="$work/units" "$work/root/usr/bin/valmor-cli" list 2>&1) || fail "valmor-cli list: $out"
out=$(run "$work/root/usr/bin/valmor-cli" list 2>&1) || fail "valmor-cli list over udev: $out"

[ "$failures" -eq 0 ] && echo "debian packages checked: $(ls "$work/out" | tr '\n' ' ')"
exit "$failures"
