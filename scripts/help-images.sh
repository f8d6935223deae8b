#!/usr/bin/env bash
# Takes the manual's pictures again with the screenshot tool (after the window
# changed) and puts them into data/help/help-images/.
# usage: scripts/help-images.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
SHOT="$BUILD_DIR/bin/qrv-screenshot"
OUT=data/help/help-images
[ -x "$SHOT" ] || { echo "help-images: build qrv-screenshot first ($SHOT)" >&2; exit 1; }
# A demo card with three deleted recordings: scanned for real, so the results
# list shows each recording's thumbnail, and opened for the dialogs of a source.
CARD_DIR=$(mktemp -d)
trap 'rm -rf "$CARD_DIR"' EXIT
"$BUILD_DIR/bin/qrv-make-demo-card" "$CARD_DIR" >/dev/null
CARD="$CARD_DIR/card.img"
for lang in zh en; do
  suffix=""; [ "$lang" = en ] && suffix="-en"
  "$SHOT" --lang "$lang" --page 0 --demo --colors 128 --out "$OUT/main-sources$suffix.png"
  "$SHOT" --lang "$lang" --page 1 --demo --colors 128 --out "$OUT/main-results$suffix.png"
  "$SHOT" --lang "$lang" --page 1 --image "$CARD" --scan --colors 128 --out "$OUT/results-thumbnails$suffix.png"
  "$SHOT" --lang "$lang" --progress --demo --colors 128 --out "$OUT/progress$suffix.png"
  for dialog in scan advanced region imaging; do
    "$SHOT" --lang "$lang" --image "$CARD" --show "$dialog" --colors 128 --out "$OUT/dialog-$dialog$suffix.png"
  done
  "$SHOT" --lang "$lang" --page 1 --demo --show search --colors 128 --out "$OUT/dialog-search$suffix.png"
done
ls -l "$OUT"
