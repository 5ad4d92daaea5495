#!/bin/sh
# Whole-process time of libjbig's clients on the original library and on
# ours (build/libjbig), runs interleaved A B A B: the machine is shared.
#   bench/libjbig.sh [dir with our libjbig.so.0] [runs]
set -eu
ours=$(cd "${1:-build/libjbig}" && pwd); runs=${2:-10}
corpus=$(cd "$(dirname "$0")/../tests/data/corpus" && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
for page in text300-find text600-gitcommit; do
    gzip -dc "$corpus/$page.pbm.gz" > $page.pbm
    pbmtojbg -q $page.pbm $page.jbg
    for cmd in "jbgtopbm $page.jbg out.pbm" "pbmtojbg -q $page.pbm out.jbg" "convert-im6.q16 $page.jbg out.pbm"; do
        hyperfine -N -w 2 -r "$runs" -n original "$cmd" -n zeljbig "env LD_LIBRARY_PATH=$ours $cmd" \
            --export-json t.json >/dev/null 2>&1 || continue
        /usr/bin/python3 -c "import json,sys; r=json.load(open('t.json'))['results']; \
print('%-40s original %6.1f ms  zeljbig %6.1f ms  ratio %.2f' % (sys.argv[1], r[0]['median']*1e3, r[1]['median']*1e3, r[1]['median']/r[0]['median']))" "$cmd"
    done
done
