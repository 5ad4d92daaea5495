#!/bin/sh
# The programs that link libjbig.so.0, each run on the original library and
# on ours (LD_LIBRARY_PATH), their outputs compared: byte for byte where the
# stream is determined (mx 0), as pixels where the encoder may choose.
#   run.sh <dir with our libjbig.so.0> <corpus dir> [C compiler]
set -u
ours=$(cd "$1" && pwd); corpus=$(cd "$2" && pwd); here=$(cd "$(dirname "$0")" && pwd); cc=${3:-cc}
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail=0; ran=0
have() { command -v "$1" >/dev/null 2>&1 || { echo "SKIP $2: $1 is not installed"; return 1; }; }
both() { "$@" 2>/dev/null; LD_LIBRARY_PATH=$ours "$@" 2>/dev/null; }
bad() { echo "FAIL $*"; fail=$((fail + 1)); }
same() { ran=$((ran + 1)); cmp -s "$1" "$2" || bad "$3"; }
if ! [ -e /usr/lib/x86_64-linux-gnu/libjbig.so.0 ] && ! ldconfig -p 2>/dev/null | grep -q libjbig.so.0; then
    echo "SKIP all: the original libjbig.so.0 (libjbig0) is not installed"; exit 0
fi

for gz in "$corpus"/*.pbm.gz; do
    page=$(basename "$gz" .pbm.gz)
    gzip -dc "$gz" > in.pbm
    if have pbmtojbg "pbmtojbg $page"; then
        # Encoder: the stream is determined by the options when mx is 0.
        for o in "-q" "-d 3" "-d 2 -o 0 -p 8" "-s 16" "-p 92" "-p 30" "-o 6 -d 3" "-o 5 -d 2" \
                 "-C zeljbig" "-d 3 -l 1 -h 2" "-d 3 -h 1" "-q -Y 9000" "-d 2 -Y 9000" "-d 2 -o 1 -Y 100" "-x 300 -y 300" "-q -r"; do
            pbmtojbg -m 0 $o in.pbm a.jbg 2>/dev/null
            LD_LIBRARY_PATH=$ours pbmtojbg -m 0 $o in.pbm b.jbg 2>/dev/null
            same a.jbg b.jbg "pbmtojbg -m 0 $o $page"
        done
        # With AT freedom: the same pixels, no larger.
        pbmtojbg -q in.pbm a.jbg; LD_LIBRARY_PATH=$ours pbmtojbg -q in.pbm b.jbg
        jbgtopbm a.jbg a.pbm; jbgtopbm b.jbg b.pbm
        same a.pbm b.pbm "pbmtojbg -q pixels $page"
        [ "$(wc -c < b.jbg)" -le "$(wc -c < a.jbg)" ] || bad "pbmtojbg -q larger than the original's $page"
        # Decoder: every stream of the original's encoder.
        for o in "-q" "-d 3" "-d 2 -o 0" "-p 92 -s 8" "-p 30 -d 2" "-r -q" "-q -Y 9000" "-d 2 -Y 9000" "-c -d 1"; do
            pbmtojbg $o in.pbm s.jbg 2>/dev/null
            jbgtopbm s.jbg a.pbm 2>/dev/null; LD_LIBRARY_PATH=$ours jbgtopbm s.jbg b.pbm 2>/dev/null
            same a.pbm b.pbm "jbgtopbm of pbmtojbg $o $page"
        done
        pbmtojbg -q in.pbm s.jbg; jbgtopbm s.jbg raw.pbm
    fi
    if have pbmtojbg85 "T.85 tools $page"; then
        # -Y: a larger height (or 0xFFFFFFFF, unknown) in the header, the real
        # one by NEWLEN once the given line is coded.
        h=$(sed -n '/^[0-9]/{p;q}' in.pbm | cut -d' ' -f2)
        for o in "-m 0" "-m 0 -p 72 -s 64" "-m 0 -Y 9000 200" "-m 0 -C zeljbig" "" \
                 "-m 0 -Y 4294967295 200" "-m 0 -p 72 -Y 4294967295 $((h - 1))" "-m 0 -s 1 -Y 9000 $((h - 1))" \
                 "-p 72 -Y 4294967295 300" "-m 30 -s 16 -C x"; do
            pbmtojbg85 $o in.pbm a.jbg 2>/dev/null; LD_LIBRARY_PATH=$ours pbmtojbg85 $o in.pbm b.jbg 2>/dev/null
            case $o in -m\ 0*) same a.jbg b.jbg "pbmtojbg85 $o $page";; esac
            jbgtopbm85 a.jbg a.pbm 2>/dev/null; LD_LIBRARY_PATH=$ours jbgtopbm85 a.jbg b.pbm 2>/dev/null
            same a.pbm b.pbm "jbgtopbm85 of pbmtojbg85 $o $page"
            # Our stream, with or without AT freedom, on the original decoder.
            jbgtopbm85 b.jbg c.pbm 2>/dev/null
            same a.pbm c.pbm "pbmtojbg85 $o $page pixels"
        done
        # The decoder on the original's streams: an unknown height, NEWLEN
        # inside a stripe, one-line stripes; fed a byte at a time, in odd
        # blocks, and stopped by the line callback every few lines.
        for o in "-Y 4294967295 333" "-p 72 -s 5 -Y 3000 1001" "-s 1 -p 0"; do
            pbmtojbg85 $o in.pbm s.jbg 2>/dev/null
            for d in "" "-B 1" "-B 7 -y 3" "-y 100"; do
                jbgtopbm85 $d s.jbg a.pbm >/dev/null 2>&1; LD_LIBRARY_PATH=$ours jbgtopbm85 $d s.jbg b.pbm >/dev/null 2>&1
                same a.pbm b.pbm "jbgtopbm85 $d of pbmtojbg85 $o $page"
            done
        done
    fi
    if have convert-im6.q16 "ImageMagick $page"; then
        convert-im6.q16 s.jbg a.pbm; LD_LIBRARY_PATH=$ours convert-im6.q16 s.jbg b.pbm
        same a.pbm b.pbm "convert-im6.q16 reading $page"
        convert-im6.q16 in.pbm a.jbg; LD_LIBRARY_PATH=$ours convert-im6.q16 in.pbm b.jbg
        jbgtopbm a.jbg a.pbm; jbgtopbm b.jbg b.pbm
        same a.pbm b.pbm "convert-im6.q16 writing $page"
    fi
    if have gm "GraphicsMagick $page"; then
        gm convert s.jbg a.pbm; LD_LIBRARY_PATH=$ours gm convert s.jbg b.pbm
        same a.pbm b.pbm "gm convert reading $page"
        gm convert in.pbm a.jbg; LD_LIBRARY_PATH=$ours gm convert in.pbm b.jbg
        jbgtopbm a.jbg a.pbm; jbgtopbm b.jbg b.pbm
        same a.pbm b.pbm "gm convert writing $page"
    fi
    if [ -e raw.pbm ] && "$cc" -O -o tiffjbig "$here/tiffjbig.c" -ltiff 2>/dev/null; then
        ./tiffjbig raw.pbm a.tif a.pbm; ra=$?
        LD_LIBRARY_PATH=$ours ./tiffjbig raw.pbm b.tif b.pbm; rb=$?
        ran=$((ran + 1)); [ $ra = 0 ] && [ $rb = 0 ] || bad "libtiff ISO JBIG round trip $page ($ra, $rb)"
        same a.tif b.tif "libtiff writing ISO JBIG $page"
        LD_LIBRARY_PATH=$ours ./tiffjbig raw.pbm b.tif b.pbm
    elif [ -e raw.pbm ]; then
        echo "SKIP libtiff $page: no libtiff-dev to build the test program"
    fi
    if have foo2zjs "foo2zjs $page" && have zjsdecode "zjsdecode $page"; then
        w=$(sed -n 2p raw.pbm | cut -d' ' -f1); h=$(sed -n 2p raw.pbm | cut -d' ' -f2)
        foo2zjs -r600x600 -g${w}x$h -p9 < raw.pbm > a.zjs 2>/dev/null
        LD_LIBRARY_PATH=$ours foo2zjs -r600x600 -g${w}x$h -p9 < raw.pbm > b.zjs 2>/dev/null
        same a.zjs b.zjs "foo2zjs $page"
        zjsdecode -d a < a.zjs > /dev/null 2>&1; LD_LIBRARY_PATH=$ours zjsdecode -d b < a.zjs > /dev/null 2>&1
        for f in a-*.pbm; do [ -e "$f" ] && same "$f" "b-${f#a-}" "zjsdecode $page $f"; done
        rm -f a-*.pbm b-*.pbm
    fi
    if [ -e raw.pbm ] && "$cc" -O -o dppriv "$here/dppriv.c" "$ours/libjbig.so.0" 2>/dev/null; then
        ./dppriv raw.pbm a.jbg; LD_LIBRARY_PATH=$ours ./dppriv raw.pbm b.jbg
        same a.jbg b.jbg "private DP table $page"
    fi
    rm -f raw.pbm
done
# The bare QM coder: random decisions coded, then decoded a byte at a time.
if "$cc" -O -I"$here/../../libjbig" -o arith "$here/arith.c" "$ours/libjbig.so.0" 2>/dev/null; then
    for a in "1 1000 5" "2 20000 300" "3 5 2" "4 100000 4096" "5 3000 1"; do
        ./arith $a > a.txt; LD_LIBRARY_PATH=$ours ./arith $a > b.txt
        same a.txt b.txt "arith_* $a"
        grep -q '^bad 0 ' b.txt || bad "arith_* decoding $a"
    done
else
    echo "SKIP arith_*: the test program does not build"
fi
echo "$ran comparisons, $fail failed"
[ $fail = 0 ]
