#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, skipping those already present.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  qt6-base-dev
  dpkg-dev groff-base
  clang libclang-rt-14-dev clang-tidy clang-format cppcheck
  qemu-system-x86 linux-image-amd64 busybox-static cpio
  xvfb xauth openbox xdotool x11-utils imagemagick fonts-liberation2
  libcli11-dev nlohmann-json3-dev
  libsqlite3-dev libpq-dev libssl-dev postgresql sqlite3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
