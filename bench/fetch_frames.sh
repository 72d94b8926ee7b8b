#!/usr/bin/env bash
# Frames a child takes to download and read 8 KB files from a local HTTP
# server (python3's http.server): 30 one after another, 30 at once (starts
# that are refused are retried the next frame), and 100 one after another.
# The kernel gives the child half of each frame until it is done; the count
# is the frames that took. Headless, a fresh home each.
#
#   bench/fetch_frames.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2> /dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$scratch/www"
head -c 8192 /dev/zero | tr '\0' 'x' > "$scratch/www/f.txt"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# http.server's own command line listens with a backlog of 5: 16 connections
# at once would then wait a second for their SYN to be sent again, which
# would measure the server, not the machine.
python3 -c '
import functools, http.server, sys
class server(http.server.ThreadingHTTPServer):
    request_queue_size = 256
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[2])
server(("127.0.0.1", int(sys.argv[1])), handler).serve_forever()' "$port" "$scratch/www" > /dev/null 2>&1 &
server_pid=$!
for _ in $(seq 50); do
  curl -s -o /dev/null --noproxy '*' "http://127.0.0.1:$port/f.txt" && break
  sleep 0.1
done

one_after_another='
for n = 1, N do
  local id = _fetch_remote(url)
  while id < 0 do flip() id = _fetch_remote(url) end
  local got, _, err
  repeat flip() got, _, err = _fetch_remote_result(id) until got or err
end'
at_once='
local pending, started, done = {}, 0, 0
while done < N do
  while started < N do
    local id = _fetch_remote(url)
    if id < 0 then break end
    started += 1
    pending[id] = true
  end
  flip()
  for id in pairs(pending) do
    local got, _, err = _fetch_remote_result(id)
    if got or err then pending[id] = nil done += 1 end
  end
end'

run() {
  local name=$1 n=$2 code=$3
  local run=$scratch/run
  rm -rf "$run" && mkdir -p "$run/bin" "$run/home" "$run/rom"
  {
    echo '_signal(37)'
    # Processes 2 and 3, so the child is an ordinary program.
    echo 'for i = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end'
    echo "local child = _create_process_from_code([==[local url, N = 'http://127.0.0.1:$port/f.txt', $n"
    echo "$code"
    echo 'poke4(0x80, 1) while true do flip() end]==], "fetcher", "/ram/fetcher.lua")'
    echo 'local frames = 0'
    echo 'while _ppeek4(child, 0x80) == 0 and frames < 36000 do _run_process_slice(child, 0.5) flip() frames += 1 end'
    echo 'printh(frames)'
    echo '_signal(33) while true do flip() end'
  } > "$run/rom/boot.lua"
  "$build/mkrom" -o "$run/bin/sysrom.dat" "$run/rom" > /dev/null
  cp "$build/halvoran" "$run/bin/"
  local frames
  frames=$(no_proxy=127.0.0.1 SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout 900 \
    "$run/bin/halvoran" -home "$run/home" -x < /dev/null 2> /dev/null | tail -n 1)
  echo "$name: $frames frames"
}
run "30 one after another" 30 "$one_after_another"
run "30 at once" 30 "$at_once"
run "100 one after another" 100 "$one_after_another"
