#!/usr/bin/env bash
# Screenshots of the web page for the README: the status page, the events and one event's page of
# a station on the simulated sky, taken by the browser test in headless Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target ombrix
/usr/bin/python3 tests/web/browser_test.py build/src/app/ombrix docs
ls -l docs/web-status.png docs/web-events.png docs/web-event.png
