#!/usr/bin/env bash
# Builds only the cost sweep, without sanitizers (host times mean nothing
# under them), and runs it: every function a script can call and the frame's
# upkeep held to the cycles they are charged.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${HALVORAN_SWEEP_BUILD:-build-sweep}
cache=()
if [ -n "${HALVORAN_CACHE_DIR:-}" ]; then cache=(-DHALVORAN_CACHE_DIR="$HALVORAN_CACHE_DIR"); fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cache[@]}"
cmake --build "$build" -j"$(nproc)" --target tests_sweep
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy ctest --test-dir "$build" --output-on-failure -L sweep < /dev/null
