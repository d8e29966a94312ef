#!/usr/bin/env bash
# The test suite under the sanitizers, each in a build folder of its own that later runs reuse:
#   address  AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/): every suite, leak
#            checking included;
#   thread   ThreadSanitizer (build-tsan/): the suites whose code runs threads: romlift-cli's
#            gang (a thread per port), the record's writers beside an attempt, the virtual unit's
#            own thread. Not the Download dialog's worker: Debian's Qt is not built for TSan,
#            which cannot see Qt hand a queued call from one thread to the other and reports
#            races inside Qt's own templates.
# The thread build makes only what its suites run. Any sanitizer report fails the run.
# Usage: scripts/sanitize.sh [address|thread]...   (default: both)
# Environment: ROMLIFT_ASAN_DIR, ROMLIFT_TSAN_DIR (build folders), ROMLIFT_BUILD_JOBS (default 2),
# ROMLIFT_TEST_JOBS (tests side by side, default 8: most of them sleep on the line).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${ROMLIFT_BUILD_JOBS:-2}"
tests="${ROMLIFT_TEST_JOBS:-8}"

# clang, at -O1 with line tables only: the sanitizers' own advice, and a third of the time gcc
# takes at -O2 -g with the sanitizers on (the stacks of a report still name file and line).
configure() {  # folder, sanitizer
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DROMLIFT_SANITIZE="$2" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
    -DROMLIFT_BUILD_TESTS=ON -DROMLIFT_BUILD_BENCH=OFF >/dev/null
}

address() {
  local build="${ROMLIFT_ASAN_DIR:-$root/build-asan}"
  configure "$build" address
  # The whole suite runs here, so all of it is built (the benchmarks that only people run are not).
  cmake --build "$build" --parallel "$jobs"
  # halt_on_error/abort: a report must fail the test that caused it, not scroll past.
  # detect_leaks: every descriptor and allocation an attempt takes must come back.
  # The suppression file names only libraries that are not ours (fontconfig, Qt's plugin loader).
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
  ctest --test-dir "$build" --output-on-failure --parallel "$tests" --timeout 600 \
    --exclude-regex '^package_'
}

thread() {
  local build="${ROMLIFT_TSAN_DIR:-$root/build-tsan}"
  configure "$build" thread
  cmake --build "$build" --parallel "$jobs" --target romlift-cli vx7r-sim cli_tests record_tests
  TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1" \
  ctest --test-dir "$build" --output-on-failure --parallel "$tests" --timeout 600 \
    --tests-regex '^(Station|Record|RecordFault|Signals/|CliTest|record\.)'
}

sanitizers=("$@")
[ ${#sanitizers[@]} -gt 0 ] || sanitizers=(address thread)
for s in "${sanitizers[@]}"; do
  case "$s" in
    address | thread) "$s" ;;
    *) echo "sanitize.sh: no sanitizer '$s' (address, thread)" >&2; exit 2 ;;
  esac
done
