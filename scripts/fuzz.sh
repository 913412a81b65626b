#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them.
#   scripts/fuzz.sh                 list the targets
#   scripts/fuzz.sh TARGET [SECS]   fuzz one target (default 60 s), corpus in build-fuzz/corpus/TARGET
#   scripts/fuzz.sh --smoke         run every target for a few seconds (used by the test run)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_BUILD_FUZZERS=ON -DKV_WERROR=ON \
  -DKV_BUILD_GUI=OFF -DKV_BUILD_BENCHMARKS=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
targets=$(cd build-fuzz/tests/fuzz && ls fuzz_* 2>/dev/null | grep -v '\.' || true)

if [ $# -eq 0 ]; then
  echo "Fuzz targets:"; for t in $targets; do echo "  $t"; done
  exit 0
fi

run_one() {
  local target=$1 secs=$2
  # Inputs that crash land in build-fuzz/crashes, never in the source tree.
  mkdir -p "build-fuzz/corpus/$target" build-fuzz/crashes
  "build-fuzz/tests/fuzz/$target" -max_total_time="$secs" -print_final_stats=0 \
    -artifact_prefix="build-fuzz/crashes/$target-" "build-fuzz/corpus/$target" 2>&1 | tail -n 2
}

if [ "$1" = "--smoke" ]; then
  for t in $targets; do echo "== $t"; run_one "$t" 10; done
  echo "Fuzz smoke run finished without a crash."
else
  run_one "$1" "${2:-60}"
fi
