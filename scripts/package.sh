#!/usr/bin/env bash
# Builds the Debian package romlift_<version>_<arch>.deb and prints its path on standard output.
# A Release build without tests or benchmarks, in its own folder (build-pkg, or
# $ROMLIFT_PKG_BUILD_DIR); extra arguments go to cmake. Install it with: apt install ./<the .deb>
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ROMLIFT_PKG_BUILD_DIR:-$root/build-pkg}"
"$root/scripts/install-deps.sh" run build package >&2

# Everything but the path goes to standard error, so `deb=$(scripts/package.sh)` works.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/ \
  -DROMLIFT_BUILD_TESTS=OFF -DROMLIFT_BUILD_BENCH=OFF -DROMLIFT_SANITIZE=OFF "$@" >&2
cmake --build "$build" --parallel >&2
log="$build/cpack.log"
if ! (cd "$build" && cpack -G DEB) >"$log" 2>&1; then
  cat "$log" >&2
  echo "package.sh: cpack failed" >&2
  exit 1
fi
cat "$log" >&2
deb="$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)"
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  echo "package.sh: cpack named no .deb (see $log)" >&2
  exit 1
fi
echo "$deb"
