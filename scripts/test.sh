#!/usr/bin/env bash
# Second command: installs what the programs, the build and the tests need, builds everything
# (tests and benchmarks too), and runs the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" run build test
"$root/scripts/build.sh" -DROMLIFT_BUILD_TESTS=ON -DROMLIFT_BUILD_BENCH=ON
# Most tests sleep on the line (28 ms pauses, 10 s silences): run them side by side.
ctest --test-dir "${ROMLIFT_BUILD_DIR:-$root/build}" --output-on-failure --parallel "${ROMLIFT_TEST_JOBS:-8}" --timeout 300
