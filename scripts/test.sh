#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds QRV and runs every test.
# Exits non-zero when any stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== dependencies"
bash scripts/deps.sh

echo "== build"
bash scripts/build.sh build

echo "== tests"
ctest --test-dir build --output-on-failure -j "$(nproc)"
