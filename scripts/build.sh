#!/usr/bin/env bash
# Configures and builds QRV into a build folder (default: build/).
# usage: scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
shift || true
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
# Warnings are errors here (development and CI); later arguments may override.
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" "${GEN[@]}" -DQRV_WERROR=ON "$@"
else
  cmake -S . -B "$BUILD_DIR" -DQRV_WERROR=ON "$@" >/dev/null
fi
cmake --build "$BUILD_DIR" -j "$(nproc)"
