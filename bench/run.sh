#!/usr/bin/env bash
# Builds the benchmark (Release) and prints its table: encode and decode
# speed and library heap per corpus page, at D = 0 and D = 3.
#
# usage: bench/run.sh [BUILD_DIR] [OPTION...]
#   BUILD_DIR  default build-bench in the repository root
#   OPTION     passed to the benchmark: --reps=N (default 3), --page=NAME,
#              --benchmark_min_time=S, --verbose, ... (--help lists them)
# Build output and progress go to stderr, the table to stdout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
if [[ $# -gt 0 && $1 != -* ]]; then
  build=$1
  shift
fi

config=(-DCMAKE_BUILD_TYPE=Release)
if [[ ! -f $build/CMakeCache.txt ]]; then
  # A build dir of its own needs neither the tests nor the tool.
  config+=(-DZELJBIG_TESTS=OFF -DZELJBIG_TOOLS=OFF -DZELJBIG_BENCH=ON -DZELJBIG_SANITIZE=OFF)
fi
cmake -S "$root" -B "$build" "${config[@]}" >&2
cmake --build "$build" -j2 --target zeljbig_bench >&2
exec "$build/bench/zeljbig_bench" "$@"
