#!/usr/bin/env bash
# Configures and builds into build/ (executables in build/bin/). Extra arguments go to cmake.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ROMLIFT_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja "$@"
cmake --build "$build" --parallel
