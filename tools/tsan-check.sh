#!/usr/bin/env bash
# Builds the platform tests with ThreadSanitizer and runs those of the audio
# device: the callback and the main thread share state only under the audio
# lock, so any race report fails the check. The same for the HTTP jobs, whose
# workers hand their results over through the completion flag.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
cache=()
if [ -n "${HALVORAN_CACHE_DIR:-}" ]; then cache=(-DHALVORAN_CACHE_DIR="$HALVORAN_CACHE_DIR"); fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORAN_TSAN=ON "${cache[@]}"
cmake --build "$build" -j"${HALVORAN_JOBS:-$(nproc)}" --target tests_platform tests_net
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy "$build/tests/tests_platform" --gtest_filter='audio_device.*'
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy "$build/tests/tests_net" --gtest_filter='gurl.*:fetch_remote.*:sessions.tokens*'
