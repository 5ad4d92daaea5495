#!/usr/bin/env bash
# What a user waits for: the tool's whole process on every corpus page,
# `zeljbig encode PAGE.pbm OUT.jbg` and `zeljbig decode OUT.jbg OUT.pbm`
# with the default options, each the median of RUNS runs (wall time, CPU
# time and page faults, from perf stat). Then the decode loop's branches
# under cachegrind's branch simulator, which repeats exactly.
#
# usage: bench/tool.sh [BUILD_DIR] [RUNS]   (default build-tool in the repository root, 11)
# Needs perf and valgrind. Run it on an idle machine: the times are wall times.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tool}
runs=${2:-11}
. "$root/bench/build.sh"
benchBuild "$build" zeljbig_cli ON OFF
tool=$build/tools/zeljbig

benchScratch

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Prints "wall_ms cpu_ms faults", medians over $runs runs of the command:
# the wall time of a plain run (bash's clock, no process in between), the
# CPU time and page faults of a run under perf stat.
measure() {
  local i t0 t1
  : >"$work/wall" && : >"$work/cpu" && : >"$work/faults"
  for ((i = 0; i < runs + 1; i++)); do
    t0=$EPOCHREALTIME
    "$@" >/dev/null
    t1=$EPOCHREALTIME
    LC_ALL=C perf stat -e task-clock,page-faults -o "$work/stat" -- "$@" >/dev/null
    ((i == 0)) && continue  # a warm-up run
    awk -v a="$t0" -v b="$t1" 'BEGIN { print (b - a) * 1000 }' >>"$work/wall"
    awk '/task-clock/ { gsub(",", "", $1); print $1 }' "$work/stat" >>"$work/cpu"
    awk '/page-faults/ { gsub(",", "", $1); print $1 }' "$work/stat" >>"$work/faults"
  done
  printf '%.1f %.1f %s\n' "$(median <"$work/wall")" "$(median <"$work/cpu")" "$(median <"$work/faults")"
}

echo "| page | encode wall ms | encode CPU ms | encode page faults | decode wall ms | decode CPU ms | decode page faults | decode / encode wall |"
echo "|---|--:|--:|--:|--:|--:|--:|--:|"
for gz in "$corpus"/*.pbm.gz; do
  page=$(basename "$gz" .pbm.gz)
  echo "tool: $page" >&2
  gunzip -c "$gz" >"$work/$page.pbm"
  "$tool" encode "$work/$page.pbm" "$work/$page.jbg"
  read -r ew ec ef < <(measure "$tool" encode "$work/$page.pbm" "$work/out.jbg")
  read -r dw dc df < <(measure "$tool" decode "$work/$page.jbg" "$work/out.pbm")
  echo "| $page | $ew | $ec | $ef | $dw | $dc | $df | $(awk -v d="$dw" -v e="$ew" 'BEGIN { printf "%.2f", d / e }') |"
done

echo
echo "Decode loop (the layer walks), cachegrind branch simulation:"
echo
echo "| page | conditional branches | mispredicted | rate |"
echo "|---|--:|--:|--:|"
for gz in "$corpus"/*.pbm.gz; do
  page=$(basename "$gz" .pbm.gz)
  valgrind --tool=cachegrind --cache-sim=no --branch-sim=yes --cachegrind-out-file="$work/cg" \
    "$tool" decode "$work/$page.jbg" "$work/out.pbm" >/dev/null 2>&1
  cg_annotate "$work/cg" 2>/dev/null | awk -v page="$page" '
    /StripeWalk</ { gsub(",", "", $3); gsub(",", "", $5); bc += $3; bcm += $5 }
    END { printf "| %s | %d | %d | %.1f%% |\n", page, bc, bcm, bc ? 100 * bcm / bc : 0 }'
done
