#!/usr/bin/env bash
# Sets up, builds, and runs QRV on a built-in demo: a camera-format recording
# is generated (real H.264 and AAC) and qrv-cli shows what the scan reads from
# its head and movie box.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
DEMO_DIR=$(mktemp -d "${TMPDIR:-/tmp}/qrv-demo-XXXXXX")
trap 'rm -rf "$DEMO_DIR"' EXIT
echo
echo "== Making a demo recording as the body-worn cameras write it (ftyp, free, mdat, moov)"
build/bin/qrv-make-demo-recording "$DEMO_DIR/FILE0001.mp4"
echo
echo "== qrv-cli inspect: the head walk reaches the media data (result 0), the movie box"
echo "   after it gives the camera model, shooting date, duration and track boxes"
build/bin/qrv-cli inspect "$DEMO_DIR/FILE0001.mp4"
echo
echo "== The same recording with its movie box in front (ftyp, moov, free, mdat): result 1"
build/bin/qrv-make-demo-recording "$DEMO_DIR/FILE0002.mp4" front
build/bin/qrv-cli inspect "$DEMO_DIR/FILE0002.mp4"
