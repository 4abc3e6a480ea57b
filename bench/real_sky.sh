#!/usr/bin/env bash
# Detection on real meteor clips and on the lying simulated sky, judged against ground truth.
#
# Real clips: for every clip listed in FOLDER/truth.csv a mask is learnt from the clip itself (the
# station's mask learning on the file replayed as a camera: sky_replay learn file:CLIP), then the
# station replays the clip (ombrix --headless --source file:CLIP --fast --enable) under three
# configuration files: default settings; adaptiveThreshold:true; adaptiveThreshold:true with the
# learnt mask as maskFile. The table says per clip and setting whether the meteor was found (with
# the first frame of its event against the meteor's), smeared, partial or missed, the false
# events, the events excused by a sky-wide flash named in the truth, and every event with the
# verdict on the time history the station cut; then the totals.
#
# Simulated sky: MINUTES (default 60) at 6 meteors a minute with satellites, aircraft, lightning,
# drifting clouds, a burned-in clock and hot pixels, through the station's detector under the
# same three settings (the mask learnt from the first minute), without the archive (sky_replay
# sim): meteors covered by an event, the precision and recall of the verdict "meteor", and the
# verdicts by what caused each event. With --live-sim the station itself runs that long on the
# simulated sky in real time with the adaptive threshold and a mask learnt from the sky's first
# minute (another minute before), and its archive is judged the same way.
#
# Usage: bench/real_sky.sh [FOLDER] [--figures] [--no-sim] [--live-sim] [--minutes N]
#        (default FOLDER ../shared/realsky from the project root; --figures adds each event's
#        verdict figures)
# Environment: OMBRIX, SKY_REPLAY  the binaries (default build-release/src/app/ombrix and
#              build-release/bench/sky_replay, built in Release if absent); BENCH_DIR the work
#              folder (default /tmp/ombrix-real-sky).
# Exit status 0, or 2 on a failed run.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
folder="$root/../shared/realsky"
if [[ $# -gt 0 && "$1" != --* ]]; then
  folder="$1"
  shift
fi
figures=() sim=1 live=0 minutes=60
while [[ $# -gt 0 ]]; do
  case "$1" in
  --figures) figures=(--figures) ;;
  --no-sim) sim=0 ;;
  --live-sim) live=1 ;;
  --minutes)
    minutes="$2"
    shift
    ;;
  *)
    echo "usage: $0 [FOLDER] [--figures] [--no-sim] [--live-sim] [--minutes N]" >&2
    exit 2
    ;;
  esac
  shift
done
if [[ ! -f "$folder/truth.csv" ]]; then
  echo "no truth.csv in $folder" >&2
  exit 2
fi
folder="$(cd "$folder" && pwd)"
ombrix="${OMBRIX:-$root/build-release/src/app/ombrix}"
replay="${SKY_REPLAY:-$root/build-release/bench/sky_replay}"
if [[ ! -x "$ombrix" || ! -x "$replay" ]]; then
  cmake -S "$root" -B "$root/build-release" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_BENCH=ON \
    -DOMBRIX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build-release" --target ombrix sky_replay -j2
fi
work="${BENCH_DIR:-/tmp/ombrix-real-sky}"
rm -rf "$work"
mkdir -p "$work"

# A configuration file: the archive folder, then the given lines.
config() { # config FILE ARCHIVE [LINE...]
  local file="$1" archive="$2"
  shift 2
  mkdir -p "$archive"
  {
    printf 'archiveFolder:%s\r\n' "$archive"
    for line in "$@"; do printf '%s\r\n' "$line"; done
  } >"$file"
}

# Runs the station in a home of its own (nothing goes to the user's documents or configuration).
station() { # station LOG ARGS...
  local log="$1" home
  shift
  home="$(mktemp -d "$work/home.XXXXXX")"
  env -u XDG_DOCUMENTS_DIR -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$home" \
    "$ombrix" --headless --status-interval 0 "$@" >"$log" 2>&1 || {
    echo "the station failed; see $log" >&2
    exit 2
  }
}

echo "Machine: $(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1), $(nproc) cores"
echo "Clips: $folder"
settings=(default adaptive adaptive+mask)
while IFS=, read -r clip _; do
  [[ "$clip" == clip || -z "$clip" ]] && continue
  "$replay" learn "file:$folder/$clip" "$work/$clip.mask.png" >/dev/null
  for setting in "${settings[@]}"; do
    run="$work/runs/$setting/$clip"
    lines=()
    [[ "$setting" == default ]] || lines+=(adaptiveThreshold:true)
    [[ "$setting" != adaptive+mask ]] || lines+=("maskFile:$work/$clip.mask.png")
    config "$work/$setting.$clip.txt" "$run" "${lines[@]}"
    station "$work/$setting.$clip.log" --source "file:$folder/$clip" --fast --enable \
      --start 2024-03-15T21:00:00Z --config "$work/$setting.$clip.txt"
  done
done <"$folder/truth.csv"
echo
"$replay" judge "$folder" "$work/runs" "${settings[@]}" "${figures[@]}"

if ((sim)); then
  echo
  "$replay" sim "$minutes" 1 "${figures[@]}"
fi
if ((live)); then
  echo
  echo "The station on the simulated sky for $minutes minutes (adaptive threshold, learnt mask):"
  sky=(--sim-rate 6 --sim-objects all)
  "$replay" learn sim:1 "$work/sim.mask.png" --seconds 60 "${sky[@]}"
  config "$work/sim.txt" "$work/sim" adaptiveThreshold:true "maskFile:$work/sim.mask.png" \
    hourlyRate:1000000000
  station "$work/sim.log" --source sim:1 "${sky[@]}" --sim-truth "$work/sim.truth.csv" --enable \
    --duration $((minutes * 60)) --config "$work/sim.txt"
  "$replay" judge-sim "$work/sim.truth.csv" "$work/sim" "${figures[@]}"
fi
