#!/usr/bin/env bash
# Detection on real meteor clips, judged against their ground truth.
#
# Replays every clip listed in FOLDER/truth.csv frame by frame, as the station numbers the frames
# of a file replayed with --source file:CLIP --fast, under default settings, with a mask learnt
# from the clip itself, with the adaptive threshold, and with both, and prints per clip and setting
# whether the meteor was found (with the first frame of its event against the meteor's), smeared,
# partial or missed, the false events, the events excused by a sky-wide flash named in the truth,
# and every event with its verdict; then the totals. With default settings it also replays the
# clips through the station's own Detector and says whether it gives the same events as the rule
# the benchmark copies (the adaptive threshold is not yet a setting of the station).
#
# Usage: bench/real_sky.sh [FOLDER] [--figures] [--write-masks DIR]
#        (default FOLDER ../shared/realsky from the project root; --figures adds each event's
#        verdict figures, --write-masks writes the learnt masks as PNG files)
# The lying simulated sky is measured by the same program: build-release/bench/sky_replay sim
# [MINUTES [SEED]] (default an hour, seed 1).
# Environment: SKY_REPLAY  the sky_replay binary (default build-release/bench/sky_replay, built in
#              Release if absent).
# Exit status 0 when the station's Detector and the copied rule agree, 1 when not, 2 on a failed
# run.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
folder="$root/../shared/realsky"
if [[ $# -gt 0 && "$1" != --* ]]; then
  folder="$1"
  shift
fi
if [[ ! -f "$folder/truth.csv" ]]; then
  echo "no truth.csv in $folder" >&2
  exit 2
fi
replay="${SKY_REPLAY:-$root/build-release/bench/sky_replay}"
if [[ ! -x "$replay" ]]; then
  cmake -S "$root" -B "$root/build-release" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_BENCH=ON \
    -DOMBRIX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build-release" --target sky_replay -j2
fi
echo "Machine: $(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1), $(nproc) cores"
echo "Clips: $folder"
echo
"$replay" clips "$folder" "$@"
