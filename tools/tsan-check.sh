#!/usr/bin/env bash
# Builds the platform, audio and network tests with ThreadSanitizer and runs
# those of the audio device, the mixer's contract, the HTTP jobs and the
# sockets: the callback and the main thread share state only under the audio
# lock (volume and swap are atomics), job workers hand their results over
# through the completion flag, name lookups for sockets through their slot's
# state, and the cartridge write-back's worker (of every form, PNG too) and
# the thread that syncs written files hand their work over under their own
# locks, and the host-time backstop's timer signal shares its words with the
# thread it interrupts only through lock-free atomics (its bounds scale with
# the slower host the sanitizer makes), so any race report or cut of paid work
# fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
cache=()
if [ -n "${HALVORAN_CACHE_DIR:-}" ]; then cache=(-DHALVORAN_CACHE_DIR="$HALVORAN_CACHE_DIR"); fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORAN_TSAN=ON "${cache[@]}"
cmake --build "$build" -j"${HALVORAN_JOBS:-$(nproc)}" --target tests_platform tests_audio tests_net tests_storage tests_runtime
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy "$build/tests/tests_platform" --gtest_filter='audio_device.*'
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy "$build/tests/tests_audio" --gtest_filter='mixer_contract.*'
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy "$build/tests/tests_net" --gtest_filter='gurl.*:fetch_remote.*:sessions.tokens*:SocketTest.*'
# Less the test that forks to set a file size limit: its child starts the
# disk writer's thread, which ThreadSanitizer does not follow after a fork of
# a process with threads (the sanitized ctest runs it).
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy "$build/tests/tests_storage" \
  --gtest_filter='WriteBack.*:PngCartridge.*OverFrames*:-WriteBack.FailuresKeepTheMountDirtyAndTheOldFile'
(cd "$build" && SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy tests/tests_runtime --gtest_filter='Backstop.*')
