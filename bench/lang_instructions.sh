#!/usr/bin/env bash
# Instructions executed by each program of lang_bench, ours beside the stock
# anchor, counted by callgrind inside the two run functions only (start-up
# and the harness are left out). The string hash seed is fixed in both
# cores, so the counts repeat from run to run.
#
#   bench/lang_instructions.sh BUILD_DIR [FILTER]
#
# BUILD_DIR is a build configured with -DHALVORAN_BENCH=ON; FILTER a regular
# expression over the benchmark names (default: all but the suspension).
set -euo pipefail
build=$1
filter=${2:-.}
bench=$build/bench/lang_bench
command -v valgrind > /dev/null || { echo "lang_instructions: valgrind is not installed" >&2; exit 1; }
[ -x "$bench" ] || { echo "lang_instructions: no $bench (configure with -DHALVORAN_BENCH=ON)" >&2; exit 1; }

count() {
  local out err
  out=$(mktemp) err=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect='*lang_bench_run_*' \
    "$bench" --benchmark_filter="^$1\$" --benchmark_min_time=0.000001 > /dev/null 2> "$err"
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$err"
  rm -f "$out" "$err"
}

declare -A ir
names=$("$bench" --benchmark_list_tests | grep -v suspend | grep -E -- "$filter")
for name in $names; do ir[$name]=$(count "$name"); done

printf '%-34s %16s %8s\n' benchmark instructions ratio
for name in $names; do
  case $name in
    bench_stock/*) anchor=$name ;;
    bench_ours/*_accounted) anchor=bench_stock/${name#bench_ours/} ;;
    bench_ours/*) anchor=bench_stock/${name#bench_ours/}; anchor=${anchor%_*} ;;
  esac
  ratio=-
  if [ -n "${ir[$anchor]:-}" ] && [ "${ir[$anchor]}" -gt 0 ]; then
    ratio=$(awk -v a="${ir[$name]}" -v b="${ir[$anchor]}" 'BEGIN { printf "%.3f", a / b }')
  fi
  printf '%-34s %16s %8s\n' "$name" "${ir[$name]}" "$ratio"
done
