#!/usr/bin/env bash
# Checks the README's main command as a new user meets it, on a machine with
# no VALMOR unit plugged in: without a display, scripts/run.sh says so in one
# line; under xvfb-run it starts the simulated unit, opens the valmor-setup
# window attached to it, and when stopped closes the app and the simulator.
# Prints one line: "passed", "FAILED: ..." or "skipped: REASON"; exit status
# 0, 1 or 2 accordingly. The output of run.sh is kept in LOG.
# Usage: scripts/check_run.sh LOG   (build/ must be built; run.sh rebuilds
# nothing then)
set -uo pipefail
cd "$(dirname "$0")/.."

log=${1:-build/run-check.log}
opened='^Serial port usbserial-SIM[0-9]* was opened$'

# Runs under xvfb-run: run.sh in the background, checked, then stopped.
inside() {
  local problems=() run sim_pid unit status
  env -u QT_QPA_PLATFORM -u VALMOR_DEVICE_DIR bash scripts/run.sh >"$log" 2>&1 </dev/null &
  run=$!
  for _ in $(seq 600); do
    grep -q "$opened" "$log" && break
    kill -0 "$run" 2>/dev/null || break
    sleep 0.1
  done
  grep -q "$opened" "$log" || problems+=("the app did not open the simulated unit")
  grep -qx '1 device found' "$log" || problems+=("the app did not log \"1 device found\"")
  xwininfo -root -tree | grep -q '"VALMOR Setup"' || problems+=("no window titled \"VALMOR Setup\"")
  sim_pid=$(sed -n 's/.*simulated unit (pid \([0-9]*\)) at .*/\1/p' "$log")
  unit=$(sed -n 's/.*simulated unit (pid [0-9]*) at \([^;]*\);.*/\1/p' "$log")
  [ -n "$sim_pid" ] || problems+=("run.sh did not say that it started the simulated unit")

  # As Ctrl+C or a logout would: the app closes, then the simulator goes.
  kill -TERM "$run" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$run" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$run" 2>/dev/null; then
    problems+=("run.sh did not end within 10 s of SIGTERM")
    kill -KILL "$run" 2>/dev/null
  fi
  wait "$run"
  status=$?
  [ "$status" -eq 0 ] || problems+=("run.sh ended with status $status")
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    problems+=("the simulator (pid $sim_pid) still runs")
    kill -TERM "$sim_pid"
  fi
  if [ -n "$unit" ] && [ -e "$(dirname "$unit")" ]; then
    problems+=("the simulated unit's directory $(dirname "$unit") is left behind")
  fi

  if [ ${#problems[@]} -eq 0 ]; then return 0; fi
  local IFS=';'
  echo "${problems[*]}" >&2
  return 1
}

if [ "${1:-}" = "--inside" ]; then
  log=$2
  inside
  exit
fi

if ls /dev/ttyUSB* >/dev/null 2>&1; then
  echo "skipped: a real unit (/dev/ttyUSB*) is plugged in, so run.sh would not start the simulator"
  exit 2
fi
for tool in xvfb-run xwininfo; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is missing (bash scripts/setup.sh installs it)"
    exit 2
  fi
done

problems=()
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM bash scripts/run.sh 2>&1 </dev/null)
status=$?
[ "$status" -ne 0 ] || problems+=("without a display run.sh succeeded")
[ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || problems+=("without a display run.sh said more than one line")
printf '%s' "$out" | grep -q 'xvfb-run' || problems+=("without a display run.sh did not name xvfb-run")

if ! why=$(xvfb-run -a -s '-screen 0 1280x800x24' bash "$0" --inside "$log" 2>&1); then
  problems+=("${why:-xvfb-run failed}")
fi

if [ ${#problems[@]} -eq 0 ]; then
  echo "passed"
  exit 0
fi
(IFS=';'; echo "FAILED: ${problems[*]}")
exit 1
