#!/usr/bin/env bash
# Builds the benchmarks in a release build and runs them (or the ones named) on one core.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_TESTS=OFF \
  -DOMBRIX_BUILD_BENCH=ON >/dev/null
cmake --build build-release -j"$(nproc)"
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for b in build-release/bench/*_bench; do names+=("$(basename "$b")"); done
fi
for n in "${names[@]}"; do
  echo "== $n"
  taskset -c 0 "build-release/bench/$n"
done
