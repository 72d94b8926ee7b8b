#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own folder and runs each
# for N seconds from its seeds (tests/*/fuzz/seeds/TARGET, made by
# tools/make-fuzz-seeds.py), FUZZ_JOBS of them at a time. Fails when a target
# crashes, finds a fault or hangs (one input running past FUZZ_TIMEOUT
# seconds). Each target's last line gives its runs, coverage and corpus.
#   tools/run-fuzzers.sh SECONDS [BUILD_DIR [TARGET...]]
set -euo pipefail

seconds="${1:?usage: run-fuzzers.sh SECONDS [BUILD_DIR [TARGET...]]}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${2:-$root/build-fuzz}"
shift $(( $# < 2 ? $# : 2 ))
jobs="${FUZZ_JOBS:-3}"
timeout="${FUZZ_TIMEOUT:-10}"

if ! command -v clang++ >/dev/null; then
  echo "run-fuzzers: clang++ not found (tools/install-deps.sh installs it)" >&2
  exit 1
fi

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORAN_SANITIZE=ON -DHALVORAN_TESTS=OFF -DHALVORAN_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-DHVX_CYCLES_NONYIELD_CEILING=0x400000" >/dev/null  # runaway scripts end sooner
# Every target has a seeds folder of its name.
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(for d in "$root"/tests/*/fuzz/seeds/fuzz_*; do basename "$d"; done | sort)
fi
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

run_one() {
  local t=$1 bin corpus artifacts status=0
  bin="$(find "$build" -type f -name "$t" -perm -u+x | head -n1)"
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  mkdir -p "$corpus" "$artifacts"
  # Each run starts from the committed seeds, copied into the scratch corpus
  # (libFuzzer writes what it finds there, never into the source tree).
  for seeds in "$root"/tests/*/fuzz/seeds/"$t"; do
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/
  done
  "$bin" -max_total_time="$seconds" -timeout="$timeout" -max_len=65536 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts" "$corpus" >"$build/$t.log" 2>&1 || status=$?
  if [ $status -ne 0 ]; then
    echo "!! $t failed; see $build/$t.log and $artifacts" >&2
    tail -n 40 "$build/$t.log" >&2
    return 1
  fi
  echo "== $t ${seconds}s: $(grep -E '^#[0-9]+' "$build/$t.log" | tail -n 1)"
}

# One mark per failed target, in a folder of this run's own.
failed=$(mktemp -d)
trap 'rm -rf "$failed"' EXIT
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
  run_one "$t" || touch "$failed/$t" &
done
wait
[ -z "$(ls -A "$failed")" ]
