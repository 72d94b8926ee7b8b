#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own folder and runs each
# for N seconds from its seeds (tests/*/fuzz/seeds/TARGET, made by
# tools/make-fuzz-seeds.py). Fails when a target crashes or finds a fault.
#   tools/run-fuzzers.sh SECONDS [BUILD_DIR]
set -euo pipefail

seconds="${1:?usage: run-fuzzers.sh SECONDS [BUILD_DIR]}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${2:-$root/build-fuzz}"
jobs="${FUZZ_JOBS:-3}"

if ! command -v clang++ >/dev/null; then
  echo "run-fuzzers: clang++ not found (tools/install-deps.sh installs it)" >&2
  exit 1
fi

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORAN_SANITIZE=ON -DHALVORAN_TESTS=OFF -DHALVORAN_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-DHVX_CYCLES_NONYIELD_CEILING=0x400000" >/dev/null  # runaway scripts end sooner
targets=(fuzz_apply_diff fuzz_path fuzz_rom fuzz_parser fuzz_print fuzz_base64 fuzz_host_text fuzz_synth fuzz_vyn fuzz_anywhen fuzz_sequencer fuzz_batch fuzz_score_records fuzz_hvx_text fuzz_qoi fuzz_png)
targets+=(fuzz_scripts)
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

status=0
for t in "${targets[@]}"; do
  bin="$(find "$build" -type f -name "$t" -perm -u+x | head -n1)"
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  mkdir -p "$corpus" "$artifacts"
  # Each run starts from the committed seeds, copied into the scratch corpus
  # (libFuzzer writes what it finds there, never into the source tree).
  for seeds in "$root"/tests/*/fuzz/seeds/"$t"; do
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/
  done
  echo "== $t for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
       -artifact_prefix="$artifacts" "$corpus" >"$build/$t.log" 2>&1; then
    echo "!! $t failed; see $build/$t.log and $artifacts" >&2
    tail -n 40 "$build/$t.log" >&2
    status=1
  else
    tail -n 1 "$build/$t.log"
  fi
done
exit $status
