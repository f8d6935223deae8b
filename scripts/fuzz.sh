#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzz build over its seed corpus.
# usage: scripts/fuzz.sh BUILD_FUZZ_DIR   (QRV_FUZZ_SECONDS per harness, default 30)
# Seeds come from build/bin/qrv-fuzz-seeds (the fixture writers), when it exists.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-fuzz}
SECONDS_EACH=${QRV_FUZZ_SECONDS:-30}
CORPUS=$BUILD/corpus
mkdir -p "$CORPUS"
if [ -x build/bin/qrv-fuzz-seeds ]; then
  build/bin/qrv-fuzz-seeds "$CORPUS" >/dev/null
fi
# EWF containers made by ewfacquire from a small medium (one segment each:
# the harness writes its input as a single .E01), compressed and not.
if command -v ewfacquire >/dev/null; then
  mkdir -p "$CORPUS/fuzz_ewf"
  seedtmp=$(mktemp -d)
  python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + (i >> 9)) & 0xFF for i in range(98304)))' \
    > "$seedtmp/media.raw"
  for c in none deflate:fast; do
    ewfacquire -u -q -t "$seedtmp/seed-${c%%:*}" -f encase6 -c "$c" -d sha1 "$seedtmp/media.raw" >/dev/null 2>&1 &&
      cp "$seedtmp/seed-${c%%:*}.E01" "$CORPUS/fuzz_ewf/seed-${c%%:*}.E01"
  done
  rm -rf "$seedtmp"
fi
shopt -s nullglob
harnesses=("$BUILD"/bin/fuzz_*)
if [ "${#harnesses[@]}" -eq 0 ]; then
  echo "no fuzz harnesses built"; exit 1
fi
# Known leaks inside third-party libraries are suppressed by name.
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
status=0
for h in "${harnesses[@]}"; do
  name=$(basename "$h")
  mkdir -p "$CORPUS/$name"
  echo "-- $name (${SECONDS_EACH}s)"
  # Regression inputs kept in the repository run first, then the fuzzer itself.
  if [ -d "fuzz/regressions/$name" ] && ls fuzz/regressions/"$name"/* >/dev/null 2>&1; then
    "$h" fuzz/regressions/"$name"/* >/dev/null 2>&1 || { echo "$name: a regression input fails"; status=1; continue; }
  fi
  if ! "$h" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$BUILD/" "$CORPUS/$name" 2>"$BUILD/$name.log"; then
    echo "$name: FAILED, see $BUILD/$name.log"; tail -40 "$BUILD/$name.log"; status=1
  else
    grep -E 'stat::number_of_executed_units|cov:' "$BUILD/$name.log" | tail -2 | sed 's/^/   /'
  fi
done
exit $status
