#!/usr/bin/env bash
# Fuzzes the script parser with libFuzzer for SECONDS (default 60): builds the script runner
# with clang's coverage instrumentation and AddressSanitizer in build/fuzz, links the fuzz
# target and runs it. Crashing inputs are left in build/fuzz/ as crash-*.
# (The test suite runs the same target deterministically with its own mutator.)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build/fuzz
CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address" >/dev/null
cmake --build "$build" -j2 --target sonavert_script
qt_include=$(pkg-config --variable=includedir Qt6Core)
clang++ -std=c++20 -DSONAVERT_LIBFUZZER -DQT_NO_KEYWORDS -fsanitize=fuzzer,address -g -fPIC \
    -Isrc -isystem "$qt_include" -isystem "$qt_include/QtCore" \
    -isystem /usr/include/qcoro6 -isystem /usr/include/qcoro6/qcoro \
    -isystem /usr/include/qcoro6/QCoro \
    tests/fuzz/script_parser_fuzz.cpp "$build/src/script/libsonavert_script.a" \
    "$build/src/runtime/libsonavert_runtime.a" $(pkg-config --libs Qt6Core) \
    -o "$build/script_parser_fuzzer"
mkdir -p "$build/corpus"
cd "$build"
./script_parser_fuzzer -max_total_time="$seconds" -max_len=4096 corpus
