#!/usr/bin/env bash
# Sets up, builds (with AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs every test; the cost sweep, which the sanitized tree skips, runs in a
# tree of its own without them (tools/sweep.sh) before the summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
build=${HALVORAN_TEST_BUILD:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORAN_SANITIZE=ON
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
sweep=0
bash tools/sweep.sh || sweep=$?
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
if [ "$sweep" -ne 0 ]; then
  echo "the cost sweep failed (tools/sweep.sh)" >&2
  exit "$sweep"
fi
