#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmark need.
# Idempotent: does nothing when all packages are present.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libcfitsio-dev zlib1g-dev fitsverify python3-astropy
  libsep-dev
  qt6-base-dev libgl-dev
  libgtest-dev
  clang libclang-rt-14-dev
  xvfb xauth fonts-dejavu-core
  time
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
