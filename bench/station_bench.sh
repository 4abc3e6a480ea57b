#!/usr/bin/env bash
# Station-level benchmarks of the headless station.
#
#   fast  Replays a 5-minute 640x480 MPEG-4 night-sky file with --fast and reports how many times
#         real time the whole station runs (decode, detection, archive encode, event cutting) and
#         its CPU time (user + system). Targets: at least 50x real time, and at most 0.8x the wall
#         time of the bare ffmpeg command-line decode + MPEG-4 encode of the same frames at the
#         archive's settings with a one-thread encoder,
#           ffmpeg -i FILE -c:v mpeg4 -b:v 3M -g 10 -threads 1 -f null -
#         timed in the same round just before the station.
#   live  Runs the station on the simulated sky at 29.97 frames/s, samples the process's CPU time
#         and resident memory every 10 s, and reports CPU over minutes 1 to the end (target <= 10%
#         of one core), resident growth from minute 1 to the end (target < 2 MB) and the frames
#         lost to ring overruns (target 0).
#   window The same with the operator's window showing the live video, under Xvfb (targets:
#         <= 12% of one core, resident growth < 2 MB, 0 frames lost).
#
# Usage: bench/station_bench.sh [all|fast|live|window] [LIVE_SECONDS]     (default: all 600;
#        "all" leaves out the window)
# Environment:
#   OMBRIX      the ombrix binary (default build-sbench/src/app/ombrix, built in Release if absent)
#   FAST_RUNS   rounds of the fast benchmark (default 1); the best round is held to the target,
#               as the machine may be shared
#   CONFIG      a config.txt for the station runs (--config), e.g. one with the line
#               adaptiveThreshold:true to measure the adaptive threshold's cost; by default none
#   BENCH_DIR   work folder; the generated input file is kept there and reused (default
#               /tmp/ombrix-station-bench). Each run gets its own temporary home inside it, so the
#               archive never goes to the real documents folder.
# Exit status 0 when every measured target is met, 1 when one is missed, 2 on a failed run.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
mode="${1:-all}"
live_s="${2:-600}"
case "$mode" in all | fast | live | window) ;; *)
  echo "usage: $0 [all|fast|live|window] [LIVE_SECONDS]" >&2
  exit 2
  ;;
esac
if ! [[ "$live_s" =~ ^[0-9]+$ ]] || ((live_s < 20)); then
  echo "LIVE_SECONDS must be a whole number of at least 20" >&2
  exit 2
fi

bench_dir="${BENCH_DIR:-/tmp/ombrix-station-bench}"
fast_runs="${FAST_RUNS:-1}"
if ! [[ "$fast_runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "FAST_RUNS must be a whole number of at least 1" >&2
  exit 2
fi
mkdir -p "$bench_dir"
config_args=()
if [[ -n "${CONFIG:-}" ]]; then
  [[ -f "$CONFIG" ]] || {
    echo "CONFIG names no file: $CONFIG" >&2
    exit 2
  }
  config_args=(--config "$(cd "$(dirname "$CONFIG")" && pwd)/$(basename "$CONFIG")")
fi
ombrix="${OMBRIX:-$root/build-sbench/src/app/ombrix}"
if [[ ! -x "$ombrix" ]]; then
  cmake -S "$root" -B "$root/build-sbench" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build-sbench" --target ombrix -j2
fi

missed=0
verdict() { # verdict NAME OK(0/1) TEXT
  if [[ "$2" == 1 ]]; then
    printf '  %-34s %s  [met]\n' "$1" "$3"
  else
    printf '  %-34s %s  [MISSED]\n' "$1" "$3"
    missed=1
  fi
}

# A fresh home for one station run: the documents folder and the configuration live under it.
fresh_home() {
  local home
  home="$(mktemp -d "$bench_dir/home.XXXXXX")"
  mkdir -p "$home/Documents"
  echo "$home"
}

# The start of a command line that runs a program in a clean environment; HOME=... follows.
clean_env=(env -u XDG_DOCUMENTS_DIR -u XDG_CONFIG_HOME -u XDG_DATA_HOME)

machine() {
  echo "Machine: $(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1), $(nproc) cores;" \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)"
}

# Seconds (with fraction) since the epoch.
now_s() { date +%s.%N; }

# ---------------------------------------------------------------------------------------------
# fast: 5-minute file replayed as fast as the station goes, against the bare ffmpeg encode.

# A night sky as a low-light camera sees it: a dark grey background with temporal sensor noise,
# stars of several brightnesses, a slow satellite crossing now and then, and a short fast meteor
# every 37 s (9 in the file), each somewhere else.
make_input() {
  local out="$1"
  local rate="r=30000/1001:d=300"
  local sky="color=c=0x141414:s=640x480:$rate,format=yuv420p"
  local star x y c
  local -a stars=(101:83:9a 455:140:d0 37:402:60 600:52:48 318:233:f0 210:310:70 520:388:88
    75:190:58 390:455:a8 262:30:50 570:260:64 150:440:c0)
  for star in "${stars[@]}"; do
    IFS=: read -r x y c <<<"$star"
    sky+=",drawbox=x=$x:y=$y:w=2:h=2:c=0x$c$c$c:t=fill"
  done
  local graph="${sky}[sky];"
  graph+="color=c=0x909090:s=2x2:$rate,format=yuv420p[satellite];"
  graph+="color=c=white:s=12x3:$rate,format=yuv420p[meteor];"
  # Satellite: 9 pixels a second across and 4 down, in sight 60 s out of every 100 s.
  graph+="[sky][satellite]overlay=eval=frame:x='40+9*mod(t,100)':y='60+4*mod(t,100)'"
  graph+=":enable='lt(mod(t,100),60)'[passing];"
  # Meteor: 0.5 s at 30 pixels a frame across and 15 down, each from somewhere else.
  graph+="[passing][meteor]overlay=eval=frame:x='80+mod(97*floor(t/37),300)+900*mod(t,37)'"
  graph+=":y='60+mod(61*floor(t/37),200)+450*mod(t,37)':enable='lt(mod(t,37),0.5)'"
  graph+=",noise=alls=10:allf=t,format=yuv420p"
  ffmpeg -nostdin -hide_banner -loglevel error -y -filter_complex "$graph" \
    -c:v mpeg4 -b:v 3M -g 10 -bf 0 -pix_fmt yuv420p "$out.part.mp4"
  mv "$out.part.mp4" "$out"
}

# Runs the command with its output in the named file, puts its wall, user and system seconds and
# its peak resident kB into the named variables. False when the command fails.
timed() { # timed WALL USER SYS MAXRSS LOG -- command...
  local -n _wall=$1 _user=$2 _sys=$3 _maxrss=$4
  local log="$5"
  shift 6
  local t0 t1 rc=0
  t0="$(now_s)"
  /usr/bin/time -o "$log.time" -f '%U %S %M' "$@" >"$log" 2>&1 || rc=$?
  t1="$(now_s)"
  _wall="$(echo "$t1 - $t0" | bc -l)"
  read -r _user _sys _maxrss <"$log.time"
  return "$rc"
}

bench_fast() {
  local input="$bench_dir/night_640x480_300s.mp4"
  if [[ ! -s "$input" ]]; then
    echo "Generating the 5-minute input ($input)..."
    make_input "$input"
  fi
  local duration frames
  duration="$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$input")"
  frames="$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames \
    -of default=nw=1:nk=1 "$input")"
  echo
  echo "== fast: $input ($frames frames, ${duration} s, mpeg4 640x480 yuv420p 3 Mbit/s GOP 10)"
  machine

  # Each round times the floor and then the station, so that both see much the same load from
  # whatever else runs on the machine; a round's ratio compares the two.
  local floor=(ffmpeg -nostdin -loglevel error -i "$input" -c:v mpeg4 -b:v 3M -g 10 -threads 1
    -f null -)
  local best=0 best_floor=0 best_ratio=1000 lost_all=0 round
  for ((round = 1; round <= fast_runs; round++)); do
    ((fast_runs == 1)) || echo "  round $round of $fast_runs"
    local w u sy m x floor_w floor_cpu
    timed w u sy m "$bench_dir/ffmpeg1.log" -- "${floor[@]}"
    x="$(fast_line "ffmpeg decode + 1-thread encode" "$duration" "$frames" "$w" "$u" "$sy" "$m")"
    best_floor="$(max "$best_floor" "$x")"
    floor_w="$w"
    floor_cpu="$(echo "$u + $sy" | bc -l)"

    local home log
    home="$(fresh_home)"
    log="$bench_dir/fast.log"
    timed w u sy m "$log" -- "${clean_env[@]}" HOME="$home" "$ombrix" --headless \
      --source "file:$input" --fast --enable --start 2024-03-15T21:14:50Z "${config_args[@]}" || {
      echo "the station failed; see $log" >&2
      return 2
    }
    x="$(fast_line "ombrix --fast" "$duration" "$frames" "$w" "$u" "$sy" "$m")"
    best="$(max "$best" "$x")"
    local ratio
    ratio="$(echo "$w / $floor_w" | bc -l)"
    best_ratio="$(min "$best_ratio" "$ratio")"
    printf '  station / ffmpeg: wall %.2fx, CPU (user + sys) %.2fx\n' "$ratio" \
      "$(echo "($u + $sy) / $floor_cpu" | bc -l)"
    local progress lost movies events
    progress="$(grep '^Progress:' "$log" | tail -1 || true)"
    lost="$(grep -oE '(frames lost [0-9]+|[0-9]+ lost)' "$log" | tail -1 | grep -oE '[0-9]+' || true)"
    events="$(grep '^Stopped:' "$log" | tail -1 || true)"
    movies="$(find "$home/Documents" -name '*.mp4' | wc -l)"
    echo "  station: ${progress:-no progress line}; ${events:-no stop line}; movies written" \
      "$movies; frames lost ${lost:-?}"
    [[ "${lost:-x}" == 0 ]] || lost_all=1
    rm -rf "$home"
    machine
  done
  ((fast_runs == 1)) || printf '  best of %d: ffmpeg %.1fx, station %.1fx, station / ffmpeg %.2fx\n' \
    "$fast_runs" "$best_floor" "$best" "$best_ratio"
  verdict "fast replay >= 50x real time" "$(echo "$best >= 50" | bc -l)" "$(printf '%.1fx' "$best")"
  verdict "fast replay <= 0.8x ffmpeg's time" "$(echo "$best_ratio <= 0.8" | bc -l)" \
    "$(printf '%.2fx' "$best_ratio")"
  verdict "fast replay frames lost = 0" "$((1 - lost_all))" \
    "$( ((lost_all == 0)) && echo 0 || echo "not 0, see $bench_dir/fast.log")"
}

# Prints one timing line (to stderr, which the caller shows) and the times real time (to stdout).
fast_line() { # NAME DURATION FRAMES WALL USER SYS MAXRSS_KB
  local x
  x="$(echo "$2 / $4" | bc -l)"
  printf '  %-36s wall %6.2f s  user %6.2f s  sys %5.2f s  %5.1fx real time  %4.2f ms/frame' \
    "$1" "$4" "$5" "$6" "$x" "$(echo "$4 * 1000 / $3" | bc -l)" >&2
  printf '  peak RSS %d MB\n' "$(($7 / 1024))" >&2
  echo "$x"
}

max() { if (($(echo "$2 > $1" | bc -l))); then echo "$2"; else echo "$1"; fi; }
min() { if (($(echo "$2 < $1" | bc -l))); then echo "$2"; else echo "$1"; fi; }

# ---------------------------------------------------------------------------------------------
# live: the simulated sky in real time, CPU and resident memory sampled every 10 s.

bench_live() { # bench_live SECONDS [window]
  local seconds="$1" form="${2:-headless}"
  local interval=10 target=10
  local -a command=("$ombrix" --headless --source sim --enable "${config_args[@]}")
  local xvfb_pid=""
  if [[ "$form" == window ]]; then
    target=12
    command=("$ombrix" --source sim --enable "${config_args[@]}")
    local display=":${BENCH_DISPLAY:-98}"
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$bench_dir/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do
      xdpyinfo -display "$display" >/dev/null 2>&1 && break
      sleep 0.1
    done
    command=(env DISPLAY="$display" "${command[@]}")
  fi
  # The baseline is minute 1; a shorter run takes the sample a tenth of the way in instead.
  local base_s=60
  if ((seconds < 120)); then
    base_s=$((seconds / 10 / interval * interval))
    ((base_s >= interval)) || base_s=$interval
  fi
  local home log samples
  home="$(fresh_home)"
  log="$bench_dir/$form.log"
  samples="$bench_dir/${form}_samples.txt"
  echo
  echo "== $form: --source sim at 29.97 frames/s for $seconds s, sampled every $interval s" \
    "(baseline at $base_s s)"
  machine
  "${clean_env[@]}" HOME="$home" XDG_RUNTIME_DIR="$home" "${command[@]}" >"$log" 2>&1 &
  local pid=$!
  # Under env the program replaces it, so the process id is the station's own.
  local tick
  tick="$(getconf CLK_TCK)"
  : >"$samples"
  local start elapsed stat ticks rss load
  start="$(now_s)"
  local next=0
  while :; do
    # Sleep to the next multiple of the interval from the start.
    elapsed="$(echo "$(now_s) - $start" | bc -l)"
    local wait_s
    wait_s="$(echo "$next - $elapsed" | bc -l)"
    if (($(echo "$wait_s > 0" | bc -l))); then sleep "$wait_s"; fi
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "the station ended early; see $log" >&2
      rm -rf "$home"
      return 2
    fi
    elapsed="$(echo "$(now_s) - $start" | bc -l)"
    # utime and stime are fields 14 and 15; count from after the command name's ')'.
    stat="$(cat "/proc/$pid/stat")"
    stat="${stat##*) }"
    ticks="$(awk '{print $12 + $13}' <<<"$stat")"
    rss="$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")"
    load="$(cut -d' ' -f1 /proc/loadavg)"
    printf '%.2f %s %s %s\n' "$elapsed" "$ticks" "$rss" "$load" >>"$samples"
    ((next >= seconds)) && break
    next=$((next + interval))
  done
  kill -TERM "$pid"
  wait "$pid" || true
  [[ -z "$xvfb_pid" ]] || { kill "$xvfb_pid" && wait "$xvfb_pid"; } 2>/dev/null || true
  machine

  # Columns: elapsed s, CPU ticks, VmRSS kB, 1-minute load.
  local base_line end_line
  base_line="$(awk -v b="$base_s" '$1 >= b - 1 {print; exit}' "$samples")"
  end_line="$(tail -1 "$samples")"
  local bt bk br et ek er
  read -r bt bk br _ <<<"$base_line"
  read -r et ek er _ <<<"$end_line"
  local cpu all_cpu growth_kb max_rss
  cpu="$(echo "($ek - $bk) / $tick / ($et - $bt) * 100" | bc -l)"
  all_cpu="$(echo "$ek / $tick / $et * 100" | bc -l)"
  growth_kb=$((er - br))
  max_rss="$(awk 'NR == 1 || $3 > m {m = $3} END {print m}' "$samples")"
  local lost status meteors
  status="$(grep -E '^(UTC |Last )' "$log" | tail -1 || true)"
  lost="$(grep -oE '(frames lost [0-9]+|[0-9]+ lost)' "$log" | tail -1 | grep -oE '[0-9]+' || true)"
  meteors="$(grep '^Stopped:' "$log" | tail -1 || true)"
  echo "  samples (s, CPU ticks, VmRSS kB, load): $samples"
  awk '{printf "    %6.1f s  cpu %6.2f s  rss %6d kB  load %s\n", $1, $2 / '"$tick"', $3, $4}' \
    "$samples" | awk 'NR % 6 == 1' # one line a minute
  echo "  last status: ${status:-none}"
  echo "  ${meteors:-no stop line}"
  printf '  CPU over the whole run %.1f%%; RSS %d kB at %.0f s, %d kB at %.0f s, peak %d kB\n' \
    "$all_cpu" "$br" "$bt" "$er" "$et" "$max_rss"
  verdict "$form CPU <= $target% of one core" "$(echo "$cpu <= $target" | bc -l)" \
    "$(printf '%.1f%% (%.0f s to %.0f s)' "$cpu" "$bt" "$et")"
  verdict "$form RSS growth < 2 MB" "$((growth_kb < 2048 ? 1 : 0))" "$growth_kb kB"
  verdict "$form frames lost = 0" "$([[ "${lost:-x}" == 0 ]] && echo 1 || echo 0)" "${lost:-?}"
  rm -rf "$home"
}

status=0
if [[ "$mode" == all || "$mode" == fast ]]; then
  bench_fast || status=$?
fi
if [[ "$mode" == all || "$mode" == live ]]; then
  bench_live "$live_s" || status=$?
fi
if [[ "$mode" == window ]]; then
  bench_live "$live_s" window || status=$?
fi
((status != 0)) && exit "$status"
exit "$missed"
