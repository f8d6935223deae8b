#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds QRV and runs every test:
#   1. the unit and end-to-end tests (build/)
#   2. the same tests built with AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/), the
#      window's tests included
#   3. the same tests built with ThreadSanitizer (build-tsan/): the analysis searches on several
#      threads, so the end-to-end tests exercise threads as much as the "threaded" ones
#   4. every libFuzzer harness for a short time over its seed corpus (build-fuzz/)
# Exits non-zero when any stage fails. Stage times are printed at the end.
#
# Knobs: QRV_STAGES (default "tests asan tsan fuzz"), QRV_FUZZ_SECONDS (per harness, default 30),
#        QRV_JOBS (default: number of cores), QRV_REQUIRE_FIXTURES (default 1: a test that lacks a
#        tool, root or a loop device fails instead of skipping; deps.sh installs every tool).
set -euo pipefail
cd "$(dirname "$0")/.."

STAGES=${QRV_STAGES:-"tests asan tsan fuzz"}
FUZZ_SECONDS=${QRV_FUZZ_SECONDS:-30}
JOBS=${QRV_JOBS:-$(nproc)}
export QRV_REQUIRE_FIXTURES=${QRV_REQUIRE_FIXTURES:-1}
declare -a TIMES=()

stage_start() { echo; echo "== $1"; STAGE_T0=$(date +%s); }
stage_end() { TIMES+=("$1: $(( $(date +%s) - STAGE_T0 ))s"); }
want() { [[ " $STAGES " == *" $1 "* ]]; }

stage_start "dependencies"
bash scripts/deps.sh
stage_end "dependencies"

if want tests; then
  stage_start "build"
  bash scripts/build.sh build
  stage_end "build"
  stage_start "tests"
  ctest --test-dir build --output-on-failure -j "$JOBS"
  stage_end "tests"
fi

if want asan; then
  stage_start "tests under AddressSanitizer + UndefinedBehaviorSanitizer"
  # The window's tests (tests/app, offscreen platform) run here too. Leaks
  # that belong to Qt's and fontconfig's own caches are suppressed by name in
  # scripts/lsan.supp; leak detection itself stays on.
  bash scripts/build.sh build-asan -DQRV_SANITIZE=address,undefined -DQRV_BUILD_BENCH=OFF -DQRV_BUILD_GUI=ON
  # -LE seams under the sanitizers: test_seams builds the same scenarios as
  # test_quality (which runs here) and only adds byte-for-byte comparisons.
  QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions="$PWD/scripts/lsan.supp":print_suppressions=0 \
    ctest --test-dir build-asan -LE seams --output-on-failure -j "$JOBS"
  stage_end "asan+ubsan"
fi

if want tsan; then
  stage_start "tests under ThreadSanitizer"
  bash scripts/build.sh build-tsan -DQRV_SANITIZE=thread -DQRV_BUILD_BENCH=OFF -DQRV_BUILD_GUI=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan -LE seams --output-on-failure -j "$JOBS"
  stage_end "tsan"
fi

if want fuzz; then
  stage_start "fuzz harnesses, ${FUZZ_SECONDS}s each"
  CC=clang CXX=clang++ bash scripts/build.sh build-fuzz -DQRV_BUILD_FUZZ=ON -DQRV_SANITIZE=address,undefined \
    -DQRV_BUILD_TESTS=OFF -DQRV_BUILD_BENCH=OFF -DQRV_BUILD_GUI=OFF
  QRV_FUZZ_SECONDS=$FUZZ_SECONDS bash scripts/fuzz.sh build-fuzz
  stage_end "fuzz"
fi

echo
echo "== stage times"
printf '  %s\n' "${TIMES[@]}"
echo "all stages passed"
