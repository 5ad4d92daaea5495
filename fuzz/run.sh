#!/usr/bin/env bash
# Runs fuzz targets for a bounded time each:  fuzz/run.sh TARGET|all SECONDS
# Builds them first (clang, libFuzzer) in $FUZZ_BUILD (default build-fuzz).
# New inputs go to a scratch corpus; the committed seeds stay as they are.
# Any crash, leak, timeout or excess memory fails the run; the input that
# caused it is kept in $FUZZ_ARTIFACTS (default fuzz-artifacts).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
targets=(decode_memory decode_file roundtrip patinfo stream)

if [ $# -ne 2 ]; then
  echo "usage: $0 TARGET|all SECONDS   (targets: ${targets[*]})" >&2
  exit 2
fi
case "$1" in
  all) run=("${targets[@]}") ;;
  decode_memory|decode_file|roundtrip|patinfo|stream) run=("$1") ;;
  *) echo "$0: unknown target $1" >&2; exit 2 ;;
esac
seconds=$2

build=${FUZZ_BUILD:-$root/build-fuzz}
artifacts=${FUZZ_ARTIFACTS:-$root/fuzz-artifacts}
cmake -S "$here" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null

# Scratch files of the file targets on a memory file system when there is one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=$(mktemp -d /dev/shm/zeljbig-fuzz.XXXXXX)
else
  scratch=$(mktemp -d)
fi
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts"
status=0
for t in "${run[@]}"; do
  echo "== fuzz $t for ${seconds}s"
  mkdir -p "$scratch/$t" "$scratch/tmp"
  if ! TMPDIR="$scratch/tmp" "$build/fuzz_$t" "$scratch/$t" "$here/corpus/$t" \
      -dict="$here/jbig.dict" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$t-" 2>"$scratch/$t.log"; then
    tail -n 60 "$scratch/$t.log"
    echo "fuzz $t: FAILED, input kept under $artifacts" >&2
    status=1
    continue
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$scratch/$t.log" || true
done
exit $status
