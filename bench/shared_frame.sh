#!/usr/bin/env bash
# Worst wall time of a frame of the whole program, headless, while a child
# process writes a table reached through shared tables 10^8 times over with
# vyn every frame it runs (the write is refused), over 120 kernel frames.
#
#   bench/shared_frame.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
[ -x "$build/halvoran" ] && [ -x "$build/mkrom" ] || { echo "shared_frame: no program or mkrom in $build" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/rom" "$scratch/run" "$scratch/home"
cat > "$scratch/rom/boot.lua" <<'LUA'
_signal(37)
local child = _create_process_from_code([[
local l = {}
for d = 1, 4 do local t = {} for i = 1, 100 do t[i] = l end l = t end
while true do vyn(l) flip() end]], "sharer", "/ram/sharer.lua")
for frame = 1, 120 do
  _run_process_slice(child, 0.5)
  flip()
  printh("frame")
end
_signal(33)
while true do flip() end
LUA
cp "$build/halvoran" "$scratch/run/"
"$build/mkrom" --user-folder bench --prefix system -o "$scratch/run/sysrom.dat" "$scratch/rom" > /dev/null
last=0 worst=0 frames=0
while IFS= read -r line; do
  now=${EPOCHREALTIME/./}
  [ "$line" = frame ] || continue
  frames=$((frames + 1))
  if [ "$last" -gt 0 ] && [ $((now - last)) -gt "$worst" ]; then worst=$((now - last)); fi
  last=$now
done < <(SDL_AUDIODRIVER=dummy SDL_VIDEODRIVER=dummy "$scratch/run/halvoran" -x -home "$scratch/home" 2> /dev/null)
echo "frames $frames, worst frame $((worst / 1000)) ms"
