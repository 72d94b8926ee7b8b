#!/usr/bin/env bash
# Host CPU of an idle frame of the whole program: our system ROM booted
# with nothing to do. A run of 22 s less a run of 2 s (start-up and the
# boot fall out), over the 20 s between them at the program's 16 ms frame;
# user and system time of every thread, medians of 5 runs each. Headless
# (-x) and in a window under Xvfb (skipped when Xvfb is not installed).
#
#   bench/idle_frame.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(cd "$1" && pwd)
runs=${2:-5}
program=$build/halvoran
[ -x "$program" ] || { echo "idle_frame: no $program" >&2; exit 1; }
scratch=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2> /dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# CPU seconds (user + system) of one run of $1 seconds; the rest are options.
cpu_of_run() {
  local seconds=$1
  shift
  rm -rf "$scratch/home" && mkdir -p "$scratch/home"
  local TIMEFORMAT='%U %S' t
  t=$( { time timeout -s TERM "$seconds" "$program" -home "$scratch/home" "$@" > /dev/null 2>&1; } 2>&1 || true)
  awk '{ printf "%.4f\n", $(NF-1) + $NF }' <<< "$t"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Microseconds of host CPU per idle frame.
per_frame() {
  local long short i
  long=$(for i in $(seq "$runs"); do cpu_of_run 22 "$@"; done | median)
  short=$(for i in $(seq "$runs"); do cpu_of_run 2 "$@"; done | median)
  awk -v l="$long" -v s="$short" 'BEGIN { printf "%.0f us (22 s run %.3f s, 2 s run %.3f s)\n", (l - s) / 20 * 0.016 * 1e6, l, s }'
}

export SDL_AUDIODRIVER=dummy
echo "headless: $(SDL_VIDEODRIVER=dummy per_frame -x)"
if command -v Xvfb > /dev/null; then
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 1280x720x24 -nolisten tcp > /dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 10 display <&"$fd" || { echo "idle_frame: Xvfb did not start" >&2; exit 1; }
  echo "window under Xvfb: $(DISPLAY=:$display SDL_VIDEODRIVER=x11 per_frame)"
else
  echo "window under Xvfb: skipped (no Xvfb)"
fi
