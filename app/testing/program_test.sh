#!/bin/sh
# valmor-setup as a user meets it without a display: --help and --version
# answer without opening a window, no display (or one that cannot be
# reached, or a bad toolkit option) is one line that says what to do, an
# unknown option one line with what is known; and cmake --install lays out
# the programs, the desktop entry and the icon. Usage: program_test.sh VALMOR_SETUP VERSION BUILD_DIR
set -u
app=$1 version=$2 build=$3
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" "$@" 2>&1; }
one_line() { [ "$(printf '%s\n' "$1" | wc -l)" -eq 1 ]; }

out=$(run --help) || fail "--help exits with $?"
printf '%s\n' "$out" | grep -q '^Usage: valmor-setup' || fail "--help gives no usage: $out"

out=$(run --version) || fail "--version exits with $?"
[ "$out" = "valmor-setup $version" ] || fail "--version says '$out'"

out=$(run)
status=$?
[ "$status" -eq 1 ] || fail "without a display it exits with $status"
one_line "$out" || fail "without a display it says more than one line: $out"
printf '%s' "$out" | grep -q 'xvfb-run' || fail "without a display it does not name xvfb-run: $out"

# A display that cannot be reached, and a toolkit option without its value
# or with one Qt does not know: one line that names the problem, status 1.
display=:$((3000 + $$ % 3000))
while [ -e "/tmp/.X11-unix/X${display#:}" ]; do display=:$((${display#:} + 1)); done
out=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY="$display" "$app" 2>&1)
status=$?
[ "$status" -eq 1 ] || fail "with the unreachable display $display it exits with $status: $out"
one_line "$out" || fail "with an unreachable display it says more than one line: $out"
printf '%s' "$out" | grep -q -- "$display" || fail "it does not name the display $display: $out"
# refused STATUS PATTERN OPTIONS: on the offscreen platform, the options are
# refused with that status in one line that matches the pattern.
refused() {
  want=$1 pattern=$2 options=$3
  # shellcheck disable=SC2086
  out=$(QT_QPA_PLATFORM=offscreen "$app" $options 2>&1)
  status=$?
  [ "$status" -eq "$want" ] || fail "with $options it exits with $status: $out"
  one_line "$out" || fail "with $options it says more than one line: $out"
  printf '%s' "$out" | grep -q -- "$pattern" || fail "with $options the line is: $out"
}
for options in "-platform" "-platform nosuchwindowsystem" "-style"; do
  refused 1 "${options##* }" "$options"
done

# Options neither the app nor Qt knows: one line with what is known, status 2.
for options in "--versoin" "-platform offscreen extra"; do
  refused 2 "${options##* }.*--help" "$options"
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
if cmake --install "$build" --prefix "$prefix" >/dev/null; then
  for f in bin/valmor-setup bin/valmor-cli bin/valmor-sim \
           share/applications/valmor-setup.desktop \
           share/icons/hicolor/scalable/apps/valmor-setup.svg; do
    [ -f "$prefix/$f" ] || fail "cmake --install did not install $f"
  done
  grep -qx 'Exec=valmor-setup' "$prefix/share/applications/valmor-setup.desktop" ||
    fail "the desktop entry does not start valmor-setup"
else
  fail "cmake --install failed"
fi

[ "$failures" -eq 0 ] && echo "valmor-setup program checks passed"
exit "$failures"
