#!/usr/bin/env bash
# Worst host frame and peak memory of scripts that once stalled the machine
# through the file calls. Each kernel in bench/stalls/ runs one offending
# child for 120 frames and prints "frame" after each; the longest gap between
# two of those lines is the worst frame. Headless, a fresh home each.
#
#   bench/stall_frames.sh BUILD_DIR [NAME...]
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(mkdir_loop mkdir_many mkdir_nested ls_host fstat_mounts rom_copies)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for name in "${names[@]}"; do
  run=$scratch/run
  rm -rf "$run" && mkdir -p "$run/bin" "$run/home" "$run/rom"
  cp "$here/stalls/$name.lua" "$run/rom/boot.lua"
  "$build/mkrom" -o "$run/bin/sysrom.dat" "$run/rom" > /dev/null
  cp "$build/halvoran" "$run/bin/"
  SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy /usr/bin/time -f "%M" -o "$scratch/rss" \
    timeout 600 "$run/bin/halvoran" -home "$run/home" -x < /dev/null 2> /dev/null |
    while IFS= read -r line; do echo "$(date +%s%N) $line"; done > "$scratch/out" || true
  awk -v name="$name" -v rss="$(tail -n 1 "$scratch/rss")" '
    $2 == "frame" { if (last) { gap = ($1 - last) / 1e6; if (gap > worst) worst = gap } last = $1; n++; next }
    { $1 = ""; said = said $0 }
    END { printf "%s: %d frames, worst frame %.0f ms, peak RSS %.0f MB;%s\n", name, n, worst, rss / 1024, said }' \
    "$scratch/out"
done
