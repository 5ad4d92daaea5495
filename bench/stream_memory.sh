#!/bin/bash
# Peak memory (kB, /usr/bin/time -f %M) of the tool streaming a 1728-pixel
# fax roll through pipes, encode and decode, at two heights; the page is
# made on the fly and never stored. Equal figures for both heights mean
# memory does not grow with the page.
#   bench/stream_memory.sh [build-dir] [heights...]
set -euo pipefail
build=${1:-build}
shift || true
heights=${*:-100000 1000000}
tool=$build/tools/zeljbig
[ -x "$tool" ] || { echo "no $tool: build first" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Lines of text: rows of glyph-like runs, a blank line between lines.
gen() {
    /usr/bin/python3 - "$1" <<'PY'
import sys, random
h = int(sys.argv[1]); w = 1728; stride = w // 8
random.seed(26)
band = bytearray()
for y in range(40):
    row = bytearray(stride)
    if y < 24:
        for x in range(8, stride - 8):
            if random.random() < 0.35: row[x] = random.choice((0x3C, 0x7E, 0x66, 0x18, 0xC3))
    band += row
sys.stdout.buffer.write(b"P4\n%d %d\n" % (w, h))
rows, bands = len(band) // stride, bytes(band) * 64
left = h
while left:
    n = min(left, rows * 64)
    sys.stdout.buffer.write(bands[: n * stride])
    left -= n
PY
}

printf '%-9s %14s %14s %s\n' height 'encode kB' 'decode kB' 'round trip'
for h in $heights; do
    if gen "$h" | /usr/bin/time -o "$tmp/enc" -f %M "$tool" encode -d 0 -s 128 -3 --no-index - - |
        /usr/bin/time -o "$tmp/dec" -f %M "$tool" decode - - | cmp -s - <(gen "$h"); then same=exact; else same=DIFFERS; fi
    printf '%-9s %14s %14s %s\n' "$h" "$(cat "$tmp/enc")" "$(cat "$tmp/dec")" "$same"
done
