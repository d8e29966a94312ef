#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) into build-fuzz/ and runs each one for a
# fixed time, starting from the committed seeds in fuzz/corpus/<target>/. What a run learns is
# kept in build-fuzz/corpus/<target>/; inputs that break an invariant or crash are saved as
# build-fuzz/crashes/<target>-crash-*, and the script then fails.
#
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]   (targets: transfer locate)
# Environment: ROMLIFT_FUZZ_SECONDS (default 60), ROMLIFT_FUZZ_DIR (build folder).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ROMLIFT_FUZZ_DIR:-$root/build-fuzz}"
seconds="${1:-${ROMLIFT_FUZZ_SECONDS:-60}}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(transfer locate)
fi
case "$seconds" in
  '' | *[!0-9]*) echo "fuzz.sh: seconds must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DROMLIFT_FUZZ=ON \
  -DROMLIFT_BUILD_TESTS=OFF -DROMLIFT_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "${ROMLIFT_BUILD_JOBS:-2}" \
  --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/crashes"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The targets run side by side, one core each.
pids=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  echo "fuzz.sh: $t for ${seconds}s"
  # -timeout: one input that runs for 10 s is a hang (the unit's waits run on a virtual clock).
  "$build/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" \
    "$corpus" "$root/fuzz/corpus/$t" >"$build/fuzz-$t.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  t="${targets[$i]}"
  log="$build/fuzz-$t.log"
  if ! wait "${pids[$i]}"; then
    failed=1
    echo "fuzz.sh: $t FAILED, see $log" >&2
    grep -E 'broken:|ERROR:|runtime error|Test unit written' "$log" >&2 || true
  fi
  echo "fuzz.sh: $t:"
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
  grep -E '^stat::number_of_executed_units' "$log" || true
done
if compgen -G "$build/crashes/*" >/dev/null; then
  echo "fuzz.sh: inputs saved in $build/crashes:" >&2
  ls "$build/crashes" >&2
  failed=1
fi
exit $failed
