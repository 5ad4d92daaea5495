// Differential layers: the context template, typical and deterministic
// prediction and the walk over the pixels of a row. The decoder walks its
// rows with the same template, so that both sides form the same contexts in
// the same order by construction.
#pragma once

#include "../frame/jbgDiff.h"
#include "../frame/jpgLib.h"

#include <type_traits>

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

void reduceNextRow(JbigContext *ctx, uint32_t finalPair);

// Marks every block 0..blocks-1 of a line pair whose 3x3 neighbourhood in the
// lower layer (rows lp = i-1, la = i, lb = i+1) is all white or all black.
// With kCheck the pair's rows hA, hB are compared with the marks: the result
// is 1 (LNTP) when a marked block differs.
template <bool kCheck>
uint32_t diffMarkBlocks(uint16_t *work, const uint8_t *lp, const uint8_t *la, const uint8_t *lb, uint32_t blocks,
                        const uint8_t *hA, const uint8_t *hB) {
    uint32_t rp = lp[0], ra = la[0], rb = lb[0];
    uint32_t lntp = 0;
    for (uint32_t u = 0, units = (blocks + 7) >> 3; u < units; u++) {
        // Columns 8u-1 .. 8u+8 of the three rows at bits 16..7.
        rp = (rp << 8) | lp[u + 1];
        ra = (ra << 8) | la[u + 1];
        rb = (rb << 8) | lb[u + 1];
        uint32_t any = ((rp | ra | rb) >> 7) & 0x3FF, all = ((rp & ra & rb) >> 7) & 0x3FF;
        uint32_t n = blocks - 8 * u < 8 ? blocks - 8 * u : 8;
        uint16_t *w = work + 8 * u;
        uint32_t a = 0, b = 0;
        if (kCheck) {
            a = uint32_t(hA[2 * u]) << 8 | hA[2 * u + 1];
            b = uint32_t(hB[2 * u]) << 8 | hB[2 * u + 1];
        }
        if (any == 0) {
            for (uint32_t t = 0; t < n; t++) w[t] = kTypicalWhite;
            if (kCheck) lntp |= (a | b) != 0;
            continue;
        }
        if (all == 0x3FF) {
            for (uint32_t t = 0; t < n; t++) w[t] = kTypicalBlack;
            if (kCheck) lntp |= (a & b) != 0xFFFF;
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
    uint32_t width;         // W
    uint32_t second;        // 0 for row 2i, 1 for row 2i+1
};

// Walks the W pixels of one row in coding order. Px::pixel(cx, value) codes
// the value (encoder) or returns the decoded one (decoder). With kTP, blocks
// marked in work take their marked colour without coding; with kDP the
// tables decide which pixels are coded, and row 2i leaves D in work.
template <class Px, bool kTP, bool kDP>
void diffRowWalk(Px &px, const DiffRow &r) {
    const uint32_t W = r.width;
    const uint8_t *h2 = r.above2, *h1 = r.above;
    uint8_t *h0 = r.row;
    uint32_t g2 = h2[0], g1 = h1[0], g0 = h0[0];
    uint32_t rl = r.low[0], rn = r.lowNext[0], ru = kDP ? r.lowUp[0] : 0;
    uint32_t hist = 0;
    const uint32_t rowBit = r.second << 11;
    const uint8_t *dp0 = dpTable[0], *dp1 = dpTable[1], *dp2 = dpTable[2], *dp3 = dpTable[3];
    for (uint32_t u = 0, units = (W + 15) >> 4; u < units; u++) {
        // High rows: bytes 2u-1 .. 2u+2, column 16u+q at bit 23-q.
        g2 = (g2 << 16) | uint32_t(h2[2 * u + 1]) << 8 | h2[2 * u + 2];
        g1 = (g1 << 16) | uint32_t(h1[2 * u + 1]) << 8 | h1[2 * u + 2];
        if (Px::kEncoder) g0 = (g0 << 16) | uint32_t(h0[2 * u + 1]) << 8 | h0[2 * u + 2];
        // Low rows: bytes u-1 .. u+1, column 8u+t at bit 15-t.
        rl = (rl << 8) | r.low[u + 1];
        rn = (rn << 8) | r.lowNext[u + 1];
        if (kDP) ru = (ru << 8) | r.lowUp[u + 1];
        const uint32_t n = W - 16 * u < 16 ? W - 16 * u : 16;
        if (kTP && n == 16) {
            // Eight blocks predicted alike: the unit needs no pixel at all.
            uint64_t m0, m1;
            std::memcpy(&m0, r.work + 8 * u, 8);
            std::memcpy(&m1, r.work + 8 * u + 4, 8);
            if (m0 == m1 && (m0 == kWhiteUnit || m0 == kBlackUnit)) {
                uint32_t colour = m0 == kBlackUnit ? 0xFFFF : 0;
                hist = colour & 3;
                if (!Px::kEncoder) {
                    h0[2 * u] = h0[2 * u + 1] = static_cast<uint8_t>(colour);
                }
                continue;
            }
        }
        uint32_t out = 0;
        // Codes (or decodes) pixel q of the unit, column c of block t, unless
        // a prediction v of 0 or 1 stands for it.
        auto pixel = [&](auto column, uint32_t q, uint32_t t, uint32_t v) {
            constexpr uint32_t c = decltype(column)::value;
            uint32_t pix = v;
            if (v == 2) {
                uint32_t cx = (hist & 3) | ((g1 >> (22 - q)) & 7) << 2 | ((g2 >> (23 - q)) & 1) << 5 |
                              ((rl >> (15 - t - c)) & 3) << 6 | ((rn >> (15 - t - c)) & 3) << 8 | c << 10 | rowBit;
                pix = px.pixel(cx, Px::kEncoder ? (g0 >> (23 - q)) & 1 : 0);
            }
            hist = (hist << 1) | pix;
            if (!Px::kEncoder) out = (out << 1) | pix;
            return pix;
        };
        for (uint32_t t = 0, q = 0; q < n; t++, q += 2) {
            const uint32_t j = 8 * u + t;
            const bool pairOfColumns = q + 1 < n;
            if (kTP && r.work[j] > kNotTypical) {
                uint32_t bits = (r.work[j] & 1) ? 3 : 0, k = pairOfColumns ? 2 : 1;
                hist = (hist << k) | (bits >> (2 - k));
                if (!Px::kEncoder) out = (out << k) | (bits >> (2 - k));
                continue;
            }
            uint32_t v0 = 2, v1 = 2, d = 0;
            if (kDP) {
                if (!r.second) {
                    d = ((ru >> (15 - t)) & 3) << 8 | ((rl >> (15 - t)) & 3) << 6 | ((g1 >> (22 - q)) & 7) << 3 |
                        (hist & 1) << 2;
                    v0 = dp0[d >> 2];
                } else {
                    d = (uint32_t(r.work[j]) << 1) | (hist & 1);
                    v0 = dp2[d];
                }
            }
            uint32_t p0 = pixel(std::integral_constant<uint32_t, 0>{}, q, t, v0);
            if (!pairOfColumns) {
                // A one-column block at an odd right edge: its missing pixel is 0.
                if (kDP && !r.second) r.work[j] = static_cast<uint16_t>(d | p0 << 1);
                break;
            }
            if (kDP) v1 = !r.second ? dp1[(d >> 1) | p0] : dp3[(d << 1) | p0];
            uint32_t p1 = pixel(std::integral_constant<uint32_t, 1>{}, q + 1, t, v1);
            if (kDP && !r.second) r.work[j] = static_cast<uint16_t>(d | p0 << 1 | p1);
        }
        if (!Px::kEncoder) {
            out <<= 16 - n;
            h0[2 * u] = static_cast<uint8_t>(out >> 8);
            h0[2 * u + 1] = static_cast<uint8_t>(out);
        }
    }
}
