#!/bin/sh
# Whole-process time of libjbig's clients on the original library and on
# ours, in pairs (original, ours, original, ours, ...) since the machine is
# shared; the medians of each and their ratio.
#   bench/libjbig.sh [dir with our libjbig.so.0] [pairs]
set -eu
ours=$(cd "${1:-build/libjbig}" && pwd); pairs=${2:-10}
corpus=$(cd "$(dirname "$0")/../tests/data/corpus" && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
for page in text300-find text600-gitcommit; do
    gzip -dc "$corpus/$page.pbm.gz" > $page.pbm
    pbmtojbg -q $page.pbm $page.jbg
done
/usr/bin/python3 - "$ours" "$pairs" <<'PY'
import os, shutil, statistics, subprocess, sys, time
ours, pairs = sys.argv[1], int(sys.argv[2])
env = dict(os.environ, LD_LIBRARY_PATH=ours)
def run(cmd, e):
    t = time.perf_counter()
    subprocess.run(cmd, env=e, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t
for page in ("text300-find", "text600-gitcommit"):
    for cmd in (["jbgtopbm", page + ".jbg", "out.pbm"], ["pbmtojbg", "-q", page + ".pbm", "out.jbg"],
                ["convert-im6.q16", page + ".jbg", "out.pbm"]):
        if shutil.which(cmd[0]) is None:
            print("skip", cmd[0]); continue
        a, b = [], []
        for i in range(pairs):
            a.append(run(cmd, os.environ)); b.append(run(cmd, env))
        ma, mb = statistics.median(a), statistics.median(b)
        print("%-44s original %8.1f ms  zeljbig %8.1f ms  ratio %.2f" % (" ".join(cmd), ma * 1e3, mb * 1e3, mb / ma))
PY
