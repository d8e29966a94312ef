#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/ and runs
# the whole test suite there, leak checking included. Any sanitizer report fails the run.
# Environment: ROMLIFT_ASAN_DIR (build folder), ROMLIFT_TEST_JOBS (tests side by side, default 4).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ROMLIFT_ASAN_DIR:-$root/build-asan}"

cmake -S "$root" -B "$build" -G Ninja -DROMLIFT_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "${ROMLIFT_BUILD_JOBS:-2}"

# halt_on_error/abort: a report must fail the test that caused it, not scroll past.
# detect_leaks: every descriptor and allocation an attempt takes must come back.
# The suppression file names only libraries that are not ours (fontconfig, Qt's plugin loader).
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
# The package tests are left out: a package of instrumented programs would depend on the
# sanitizer runtimes, and scripts/test.sh already checks the real package.
ctest --test-dir "$build" --output-on-failure --parallel "${ROMLIFT_TEST_JOBS:-4}" --timeout 600 \
  --exclude-regex '^package_'
