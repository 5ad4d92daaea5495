// The AT planner: where the adaptive-template pixel moves, stripe by
// stripe, under the whole standard, and the ATMOVE segments that say so.
#include "jbgCAt.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../frame/jbgBIH.h"
#include "../frame/jbgLowWalk.h"
#include "../frame/jbgMarker.h"
#include "../frame/jbgPort.h"
#include "jbgCQM.h"

// Where the AT pixel goes is decided per stripe, before the stripe is coded,
// from its own rows (the image is in memory; nothing is coded twice). The
// rows are taken in chunks, and a chunk moves the AT pixel where a place
// clearly predicts better than the current one. Candidates are tx columns
// to the left on the same row, from right of the row's own template pixels
// (x-1 .. x-4 of the two-line template, x-1, x-2 of the others), which the
// AT pixel would only repeat, up to MX; and the default place.
//
// How well a place predicts is the cost of the chunk's pixels coded from it
// and the left neighbour alone: the entropy of the pixel within the four
// cells (left neighbour, AT pixel), in bits. That needs four counts per
// candidate, so all candidates are first ranked by a cheaper count on every
// other row: how often the place agrees with the pixel where the pixel
// differs from its left neighbour (where the near template pixels predict
// worst). The best two of them, the current place and the default place go
// on to the cost.
//
// Counting is done 64 pixels at a time: a row is held as 64-bit words,
// pixel x at bit 63 - x % 64 of word x / 64, and "pixel x - tx" is the row
// shifted right by tx bits:
//
//   word k of the row:       [ x = 64k ........................ 64k+63 ]
//   shifted right by tx:     [ x = 64k-tx ..................... 64k+63-tx ]
//   left neighbour:  l = row >> 1; changes: t = row ^ l
//   agreement of tx: popcount(~(row ^ (row >> tx)) & t)

namespace {

constexpr uint32_t kPadWords = 2;  // white in front: columns down to -128

// Row `row` of `width` pixels into words w[kPadWords ..], white around it.
void rowWords(const uint8_t *row, uint32_t width, uint64_t *w, uint32_t words) {
    const uint32_t bytes = (width + 7) >> 3, whole = bytes >> 3;
    for (uint32_t k = 0; k < whole; k++) {
        uint64_t v;
        std::memcpy(&v, row + 8 * k, 8);
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        v = __builtin_bswap64(v);
#elif !defined(__GNUC__)
        const uint8_t *b = row + 8 * k;
        v = 0;
        for (uint32_t i = 0; i < 8; i++) v = v << 8 | b[i];
#endif
        w[kPadWords + k] = v;
    }
    if (whole < words) {
        uint64_t v = 0;
        for (uint32_t i = 0; i < 8; i++) v = v << 8 | (8 * whole + i < bytes ? row[8 * whole + i] : 0);
        w[kPadWords + whole] = v;
    }
    if (width & 63) w[kPadWords + words - 1] &= ~uint64_t(0) << (64 - (width & 63));
}

// Word k of the row shifted right by n bits (0 <= n < 128).
ZJ_INLINE uint64_t shifted(const uint64_t *w, uint32_t k, uint32_t n) {
    const uint64_t *p = w + kPadWords + k - (n >> 6);
    n &= 63;
    return n ? (p[0] >> n) | (p[-1] << (64 - n)) : p[0];
}

// Set bits of a word: the processor's count (kHw), or halving sums.
template <bool kHw>
ZJ_INLINE uint32_t popcount(uint64_t v) {
#if defined(__GNUC__)
    if (kHw) return uint32_t(__builtin_popcountll(v));
#endif
    v = v - ((v >> 1) & 0x5555555555555555ull);
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return uint32_t((v * 0x0101010101010101ull) >> 56);
}

// Bits to code n pixels of which `ones` are 1, with their frequency known.
double cellBits(uint64_t n, uint64_t ones) {
    if (ones == 0 || ones == n) return 0;
    const double p = double(ones) / double(n);
    return -double(n) * (p * std::log2(p) + (1 - p) * std::log2(1 - p));
}

// Counts of one candidate place over a chunk: pixels and ones with the left
// neighbour 0 and 1 and the candidate 1.
struct PlaceCounts {
    uint64_t a[2], ap[2];
};

// The rows of one layer as the planner sees them: the row being looked at
// and the one above, as 64-bit words.
struct AtRows {
    const JbigLayerImage &img;
    uint32_t words;
    uint64_t lastMask;  // the pixels of the last word
    uint64_t *cur, *up;
    uint32_t first, mx;  // the candidate columns
    bool lowest, tpbon;

    // Loads row y and, if asked, the one above; false for a line TPBON
    // leaves uncoded.
    ZJ_INLINE bool load(uint32_t y, bool withAbove) const {
        const uint8_t *above = rowAbove(img, y, 1);
        if (tpbon && std::memcmp(img.rows[y], above, (img.width + 7) >> 3) == 0) return false;
        rowWords(img.rows[y], img.width, cur, words);
        if (withAbove) rowWords(above, img.width, up, words);
        return true;
    }
    // The AT pixels of word k at place tx (0: the default place).
    ZJ_INLINE uint64_t place(uint32_t k, uint32_t tx) const {
        if (tx) return shifted(cur, k, tx);
        return lowest ? up[kPadWords + k] << 2 | up[kPadWords + k + 1] >> 62 : shifted(up, k, 1);
    }
};

// The ranking pass over every other row of the chunk y0 .. y1: the two
// candidate columns that agree most often with the pixel where it differs
// from its left neighbour.
template <bool kHw>
ZJ_INLINE void atRank(const AtRows &r, uint32_t y0, uint32_t y1, uint32_t rank[2]) {
    uint32_t agree[128];
    std::fill(agree, agree + 128, 0);
    for (uint32_t y = y0; y < y1; y += 2) {
        if (!r.load(y, false)) continue;
        for (uint32_t k = 0; k < r.words; k++) {
            const uint64_t w = r.cur[kPadWords + k], change = w ^ shifted(r.cur, k, 1);
            if (change == 0) continue;
            for (uint32_t tx = r.first; tx <= r.mx; tx++) agree[tx] += popcount<kHw>(~(w ^ shifted(r.cur, k, tx)) & change);
        }
    }
    rank[0] = rank[1] = r.first;
    for (uint32_t tx = r.first; tx <= r.mx; tx++) {
        if (agree[tx] > agree[rank[0]]) {
            rank[1] = rank[0];
            rank[0] = tx;
        } else if (tx != rank[0] && agree[tx] > agree[rank[1]]) {
            rank[1] = tx;
        }
    }
}

// The costing pass over every row of the chunk: the bits of its pixels
// coded from each of the four places and the left neighbour alone. The
// current place (places[1]) is often the default one: counted once then.
template <bool kHw>
ZJ_INLINE void atCost(const AtRows &r, uint32_t y0, uint32_t y1, const uint32_t places[4], double bits[4]) {
    const bool sameAsDefault = places[1] == 0;
    PlaceCounts counts[4] = {};
    uint64_t n[2] = {}, ones[2] = {};
    for (uint32_t y = y0; y < y1; y++) {
        if (!r.load(y, true)) continue;
        for (uint32_t k = 0; k < r.words; k++) {
            const uint64_t valid = k + 1 == r.words ? r.lastMask : ~uint64_t(0);
            // White here and up to 128 columns left, and above: every
            // place reads 0 and so does the pixel.
            const uint64_t *c = r.cur + kPadWords + k, *u = r.up + kPadWords + k;
            if ((c[0] | c[-1] | c[-2] | u[-1] | u[0] | u[1]) == 0) {
                n[0] += popcount<kHw>(valid);
                continue;
            }
            const uint64_t w = r.cur[kPadWords + k], l = shifted(r.cur, k, 1);
            const uint64_t side[2] = {~l & valid, l & valid};
            for (int s = 0; s < 2; s++) {
                n[s] += popcount<kHw>(side[s]);
                ones[s] += popcount<kHw>(side[s] & w);
            }
            for (int p = 0; p < 4; p++) {
                if (p == 1 && sameAsDefault) continue;
                const uint64_t a = r.place(k, places[p]);
                for (int s = 0; s < 2; s++) {
                    counts[p].a[s] += popcount<kHw>(side[s] & a);
                    counts[p].ap[s] += popcount<kHw>(side[s] & a & w);
                }
            }
        }
    }
    if (sameAsDefault) counts[1] = counts[0];
    for (int p = 0; p < 4; p++) {
        bits[p] = 0;
        for (int s = 0; s < 2; s++)
            bits[p] += cellBits(counts[p].a[s], counts[p].ap[s]) +
                       cellBits(n[s] - counts[p].a[s], ones[s] - counts[p].ap[s]);
    }
}

// The bits of the lines y0 .. y1 of the lowest layer coded with the AT
// pixel at tx columns left (0: its default place), from the counts of
// every context of the whole template: the static cost the coder comes
// close to. The cell model above sees only the left neighbour, and a place
// next to the template's own pixels looks better to it than it codes; this
// checks a move before it is made.
double atTemplateBits(const JbigLayerImage &img, uint32_t y0, uint32_t y1, uint32_t tx, bool two, bool tpbon) {
    uint32_t counts[1024][2] = {};
    const int32_t W = int32_t(img.width);
    auto pix = [W](const uint8_t *r, int32_t x) -> uint32_t {
        return x >= 0 && x < W ? (r[x >> 3] >> (7 - (x & 7))) & 1u : 0u;
    };
    for (uint32_t y = y0; y < y1; y++) {
        const uint8_t *row = img.rows[y], *up1 = rowAbove(img, y, 1), *up2 = rowAbove(img, y, 2);
        if (tpbon && std::memcmp(row, up1, (img.width + 7) >> 3) == 0) continue;
        // w1: row y-1, columns x-3 .. x+2 at bits 5 .. 0; w2: row y-2,
        // x-1 .. x+1 at bits 2 .. 0; w0: row y, x-4 .. x-1 at bits 3 .. 0.
        uint32_t w1 = pix(up1, 0) << 1 | pix(up1, 1), w2 = pix(up2, 0), w0 = 0;
        for (int32_t x = 0; x < W; x++) {
            w1 = (w1 << 1 | pix(up1, x + 2)) & 0x3F;
            w2 = (w2 << 1 | pix(up2, x + 1)) & 7;
            const uint32_t a = tx ? pix(row, x - int32_t(tx)) : w1 & 1;
            const uint32_t cx = two ? (w1 >> 1) << 5 | a << 4 | w0 : w2 << 7 | ((w1 >> 1) & 0xF) << 3 | a << 2 | (w0 & 3);
            const uint32_t p = pix(row, x);
            counts[cx][p]++;
            w0 = (w0 << 1 | p) & 0xF;
        }
    }
    double bits = 0;
    for (const auto &c : counts) bits += cellBits(uint64_t(c[0]) + c[1], c[1]);
    return bits;
}

template <bool kHw>
ZJ_INLINE void atPlan(JbigContext *ctx, uint32_t top, uint32_t lines, bool lowest) {
    ctx->atMoveCount = 0;
    const JbigLayerImage &img = ctx->cur;
    const uint32_t mx = std::min<uint32_t>(ctx->bih.MX, 127);
    const uint32_t first = lowest && (ctx->bih.options & kLRLTWO) ? 5 : 3;
    if (mx < first || ctx->enc.atWords == nullptr || (!lowest && ctx->enc.atLowestOnly)) return;
    const uint32_t words = (img.width + 63) >> 6, stride = words + kPadWords + 1;
    const AtRows rows{img,   words, img.width & 63 ? ~uint64_t(0) << (64 - (img.width & 63)) : ~uint64_t(0),
                      ctx->enc.atWords, ctx->enc.atWords + stride, first, mx, lowest,
                      lowest && (ctx->bih.options & kTPBON)};
    const uint32_t chunk =
        ctx->enc.atStripeStart ? std::max<uint32_t>(lines, 1) : std::max<uint32_t>(32, (lines + kMaxAtMoves - 1) / kMaxAtMoves);
    const bool verify = lowest && ctx->enc.atVerify, two = (ctx->bih.options & kLRLTWO) != 0;
    AtPosition at = ctx->at;
    for (uint32_t c0 = 0; c0 < lines; c0 += chunk) {
        const uint32_t y0 = top + c0, y1 = top + std::min(lines, c0 + chunk);
        uint32_t rank[2];
        atRank<kHw>(rows, y0, y1, rank);
        const uint32_t places[4] = {0, at.tx, rank[0], rank[1]};
        double bits[4];
        atCost<kHw>(rows, y0, y1, places, bits);
        int best = 1;
        for (int c = 0; c < 4; c++)
            if (bits[c] < bits[best]) best = c;
        // Only a clear gain pays for the segment and the relearning of the
        // probabilities; small ones are mostly the model's error.
        uint32_t to = places[best] != at.tx && bits[best] < bits[1] * 0.85 - 256 ? places[best] : at.tx;
        if (verify && (to != at.tx || at.tx != 0)) {
            // Checked with the whole template, and a place away from the
            // default one on every chunk: back home when it no longer pays.
            const double here = atTemplateBits(img, y0, y1, at.tx, two, rows.tpbon);
            if (to != at.tx && !(atTemplateBits(img, y0, y1, to, two, rows.tpbon) < here * 0.9 - 64)) to = at.tx;
            if (to == at.tx && at.tx != 0 && atTemplateBits(img, y0, y1, 0, two, rows.tpbon) < here * 0.97 - 64) to = 0;
        }
        if (to != at.tx) {
            at = AtPosition{uint8_t(to), 0};
            ctx->atMoves[ctx->atMoveCount++] = JbigAtMove{c0, at.tx, 0};
        }
    }
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// The same with the processor's population count, for those that have it.
__attribute__((target("popcnt"))) void atPlanPopcnt(JbigContext *ctx, uint32_t top, uint32_t lines, bool lowest) {
    atPlan<true>(ctx, top, lines, lowest);
}
#define ZJ_HAVE_POPCNT_PLAN 1
#endif

void atPlanGeneric(JbigContext *ctx, uint32_t top, uint32_t lines, bool lowest) {
    atPlan<false>(ctx, top, lines, lowest);
}

}  // namespace

void atPlanStripe(JbigContext *ctx, uint32_t top, uint32_t lines, bool lowest) {
#if defined(ZJ_HAVE_POPCNT_PLAN)
    static const bool hasPopcnt = __builtin_cpu_supports("popcnt");
    if (hasPopcnt) return atPlanPopcnt(ctx, top, lines, lowest);
#endif
    atPlanGeneric(ctx, top, lines, lowest);
}

void atWriteMoves(JbigContext *ctx) {
    for (uint32_t i = 0; i < ctx->atMoveCount; i++) {
        const JbigAtMove &m = ctx->atMoves[i];
        const uint8_t seg[2 + kAtmoveParams] = {kEsc, kAtmove, uint8_t(m.row >> 24), uint8_t(m.row >> 16),
                                                uint8_t(m.row >> 8), uint8_t(m.row), m.tx, m.ty};
        for (uint8_t b : seg) qmEncPutByte(ctx, b);
    }
}

bool atPlannerAlloc(JbigContext *ctx, uint32_t width) {
    if (!(ctx->mode & kModeFull) || ctx->bih.MX == 0) return true;
    const uint32_t stride = ((width + 63) >> 6) + kPadWords + 1;
    ctx->enc.atWords = static_cast<uint64_t *>(localAllocLocked(2 * stride * sizeof(uint64_t), &ctx->enc.atWordsHandle));
    if (ctx->enc.atWords == nullptr) return false;
    // The white words in front of both rows and after them.
    std::memset(ctx->enc.atWords, 0, 2 * stride * sizeof(uint64_t));
    return true;
}

void atPlannerFree(JbigContext *ctx) {
    if (ctx->enc.atWordsHandle == nullptr) return;
    localFreeLocked(ctx->enc.atWordsHandle);
    ctx->enc.atWordsHandle = nullptr;
    ctx->enc.atWords = nullptr;
}

