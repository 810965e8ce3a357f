#!/usr/bin/env bash
# Configures and builds one build tree. Usage: scripts/build.sh [DIR [cmake options...]]
# With no DIR it builds build/: the app, the tools, the tests and the benchmarks.
# TARGETS (space-separated) limits the build to those targets.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build}
shift || true

werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/valmor-ccache}
if [ ! -f "$dir/build.ninja" ]; then
  echo "Configuring $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVALMOR_WERROR=$werror "$@" >/dev/null
fi
if [ -n "${TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$(nproc)" --target $TARGETS
else
  cmake --build "$dir" -j "$(nproc)"
fi
