#!/usr/bin/env bash
# The whole test run: installs what is missing, checks formatting, builds, checks includes and
# runs clang-tidy, runs every test, then builds and runs them again under AddressSanitizer +
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

echo "== format check"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

jobs=$(nproc)
for preset in dev asan-ubsan; do
  echo "== build and test: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = dev ]; then
    echo "== includes: one file each, only from linked layers"
    ./scripts/check-includes.py build/dev
    echo "== clang-tidy"
    ./scripts/clang-tidy.sh build/dev
  fi
  ctest --preset "$preset" -j "$jobs"
  echo "== player matrix figures: $preset (a skipped pair says why)"
  grep -h '^PAIR ' "build/$preset/Testing/Temporary/LastTest.log" || echo "no pair of players ran"
  if [ "$preset" = dev ]; then
    echo "== cloud server and conformance tests on PostgreSQL"
    ./scripts/test-cloud-postgres.sh build/dev
  fi
done
echo "== all tests passed"
