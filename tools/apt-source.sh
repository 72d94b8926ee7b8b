#!/usr/bin/env bash
# Downloads a Debian source package of this machine's suite through a private
# apt configuration (the machine's apt sources are untouched) into a new
# folder under CACHE_DIR, and prints that folder; the caller takes what it
# needs from it and removes it.
#
#   apt-source.sh CACHE_DIR PACKAGE
set -euo pipefail

cache=$1 package=$2
mkdir -p "$cache"
# A private apt directory per run: a parallel configure may be fetching (and
# cleaning up) at the same time.
apt_dir=$(mktemp -d "$cache/apt.XXXXXX")
trap 'rm -rf "$apt_dir"' ERR
mkdir -p "$apt_dir/lists/partial" "$apt_dir/download"
# The suite of this machine's Debian, so the package matches what it ships.
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
cat > "$apt_dir/sources.list" <<SRC
deb-src http://deb.debian.org/debian $suite main
deb-src http://deb.debian.org/debian $suite-updates main
deb-src http://deb.debian.org/debian-security $suite-security main
SRC
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$apt_dir/lists" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" update -qq >&2
(cd "$apt_dir/download" && apt-get "${apt_opts[@]}" source --download-only -qq "$package" >&2)
echo "$apt_dir"
