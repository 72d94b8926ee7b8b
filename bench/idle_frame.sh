#!/usr/bin/env bash
# Host CPU and resident memory of the whole program idle: our system ROM
# booted with nothing to do, beside its anchor, an SDL program with the audio
# device open (writing silence) and a main loop sleeping to 60 Hz deadlines
# (bench/idle_anchor.c, built here). Each run starts the program, lets it
# settle for SETTLE seconds, then takes the CPU time of all its threads over
# the next IDLE seconds and its resident size at the end. The runs of the
# anchor, the program headless (-x) and the program in a window under Xvfb
# (skipped when Xvfb is not installed) take turns; the figures are medians.
#
#   bench/idle_frame.sh BUILD_DIR [RUNS [BEFORE_BUILD_DIR]]
#
# Given a second build, every headless and window run starts STARTS copies
# (default 8) of each program at once, each with a home of its own, and the
# medians are over every copy, side by side with their ratio. One start's
# figure can move by a factor of two with its address layout and the host's
# load; copies running at once share the load, and many starts even out the
# layouts, so two builds a few percent apart can be told apart.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
runs=${2:-5}
settle=${SETTLE:-2}
idle=${IDLE:-20}
programs=("$build/halvoran")
copies=1
if [ -n "${3:-}" ]; then
  programs+=("$(cd "$3" && pwd)/halvoran")
  copies=${STARTS:-8}
fi
for program in "${programs[@]}"; do
  [ -x "$program" ] || { echo "idle_frame: no $program" >&2; exit 1; }
done
scratch=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2> /dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

anchor=$scratch/idle_anchor
# shellcheck disable=SC2046
cc -O2 -o "$anchor" "$here/idle_anchor.c" $(pkg-config --cflags --libs sdl2)

# Nanoseconds on a CPU of every thread of process $1.
cpu_ns() {
  local sum=0 f v
  for f in /proc/"$1"/task/*/schedstat; do
    read -r v _ < "$f" 2> /dev/null || continue
    sum=$((sum + v))
  done
  echo "$sum"
}

# One run of $copies copies of every program at once, each given the
# arguments and a home folder of its own; appends each copy's "<CPU ms per
# idle second> <resident MB>" to the file "$1.<index of its program>".
measure_programs() {
  local out=$1 pids=() tags=() c0=() i j k home rss
  shift
  for ((j = 0; j < copies; j++)); do
    for i in "${!programs[@]}"; do
      home=$scratch/home.$i.$j
      rm -rf "$home" && mkdir -p "$home"
      "${programs[$i]}" "$@" -home "$home" > /dev/null 2>&1 &
      pids+=($!) tags+=("$i")
    done
  done
  sleep "$settle"
  for k in "${!pids[@]}"; do c0+=("$(cpu_ns "${pids[$k]}")"); done
  sleep "$idle"
  for k in "${!pids[@]}"; do
    rss=$(awk '/^VmRSS:/ { print $2 }' /proc/"${pids[$k]}"/status)
    awk -v a="${c0[$k]}" -v b="$(cpu_ns "${pids[$k]}")" -v r="$rss" -v s="$idle" \
      'BEGIN { printf "%.3f %.1f\n", (b - a) / s / 1e6, r / 1024 }' >> "$out.${tags[$k]}"
  done
  kill -TERM "${pids[@]}" 2> /dev/null || true
  wait "${pids[@]}" 2> /dev/null || true
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
display=
if command -v Xvfb > /dev/null; then
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 1280x720x24 -nolisten tcp > /dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 10 display <&"$fd" || { echo "idle_frame: Xvfb did not start" >&2; exit 1; }
fi

# The anchor reads its run time from its first argument and leaves the rest.
measure_anchor() {
  local programs=("$anchor") copies=1
  measure_programs "$scratch/anchor" $((settle + idle + 5))
}

for i in $(seq "$runs"); do
  SDL_VIDEODRIVER=dummy measure_anchor
  SDL_VIDEODRIVER=dummy measure_programs "$scratch/headless" -x
  if [ -n "$display" ]; then
    DISPLAY=:$display SDL_VIDEODRIVER=x11 measure_programs "$scratch/window"
  fi
done

cpu() { awk '{ print $1 }' "$scratch/$1" | median; }
rss() { awk '{ print $2 }' "$scratch/$1" | median; }
a=$(cpu anchor.0) h=$(cpu headless.0)
starts=$runs
[ "$copies" -gt 1 ] && starts="$runs runs x $copies"
echo "CPU ms per idle second, median of $starts starts of ${idle} s:"
echo "  anchor:   $a (resident $(rss anchor.0) MB)"
echo "  headless: $h (resident $(rss headless.0) MB)"
awk -v h="$h" -v a="$a" 'BEGIN { printf "  headless / anchor: %.2fx\n", h / a }'
if [ -n "$display" ]; then
  w=$(cpu window.0)
  echo "  window under Xvfb: $w (resident $(rss window.0) MB)"
  awk -v w="$w" -v h="$h" 'BEGIN { printf "  window / headless: %.2fx\n", w / h }'
else
  echo "  window under Xvfb: skipped (no Xvfb)"
fi
if [ ${#programs[@]} -gt 1 ]; then
  echo "Beside the build before ($3), started at the same times:"
  for mode in headless window; do
    [ -s "$scratch/$mode.1" ] || continue
    b=$(cpu "$mode.1") n=$(cpu "$mode.0")
    awk -v m="$mode" -v b="$b" -v n="$n" \
      'BEGIN { printf "  %s: before %s, this %s, this / before %.3f\n", m, b, n, n / b }'
  done
fi
