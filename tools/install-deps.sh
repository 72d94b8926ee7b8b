#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages.
# Idempotent: packages already present are skipped, and apt is not touched at all
# when nothing is missing.
set -euo pipefail

packages=(
  build-essential g++ cmake pkg-config ninja-build
  dpkg-dev xz-utils ca-certificates patch
  libgtest-dev libgmock-dev libbenchmark-dev
  libsdl2-dev liblz4-dev liblodepng-dev libgif-dev libbloom-dev libcurl4-openssl-dev
  xvfb xdg-utils xdotool x11-apps x11-utils libx11-dev
  clang libclang-rt-14-dev zlib1g-dev libssl-dev
  # the reference QOI code: the image benchmark's anchor only
  libqoi-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
