#!/usr/bin/env bash
# The whole test run: installs what is missing, checks formatting and that errors are built
# and recognised by their codes, builds once under
# AddressSanitizer + UndefinedBehaviorSanitizer (unity batches, through the compiler cache),
# checks includes (and that each source of a batch compiles alone) and runs clang-tidy over
# that tree, runs every test under the sanitizers, and the cloud tests again on PostgreSQL.
# Prints the minutes of each stage at the end, also when a stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=()
stage_name=""
stage_start=0
run_start=$(date +%s)
stage() {
  local now
  now=$(date +%s)
  [ -n "$stage_name" ] && stages+=("$(printf '%6.1f min  %s' "$(bc_min $((now - stage_start)))" "$stage_name")")
  stage_name=$1
  stage_start=$now
  [ -n "$stage_name" ] && echo "== $stage_name"
  return 0
}
bc_min() { awk -v s="$1" 'BEGIN { printf "%.1f", s / 60 }'; }
report() {
  local status=$?
  stage ""
  echo "== stage times"
  printf '%s\n' "${stages[@]}"
  printf '%6.1f min  in all\n' "$(bc_min $(($(date +%s) - run_start)))"
  exit $status
}
trap report EXIT

stage "packages"
./scripts/install-deps.sh

stage "format check; errors named by their codes"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
./scripts/check-errors.py

# One build serves every check: the sanitizer build has warnings as errors like the dev
# build, and its compile database lists every unit clang-tidy and the include check read.
preset=asan-ubsan
build=build/$preset
jobs=$(nproc)
stage "build: $preset"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs"
if command -v ccache >/dev/null; then ccache --show-stats | grep -E 'Hits|Misses|Cache size' || true; fi

stage "includes: one file each, only from linked layers; every source compiles on its own"
./scripts/check-includes.py "$build"
./scripts/check-standalone.py "$build"

stage "clang-tidy"
./scripts/clang-tidy.py "$build"

stage "tests: $preset"
ctest --preset "$preset" -j "$jobs"
echo "== player matrix figures: $preset (a skipped pair says why)"
grep -h '^PAIR ' "$build/Testing/Temporary/LastTest.log" || echo "no pair of players ran"

stage "cloud server and conformance tests on PostgreSQL: $preset"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ./scripts/test-cloud-postgres.sh "$build"

stage ""
echo "== all tests passed"
