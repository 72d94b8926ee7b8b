#!/usr/bin/env bash
# Worst host frame and peak memory of scripts that once stalled the machine
# through the file calls. bench/stalls/NAME.lua is the offending child's
# code (NAME.setup.lua, when present, runs in the kernel first and finds that
# code in offender_code); the kernel gives the child half of each of FRAMES
# frames (120 unless set) and prints "frame" after each: the longest gap
# between two of those lines is the worst frame; frames over 250 ms are
# counted. Headless, a fresh home each. The child counts its progress at 0x80;
# the frame of its last step is printed, and the frame it ended at, if it did.
# With ALL_SLICES=1, or for a script with the line
# "-- stall_frames: every process", the kernel instead gives every live
# process an even share of each frame, as a fair kernel does, so processes
# the child starts run too.
#
#   [FRAMES=N] [ALL_SLICES=1] bench/stall_frames.sh BUILD_DIR [NAME...]
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in "$here"/stalls/*.lua; do
    case $f in *.setup.lua) ;; *) names+=("$(basename "$f" .lua)") ;; esac
  done
fi
frames=${FRAMES:-120}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for name in "${names[@]}"; do
  run=$scratch/run
  rm -rf "$run" && mkdir -p "$run/bin" "$run/home" "$run/rom"
  every=${ALL_SLICES:-0}
  grep -qx -- '-- stall_frames: every process' "$here/stalls/$name.lua" && every=1
  {
    echo '_signal(37)'
    echo 'local offender_code = [==['
    cat "$here/stalls/$name.lua"
    echo ']==]'
    [ -f "$here/stalls/$name.setup.lua" ] && cat "$here/stalls/$name.setup.lua"
    echo 'local child = _create_process_from_code(offender_code, "offender", "/ram/offender.lua")'
    echo 'printh("frame")'
    echo 'local last, at, ended = 0, 0, nil'
    echo "for frame = 1, $frames do"
    if [ "$every" = 1 ]; then
      echo '  local list = _get_process_list()'
      echo '  for _, e in ipairs(list) do'
      echo '    if e.id ~= pid() then _run_process_slice(e.id, 1 / math.max(#list - 1, 1)) end'
      echo '  end'
    else
      echo '  _run_process_slice(child, 0.5)'
    fi
    echo '  flip() printh("frame")'
    echo '  if _process_state(child) == -1 then'
    echo '    ended = ended or frame'
    echo '  else'
    echo '    local p = _ppeek4(child, 0x80) or last'
    echo '    if p ~= last then last, at = p, frame end'
    echo '  end'
    echo 'end'
    echo 'printh("child state " .. _process_state(child) .. ", progress " .. last .. " at frame " .. at ..'
    echo '  (ended and ", ended at frame " .. ended or ""))'
    echo '_signal(33) while true do flip() end'
  } > "$run/rom/boot.lua"
  "$build/mkrom" -o "$run/bin/sysrom.dat" "$run/rom" > /dev/null
  cp "$build/halvoran" "$run/bin/"
  SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy /usr/bin/time -f "%M" -o "$scratch/rss" \
    timeout 600 "$run/bin/halvoran" -home "$run/home" -x < /dev/null 2> /dev/null |
    while IFS= read -r line; do echo "$(date +%s%N) $line"; done > "$scratch/out" || true
  awk -v name="$name" -v rss="$(tail -n 1 "$scratch/rss")" '
    $2 == "frame" {
      if (last) { gap = ($1 - last) / 1e6; if (gap > worst) worst = gap; if (gap > 250) long++ }
      last = $1; n++; next
    }
    { $1 = ""; said = said $0 }
    END {
      printf "%s: %d frames, worst frame %.0f ms, %d over 250 ms, peak RSS %.0f MB;%s\n", name, n, worst, long, rss / 1024,
        said
    }' \
    "$scratch/out"
done
