#!/usr/bin/env bash
# The Python binding against the library: the CPU time of one decode of
# PAGE (a corpus page encoded with the default options), the median of RUNS
# calls, through zeljbigDecode in C and through zeljbig.decode in Python
# (packed rows, the same call; and unpacked to one bool per pixel).
#
# usage: bench/python.sh [PAGE] [RUNS]   (default text300-find, 101)
# Needs Debian's python3 with numpy (python3-dev python3-numpy).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-python
page=${1:-text300-find}
runs=${2:-101}
. "$root/bench/build.sh"
benchBuild "$build" zeljbig_static OFF OFF
python=/usr/bin/python3
lib=$build/libzeljbig.a

benchScratch
(cd "$root/python" && ZELJBIG_STATIC_LIBRARY=$lib $python setup.py -q build --build-base "$work/build" \
  --build-lib "$work/lib" >/dev/null 2>&1)
cc -O2 -I"$root/include" "$root/bench/decode_call.c" "$lib" -lstdc++ -lm -o "$work/decode_call"

PYTHONPATH=$work/lib $python - "$corpus/$page.pbm.gz" "$work/page.jbg" <<'PY'
import gzip, sys
import zeljbig
from zeljbig import batch
rows, width = batch._pbm_rows(gzip.decompress(open(sys.argv[1], "rb").read()))
open(sys.argv[2], "wb").write(zeljbig.encode(rows, width=width))
PY
c=$("$work/decode_call" "$work/page.jbg" "$runs")
PYTHONPATH=$work/lib $python - "$work/page.jbg" "$runs" "$c" "$page" <<'PY'
import sys, time
import zeljbig
data, runs, c, page = open(sys.argv[1], "rb").read(), int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
def median(call):
    ms = []
    for _ in range(runs):
        t0 = time.process_time()
        call()
        ms.append((time.process_time() - t0) * 1e3)
    return sorted(ms)[runs // 2]
packed = median(lambda: zeljbig.decode(data, packed=True))
unpacked = median(lambda: zeljbig.decode(data))
print(f"| page | C zeljbigDecode ms | Python decode(packed=True) ms | ratio | Python decode() ms (bool per pixel) | ratio |")
print(f"|---|--:|--:|--:|--:|--:|")
print(f"| {page} | {c:.2f} | {packed:.2f} | {packed / c:.2f} | {unpacked:.2f} | {unpacked / c:.2f} |")
PY
