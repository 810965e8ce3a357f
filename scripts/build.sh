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

# The compiler cache is shared by every clone on this machine: paths below the
# source folder are hashed relative to it, and the build folder's own path is
# left out, so a fresh clone elsewhere (as CI makes) finds what another built.
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/valmor-ccache}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
# The test targets' precompiled header is cached too.
export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros}
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
