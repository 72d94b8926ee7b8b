#!/usr/bin/env bash
# The Lua source pipeline: our series applies to the pinned tarball with zero
# fuzz, and a patch that needs fuzz or does not apply fails the build step.
#   patch_series_test.sh CACHE_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cache=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

HALVORAN_CACHE_DIR=$cache bash "$root/tools/lua-patches.sh" check

# A stock tree to write the bad patches against.
bash "$root/tools/fetch-lua.sh" "$cache" "$tmp/stock" - > /dev/null

expect_failure() {  # name, patch text
  local dir=$tmp/$1
  mkdir -p "$dir"
  cp "$root"/lang/patches/* "$dir/"
  printf '%s\n' "$2" > "$dir/99-bad.patch"
  echo "99-bad.patch" >> "$dir/series"
  if bash "$root/tools/fetch-lua.sh" "$cache" "$tmp/out-$1" "$dir" > /dev/null 2> "$tmp/$1.err"; then
    echo "FAIL: a patch that $1 was accepted"
    exit 1
  fi
  grep -q "does not apply cleanly" "$tmp/$1.err" || { echo "FAIL: no clear message for $1"; cat "$tmp/$1.err"; exit 1; }
  [ ! -e "$tmp/out-$1" ] || { echo "FAIL: a tree was left behind for $1"; exit 1; }
}

# Shifted context: applies only with fuzz.
line=$(grep -n 'lua_version (lua_State \*L)' "$tmp/stock/src/lapi.c" | head -n1 | cut -d: -f1)
[ -n "$line" ] || { echo "FAIL: anchor line not found in lapi.c"; exit 1; }
start=$((line - 1))
fuzzy="--- a/src/lapi.c
+++ b/src/lapi.c
@@ -$start,3 +$start,4 @@
 this line is not in the file
 LUA_API lua_Number lua_version (lua_State *L) {
+  /* changed */
   UNUSED(L);"
expect_failure "needs-fuzz" "$fuzzy"

missing="--- a/src/lapi.c
+++ b/src/lapi.c
@@ -1,3 +1,4 @@
 nothing
 like
+this
 here"
expect_failure "does-not-apply" "$missing"
echo "patch series: all checks passed"
