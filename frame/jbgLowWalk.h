// The lowest-resolution layer, walked the same way by the encoder and the
// decoder: the same contexts in the same order by construction. A Coder
// gives the direction:
//   kEncoder                  true when the rows hold the pixels to code
//   pixel(cx, v)              codes v (encoder) or decodes a pixel (decoder)
//   run(cx, v, n)             takes n decisions v in context cx at once when
//                             v is the more probable symbol and the interval
//                             needs no renormalisation on the way; false
//                             when it cannot (nothing is coded then)
//   typicalLine(cx, row, above, bytes, ltp)
//                             TPBON: codes or decodes SLNTP and returns LNTP;
//                             the decoder copies a typical line
//   store()                   puts the coder registers back into the context
#pragma once

#include <cstring>
#include <type_traits>

#include "jbgBIH.h"
#include "jbgPort.h"
#include "jpgLib.h"

// Context of the SLNTP pseudo-pixel of each line under TPBON.
constexpr uint32_t kTpContextThree = 0x0E5, kTpContextTwo = 0x195;

// Eight pixels of a row from column c on, the first in bit 7; columns left
// of the row are white. The decoder reads only bytes it has finished, plus
// stale bits of the next that the shift drops.
ZJ_INLINE uint32_t eightFrom(const uint8_t *row, int64_t c) {
    if (c >= 0) {
        const uint32_t i = uint32_t(c >> 3), s = uint32_t(c & 7);
        return ((uint32_t(row[i]) << 8 | row[i + 1]) >> (8 - s)) & 0xFF;
    }
    return c > -8 ? uint32_t(row[0]) >> uint32_t(-c) : 0;
}

// The first index in [i, end) where row a or row c holds ink, else end:
// words of eight bytes at a time.
ZJ_INLINE uint32_t firstInk(const uint8_t *a, const uint8_t *c, uint32_t i, uint32_t end) {
    for (; i + 8 <= end; i += 8) {
        uint64_t u, t;
        std::memcpy(&u, a + i, 8);
        std::memcpy(&t, c + i, 8);
        if (u | t) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return i + uint32_t(__builtin_ctzll(u | t) >> 3);  // the first byte is the lowest
#else
            break;
#endif
        }
    }
    while (i < end && !(a[i] | c[i])) i++;
    return i;
}

// How many bytes after byte b (and before byte `full`) have an all-white
// window when byte b had one. Byte j's window spans bytes j-1 .. j+1 of the
// rows above; the encoder also needs its own byte j white:
//
//   y-2:  [ j-1 ][  j  ][ j+1 ]     (three-line template only)
//   y-1:  [ j-1 ][  j  ][ j+1 ]
//   y  :  [ j-1 ][  j  ]            (encoder)
//
// Rows carry a byte after the last pixel, so byte `full` can be read.
template <bool kEnc, bool kTwo>
ZJ_INLINE uint32_t whiteBytesAfter(const uint8_t *p2, const uint8_t *p1, const uint8_t *p0, uint32_t b, uint32_t full) {
    const uint32_t e = kEnc ? firstInk(p0, p0, b + 1, full) : full;
    const uint32_t z = firstInk(p1, kTwo ? p1 : p2, b + 1, e + 1);
    return z > b + 2 ? z - 2 - b : 0;
}

// One line of the lowest layer: the W pixels of `row` from left to right.
// kBusy picks the walk for busy rows, which tries no runs: the encoder's
// decisions without branches (codeFlat), the decoder's rest of a decision
// with the subinterval picked in asm. It returns the bytes runs took.
//
// Two-line template (LRLTWO), X the pixel coded, A the AT pixel, the digits
// its context bits:
//
//          x-4 x-3 x-2 x-1  x  x+1 x+2
//   y-1:        9   8   7   6   5   4=A
//   y  :    3   2   1   0   X
//
// Three-line template:
//
//          x-2 x-1  x  x+1 x+2
//   y-2:        9   8   7
//   y-1:    6   5   4   3   2=A
//   y  :    1   0   X
//
// Registers, while pixel k of byte b is coded (x = 8b + k):
//
//   r2, r1  rows y-2, y-1: bytes b-1, b, b+1 in the low 24 bits, so that
//           column 8b+j sits at bit 15-j:
//             bit 23 ........ 16 15 ......... 8  7 .......... 0
//                 [ byte b-1    ][ byte b      ][ byte b+1    ]
//           and (r1 >> (9-k)) & 0x3F0 is columns x-3 .. x+2 as CX bits 9..4.
//   r0      row y. Encoder: bytes b-1 and b, column 8b+j at bit 7-j, so
//           pixel x-1 is at bit 8-k. Decoder: between bytes the pixels
//           decoded so far, pixel x-1 in bit 0; within a byte those
//           before x-1, which is in q.
//   ra      (moved AT pixel) the eight AT pixels of byte b, the one of pixel
//           8b+k at bit 7-k.
//
// A byte moves every register left by 8 and appends the next byte. When the
// whole window of a byte (the template pixels of its eight contexts, and
// for the encoder its own pixels) is one colour, the eight contexts are
// equal and Coder::run tries them at once: the long white runs of text, and
// black ones. The window of byte b, two-line template:
//
//          8b-4 ... 8b-1 | 8b ......... 8b+7 | 8b+8 8b+9
//   y-1:        w  w  w  |  w  w  w  w  w  w |  w    w     (from 8b-3)
//   y  :     w  w  w  w  |  e  e  e  e  e  e  e  e         (e: encoder only)
template <class Coder, bool kTwo, bool kAt, bool kNear, bool kBusy = false>
ZJ_INLINE uint32_t lowRowWalk(Coder &px, const uint8_t *p2, const uint8_t *p1, uint8_t *p0, uint32_t W,
                          const uint8_t *atRow, AtPosition at) {
    constexpr bool kEnc = Coder::kEncoder;
    uint32_t r2 = p2[0], r1 = p1[0], ra = 0;
    // The decoder's r0 has the width of q, which it takes in as a whole.
    std::conditional_t<kEnc, uint32_t, size_t> r0 = 0;
    // Within a byte the decoder keeps pixel x-1, the one the last decision
    // made, apart in q, and r0 holds the pixels before it: the rest of the
    // context is ready while that decision is under way, and q joins it
    // last, in the loads' addressing. A decision then waits on the one
    // before for a load, not also for the context's masks. Pixel 0 of a
    // byte takes its context from r0 whole, and the byte's end joins q
    // back in, so that between bytes r0 holds every pixel up to x-1.
    size_t q = 0;
    // The decoder's pixels up to x-1, x-1 in bit 0, at pixel k of a byte.
    auto hist = [&](uint32_t k) ZJ_LAMBDA_INLINE { return uint32_t(!kEnc && k != 0 ? r0 << 1 | q : r0); };
    // The decoder finds an AT pixel of its own row less than 8 columns back
    // in r0 (kNear, chosen by the caller so that no pixel tests it); every
    // other one comes from finished bytes.
    constexpr bool atNear = !kEnc && kNear;
    // The context of pixel k of the byte (for the decoder's pixels 1 to 7,
    // without q).
    auto context = [&](uint32_t k) ZJ_LAMBDA_INLINE {
        const uint32_t h = uint32_t(kEnc ? r0 >> (8 - k) : r0);
        uint32_t cx;
        if (!kEnc && k != 0) {
            // Row y's bits join by the addition's scale, r0 left whole for
            // its own update (r0 = 2 r0 + q, one instruction).
            uint32_t t = h & (kTwo ? 7 : 1);
            opaque(t);
            cx = (kTwo ? (r1 >> (9 - k)) & (kAt ? 0x3E0 : 0x3F0)
                       : ((r2 >> (7 - k)) & 0x380) | ((r1 >> (11 - k)) & (kAt ? 0x078 : 0x07C))) +
                 t * 2;
        } else if (kTwo)
            cx = ((r1 >> (9 - k)) & (kAt ? 0x3E0 : 0x3F0)) | (h & 0x00F);
        else
            cx = ((r2 >> (7 - k)) & 0x380) | ((r1 >> (11 - k)) & (kAt ? 0x078 : 0x07C)) | (h & 0x003);
        if (kAt) cx |= (atNear ? (hist(k) >> (at.tx - 1)) & 1 : (ra >> (7 - k)) & 1) << (kTwo ? 4 : 2);
        return cx;
    };
    auto pixel = [&](uint32_t k) ZJ_LAMBDA_INLINE {
        if constexpr (kEnc && !kAt) {
            // The encoder's entry 2CX + X in one go: each register gives its
            // CX bits one place up, r0 the pixel below them.
            const size_t i = kTwo ? ((size_t(r1) >> (8 - k)) & 0x7E0) | ((size_t(r0) >> (7 - k)) & 0x1F)
                                  : ((size_t(r2) << 1 >> (7 - k)) & 0x700) | ((size_t(r1) >> (10 - k)) & 0x0F8) |
                                        ((size_t(r0) >> (7 - k)) & 0x007);
            if constexpr (kBusy)
                px.codeFlat(i);
            else
                px.codeAt(i);
            return;
        }
        const uint32_t cx = context(k);
        if constexpr (kEnc && kBusy) {
            px.codeFlat(size_t(cx) << 1 | ((r0 >> (7 - k)) & 1));
        } else if constexpr (kEnc) {
            px.pixel(cx, (r0 >> (7 - k)) & 1);
        } else if (k == 0) {
            q = px.pixel(cx, 0);
        } else {
            r0 = r0 + r0 + q;
            px.template decodeNext<kBusy>(cx, q, r0);
        }
    };
    // The decoder's byte end: q joins r0.
    auto join = [&]() ZJ_LAMBDA_INLINE {
        if (!kEnc) r0 = r0 + r0 + q;
    };
    auto load = [&](uint32_t b) ZJ_LAMBDA_INLINE {
        r1 = (r1 << 8) | p1[b + 1];
        if (!kTwo) r2 = (r2 << 8) | p2[b + 1];
        if (kEnc) r0 = (r0 << 8) | p0[b];
        if (kAt && !atNear) ra = eightFrom(atRow, int64_t(8) * b - at.tx);
    };
    const uint32_t full = W >> 3, rest = W & 7;
    uint32_t ran = 0;  // bytes taken by runs
    if constexpr (kEnc && kBusy) px.flatBegin();
    for (uint32_t b = 0; b < full; b++) {
        load(b);
        if (!kAt && !kBusy) {
            // A run: the whole window of the byte the colour v of its first
            // pixel's left neighbour, one test as one branch (the decoder's
            // branches wait on the pixels it decodes). The window in the
            // registers, bit 15 - j holding column 8b + j:
            //   two-line    r1 bits 18..6 (8b-3 .. 8b+9)
            //   three-line  r2 bits 16..7 (8b-1 .. 8b+8), r1 bits 17..6
            //   row y       decoder: r0 bits 3..0 or 1..0 (x-4 or x-2 up to
            //               x-1); encoder: r0 bits 11..8 or 9..8, and the
            //               byte's own pixels in bits 7..0
            // Its contexts are then all 0 or all 0x3FF.
            const uint32_t h = uint32_t(r0);
            const uint32_t v = kEnc ? (r0 >> 8) & 1 : h & 1, ones = 0u - v;
            uint32_t mixed;
            if (kTwo) {
                // The two-line window as one field, r1's thirteen bits above
                // r0's (decoder: bits 18..2; encoder: 24..0): one colour when
                // the field plus its lowest bit leaves no bit in it.
                if (kEnc) {
                    const uint32_t field = (r1 & 0x7FFC0) << 6 | (r0 & 0xFFF);
                    mixed = (field + 1) & 0x1FFFFFE;
                } else {
                    const uint32_t field = (r1 & 0x7FFC0) | (h & 0xF) << 2;
                    mixed = (field + 4) & 0x7FFF8;
                }
            } else {
                mixed = (r1 ^ ones) & (kTwo ? 0x7FFC0 : 0x3FFC0);
                if (!kTwo) mixed |= (r2 ^ ones) & 0x1FF80;
                mixed |= (h ^ ones) & (kEnc ? 0x3FF : 0x3);
            }
            const uint32_t cx = ones & 0x3FF;
            if (mixed == 0 && px.run(cx, v, 8)) {
                // Rows are white when made: only black needs a store.
                if (!kEnc) {
                    r0 = ones;
                    if (v) p0[b] = 0xFF;
                }
                // The white bytes after it whose windows are white too, at
                // once while the interval has room.
                if (!v && !(p1[b + 2] | (kTwo ? 0 : p2[b + 2]) | (kEnc ? p0[b + 1] : 0))) {
                    const uint32_t n = px.runBytes(cx, 0, whiteBytesAfter<kEnc, kTwo>(p2, p1, p0, b, full));
                    if (n) {
                        b += n;
                        ran += n;
                        r0 = r1 = r2 = 0;
                    }
                }
                ran++;
                continue;
            }
        }
        pixel(0), pixel(1), pixel(2), pixel(3), pixel(4), pixel(5), pixel(6), pixel(7);
        join();
        if (!kEnc) p0[b] = static_cast<uint8_t>(r0);
    }
    if (rest) {
        load(full);
        for (uint32_t k = 0; k < rest; k++) pixel(k);
        join();
    }
    if constexpr (kEnc && kBusy) px.flatEnd();
    if (!kEnc) {
        // Stored form: the last pixels in the high bits, then a zero byte.
        if (rest) p0[full] = static_cast<uint8_t>(r0 << (8 - rest));
        p0[full + (rest != 0)] = 0;
    }
    return ran;
}

// A busy row, out of line so that the common walks keep the registers of
// the stripe loop to themselves; the coder goes in and out by value, so
// that its address never escapes that loop.
template <class Coder, bool kTwo, bool kAt, bool kNear>
ZJ_NOINLINE Coder lowRowBusy(Coder px, const uint8_t *p2, const uint8_t *p1, uint8_t *p0, uint32_t W,
                             const uint8_t *atRow, AtPosition at) {
    lowRowWalk<Coder, kTwo, kAt, kNear, true>(px, p2, p1, p0, W, atRow, at);
    return px;
}

// Moves of the AT pixel within the stripe being coded, by line of the stripe.
// Shared with the differential layers.
struct AtCursor {
    const JbigAtMove *moves;
    uint32_t count, next;
    AtPosition at;
    // The position for line i of the stripe (lines asked for in order).
    ZJ_INLINE AtPosition forLine(uint32_t i) {
        while (ZJ_UNLIKELY(next < count && moves[next].row <= i)) {
            at = AtPosition{moves[next].tx, moves[next].ty};
            next++;
        }
        return at;
    }
};

// The row `ty` above row y of img, the white row above the top.
inline const uint8_t *rowAbove(const JbigLayerImage &img, uint32_t y, uint32_t ty) {
    return y >= ty ? img.rows[y - ty] : img.rows[img.blankRow];
}

// `count` lines of the lowest layer from cur.row on, with TPBON if kTp.
// Each line first moves the window down: lines[0], [1], [2] are rows y-2,
// y-1 and y (the white row above the top).
// kAtRows: the decoder's walk for stripes with the AT pixel moved, apart
// from the common one so that the common one's loops are compiled as if
// the AT walks did not exist.
template <class Coder, bool kTwo, bool kTp, bool kAtRows = false>
void lowStripeWalk(JbigContext *ctx, uint32_t count) {
    if constexpr (!Coder::kEncoder && !kAtRows) {
        if (ZJ_UNLIKELY(ctx->atMoveCount != 0 || ctx->at.moved())) return lowStripeWalk<Coder, kTwo, kTp, true>(ctx, count);
    }
    JbigLayerImage &img = ctx->cur;
    Coder px(ctx);
    // The decoder's AT pixel in its own row less than 8 columns back; the
    // encoder has every pixel at hand and needs no such case.
    auto nearRowAt = [](AtPosition a) { return a.ty == 0 && a.tx < 8; };
    // Whether the row is coded by the walk for busy rows: the encoder's
    // when the row before wrote much (Coder::busy), the decoder's as its
    // Coder::fewRuns and Coder::busy say.
    bool busy = false;
    AtCursor at{ctx->atMoves, ctx->atMoveCount, 0, ctx->at};
    uint32_t ltp = ctx->ltpPrev;
    const uint32_t W = img.width, bytes = (W + 7) >> 3;
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t y = img.row;
        if (!kTwo) img.lines[0] = img.lines[1];
        img.lines[1] = img.lines[2];
        img.lines[2] = img.rows[img.row++];
        if (kTp) {
            ltp = px.typicalLine(kTwo ? kTpContextTwo : kTpContextThree, img.lines[2], img.lines[1], bytes, ltp);
            if (!ltp) continue;
        }
        const uint8_t *up2 = kTwo ? img.lines[1] : img.lines[0];
        const AtPosition a = at.forLine(i);
        if constexpr (Coder::kEncoder) {
            const uint8_t *atRow = a.moved() ? rowAbove(img, y, a.ty) : nullptr;
            const uint32_t before = px.bytesCoded();
            if (busy && !a.moved())
                px = lowRowBusy<Coder, kTwo, false, false>(px, up2, img.lines[1], img.lines[2], W, nullptr, a);
            else if (busy)
                px = lowRowBusy<Coder, kTwo, true, false>(px, up2, img.lines[1], img.lines[2], W, atRow, a);
            else if (ZJ_LIKELY(!a.moved()))
                lowRowWalk<Coder, kTwo, false, false>(px, up2, img.lines[1], img.lines[2], W, nullptr, a);
            else
                lowRowWalk<Coder, kTwo, true, false>(px, up2, img.lines[1], img.lines[2], W, atRow, a);
            busy = px.busy(px.bytesCoded() - before, W);
        } else if (ZJ_LIKELY(!a.moved())) {
            if (busy) {
                const uint32_t before = px.bytesCoded();
                px = lowRowBusy<Coder, kTwo, false, false>(px, up2, img.lines[1], img.lines[2], W, nullptr, a);
                busy = px.busy(px.bytesCoded() - before, W);
            } else {
                const uint32_t ran = lowRowWalk<Coder, kTwo, false, false>(px, up2, img.lines[1], img.lines[2], W, nullptr, a);
                busy = px.fewRuns(ran, W);
            }
        } else if (nearRowAt(a)) {
            lowRowWalk<Coder, kTwo, true, true>(px, up2, img.lines[1], img.lines[2], W, nullptr, a);
        } else {
            lowRowWalk<Coder, kTwo, true, false>(px, up2, img.lines[1], img.lines[2], W, rowAbove(img, y, a.ty), a);
        }
    }
    ctx->ltpPrev = static_cast<uint16_t>(ltp);
    ctx->at = at.at;
    px.store();
}

using StripeFn = void (*)(JbigContext *, uint32_t);

// The stripe coder of a layer, chosen once from LRLTWO and TPBON.
template <class Coder>
StripeFn lowStripeFor(uint32_t options) {
    static constexpr StripeFn kByOptions[2][2] = {
        {lowStripeWalk<Coder, false, false>, lowStripeWalk<Coder, false, true>},
        {lowStripeWalk<Coder, true, false>, lowStripeWalk<Coder, true, true>}};
    return kByOptions[(options & kLRLTWO) != 0][(options & kTPBON) != 0];
}
