#!/usr/bin/env bash
# The main command: sets up the machine, builds the desktop app and opens it.
# With no VALMOR unit plugged in (no /dev/ttyUSB<n>), it first starts the
# simulated unit (valmor-sim) and points the app at it through
# VALMOR_DEVICE_DIR, so that Download can be tried without the hardware; the
# simulator is stopped when the app ends. Ctrl+C closes the app as well.
# Usage: scripts/run.sh   (a window needs a display; without one:
#                          xvfb-run -a bash scripts/run.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run.sh: no display to open the window on (DISPLAY is not set): run it in a desktop session, or without a screen as: xvfb-run -a bash scripts/run.sh (xvfb-run is in the Debian package xvfb)" >&2
  exit 1
fi

echo "== Checking the Debian packages the build needs"
bash scripts/setup.sh
echo "== Building valmor-setup and valmor-sim in build/ (the first build takes a few minutes)"
TARGETS="valmor-setup valmor-sim" bash scripts/build.sh build

app=build/app/valmor-setup
sim=build/tools/valmor-sim

sim_pid=""
app_pid=""
simdir=""
cleanup() {
  if [ -n "$app_pid" ]; then kill -TERM "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [ -n "$simdir" ]; then rm -rf "$simdir"; fi
}
trap cleanup EXIT
# A signal to this script closes the app; the script then ends as usual.
trap 'if [ -n "$app_pid" ]; then kill -TERM "$app_pid" 2>/dev/null || true; fi' INT TERM HUP

if [ -z "${VALMOR_DEVICE_DIR:-}" ] && ! ls /dev/ttyUSB* >/dev/null 2>&1; then
  simdir=$(mktemp -d "${TMPDIR:-/tmp}/valmor-units-XXXXXX")
  "$sim" --dir "$simdir" </dev/null >/dev/null 2>build/valmor-sim.log &
  sim_pid=$!
  for _ in $(seq 50); do
    ls "$simdir"/cu.* >/dev/null 2>&1 && break
    sleep 0.1
  done
  if ! ls "$simdir"/cu.* >/dev/null 2>&1; then
    echo "run.sh: the simulated unit did not start; see build/valmor-sim.log" >&2
    exit 1
  fi
  echo "== No VALMOR unit is plugged in: started the simulated unit (pid $sim_pid) at $(ls "$simdir"/cu.*); its log: build/valmor-sim.log"
  export VALMOR_DEVICE_DIR=$simdir
fi

echo "== Opening valmor-setup; close its window to end"
"$app" &
app_pid=$!
status=0
wait "$app_pid" || status=$?
# A trapped signal interrupts wait: wait on until the app has closed.
while kill -0 "$app_pid" 2>/dev/null; do
  status=0
  wait "$app_pid" || status=$?
done
app_pid=""
exit "$status"
