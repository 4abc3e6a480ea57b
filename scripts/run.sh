#!/usr/bin/env bash
# Builds the station and runs it on the simulated sky with detection armed: in its window when a
# display is available, else headless. The archive
# and the events go to the documents folder (~/Documents/Ombrix unless configured otherwise).
# Extra arguments are passed on (see `ombrix --help`). Stop with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target ombrix
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build-release/src/app/ombrix --source sim --enable "$@"
fi
exec build-release/src/app/ombrix --headless --source sim --enable "$@"
