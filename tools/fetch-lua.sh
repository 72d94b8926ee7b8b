#!/usr/bin/env bash
# Obtains Debian's lua5.4 source package, verifies the upstream tarball and
# Debian's two upstream bug fixes, unpacks the tarball, applies those fixes
# and then our patch series, all with zero fuzz.
#
#   fetch-lua.sh CACHE_DIR DEST_DIR PATCH_DIR   (PATCH_DIR "-": no series of ours)
#
# CACHE_DIR keeps both tarballs across builds (and the private apt lists used
# to fetch them; the machine's apt sources are never touched). DEST_DIR
# receives the patched tree (DEST_DIR/src/...). A stamp in DEST_DIR names
# everything that was applied, so an unchanged series costs nothing.
set -euo pipefail

cache=$1 dest=$2 patches=$3
version=5.4.4
tarball=lua5.4_${version}.orig.tar.gz
sha256=164c7849653b80ae67bec4b7473b884bf5cc8d2dca05653475ec2ed27b9ebf61
# Debian's upstream fixes (CVE-2022-28805, CVE-2022-33099), pinned by content
# so that a later Debian revision with the same fixes still serves. Debian's
# build-system patches (0001-0003) are not ours to take.
debian_fixes=(
  "0004-cve-2022-28805.patch 8e10558e8c29e8ac5aa812628fe355807b51c4ee0c8793128b8ead3777c321af"
  "0005-cve-2022-33099.patch 09752c71c4b96197dbddb16406c7c695c524b5fb69b57e3da0bf6701d844633f"
)

mkdir -p "$cache"
verify() { echo "$2  $1" | sha256sum --check --status; }
debian_tarball() { ls "$cache"/lua5.4_${version}-*.debian.tar.xz 2>/dev/null | sort -V | tail -n 1; }

if [ ! -f "$cache/$tarball" ] || ! verify "$cache/$tarball" "$sha256" || [ -z "$(debian_tarball)" ]; then
  apt_dir=$(bash "$(dirname "$0")/apt-source.sh" "$cache" lua5.4)
  trap 'rm -rf "$apt_dir"' EXIT
  # Renames only, so a concurrent build never sees a half-written file.
  if [ ! -f "$cache/$tarball" ] || ! verify "$cache/$tarball" "$sha256"; then
    mv "$apt_dir/download/$tarball" "$cache/$tarball"
  fi
  [ -n "$(debian_tarball)" ] || mv "$apt_dir"/download/lua5.4_${version}-*.debian.tar.xz "$cache/"
  rm -rf "$apt_dir"
  if ! verify "$cache/$tarball" "$sha256"; then
    echo "fetch-lua: $tarball does not match its SHA-256" >&2
    rm -f "$cache/$tarball"
    exit 1
  fi
fi
debian=$(debian_tarball)

series=()
if [ "$patches" != "-" ]; then
  while read -r p; do
    [ -z "$p" ] && continue
    case "$p" in \#*) continue ;; esac
    series+=("$p")
  done < "$patches/series"
fi

# The stamp names the tarballs and the content of every patch applied.
stamp=$( { echo "$sha256"; sha256sum "$debian" | cut -d' ' -f1
           for p in "${series[@]}"; do echo "$p"; cat "$patches/$p"; done; } \
         | sha256sum | cut -d' ' -f1)
if [ -f "$dest/.halvoran-stamp" ] && [ "$(cat "$dest/.halvoran-stamp")" = "$stamp" ]; then
  exit 0
fi

rm -rf "$dest" "$dest.tmp"
mkdir -p "$dest.tmp/.debian"
tar xzf "$cache/$tarball" -C "$dest.tmp" --strip-components=1
tar xJf "$debian" -C "$dest.tmp/.debian" debian/patches
for entry in "${debian_fixes[@]}"; do
  read -r name hash <<< "$entry"
  file=$dest.tmp/.debian/debian/patches/$name
  if [ ! -f "$file" ] || ! verify "$file" "$hash"; then
    echo "fetch-lua: Debian's $name is missing or not the pinned one" >&2
    exit 1
  fi
  patch -d "$dest.tmp" -p1 --fuzz=0 --no-backup-if-mismatch --quiet < "$file" || {
    echo "fetch-lua: Debian's $name does not apply cleanly" >&2
    exit 1
  }
done
rm -rf "$dest.tmp/.debian"
for p in "${series[@]}"; do
  patch -d "$dest.tmp" -p1 --fuzz=0 --no-backup-if-mismatch --quiet < "$patches/$p" || {
    echo "fetch-lua: patch $p does not apply cleanly" >&2
    exit 1
  }
done
echo "$stamp" > "$dest.tmp/.halvoran-stamp"
mv "$dest.tmp" "$dest"
