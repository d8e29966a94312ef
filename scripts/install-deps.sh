#!/usr/bin/env bash
# Installs the Debian 12 packages of the profiles named (default: run build), skipping those
# already present:
#   run      what the programs need at run time
#   build    the compiler, CMake and the -dev packages the programs are built from
#   package  what scripts/package.sh needs besides the build (dpkg-dev for cpack's .deb)
#   test   the test suites, sanitizers, fuzzers, lint, the real-driver guest, the X11 and
#          Wayland checks,
#          the package check, and PostgreSQL's server binaries (no cluster is made or started:
#          the tests start their own)
set -euo pipefail

profiles=("$@")
[ ${#profiles[@]} -gt 0 ] || profiles=(run build)

run=(libqt6widgets6 qt6-qpa-plugins libsqlite3-0 libpq5 libssl3)
build=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev libcli11-dev nlohmann-json3-dev libsqlite3-dev libpq-dev libssl-dev
  libhowardhinnant-date-dev
)
package=(dpkg-dev)
test=(
  libgtest-dev libgmock-dev googletest
  dpkg-dev groff-base
  clang libclang-rt-14-dev clang-tidy clang-format cppcheck
  qemu-system-x86 linux-image-amd64 busybox-static cpio
  xvfb xauth openbox xdotool x11-utils imagemagick fonts-liberation2
  postgresql-15 sqlite3
  weston qt6-wayland
)

packages=()
for p in "${profiles[@]}"; do
  case "$p" in
    run) packages+=("${run[@]}") ;;
    build) packages+=("${build[@]}") ;;
    package) packages+=("${package[@]}") ;;
    test) packages+=("${test[@]}") ;;
    *) echo "install-deps.sh: unknown profile '$p' (run, build, package, test)" >&2; exit 2 ;;
  esac
done

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
# The server binaries only: Debian would make and start cluster 15/main on port 5432.
if [[ " ${missing[*]} " == *" postgresql-15 "* ]]; then
  $sudo mkdir -p /etc/postgresql-common/createcluster.d
  echo "create_main_cluster = false" |
    $sudo tee /etc/postgresql-common/createcluster.d/romlift-no-main-cluster.conf >/dev/null
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
