#!/usr/bin/env bash
# Instructions of the printer's and the mixer's hot paths, counted by
# callgrind inside the function each benchmark names (start-up, set-up and
# the harness are left out), one iteration each, so the counts repeat from
# run to run. Given several builds (the one before a change first), one
# column each and the last against the first.
#
#   bench/callgrind_counts.sh BUILD_DIR [BUILD_DIR...]
#
# Each BUILD_DIR is a Release build configured with -DHALVORAN_BENCH=ON.
#   print screen      one print_qzscii of 24 lines of 90 characters, the
#                     process's first
#   busy frame        2,000 sprites and 200 lines of 40 characters
#   block at rest     one device block of 512 frames, every channel at rest
#   block, silent     the same with one channel holding a note at volume 0
#   silent, per call  mudo_mix (not the device's) with that channel, the
#                     average over a second of 512-frame blocks
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: bench/callgrind_counts.sh BUILD_DIR [BUILD_DIR...]" >&2; exit 1; }
command -v valgrind > /dev/null || { echo "callgrind_counts: valgrind is not installed" >&2; exit 1; }

second=44100 block=512  # synth_bench's SECOND and BLOCK
# name, program, benchmark, the function counted, its calls in one iteration
rows=(
  "print screen|print_bench|BM_print_screen|print_qzscii(*|1"
  "busy frame|print_bench|BM_busy_frame|*draw_busy_frame*|1"
  "block at rest|synth_bench|BM_device_block_at_rest|*mix_one_device_block*|1"
  "block, silent|synth_bench|BM_device_block_silent|*mix_one_device_block*|1"
  "silent, per call|synth_bench|BM_mixer_silent|mudo_mix(*|$(((second + block - 1) / block))"
)

valgrind=$(command -v valgrind)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Instructions of one call, or "-" where the build has no such benchmark.
# The program runs by the same path and with an empty environment whatever
# the build and the caller's shell: the stack moves with their length, and
# the library's compares and copies take other paths at other alignments.
count() {
  local bench=$scratch/bench/$2 n
  ln -sfn "$(cd "$1/bench" && pwd)" "$scratch/bench"
  [ -x "$bench" ] && "$bench" --benchmark_list_tests | grep -qx -- "$3" || { echo -; return; }
  env -i "$valgrind" --tool=callgrind --callgrind-out-file="$scratch/out" --toggle-collect="$4" \
    "$bench" --benchmark_filter="^$3\$" --benchmark_min_time=0.000001 > /dev/null 2> "$scratch/err"
  n=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$scratch/err")
  echo $((n / $5))
}

i=0
for build in "$@"; do i=$((i + 1)); echo "build $i: $build"; done
printf '%-18s' ""
i=0
for build in "$@"; do i=$((i + 1)); printf ' %14s' "build $i"; done
[ $# -gt 1 ] && printf ' %8s' ratio
echo
for row in "${rows[@]}"; do
  IFS='|' read -r name program bench function calls <<< "$row"
  printf '%-18s' "$name"
  first= last=
  for build in "$@"; do
    last=$(count "$build" "$program" "$bench" "$function" "$calls")
    first=${first:-$last}
    printf ' %14s' "$last"
  done
  if [ $# -gt 1 ]; then
    ratio=-
    [ "$first" != - ] && [ "$last" != - ] && ratio=$(awk -v a="$last" -v b="$first" 'BEGIN { printf "%.3f", a / b }')
    printf ' %8s' "$ratio"
  fi
  echo
done
