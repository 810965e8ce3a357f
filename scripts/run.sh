#!/usr/bin/env bash
# Sets up the machine, builds, and uploads a strobe profile to the VALMOR
# unit: the real one when one is plugged in (a ttyUSB or usbserial device),
# otherwise a simulated unit started for the occasion.
# Usage: scripts/run.sh [MODEL]   (default RED64; `valmor-cli models` lists them)
set -euo pipefail
cd "$(dirname "$0")/.."

model=${1:-RED64}

bash scripts/setup.sh
bash scripts/build.sh build >/dev/null

cli=build/tools/valmor-cli
sim=build/tools/valmor-sim

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [ -n "${simdir:-}" ]; then rm -rf "$simdir"; fi
}
trap cleanup EXIT

if [ -z "${VALMOR_DEVICE_DIR:-}" ] && ! ls /dev/ttyUSB* >/dev/null 2>&1; then
  simdir=$(mktemp -d)
  echo "No VALMOR unit is plugged in: starting the simulated unit in $simdir"
  "$sim" --dir "$simdir" </dev/null 2>"$simdir/sim.log" &
  sim_pid=$!
  for _ in $(seq 50); do
    ls "$simdir"/cu.* >/dev/null 2>&1 && break
    sleep 0.1
  done
  export VALMOR_DEVICE_DIR=$simdir
fi

echo "== Download $model"
"$cli" download "$model"
