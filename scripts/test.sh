#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the plain build,
# the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the library's serial and discovery suites under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== build and test"
bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/build.sh build-asan -DVALMOR_SANITIZE=address -DVALMOR_WITH_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (platform, serial, discovery)"
TARGETS="platform_tests serial_tests discovery_tests" \
  bash scripts/build.sh build-tsan -DVALMOR_SANITIZE=thread -DVALMOR_WITH_BENCH=OFF -DVALMOR_WITH_APP=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L library
