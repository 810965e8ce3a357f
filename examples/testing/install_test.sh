#!/bin/sh
# libvalmor-serial as a user takes it up, from an install into a staging
# prefix: what is installed (public headers only, each compiling on its own),
# then examples/ configured on its own against the prefix, once through the
# CMake package and once through pkg-config, built, and each example run
# against the simulated unit valmor-sim (installed with the programs); a Qt
# program on the Qt adapter (testing/qt_adapter/) likewise.
# The program of the README's section "Using the library" is built with
# pkg-config and run too. Usage: install_test.sh BUILD_DIR EXAMPLES_DIR README
set -u
build=$1 examples=$2 readme=$3
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; echo "FAILED: cmake --install"; exit 1; }
libdir=$(dirname "$(find "$prefix/lib" -name 'libvalmor-serial.so' | head -n 1)")
[ -f "$libdir/cmake/ValmorSerial/ValmorSerialConfig.cmake" ] || fail "no CMake package in $libdir"
[ -f "$libdir/pkgconfig/valmor-serial.pc" ] || fail "no pkg-config file in $libdir"

# Public headers only, each including nothing of ours but public headers,
# and each compiling on its own from the install tree.
find "$prefix/include" -name '*.h' | sed "s|$prefix/include/||" | sort >"$work/headers"
grep -vq '^valmor/' "$work/headers" && fail "headers outside include/valmor: $(grep -v '^valmor/' "$work/headers")"
grep -Eq '/(port_session|serial_port_impl|background|log|thread_checks|device_io)\.h$' "$work/headers" &&
  fail "internal headers are installed: $(tr '\n' ' ' <"$work/headers")"
grep -rn '#include "' "$prefix/include" | grep -v '#include "valmor/' && fail "a public header includes a header that is not public"
# Compiled side by side, one compiler per core; a header that fails is
# compiled again to show why.
QT_FLAGS=$(pkg-config --cflags Qt6Core) INCLUDE=$prefix/include xargs -P "$(nproc)" -n 1 sh -c '
  printf "#include \"%s\"\n" "$1" | c++ -std=c++20 -fsyntax-only -fPIC -I"$INCLUDE" $QT_FLAGS -x c++ - 2>/dev/null ||
    echo "$1"' header <"$work/headers" >"$work/headers.failed"
while read -r header; do
  fail "$header does not compile on its own:"
  printf '#include "%s"\n' "$header" | c++ -std=c++20 -fsyntax-only -fPIC -I"$prefix/include" \
    $(pkg-config --cflags Qt6Core) -x c++ - 2>&1 | head -n 5
done <"$work/headers.failed"

# The examples, and a Qt program on the Qt adapter, each built both ways.
# build_project SOURCE NAME [cmake options...]: configures and builds
# SOURCE in $work/NAME.
build_project() {
  source=$1 name=$2
  shift 2
  if ! { cmake -S "$source" -B "$work/$name" -G Ninja "$@" && cmake --build "$work/$name"; } >"$work/$name.log" 2>&1; then
    tail -n 20 "$work/$name.log"
    fail "$source does not build with $name"
  fi
}
qt_check=$examples/testing/qt_adapter
build_project "$examples" find_package -DCMAKE_PREFIX_PATH="$prefix"
build_project "$qt_check" qt-find_package -DCMAKE_PREFIX_PATH="$prefix"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
build_project "$examples" pkg-config -DUSE_PKG_CONFIG=ON
build_project "$qt_check" qt-pkg-config -DUSE_PKG_CONFIG=ON
# pkg-config's answer names the install tree (by a path relative to the .pc).
out=$(pkg-config --cflags --libs valmor-serial)
include=$(printf '%s\n' $out | sed -n 's/^-I//p')
libs=$(printf '%s\n' $out | sed -n 's/^-L//p')
{ [ -f "$include/valmor/serial/serial_port.h" ] && [ -f "$libs/libvalmor-serial.so" ] &&
  printf '%s\n' $out | grep -qx -- -lvalmor-serial; } || fail "pkg-config --cflags --libs valmor-serial gives: $out"

# The README's program, as its reader would build it.
sed -n '/^## Using the library/,/^## /p' "$readme" | sed -n '/^```cpp$/,/^```$/p' | sed '1d;/^```$/,$d' >"$work/hello.cpp"
# shellcheck disable=SC2046
c++ -std=c++20 "$work/hello.cpp" $(pkg-config --cflags --libs valmor-serial) \
  -o "$work/hello" 2>"$work/hello.log" || { fail "the README's program does not build:"; head -n 10 "$work/hello.log"; }

# The simulated unit, published in a directory of its own.
mkdir "$work/units"
"$prefix/bin/valmor-sim" --dir "$work/units" >/dev/null 2>"$work/sim.log" &
sim_pid=$!
# wait_for FILE PATTERN: up to 10 s for a line matching PATTERN in FILE.
wait_for() {
  for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
for _ in $(seq 100); do ls "$work/units"/cu.* >/dev/null 2>&1 && break; sleep 0.1; done
unit=$(ls "$work/units"/cu.* 2>/dev/null | head -n 1)
[ -n "$unit" ] || { fail "valmor-sim did not start: $(cat "$work/sim.log")"; exit "$failures"; }
export LD_LIBRARY_PATH="$libdir"
answer='^VALMOR SIM: initialized, ready'

for way in find_package pkg-config; do
  bin=$work/$way
  # Hot plug: the unit present, then pulled out and plugged in again (each
  # SIGUSR1 to valmor-sim does one of them).
  # An output file of each run's own: the shell may look before the program
  # has opened it, and must not find the previous run's lines there.
  list_out=$work/$way-list.out
  VALMOR_DEVICE_DIR="$work/units" "$bin/list_ports" 30 >"$list_out" 2>&1 &
  list=$!
  if wait_for "$list_out" "^present $unit"; then
    kill -USR1 "$sim_pid"
    wait_for "$list_out" "^disconnected $unit" || fail "$way list_ports: no disconnected line: $(cat "$list_out")"
    kill -USR1 "$sim_pid"
    wait_for "$list_out" "^connected $unit" || fail "$way list_ports: no connected line: $(cat "$list_out")"
  else
    fail "$way list_ports does not list the unit: $(cat "$list_out")"
  fi
  kill -INT "$list"
  wait "$list" || fail "$way list_ports ended with status $? on Ctrl+C"

  out=$("$bin/send_receive" "$unit" 42105 1 2>&1) || fail "$way send_receive ended with status $?: $out"
  printf '%s\n' "$out" | grep -q "$answer" || fail "$way send_receive printed: $out"
  out=$("$bin/request" "$unit" 42105 1 'VALMOR SIM:' 2>&1) || fail "$way request ended with status $?: $out"
  printf '%s\n' "$out" | grep -q "$answer" || fail "$way request printed: $out"
  out=$("$bin/packets" "$unit" 42105 'VALMOR SIM:' 1 1 2>&1) || fail "$way packets ended with status $?: $out"
  printf '%s\n' "$out" | grep -q "^packet: VALMOR SIM: initialized, ready$" || fail "$way packets printed: $out"
done
for way in qt-find_package qt-pkg-config; do
  out=$(QT_QPA_PLATFORM=offscreen "$work/$way/qt_adapter" 2>&1) || fail "$way qt_adapter ended with status $?: $out"
  [ "$out" = "on the GUI thread" ] || fail "$way qt_adapter printed: $out"
done
out=$("$work/hello" "$unit" 42105 1 2>&1) || fail "the README's program ended with status $?: $out"
printf '%s\n' "$out" | grep -q "$answer" || fail "the README's program printed: $out"
# A reply that never comes: the request's time-out.
out=$("$work/find_package/request" "$unit" 42105 1 'NO SUCH REPLY' 2>&1) && fail "request without a reply succeeded: $out"
printf '%s\n' "$out" | grep -q '^no reply within 2 s$' || fail "request without a reply printed: $out"

[ "$failures" -eq 0 ] && echo "installed library and examples checked"
exit "$failures"
