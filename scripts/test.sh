#!/usr/bin/env bash
# Builds and runs every test in three configurations: a normal build; a build under
# AddressSanitizer and UndefinedBehaviorSanitizer; and a build under ThreadSanitizer of the tests
# that run threads (capture, detection, storage, station, review, program). Any sanitizer report
# fails the run. Last, the Debian package made from the normal build is checked (install tree,
# dependencies, systemd-analyze verify on the unit).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DOMBRIX_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# ThreadSanitizer slows instrumented code down five to fifteen times. Left out here: tests that
# must keep up with 30 frames a second in real time (they would count a slow machine as a
# fault), and single-threaded tests that only push pixels, where there is no race to find.
# Tests of binaries not built in this configuration show up as *_NOT_BUILT and are skipped.
tsan_targets=(ombrix ombrix_capture_tests ombrix_detect_tests ombrix_storage_tests
              ombrix_station_tests ombrix_review_tests ombrix_app_tests)
tsan_skip='_NOT_BUILT|SkyFrameGenerator\.|ArchiveRecorder\.TheGateFinishes'
tsan_skip+='|ProgramTest\.SignalsAClosedOutput'
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_SANITIZE_THREAD=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target "${tsan_targets[@]}"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -E "$tsan_skip"

# ---- the package: built from the normal build's tree and checked in a temporary root ----
bash scripts/check_package.sh build
