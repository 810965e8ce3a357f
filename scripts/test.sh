#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the plain build
# (and the README's main command under xvfb-run, the library installed with
# its examples, and the Debian packages), the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the library's suites
# under ThreadSanitizer. The suites that measure time (*TimingTest) or load a
# CPU on purpose (*UnderLoadTest) run in the plain build only: under a
# sanitizer time means nothing. Prints a short summary per build: passed,
# failed, and skipped tests with the reason, and how long each build and test
# run took. The full build and ctest output of each build stays in the log
# files it names. Exit status 0 when nothing failed.
set -uo pipefail
cd "$(dirname "$0")/.."

if ! bash scripts/setup.sh; then
  echo "test.sh: setting up the machine failed" >&2
  exit 1
fi

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
failures=0
alone='TimingTest\.|UnderLoadTest\.'  # ctest names of the suites above

# Phase times: wall-clock seconds, and the CPU seconds (user and system) of the
# commands the phase ran, which tell a slow build from a busy machine.
timesfile=$(mktemp)
trap 'rm -f "$timesfile"' EXIT
summary=()
started=$EPOCHREALTIME
# Sets $cpu to the CPU seconds used so far by the commands this shell waited
# for. (`times` is a builtin: run here, not in a subshell, it counts them.)
read_cpu() {
  times >"$timesfile"
  cpu=$(awk 'NR == 2 { t = 0; for (i = 1; i <= 2; i++) { split($i, p, "m"); t += p[1] * 60 + p[2] } printf "%.0f", t }' "$timesfile")
}
phase_wall=0
phase_cpu=0
begin_phase() {
  phase_wall=$EPOCHREALTIME
  read_cpu
  phase_cpu=$cpu
}
# end_phase NAME: sets $took to "N s (CPU M s)" and adds it to the summary.
end_phase() {
  local wall
  wall=$(awk -v a="$phase_wall" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')
  read_cpu
  took="$wall s (CPU $((cpu - phase_cpu)) s)"
  summary+=("$1: $took")
}

# Reads build output into the log; on a terminal, shows ninja's step counter.
progress() {
  if [ -t 1 ]; then
    tee "$1" | grep --line-buffered -o '^\[[0-9]*/[0-9]*\]' |
      while read -r step; do printf '\r   building %s ' "$step"; done
    printf '\r\033[K'
  else
    cat >"$1"
  fi
}

# build DIR [cmake options...]: builds one tree; says where the log is, and
# shows the end of it when the build fails.
build() {
  local dir=$1
  shift
  mkdir -p "$dir"
  local log=$dir/build.log
  begin_phase
  bash scripts/build.sh "$dir" "$@" 2>&1 | progress "$log"
  local status=${PIPESTATUS[0]}
  end_phase "building $dir/"
  if [ "$status" -ne 0 ]; then
    echo "   build FAILED after $took (log: $log); its end:"
    tail -n 30 "$log" | sed 's/^/   | /'
    failures=$((failures + 1))
    return 1
  fi
  echo "   built in $took (log: $log)"
}

# Unescapes the few entities CTest's JUnit report uses.
unxml() { sed -e 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&apos;/'"'"'/g; s/&amp;/\&/g'; }

# run_tests DIR [ctest options...]: runs ctest, keeps its output in
# DIR/ctest.log, and prints the counts, the failed tests and the skip reasons.
# With $name set, the phase is called that and the log is DIR/$name.log.
run_tests() {
  local dir=$1
  shift
  local log=$dir/${name:-ctest}.log junit=${name:-ctest}-junit.xml
  begin_phase
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --output-junit "$junit" "$@" >"$log" 2>&1
  local status=$?
  end_phase "testing $dir/${name:+ ($name)}"
  local total failed skipped
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  failed=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$log" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$log")
  if [ -z "$total" ]; then
    echo "   tests did not run (log: $log)"
    tail -n 10 "$log" | sed 's/^/   | /'
    failures=$((failures + 1))
    return
  fi
  echo "   $((total - failed - skipped)) passed, $failed failed, $skipped skipped in $took (full output: $log)"
  sed -n '/^The following tests FAILED:/,/^$/p' "$log" | grep -E '^\s+[0-9]+ - ' |
    sed -E 's/^\s*[0-9]+ - /   FAILED /'
  if [ -f "$dir/$junit" ]; then
    # The line after gtest's "file:line: Skipped" is the reason it gave.
    awk '
      /<testcase / {
        match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
        sub(/  #.*/, "", name); notrun = ($0 ~ /status="notrun"/); next_is_reason = 0
      }
      notrun && next_is_reason { print "   skipped " name ": " $0; notrun = 0; next }
      notrun && /: Skipped$/ { next_is_reason = 1 }
    ' "$dir/$junit" | unxml
  fi
  if [ "$status" -ne 0 ]; then failures=$((failures + 1)); fi
}

echo "== plain build (build/)"
if build build; then
  run_tests build -LE product
  printf '== the main command, scripts/run.sh, under xvfb-run with no unit: '
  begin_phase
  bash scripts/check_run.sh build/run-check.log
  status=$?
  end_phase "checking scripts/run.sh"
  echo "   took $took"
  [ "$status" -eq 2 ] || echo "   (its output: build/run-check.log)"
  if [ "$status" -eq 1 ]; then failures=$((failures + 1)); fi
  # The library as its users take it up, from the plain build: installed into
  # a staging prefix with the examples built and run against it, and the
  # Debian packages made, checked with lintian and run unpacked.
  echo "== the installed library, the examples and the Debian packages (build/)"
  name=product run_tests build -L product
fi

echo "== AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
if build build-asan -DVALMOR_SANITIZE=address -DVALMOR_WITH_BENCH=OFF; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_tests build-asan -E "$alone"
fi

echo "== ThreadSanitizer, the library: platform, serial, discovery (build-tsan/)"
if TARGETS="platform_tests serial_tests discovery_tests" \
  build build-tsan -DVALMOR_SANITIZE=thread -DVALMOR_WITH_BENCH=OFF -DVALMOR_WITH_APP=OFF; then
  # ThreadSanitizer sleeps a second at every exit by default, to catch threads
  # still running then; each test is a process of its own, so that second
  # was most of this run. A tenth of it still lets a straggler show.
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=100 \
    run_tests build-tsan -L library -E "$alone"
fi

echo "== times"
for line in "${summary[@]}"; do echo "   $line"; done
echo "   total: $(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }') s"

if [ "$failures" -ne 0 ]; then
  echo "== $failures build(s) or check(s) FAILED"
  exit 1
fi
echo "== all passed"
