// Resolution reduction, one half-resolution row ahead of the coding.
#include "jbgCDiff.h"

#include "../frame/jbgDiff.h"

namespace {

// Computes half-resolution row k from high rows U = 2k-1, A = 2k, B = 2k+1
// and the half-resolution row above P, eight output pixels per step.
//
// The index of L(k, j), the pixel made, and the pixels it is made from:
//
//   L:   j-1   j          H:    2j-1 2j  2j+1
//   k-1: 11   10          2k-1:   8   7   6
//   k  :  9    *          2k  :   5   4   3
//                         2k+1:   2   1   0
//
// Registers for output byte m (pixels j = 8m .. 8m+7): hu, ha, hb hold
// bytes 2m-1 .. 2m+1 of U, A and B, column 16m+c at bit 15-c, so the three
// columns 2j-1 .. 2j+1 of pixel t are (h >> (14-2t)) & 7; p holds bytes m-1
// and m of P, column 8m+t at bit 7-t; prev is the pixel made just before.
void reduceRow(const uint8_t *U, const uint8_t *A, const uint8_t *B, const uint8_t *P, uint8_t *out, uint32_t width) {
    const uint32_t bytes = (width + 7) >> 3;
    uint32_t hu = 0, ha = 0, hb = 0, p = 0, prev = 0;
    for (uint32_t m = 0; m < bytes; m++) {
        hu = (hu << 16) | uint32_t(U[2 * m]) << 8 | U[2 * m + 1];
        ha = (ha << 16) | uint32_t(A[2 * m]) << 8 | A[2 * m + 1];
        hb = (hb << 16) | uint32_t(B[2 * m]) << 8 | B[2 * m + 1];
        p = (p << 8) | P[m];
        if (((hu | ha | hb) & 0x1FFFF) == 0 && (p & 0x1FF) == 0) {
            // Entries 0x000 and 0x200 are both white.
            out[m] = 0;
            prev = 0;
            continue;
        }
        uint32_t byte = 0;
        for (int t = 0; t < 8; t++) {
            int s = 14 - 2 * t;
            uint32_t idx = ((p >> (7 - t)) & 3) << 10 | prev << 9 | ((hu >> s) & 7) << 6 | ((ha >> s) & 7) << 3 |
                           ((hb >> s) & 7);
            prev = zjResReduceTable[idx];
            byte = (byte << 1) | prev;
        }
        out[m] = static_cast<uint8_t>(byte);
    }
    if (width & 7) out[bytes - 1] &= static_cast<uint8_t>(0xFF << (8 - (width & 7)));
}

}  // namespace

void reduceNextRow(JbigContext *ctx, uint32_t finalPair) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    cur.lines[0] = cur.lines[2];
    cur.lines[1] = cur.lines[3];
    cur.lines[2] = cur.lines[4];
    cur.lines[3] = cur.lines[5];
    low.lines[0] = low.lines[1];
    low.lines[1] = low.lines[2];
    if (finalPair) return;
    // After SDRST the first row of a stripe is made with white above it,
    // as the rows of the stripe before are out of the coders' sight.
    const bool fresh = ctx->enc.sdrst && low.row > 0 && low.row % low.stripeRows == 0;
    const uint8_t *white = low.rows[low.blankRow];
    low.lines[2] = low.rows[low.row++];
    cur.lines[4] = cur.rows[cur.row++];
    if (cur.row == cur.height)
        cur.lines[5] = cur.lines[4];
    else
        cur.lines[5] = cur.rows[cur.row++];
    reduceRow(fresh ? cur.rows[cur.blankRow] : cur.lines[3], cur.lines[4], cur.lines[5], fresh ? white : low.lines[1],
              low.lines[2], low.width);
}
