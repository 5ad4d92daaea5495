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

. "$root/bench/build.sh"
benchBuild "$build" zeljbig_bench OFF ON
exec "$build/bench/zeljbig_bench" "$@"
