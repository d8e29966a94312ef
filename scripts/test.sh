#!/usr/bin/env bash
# Second command: installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
# Most tests sleep on the line (28 ms pauses, 10 s silences): run them side by side.
ctest --test-dir "${ROMLIFT_BUILD_DIR:-$root/build}" --output-on-failure --parallel "${ROMLIFT_TEST_JOBS:-8}" --timeout 300
