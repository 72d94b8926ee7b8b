#!/usr/bin/env bash
# Maintains the patch series in lang/patches on the Lua 5.4.4 source.
#
#   lua-patches.sh extract DIR   working copy in DIR: a git repository whose
#                                first commit is the stock source with Debian's
#                                fixes and which has one commit per patch of
#                                the series, the commit subject being the
#                                patch's file name
#   lua-patches.sh refresh DIR   writes every patch back from those commits
#                                (each keeps its description header) and
#                                rewrites the series in commit order
#   lua-patches.sh check         applies the series to a fresh tree with zero
#                                fuzz, checks that refreshing it changes no
#                                patch, and that no stock file sits in lang/
#
# Editing: change the tree in DIR and commit with "git commit --fixup=<commit
# of the patch>", then "git rebase -i --autosquash <first commit>"; a new
# patch is a new commit whose subject is its file name (its body becomes the
# header). Then refresh and check. The cache of source packages is
# HALVORAN_CACHE_DIR (default: .cache in the repository).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
patches=$root/lang/patches
cache=${HALVORAN_CACHE_DIR:-$root/.cache}
git_id=(-c user.name=lua-patches -c user.email=lua-patches@localhost -c commit.gpgsign=false)

series() { grep -v '^#' "$patches/series" | sed '/^$/d'; }

extract() {
  local dir=$1
  [ ! -e "$dir" ] || { echo "lua-patches: $dir exists" >&2; exit 1; }
  bash "$root/tools/fetch-lua.sh" "$cache" "$dir" -
  rm -f "$dir/.halvoran-stamp"
  git -C "$dir" init -q
  git -C "$dir" add -A
  git "${git_id[@]}" -C "$dir" commit -q -m "stock Lua 5.4.4 with Debian's fixes"
  local p
  for p in $(series); do
    patch -d "$dir" -p1 --fuzz=0 --no-backup-if-mismatch --quiet < "$patches/$p" || {
      echo "lua-patches: $p does not apply cleanly" >&2
      exit 1
    }
    git -C "$dir" add -A
    git "${git_id[@]}" -C "$dir" commit -q -m "$p"
  done
}

# The description of a patch: the lines before its first diff.
header_of() { sed -n '/^diff --git /q;p' "$1"; }

# Writes the patches of working copy $1 into directory $2 (header source $3).
write_patches() {
  local dir=$1 out=$2 headers=$3
  local commits c name tmp
  commits=$(git -C "$dir" rev-list --reverse HEAD | tail -n +2)
  : > "$out/series.new"
  for c in $commits; do
    name=$(git -C "$dir" log -1 --format=%s "$c")
    tmp=$out/$name.new
    if [ -f "$headers/$name" ]; then
      header_of "$headers/$name" > "$tmp"
    else
      { git -C "$dir" log -1 --format=%b "$c" | sed '/^$/d'; echo; } > "$tmp"
    fi
    git -C "$dir" diff --no-color --no-ext-diff "$c~1" "$c" | sed '/^index /d' >> "$tmp"
    mv "$tmp" "$out/$name"
    echo "$name" >> "$out/series.new"
  done
  mv "$out/series.new" "$out/series"
}

refresh() {
  local dir=$1
  git -C "$dir" diff --quiet HEAD || { echo "lua-patches: $dir has uncommitted changes" >&2; exit 1; }
  write_patches "$dir" "$patches" "$patches"
  local f
  for f in "$patches"/*.patch; do
    grep -qxF "$(basename "$f")" "$patches/series" || echo "lua-patches: $(basename "$f") is no longer in the series"
  done
}

check_tmp=
check() {
  local tmp
  tmp=$(mktemp -d)
  check_tmp=$tmp
  trap 'rm -rf "$check_tmp"' EXIT
  bash "$root/tools/fetch-lua.sh" "$cache" "$tmp/applied" "$patches"
  extract "$tmp/work" > /dev/null
  mkdir "$tmp/out"
  write_patches "$tmp/work" "$tmp/out" "$patches"
  local p status=0
  for p in $(series); do
    cmp -s "$patches/$p" "$tmp/out/$p" || { echo "lua-patches: $p is not in refreshed form"; status=1; }
  done
  # the stock source stays out of the repository
  local stock
  for stock in "$tmp/applied"/src/*.[ch]; do
    if [ -n "$(find "$root/lang" -name "$(basename "$stock")" -print -quit)" ]; then
      echo "lua-patches: stock file $(basename "$stock") found under lang/"
      status=1
    fi
  done
  [ $status -eq 0 ] && echo "lua-patches: series applies cleanly ($(series | wc -l) patches)"
  return $status
}

case "${1:-}" in
  extract) extract "$2" ;;
  refresh) refresh "$2" ;;
  check) check ;;
  *) echo "usage: $0 extract DIR | refresh DIR | check" >&2; exit 2 ;;
esac
