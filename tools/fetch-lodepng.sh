#!/usr/bin/env bash
# Obtains Debian's lodepng source package (the one the program links as
# liblodepng), verifies its upstream tarball and unpacks lodepng.cpp and
# lodepng.h into DEST_DIR, so the fuzz build can compile the PNG codec with
# its coverage instrumentation. Debian's package applies no patches to them.
#
#   fetch-lodepng.sh CACHE_DIR DEST_DIR
set -euo pipefail

cache=$1 dest=$2
version=0.0~git20220618.b4ed2cd
tarball=lodepng_${version}.orig.tar.gz
sha256=05f77ea901f980025056b80baca482fef6cbdf9551af0dd40b65013feecbca95

verify() { echo "$2  $1" | sha256sum --check --status; }
mkdir -p "$cache"
if [ ! -f "$cache/$tarball" ] || ! verify "$cache/$tarball" "$sha256"; then
  apt_dir=$(bash "$(dirname "$0")/apt-source.sh" "$cache" lodepng)
  trap 'rm -rf "$apt_dir"' EXIT
  # A rename only, so a concurrent build never sees a half-written file.
  mv "$apt_dir/download/$tarball" "$cache/$tarball"
  if ! verify "$cache/$tarball" "$sha256"; then
    echo "fetch-lodepng: $tarball does not match its SHA-256" >&2
    rm -f "$cache/$tarball"
    exit 1
  fi
fi
[ -f "$dest/.halvoran-stamp" ] && [ "$(cat "$dest/.halvoran-stamp")" = "$sha256" ] && exit 0
rm -rf "$dest" "$dest.tmp"
mkdir -p "$dest.tmp"
tar xzf "$cache/$tarball" -C "$dest.tmp" --strip-components=1 --wildcards '*/lodepng.cpp' '*/lodepng.h'
echo "$sha256" > "$dest.tmp/.halvoran-stamp"
mv "$dest.tmp" "$dest"
