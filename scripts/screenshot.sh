#!/usr/bin/env bash
# Runs the real window under Xvfb on the simulated sky (a fresh HOME, so the archive and events
# go to a temporary folder), waits until a meteor has been recorded and cut, presses Save (which
# the notice strip answers), Next, Replay and Pause, and takes a screenshot of the window into
# docs/window.png (or the path given).
# Needs xvfb, x11-apps (xwd), xdotool and imagemagick (scripts/deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/window.png}
build=${BUILD_DIR:-build}
if [ ! -x "$build/src/app/ombrix" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target ombrix
fi
work=$(mktemp -d)
xvfb_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill -TERM "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=":${SCREENSHOT_DISPLAY:-97}"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
  xdpyinfo -display "$display" >/dev/null 2>&1 && break
  sleep 0.1
done

export DISPLAY=$display HOME=$work/home XDG_RUNTIME_DIR=$work/run
unset XDG_DATA_HOME XDG_DOCUMENTS_DIR XDG_CONFIG_HOME WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
"$build/src/app/ombrix" --source sim --enable --sim-rate 20 --script waitcut,save,next,replay,pause \
  >"$work/ombrix.log" 2>&1 &
app_pid=$!

# The window presses Save one second after the first event is cut, then Next, Replay and Pause a
# second apart.
for _ in $(seq 180); do
  ls "$HOME"/Documents/Ombrix/events/m*.mp4 >/dev/null 2>&1 && break
  sleep 1
done
if ! ls "$HOME"/Documents/Ombrix/events/m*.mp4 >/dev/null 2>&1; then
  echo "No event was cut within three minutes." >&2
  cat "$work/ombrix.log" >&2
  exit 1
fi
sleep 6
window=$(xdotool search --name "Ombrix 6/10/2016" | head -1)
mkdir -p "$(dirname "$out")"
xwd -display "$display" -id "$window" -silent | convert xwd:- "$out"
echo "Screenshot: $out"
kill -TERM "$app_pid"
wait "$app_pid"
echo "ombrix exited with $?"
app_pid=""
