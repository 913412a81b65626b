#!/usr/bin/env bash
# Builds Kestrelvox and runs every test: unit and engine tests, whole-program
# tests (virtual display, network namespaces, simulated sound card; need
# root), then the unit and engine tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer and under ThreadSanitizer, and a short run of
# every fuzz target. It first checks that the tests stay within their share of
# the code (scripts/test-ratio.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/test-ratio.sh

jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j1)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKV_WERROR=ON -DKV_SANITIZE=ON -DKV_BUILD_GUI=OFF -DKV_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j"$jobs" --target kestrelvox_unit_tests
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -L unit -j"$jobs")

# The engine tests run the real worker threads at once; any data race fails.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON -DKV_TSAN=ON -DKV_BUILD_GUI=OFF -DKV_BUILD_BENCHMARKS=OFF
cmake --build build-tsan -j"$jobs" --target kestrelvox_unit_tests
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -L unit -j"$jobs")

./scripts/fuzz.sh --smoke
