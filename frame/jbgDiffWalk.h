// Differential layers, walked the same way by the encoder and the decoder:
// the template, typical and deterministic prediction, and the order of the
// pixels. A Coder gives the direction, as for the lowest layer
// (jbgLowWalk.h), with two steps of its own:
//   nextPair(ctx, finalPair)  moves the row windows down by one line pair
//   pairNotTypical(work, lowUp, low, lowNext, blocks, rowA, rowB)
//                             TPDON: codes or decodes LNTP of the pair and
//                             returns it; marks the blocks that typical
//                             prediction gives when the pair is typical
#pragma once

#include <cstring>

#include "jbgBIH.h"
#include "jbgDiff.h"
#include "jbgLowWalk.h"
#include "jbgPort.h"
#include "jpgLib.h"

// diffWork entries: above kNotTypical a block is predicted by TPDON; at or
// below it the entry holds the block's DP value D.
constexpr uint16_t kNotTypical = 0x1010;
constexpr uint16_t kTypicalWhite = 0x7700;
constexpr uint16_t kTypicalBlack = 0x77FF;
// Context of the LNTP bit: phase 3, low pixels 0, high pixels 1.
constexpr uint32_t kLntpContext = 0xC3F;
// Four marks of one kind side by side.
constexpr uint64_t kWhiteUnit = 0x7700770077007700ull;
constexpr uint64_t kBlackUnit = 0x77FF77FF77FF77FFull;

// Marks every block 0..blocks-1 of a line pair whose 3x3 neighbourhood in the
// lower layer (rows lp = i-1, la = i, lb = i+1) is all white or all black.
// With kCheck the pair's rows hA, hB are compared with the marks: the result
// is 1 (LNTP) when a marked block differs.
//
// Registers, for the unit of blocks 8u .. 8u+7: rp, ra, rb hold bytes u-1,
// u, u+1 of the three rows, so that column 8u+t sits at bit 15-t and the
// neighbourhoods of the unit (columns 8u-1 .. 8u+8) are bits 16..7:
//
//      bit 16 | 15 .............. 8 | 7
//        8u-1 | 8u ........... 8u+7 | 8u+8
//
// Block t's own neighbourhood is the three bits (r >> (14-t)) & 7.
template <bool kCheck>
uint32_t diffMarkBlocks(uint16_t *work, const uint8_t *lp, const uint8_t *la, const uint8_t *lb, uint32_t blocks,
                        const uint8_t *hA, const uint8_t *hB) {
    uint32_t rp = lp[0], ra = la[0], rb = lb[0];
    uint32_t lntp = 0;
    for (uint32_t u = 0, units = (blocks + 7) >> 3; u < units; u++) {
        rp = (rp << 8) | lp[u + 1];
        ra = (ra << 8) | la[u + 1];
        rb = (rb << 8) | lb[u + 1];
        uint32_t any = ((rp | ra | rb) >> 7) & 0x3FF, all = ((rp & ra & rb) >> 7) & 0x3FF;
        uint32_t n = blocks - 8 * u < 8 ? blocks - 8 * u : 8;
        uint16_t *w = work + 8 * u;
        uint32_t a = 0, b = 0;
        if (kCheck) {
            // The unit's 16 pixels of each high row, block t at bits 15-2t, 14-2t.
            a = uint32_t(hA[2 * u]) << 8 | hA[2 * u + 1];
            b = uint32_t(hB[2 * u]) << 8 | hB[2 * u + 1];
        }
        if (any == 0 || all == 0x3FF) {
            const uint64_t marks = any ? kBlackUnit : kWhiteUnit;
            if (n == 8) {
                std::memcpy(w, &marks, 8);
                std::memcpy(w + 4, &marks, 8);
            } else {
                for (uint32_t t = 0; t < n; t++) w[t] = uint16_t(marks);
            }
            if (kCheck) lntp |= any ? (a & b) != 0xFFFF : (a | b) != 0;
            continue;
        }
        for (uint32_t t = 0; t < n; t++) {
            uint32_t s = 14 - t;
            uint32_t nAny = ((rp | ra | rb) >> s) & 7, nAll = ((rp & ra & rb) >> s) & 7;
            if (nAny == 0) {
                w[t] = kTypicalWhite;
                if (kCheck) lntp |= (((a | b) >> (14 - 2 * t)) & 3) != 0;
            } else if (nAll == 7) {
                w[t] = kTypicalBlack;
                if (kCheck) lntp |= (((a & b) >> (14 - 2 * t)) & 3) != 3;
            } else {
                w[t] = kNotTypical;
            }
        }
    }
    return lntp;
}

// The rows around a row of a differential layer.
struct DiffRow {
    const uint8_t *above2;  // H row y-2
    const uint8_t *above;   // H row y-1
    uint8_t *row;           // H row y: read by the encoder, written by the decoder
    const uint8_t *lowUp;   // L row i-1 (DP)
    const uint8_t *low;     // L row i
    const uint8_t *lowNext; // L row i+1, or row i at the end of a stripe
    uint16_t *work;         // per block: TPDON mark or D
    const uint8_t *const *dp;  // the deterministic-prediction tables by phase
    uint32_t width;         // W
    uint32_t second;        // 0 for row 2i, 1 for row 2i+1
    const uint8_t *atRow;   // H row y-ty of a moved AT pixel
    AtPosition at;
};

// Pixel c of a row; columns left of it are white.
ZJ_INLINE uint32_t pixelAt(const uint8_t *row, int64_t c) {
    return c < 0 ? 0 : (row[c >> 3] >> (7 - (c & 7))) & 1;
}

// Walks the W pixels of one row in coding order. With kTP, blocks marked in
// work take their marked colour without coding; with kDP the tables decide
// which pixels are coded, and row 2i leaves D in work.
//
// The template, X = H(y, x) the pixel coded, A the AT pixel, L the layer
// below at half resolution, the digits its context bits:
//
//   H:     x-2 x-1  x  x+1        L:        J-1  J
//   y-2:            5             i     :    7   6
//   y-1:       4=A  3   2         i+1   :    9   8
//   y  :    1   0   X
//
// and bit 10 = c, bit 11 = r, the phase of X in its 2x2 block (c = x mod 2,
// r = y mod 2, J = x div 2 + c). A unit is 16 pixels of H, 8 blocks, one
// byte of L. Registers while pixel q of unit u is coded (x = 16u + q, block
// t = q div 2):
//
//   g2, g1, g0  H rows y-2, y-1, y: bytes 2u-1 .. 2u+2, column 16u+q at
//               bit 23-q, so (g1 >> (22-q)) & 7 is columns x-1, x, x+1:
//        bit 31 ..... 24 23 ...... 16 15 ....... 8 7 ........ 0
//           [ 2u-1      ][ 2u        ][ 2u+1      ][ 2u+2      ]
//   ru, rl, rn  L rows i-1, i, i+1: bytes u-1 .. u+1, column 8u+t at
//               bit 15-t, so (rl >> (15-t-c)) & 3 is columns J-1, J.
//   hist        row y before x, x-1 in bit 0 (the decoder's: hp, x1).
//
// Each unit loads its windows afresh, so that a unit whose eight blocks
// typical prediction gives alike is set (or skipped) whole without them.
template <class Coder, bool kTP, bool kDP, bool kAt>
void diffRowWalk(Coder &coder, const DiffRow &row) {
    constexpr bool kEnc = Coder::kEncoder;
    // The coder's registers and the row's fields in locals for the row:
    // the bytes the walk stores could alias them where they are.
    Coder px = coder;
    const DiffRow r = row;
    const uint32_t W = r.width;
    const uint8_t *h2 = r.above2, *h1 = r.above;
    uint8_t *h0 = r.row;
    uint32_t g2, g1, g0 = 0, rl, rn, ru = 0;
    // Row y before x. The encoder keeps it whole, x-1 in bit 0. The
    // decoder keeps pixel x-1 apart in x1 and the pixels before it in hp,
    // so that a context is ready, but for x1, while the decision before is
    // under way; x1 joins it in the loads' addressing (decodeNext).
    uint32_t hist = 0;
    size_t hp = 0, x1 = 0;
    // Appends the k pixels `bits`, the last in bit 0.
    auto append = [&](uint32_t bits, uint32_t k) ZJ_LAMBDA_INLINE {
        if constexpr (kEnc) {
            hist = (hist << k) | bits;
        } else {
            const size_t h = ((hp << 1 | x1) << k) | bits;
            hp = h >> 1;
            x1 = h & 1;
        }
    };
    auto last = [&]() ZJ_LAMBDA_INLINE { return kEnc ? hist & 1 : uint32_t(x1); };
    const uint32_t rowBit = r.second << 11;
    const uint8_t *dp0 = r.dp[0], *dp1 = r.dp[1], *dp2 = r.dp[2], *dp3 = r.dp[3];
    const uint32_t tx = r.at.tx;
    // The AT pixel from the row's history (the decoder's from hp, pixel
    // x-tx at bit tx-2; x-1 itself is x1), else from the finished bytes.
    const bool atHist = kAt && r.at.ty == 0 && tx <= 32 && (kEnc || tx >= 2);
    const bool atLast = !kEnc && kAt && r.at.ty == 0 && tx == 1;
    const uint32_t whole = W >> 4, units = (W + 15) >> 4;
    for (uint32_t u = 0; u < units; u++) {
        const uint32_t n = u < whole ? 16 : W & 15;
        if (kTP && n == 16) {
            // Eight blocks predicted alike: the unit needs no pixel at all,
            // nor its registers. (A decoded row starts white.)
            uint64_t m0, m1;
            std::memcpy(&m0, r.work + 8 * u, 8);
            std::memcpy(&m1, r.work + 8 * u + 4, 8);
            if (m0 == m1 && m0 == kWhiteUnit) {
                append(0, 16);
                continue;
            }
            if (m0 == m1 && m0 == kBlackUnit) {
                append(0xFFFF, 16);
                if (!kEnc) h0[2 * u] = h0[2 * u + 1] = 0xFF;
                continue;
            }
        }
        // The registers' windows, loaded afresh for each unit that codes.
        auto window = [u](const uint8_t *h) ZJ_LAMBDA_INLINE {
            return (u ? uint32_t(h[2 * u - 1]) << 24 : 0) | uint32_t(h[2 * u]) << 16 | uint32_t(h[2 * u + 1]) << 8 |
                   h[2 * u + 2];
        };
        auto lowWindow = [u](const uint8_t *l) ZJ_LAMBDA_INLINE {
            return (u ? uint32_t(l[u - 1]) << 16 : 0) | uint32_t(l[u]) << 8 | l[u + 1];
        };
        g2 = window(h2);
        g1 = window(h1);
        if (kEnc) g0 = window(h0);
        rl = lowWindow(r.low);
        rn = lowWindow(r.lowNext);
        if (kDP) ru = lowWindow(r.lowUp);
        uint32_t out = 0;
        // Codes (or decodes) pixel q of the unit, column c of block t, unless
        // a prediction v of 0 or 1 stands for it.
        auto pixel = [&](auto column, uint32_t q, uint32_t t, uint32_t v) ZJ_LAMBDA_INLINE {
            constexpr uint32_t c = decltype(column)::value;
            uint32_t pix = v;
            if (v == 2) {
                uint32_t cx = ((g1 >> (22 - q)) & 7) << 2 | ((g2 >> (23 - q)) & 1) << 5 |
                              ((rl >> (15 - t - c)) & 3) << 6 | ((rn >> (15 - t - c)) & 3) << 8 | c << 10 | rowBit;
                cx |= kEnc ? hist & 3 : uint32_t(hp & 1) << 1;
                if (kAt) {
                    uint32_t a;
                    if (atHist)
                        a = kEnc ? (hist >> (tx - 1)) & 1 : uint32_t(hp >> (tx - 2)) & 1;
                    else if (atLast)
                        a = uint32_t(x1);
                    else
                        a = pixelAt(r.atRow, int64_t(16) * u + q - tx);
                    cx = (cx & ~0x10u) | a << 4;
                }
                if constexpr (kEnc) {
                    pix = px.pixel(cx, (g0 >> (23 - q)) & 1);
                } else {
                    hp = hp << 1 | x1;
                    x1 = px.decodeAfter(cx, x1, hp);
                    pix = uint32_t(x1);
                }
            } else if constexpr (!kEnc) {
                hp = hp << 1 | x1;
                x1 = v;
            }
            if (kEnc) hist = (hist << 1) | pix;
            if (!kEnc) out = (out << 1) | pix;
            return pix;
        };
        // Block t of the unit: t is a constant in a whole unit (so that the
        // shifts above fold), a run-time value in the last, partial one.
        auto block = [&](auto tc, bool pairOfColumns) ZJ_LAMBDA_INLINE {
            const uint32_t t = tc.value, q = 2 * t, j = 8 * u + t;
            if (kTP && r.work[j] > kNotTypical) {
                uint32_t bits = (r.work[j] & 1) ? 3 : 0, k = pairOfColumns ? 2 : 1;
                append(bits >> (2 - k), k);
                if (!kEnc) out = (out << k) | (bits >> (2 - k));
                return;
            }
            uint32_t v0 = 2, v1 = 2, d = 0;
            if (kDP) {
                if (!r.second) {
                    // D: L(i-1) and L(i) columns j-1, j, H(y-1) columns 2j-1 .. 2j+1,
                    // H(y, 2j-1); the block's own two pixels join below.
                    d = ((ru >> (15 - t)) & 3) << 8 | ((rl >> (15 - t)) & 3) << 6 | ((g1 >> (22 - q)) & 7) << 3 |
                        last() << 2;
                    v0 = dp0[d >> 2];
                } else {
                    d = (uint32_t(r.work[j]) << 1) | last();
                    v0 = dp2[d];
                }
            }
            uint32_t p0 = pixel(std::integral_constant<uint32_t, 0>{}, q, t, v0);
            if (!pairOfColumns) {
                // A one-column block at an odd right edge: its missing pixel is 0.
                if (kDP && !r.second) r.work[j] = static_cast<uint16_t>(d | p0 << 1);
                return;
            }
            if (kDP) v1 = !r.second ? dp1[(d >> 1) | p0] : dp3[(d << 1) | p0];
            uint32_t p1 = pixel(std::integral_constant<uint32_t, 1>{}, q + 1, t, v1);
            if (kDP && !r.second) r.work[j] = static_cast<uint16_t>(d | p0 << 1 | p1);
        };
        if (n == 16) {
            [&](auto... t) ZJ_LAMBDA_INLINE { (block(t, true), ...); }(
                std::integral_constant<uint32_t, 0>{}, std::integral_constant<uint32_t, 1>{},
                std::integral_constant<uint32_t, 2>{}, std::integral_constant<uint32_t, 3>{},
                std::integral_constant<uint32_t, 4>{}, std::integral_constant<uint32_t, 5>{},
                std::integral_constant<uint32_t, 6>{}, std::integral_constant<uint32_t, 7>{});
        } else {
            struct Runtime {
                uint32_t value;
            };
            for (uint32_t t = 0; 2 * t < n; t++) block(Runtime{t}, 2 * t + 1 < n);
        }
        if (!kEnc) {
            out <<= 16 - n;
            h0[2 * u] = static_cast<uint8_t>(out >> 8);
            h0[2 * u + 1] = static_cast<uint8_t>(out);
        }
    }
    coder = px;
}

// One row of a pair, with the AT pixel where the stripe puts it.
template <class Coder, bool kTP, bool kDP>
ZJ_INLINE void diffRowAt(Coder &px, DiffRow &r, const JbigLayerImage &cur, uint32_t y, AtPosition at) {
    if (ZJ_LIKELY(!at.moved())) {
        diffRowWalk<Coder, kTP, kDP, false>(px, r);
    } else {
        r.at = at;
        r.atRow = at.ty ? rowAbove(cur, y, at.ty) : r.row;
        diffRowWalk<Coder, kTP, kDP, true>(px, r);
    }
}

// The current line pair: cur.lines[0..3] are rows 2i-2 .. 2i+1, low.lines[0..2]
// rows i-1 .. i+1. The last pair of a stripe reads row i for row i+1.
template <class Coder, bool kTP, bool kDP>
void diffPairWalk(Coder &px, JbigContext *ctx, uint32_t singleRow, uint32_t lastPairOfStripe, uint32_t y,
                  AtPosition atA, AtPosition atB) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    DiffRow r{cur.lines[0],  cur.lines[1], cur.lines[2], low.lines[0], low.lines[1],
              lastPairOfStripe ? low.lines[1] : low.lines[2], ctx->diffWork, ctx->dp, cur.width, 0, nullptr, {0, 0}};
    diffRowAt<Coder, kTP, kDP>(px, r, cur, y, atA);
    if (singleRow) return;
    r.above2 = cur.lines[1];
    r.above = cur.lines[2];
    r.row = cur.lines[3];
    r.second = 1;
    diffRowAt<Coder, kTP, kDP>(px, r, cur, y + 1, atB);
}

// One stripe of `lineCount` rows of a differential layer: line pair after
// line pair, each led by its LNTP bit under TPDON.
template <class Coder, bool kTPDON, bool kDPON>
void diffStripeWalk(JbigContext *ctx, uint32_t lineCount, uint32_t lastStripe) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    Coder px(ctx);
    AtCursor at{ctx->atMoves, ctx->atMoveCount, 0, ctx->at};
    const uint32_t top = (cur.stripe - 1) * cur.stripeRows;
    const uint32_t pairs = (lineCount + 1) / 2;
    for (uint32_t p = 0; p < pairs; p++) {
        const bool last = p + 1 == pairs;
        px.nextPair(ctx, last && lastStripe);
        const uint32_t singleRow = last && lastStripe ? (lineCount & 1) : 0;
        const AtPosition atA = at.forLine(2 * p), atB = at.forLine(2 * p + 1);
        if (kTPDON &&
            !px.pairNotTypical(ctx->diffWork, low.lines[0], low.lines[1], last ? low.lines[1] : low.lines[2],
                               low.width, cur.lines[2], cur.lines[3]))
            diffPairWalk<Coder, true, kDPON>(px, ctx, singleRow, last, top + 2 * p, atA, atB);
        else
            diffPairWalk<Coder, false, kDPON>(px, ctx, singleRow, last, top + 2 * p, atA, atB);
    }
    ctx->at = at.at;
    px.store();
}

using DiffStripeFn = void (*)(JbigContext *, uint32_t, uint32_t);

// The stripe coder of a differential layer, chosen once from TPDON and DPON.
template <class Coder>
DiffStripeFn diffStripeFor(uint32_t options) {
    static constexpr DiffStripeFn kByOptions[2][2] = {
        {diffStripeWalk<Coder, false, false>, diffStripeWalk<Coder, false, true>},
        {diffStripeWalk<Coder, true, false>, diffStripeWalk<Coder, true, true>}};
    return kByOptions[(options & kTPDON) != 0][(options & kDPON) != 0];
}
