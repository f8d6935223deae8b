#!/usr/bin/env bash
# Sets up, builds, and runs QRV on a built-in demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
echo "The demo is not available yet."
