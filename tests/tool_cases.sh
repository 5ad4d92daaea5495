#!/usr/bin/env bash
# The tool's outputs, signals, cut streams, pages and limits, run through
# the built tool: exit status, message and what is left on disk.
# Usage: tool_cases.sh PATH-TO-ZELJBIG [TEST-DATA-DIR]
set -u
Z=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
DATA=$(cd "${2:-$(dirname "$0")/data}" && pwd)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cd "$T" || exit 1
fails=0

bad() { echo "FAIL: $*"; fails=$((fails + 1)); }
skip() { echo "skip: $*"; }
# run WANT-STATUS MESSAGE-PATTERN COMMAND...: the status and a line of stderr.
run() {
    local want=$1 pat=$2
    shift 2
    "$@" >out.txt 2>err.txt
    local got=$?
    [ "$got" = "$want" ] || bad "$* exited $got, not $want: $(head -c 300 err.txt)"
    [ -z "$pat" ] || grep -q -- "$pat" err.txt || bad "$*: no '$pat' in: $(head -c 300 err.txt)"
}
no_temps() { ! ls -a "${1:-.}" | grep -q '\.tmp$' || bad "temporary files left in ${1:-.}: $(ls -a "${1:-.}" | grep '\.tmp$')"; }
# A P4 page of random pixels, W x H.
page() { { printf 'P4\n%d %d\n' "$1" "$2"; head -c $((($1 + 7) / 8 * $2)) /dev/urandom; } >"$3"; }

page 200 120 a.pbm
page 88 50 b.pbm
"$Z" encode a.pbm ref.jbg || bad "plain encode"

# Outputs that are not regular files are written in place.
mkfifo fifo && { timeout 20 cat fifo >from-fifo & } && run 0 "" "$Z" encode a.pbm fifo
wait
[ -p fifo ] && cmp -s from-fifo ref.jbg || bad "FIFO not written in place"
if [ "$(id -u)" = 0 ] && mknod null c 1 3 2>/dev/null; then
    run 0 "" "$Z" encode a.pbm null
    [ -c null ] || bad "device node replaced"
else
    skip "device node (needs root and mknod)"
fi
[ -c /dev/full ] && run 4 "No space left" "$Z" encode a.pbm /dev/full
run 0 "" "$Z" decode ref.jbg /dev/null
"$Z" encode a.pbm /dev/stdout >stdout.jbg && cmp -s stdout.jbg ref.jbg || bad "/dev/stdout"

# Links are followed; mode, hard links and unwritable files are respected.
echo old >target.jbg && ln -s target.jbg link.jbg && run 0 "" "$Z" encode a.pbm link.jbg
[ -L link.jbg ] && cmp -s target.jbg ref.jbg || bad "symbolic link not followed"
ln -s made.jbg dangling.jbg && run 0 "" "$Z" encode a.pbm dangling.jbg
[ -L dangling.jbg ] && cmp -s made.jbg ref.jbg || bad "dangling link's target not made"
echo old >private.jbg && chmod 600 private.jbg && { [ "$(id -u)" != 0 ] || chown nobody private.jbg; }
run 0 "" "$Z" encode a.pbm private.jbg
[ "$(stat -c %a private.jbg)" = 600 ] || bad "mode 600 became $(stat -c %a private.jbg)"
[ "$(id -u)" != 0 ] || [ "$(stat -c %U private.jbg)" = nobody ] || bad "owner nobody became $(stat -c %U private.jbg)"
echo old >one.jbg && ln one.jbg two.jbg && run 0 "" "$Z" encode a.pbm one.jbg
cmp -s two.jbg ref.jbg && [ "$(stat -c %h one.jbg)" = 2 ] || bad "hard link broken"
mkdir shared && chmod 777 shared && echo old >shared/ro.jbg && chmod 644 shared/ro.jbg
if [ "$(id -u)" != 0 ]; then
    chmod 444 shared/ro.jbg
    run 4 "cannot write" "$Z" encode a.pbm shared/ro.jbg
elif chmod 755 "$T" && setpriv --reuid=nobody --regid=nogroup --clear-groups test -x "$Z" 2>/dev/null; then
    run 4 "cannot write" setpriv --reuid=nobody --regid=nogroup --clear-groups "$Z" encode a.pbm shared/ro.jbg
else
    skip "read-only file (needs setpriv, and the tool reachable by nobody)"
fi
[ "$(cat shared/ro.jbg)" = old ] || bad "read-only file replaced"
no_temps shared

# The input itself, also through a link, is refused before it is read.
cp a.pbm same.pbm && ln -s same.pbm same-link.pbm
run 2 "is the input" "$Z" encode same.pbm same.pbm
run 2 "is the input" "$Z" encode same.pbm same-link.pbm
cmp -s same.pbm a.pbm || bad "input overwritten"

# Signals remove the temporary file and end with 128 + signal.
page 16000 12000 big.pbm
mkdir sig
for s in INT:130 TERM:143 HUP:129; do
    "$Z" encode --best big.pbm sig/big.jbg 2>/dev/null &
    pid=$!
    for _ in $(seq 200); do ls -a sig | grep -q '\.tmp$' && break; sleep 0.05; done
    kill -"${s%:*}" $pid
    wait $pid
    got=$?
    [ $got = "${s#*:}" ] || bad "SIG${s%:*} gave status $got"
    no_temps sig
    [ ! -e sig/big.jbg ] || bad "SIG${s%:*} left an output"
done
rm big.pbm

# A three-layer stream cut at every stripe end: complete layers decode with
# a warning, the others name the last complete one.
page 64 64 small.pbm
"$Z" encode -d 2 -s 2 --no-index small.pbm three.jbg
for d in 0 1 2; do "$Z" decode -l $d three.jbg full-$d.pbm; done
per=8   # stripes per layer: 64 rows, 2 lines a stripe in layer 0 of 16; layer 0 first
k=0
for end in $(od -An -tx1 -v three.jbg | tr -s ' ' '\n' | awk 'p == "ff" && $1 == "02" { print NR - 1 } { p = $1 }'); do
    k=$((k + 1))
    head -c "$end" three.jbg >cut.jbg
    done_layers=$((k / per))
    if [ $done_layers -ge 3 ]; then
        run 0 "" "$Z" decode cut.jbg cut.pbm
        [ -s err.txt ] && bad "complete stream warned: $(cat err.txt)"
    elif [ $done_layers = 0 ]; then
        run 3 "truncated" "$Z" decode -l 0 cut.jbg cut.pbm
    else
        top=$((done_layers - 1))
        run 0 "warning: truncated.*layer $top is the last complete one" "$Z" decode -l $top cut.jbg cut.pbm
        cmp -s cut.pbm full-$top.pbm || bad "layer $top of the cut at $end differs"
        run 3 "layer $top is the last complete one" "$Z" decode cut.jbg cut.pbm
        run 0 "" "$Z" info cut.jbg
        grep -q "layer $top is the last complete one" out.txt || bad "info of the cut at $end: $(cat out.txt)"
    fi
done
[ $k = $((3 * per)) ] || bad "found $k stripe ends, not $((3 * per))"
no_temps

# Pages: the first with a warning, or each with --all-pages.
cat a.pbm b.pbm >two.pbm
run 0 "warning: holds 2 pages" "$Z" encode two.pbm two.jbg
"$Z" decode two.jbg back.pbm && cmp -s back.pbm a.pbm || bad "page 1 of two"
run 0 "" "$Z" encode --quiet two.pbm two.jbg
[ -s err.txt ] && bad "--quiet warned"
run 0 "" "$Z" encode --all-pages two.pbm page%d.jbg
"$Z" decode page1.jbg p1.pbm && "$Z" decode page2.jbg p2.pbm && cmp -s p1.pbm a.pbm && cmp -s p2.pbm b.pbm ||
    bad "--all-pages"

# Limits and damage: reasons, and nothing written.
printf '\0\0\1\0\200\0\0\0\0\0\0\1\0\0\0\1\0\0\0\0\377\2' >wide.jbg
run 3 "more than --max-pixels 1000000" "$Z" decode --max-pixels 1000000 wide.jbg wide.pbm
run 3 "more than --max-pixels" "$Z" decode wide.jbg wide.pbm
[ ! -e wide.pbm ] || bad "refused image written"
head -c 20 ref.jbg >header.jbg
run 3 "20-byte header is followed by no stripe data" "$Z" decode header.jbg header.pbm
run 3 "20-byte header is followed by no stripe data" "$Z" info header.jbg

{ printf 'P4\n1100000 2\n'; head -c 275000 /dev/zero; } >wide.pbm
"$Z" encode wide.pbm wide.jbg && run 0 "" "$Z" decode wide.jbg wide.png
[ "$(od -An -tu1 -j16 -N4 wide.png | tr -s ' ')" = " 0 16 200 224" ] || bad "PNG of 1100000 columns"
mkdir full
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=16k tmpfs full 2>/dev/null; then
    page 400 400 noise.pbm && "$Z" encode --no-index noise.pbm bare.jbg  # more than the 16 kB
    TMPDIR=$T/full run 4 "No space left" "$Z" index add bare.jbg indexed.jbg
    umount full
    [ ! -e indexed.jbg ] || bad "index add with a full TMPDIR wrote its output"
else
    skip "full temporary directory (needs root and a tmpfs)"
fi

# The index of NEWLEN and unknown-height streams, added and taken away.
for f in "$DATA"/wild/fax-1728x90_newlen-d1.jbg "$DATA"/wild/fax-1728x90_t85-unknown-height.jbg; do
    [ -f "$f" ] || { skip "$f missing"; continue; }
    "$Z" decode "$f" before.pbm
    run 0 "" "$Z" index add "$f" indexed.jbg
    "$Z" decode indexed.jbg after.pbm && cmp -s before.pbm after.pbm || bad "index add changed $f"
    run 0 "" "$Z" index remove indexed.jbg bare.jbg
    cmp -s bare.jbg "$f" || bad "index remove did not give $f back"
done

# One layer streams through pipes, rows and bytes as they come: the bytes of
# the whole-image way (a gzip'd input or --layer takes that way).
page 1728 300 roll.pbm && gzip -k roll.pbm
"$Z" encode -s 64 -2 --no-index roll.pbm.gz whole.jbg && "$Z" decode -l 0 whole.jbg whole.pbm
cat roll.pbm | run 0 "streamed" "$Z" encode -v -s 64 -2 --no-index - - && cmp -s out.txt whole.jbg || bad "encode from a pipe"
cat whole.jbg | run 0 "streamed" "$Z" decode -v - - && cmp -s out.txt whole.pbm || bad "decode through a pipe"
cmp -s whole.pbm roll.pbm || bad "the roll's round trip"
head -c 3000 whole.jbg | run 3 "truncated: the stripe data ends early" "$Z" decode - cutroll.pbm
[ "$(wc -l <err.txt)" = 1 ] && [ ! -e cutroll.pbm ] || bad "a cut stream: $(cat err.txt), $(ls)"
no_temps
head -c 10000 roll.pbm | run 3 "truncated PBM: 9988 of 64800 bytes" "$Z" encode -s 64 -2 --no-index - cutroll.jbg
[ ! -e cutroll.jbg ] || bad "a cut PBM left its stream"
for f in fax-1728x90_t85-unknown-height fax-1728x90_t85-newlen text-320x240_t85-unknown-height; do
    cat "$DATA/wild/$f.jbg" | run 0 "streamed" "$Z" decode -v - - && cmp -s out.txt "$DATA/wild/${f%%_*}.pbm" || bad "$f through a pipe"
done
# NEWLEN into a file: the header rewritten, shorter (140 to 90 rows) and as
# long (290 to 240), over a larger file.
for f in fax-1728x90_t85-newlen text-320x240_t85-newlen; do
    head -c 40000 roll.pbm >over.pbm
    run 0 "streamed" "$Z" decode -v "$DATA/wild/$f.jbg" over.pbm && cmp -s over.pbm "$DATA/wild/${f%%_*}.pbm" ||
        bad "$f into a file"
done
no_temps
cat "$DATA/bies/text-320x240_two.jbg" | run 0 "" "$Z" decode - - && cmp -s out.txt "$DATA/bies/text-320x240.pbm" ||
    bad "a second BIE after a one-layer first"

# Many files: each converted, the failures named, the others kept.
echo "not an image" >broken.pbm
run 3 "broken.pbm" "$Z" encode --jobs 2 -o batch a.pbm broken.pbm b.pbm
grep -q "1 of 3 files failed: broken.pbm" err.txt || bad "batch summary: $(cat err.txt)"
[ -s batch/a.jbg ] && [ -s batch/b.jbg ] && [ ! -e batch/broken.jbg ] || bad "batch outputs: $(ls batch)"
run 0 "" "$Z" decode -o batch batch/a.jbg batch/b.jbg
cmp -s batch/a.pbm a.pbm && cmp -s batch/b.pbm b.pbm || bad "batch decode"
no_temps batch

[ $fails = 0 ] && echo "all tool cases passed"
exit $((fails > 0))
