#!/usr/bin/env bash
# Fails when the shipped link order has rotted: the program was not linked by
# gold (so no order was applied), or a name in cmake/hot_symbols.txt is no
# longer a symbol of it (gold passes over such a name without a word).
#   tools/check-hot-symbols.sh BUILD_DIR   (the Release build of tools/run.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:?usage: tools/check-hot-symbols.sh BUILD_DIR}/halvoran
list=cmake/hot_symbols.txt
if ! readelf -S -W "$program" | grep -q '\.note\.gnu\.gold-version'; then
  echo "check-hot-symbols: $program was not linked by gold: its hot symbols are not in order" >&2
  exit 1
fi
missing=$(grep -v -e '^#' -e '^[[:space:]]*$' "$list" | sort -u |
          comm -23 - <(nm --defined-only "$program" | awk '{print $NF}' | sort -u))
if [ -n "$missing" ]; then
  echo "check-hot-symbols: listed in $list but not in $program (take the list anew with tools/hot-symbols.py, or drop them):" >&2
  echo "$missing" >&2
  exit 1
fi
echo "check-hot-symbols: all $(grep -c -v -e '^#' -e '^[[:space:]]*$' "$list") listed symbols are in $program"
