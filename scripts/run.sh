#!/usr/bin/env bash
# Builds the station and runs it headless on the simulated sky with detection armed. The archive
# and the events go to the documents folder (~/Documents/Ombrix unless configured otherwise).
# Extra arguments are passed on (see `ombrix --help`). Stop with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target ombrix
exec build-release/src/app/ombrix --headless --source sim --enable "$@"
