#!/usr/bin/env bash
# Static checks: every C++ file of the repository (tests and benchmarks too) must be formatted as
# .clang-format says; then, over romlift's own code (base/ engine/ ports/ advice/ locate/ record/
# sim/ cli/ ui/ app/ fuzz/), clang-tidy with .clang-tidy and cppcheck with scripts/cppcheck-suppressions.txt,
# both from the compile database in build-lint/. Exits non-zero on any finding of any tool.
# To format: git ls-files '*.cpp' '*.h' | xargs clang-format -i
# Environment: ROMLIFT_LINT_DIR (build folder), ROMLIFT_LINT_JOBS (parallel checks, default: cores).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ROMLIFT_LINT_DIR:-$root/build-lint}"
jobs="${ROMLIFT_LINT_JOBS:-$(nproc)}"
dirs=(base engine ports advice locate record sim cli ui app fuzz)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# The Qt code includes what moc and uic generate: make those, nothing else.
mapfile -t autogen < <(ninja -C "$build" -t targets all | sed -n 's/^\([A-Za-z0-9_]*_autogen\): phony$/\1/p')
if [ ${#autogen[@]} -gt 0 ]; then
  cmake --build "$build" --parallel "$jobs" --target "${autogen[@]}" >/dev/null
fi

alternation="$(IFS='|'; echo "${dirs[*]}")"
status=0

echo "lint.sh: clang-format"
# The files git knows; a copy without git history checks every source under the tree instead.
if ! mapfile -t sources < <(git -C "$root" ls-files '*.cpp' '*.h' 2>/dev/null) ||
    [ ${#sources[@]} -eq 0 ]; then
  mapfile -t sources < <(cd "$root" && find . -path './build*' -prune -o \
      \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||')
fi
if ! (cd "$root" && clang-format --dry-run --Werror "${sources[@]}") 2>"$build/clang-format.log"; then
  status=1
  grep -E '^[^ ].*: (warning|error): ' "$build/clang-format.log" | cut -d: -f1 | sort -u |
    sed 's/$/: not formatted as .clang-format says/' >&2
fi

echo "lint.sh: clang-tidy"
start=$(date +%s)
# run-clang-tidy takes a regular expression over the database's file names.
if ! run-clang-tidy -quiet -p "$build" -j "$jobs" "^$root/($alternation)/[^/]*\\.cpp\$" \
    >"$build/clang-tidy.log" 2>&1; then
  status=1
fi
grep -E '(warning|error): ' "$build/clang-tidy.log" | sort -u || true
echo "lint.sh: clang-tidy took $(( $(date +%s) - start ))s"

echo "lint.sh: cppcheck"
start=$(date +%s)
filters=()
for d in "${dirs[@]}"; do
  filters+=("--file-filter=$d/*")
done
mkdir -p "$build/cppcheck"
# cppcheck names files relative to the current folder; the filters are written that way.
# and the project must be named relative too, or the names in it stay absolute.
project="$(realpath --relative-to="$root" "$build")/compile_commands.json"
if ! (cd "$root" && cppcheck --project="$project" "${filters[@]}" \
    --enable=warning,style,performance,portability --library=qt --inline-suppr \
    --suppressions-list=scripts/cppcheck-suppressions.txt --error-exitcode=1 --quiet \
    -j "$jobs" --cppcheck-build-dir="$build/cppcheck" \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]'); then
  status=1
fi
echo "lint.sh: cppcheck took $(( $(date +%s) - start ))s"

if [ $status -ne 0 ]; then
  echo "lint.sh: findings above (clang-tidy's full output: $build/clang-tidy.log)" >&2
fi
exit $status
