#!/usr/bin/env bash
# Builds and runs every test twice: a normal build, then a build under AddressSanitizer and
# UndefinedBehaviorSanitizer, where any report fails the run. Last, the Debian package made from the
# normal build is checked (install tree, dependencies, systemd-analyze verify on the unit).
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

# ---- the package: built from the normal build's tree and checked in a temporary root ----
bash scripts/check_package.sh build
