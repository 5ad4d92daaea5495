// A pixel-by-pixel encoder written straight from the definitions of the
// templates, the predictions and the reduction, for the word-at-a-time
// coders to be compared with.
#include "reference.h"

#include <algorithm>

#include "encoder/jbgCQM.h"
#include "frame/jbgDiff.h"

namespace {

void qmEncode(JbigContext *ctx, uint32_t cx, uint32_t pix) {
    QmEncoder q(ctx);
    q.code(cx, pix);
    q.store();
}

// Pixel of an image; outside reads 0, so does a row above `top`, and a row
// just below an odd height repeats the last row (the one-row last pair).
int px(const Image &img, int64_t y, int64_t x, int64_t top = 0) {
    if (y < top || x < 0 || x >= int64_t(img.width)) return 0;
    if (y >= int64_t(img.height)) y = img.height - 1;
    return img.get(uint32_t(x), uint32_t(y));
}

// What a stripe codes from: the rows it sees above it start at `top` (and
// `lowTop` in the layer below), the AT pixel of each of its lines.
struct Stripe {
    int64_t top, lowTop;
    std::vector<AtPosition> at;
};

// Codes one stripe of a differential layer pixel by pixel, straight from
// the definitions of the template and of both predictions.
void refDiffStripe(JbigContext *ctx, const Image &hi, const Image &lo, uint32_t y0, uint32_t y1,
                   const RefOptions &o, const Stripe &st, const uint8_t *const *dp) {
    for (uint32_t y = y0; y < y1; y += 2) {
        const int64_t i = y / 2;
        const bool lastPair = y + 2 >= y1;
        auto H = [&](int64_t r, int64_t c) { return uint32_t(px(hi, r, c, st.top)); };
        auto L = [&](int64_t r, int64_t c) { return uint32_t(px(lo, (lastPair && r == i + 1) ? i : r, c, st.lowTop)); };
        std::vector<int> tp(lo.width, -1);
        if (o.tpdon) {
            uint32_t lntp = 0;
            for (uint32_t j = 0; j < lo.width; j++) {
                int sum = 0;
                for (int dr = -1; dr <= 1; dr++)
                    for (int dc = -1; dc <= 1; dc++) sum += L(i + dr, int64_t(j) + dc);
                if (sum != 0 && sum != 9) continue;
                tp[j] = sum ? 1 : 0;
                for (int r = 0; r < 2; r++)
                    for (int c = 0; c < 2; c++)
                        if (int(H(2 * i + r, 2 * int64_t(j) + c)) != tp[j]) lntp = 1;
            }
            qmEncode(ctx, 0xC3F, lntp);
            if (lntp) tp.assign(lo.width, -1);
        }
        for (uint32_t r = 0; r < 2 && y + r < y1; r++) {
            const int64_t yy = y + r;
            const AtPosition at = st.at[yy - y0];
            for (uint32_t x = 0; x < hi.width; x++) {
                const int64_t j = x / 2, c = x & 1, J = j + c;
                if (tp[j] >= 0) continue;
                if (o.dpon) {
                    uint32_t D = H(2 * i, 2 * j + 1) | H(2 * i, 2 * j) << 1 | H(2 * i, 2 * j - 1) << 2 |
                                 H(2 * i - 1, 2 * j + 1) << 3 | H(2 * i - 1, 2 * j) << 4 | H(2 * i - 1, 2 * j - 1) << 5 |
                                 L(i, j) << 6 | L(i, j - 1) << 7 | L(i - 1, j) << 8 | L(i - 1, j - 1) << 9;
                    uint32_t a = H(2 * i + 1, 2 * j - 1), b = H(2 * i + 1, 2 * j);
                    uint32_t idx[4] = {D >> 2, D >> 1, D << 1 | a, D << 2 | a << 1 | b};
                    uint32_t phase = 2 * r + uint32_t(c);
                    if (dp[phase][idx[phase]] != 2) continue;
                }
                const uint32_t atPixel = at.moved() ? H(yy - at.ty, int64_t(x) - at.tx) : H(yy - 1, int64_t(x) - 1);
                uint32_t cx = H(yy, int64_t(x) - 1) | H(yy, int64_t(x) - 2) << 1 | H(yy - 1, x + 1) << 2 |
                              H(yy - 1, x) << 3 | atPixel << 4 | H(yy - 2, x) << 5 | L(i, J) << 6 |
                              L(i, J - 1) << 7 | L(i + 1, J) << 8 | L(i + 1, J - 1) << 9 | uint32_t(c) << 10 | r << 11;
                qmEncode(ctx, cx, H(yy, x));
            }
        }
    }
}

void refLowStripe(JbigContext *ctx, const Image &img, uint32_t y0, uint32_t y1, const RefOptions &o,
                  const Stripe &st) {
    for (uint32_t y = y0; y < y1; y++) {
        auto p = [&](int64_t dy, int64_t dx, int64_t x) { return uint32_t(px(img, y + dy, x + dx, st.top)); };
        if (o.tpbon) {
            uint32_t lntp = 0;
            for (uint32_t x = 0; x < img.width; x++) lntp |= p(0, 0, x) != p(-1, 0, x);
            qmEncode(ctx, o.two ? 0x195 : 0x0E5, lntp == ctx->ltpPrev);
            ctx->ltpPrev = uint16_t(lntp);
            if (!lntp) continue;
        }
        const AtPosition at = st.at[y - y0];
        for (int64_t x = 0; x < img.width; x++) {
            auto q = [&](int64_t dy, int64_t dx) { return p(dy, dx, x); };
            const uint32_t a = at.moved() ? q(-int64_t(at.ty), -int64_t(at.tx)) : q(-1, 2);
            uint32_t cx = o.two ? q(-1, -3) << 9 | q(-1, -2) << 8 | q(-1, -1) << 7 | q(-1, 0) << 6 | q(-1, 1) << 5 |
                                      a << 4 | q(0, -4) << 3 | q(0, -3) << 2 | q(0, -2) << 1 | q(0, -1)
                                : q(-2, -1) << 9 | q(-2, 0) << 8 | q(-2, 1) << 7 | q(-1, -2) << 6 | q(-1, -1) << 5 |
                                      q(-1, 0) << 4 | q(-1, 1) << 3 | a << 2 | q(0, -2) << 1 | q(0, -1);
            qmEncode(ctx, cx, q(0, 0));
        }
    }
}

}  // namespace

Image refReduce(const Image &hi, uint32_t stripeRows, const std::set<uint32_t> &resets) {
    Image lo((hi.width + 1) / 2, (hi.height + 1) / 2);
    for (uint32_t i = 0; i < lo.height; i++) {
        // Where the stripe of row 2i starts after a reset, the rows above
        // it read white in the reduction as in the coding.
        const uint32_t s = stripeRows ? 2 * i / stripeRows : 0;
        const int64_t top = s > 0 && resets.count(s - 1) ? int64_t(s) * stripeRows : 0;
        for (uint32_t j = 0; j < lo.width; j++) {
            uint32_t n = px(lo, int64_t(i) - 1, int64_t(j) - 1, top / 2) << 11 | px(lo, int64_t(i) - 1, j, top / 2) << 10 |
                         px(lo, i, int64_t(j) - 1) << 9;
            int bit = 8;
            for (int dr = -1; dr <= 1; dr++)
                for (int dc = -1; dc <= 1; dc++) n |= px(hi, 2 * int64_t(i) + dr, 2 * int64_t(j) + dc, top) << bit--;
            lo.set(j, i, zjResReduceTable[n]);
        }
    }
    return lo;
}

std::vector<Bytes> referenceSdes(const Image &img, const RefOptions &o) {
    std::vector<Image> layers(o.D + 1);
    layers[o.D] = img;
    for (uint32_t d = o.D; d > 0; d--)
        layers[d - 1] = refReduce(layers[d], o.L0 << d, o.whiteAbove ? o.resets : std::set<uint32_t>{});
    JbigContext *ctx = ctxCreate(nullptr, kModeEncoder | kFlagMemory);
    ctx->stream.streamFlags |= kStreamMemory;
    streamOpenWrite(&ctx->stream);
    const uint8_t *const *dp = o.dp[0] ? o.dp : ctx->dp;
    std::vector<Bytes> sdes;
    uint64_t S = (img.height + (uint64_t(o.L0) << o.D) - 1) / (uint64_t(o.L0) << o.D);
    for (int32_t d = int32_t(o.D); d >= 0; d--) {
        const Image &cur = layers[d];
        uint32_t rows = o.L0 << d;
        ctx->cur.stripe = 0;
        ctx->ltpPrev = 1;
        Stripe st{0, 0, {}};
        AtPosition at{0, 0};
        for (uint32_t s = 0; s < S; s++) {
            qmEncInit(ctx);
            uint32_t y0 = s * rows, y1 = s + 1 == S ? cur.height : std::min<uint32_t>(cur.height, y0 + rows);
            Bytes head;
            st.at.clear();
            for (uint32_t y = y0; y < y1; y++) {
                for (const RefAtMove &m : o.moves)
                    if (m.layer == uint32_t(d) && m.stripe == s && m.row == y - y0) at = AtPosition{m.tx, m.ty};
                st.at.push_back(at);
            }
            for (const RefAtMove &m : o.moves)
                if (m.layer == uint32_t(d) && m.stripe == s)
                    head.insert(head.end(), {0xFF, 0x06, 0, 0, uint8_t(m.row >> 8), uint8_t(m.row), m.tx, m.ty});
            if (d > 0)
                refDiffStripe(ctx, cur, layers[d - 1], y0, y1, o, st, dp);
            else
                refLowStripe(ctx, cur, y0, y1, o, st);
            uint32_t start = ctx->enc.written;
            qmEncFlush(ctx);
            qmEncWriteRest(ctx);
            head.insert(head.end(), ctx->stream.memPtr + start, ctx->stream.memPtr + ctx->stream.memLength);
            sdes.push_back(head);
            if (o.resets.count(s)) {
                // As another encoder would: SDRST, then fresh states and the
                // line above taken as not typical.
                sdes.back().back() = 0x03;
                ctx->cur.stripe = 0;
                ctx->ltpPrev = 1;
                if (o.whiteAbove) {
                    st.top = y1;
                    st.lowTop = (y1 + 1) / 2;
                    at = AtPosition{0, 0};
                }
            }
        }
    }
    HeapFree(GetProcessHeap(), 0, ctx->stream.memPtr);
    ctxDestroy(ctx);
    return sdes;
}

uint8_t refOptionsByte(const RefOptions &o) {
    return uint8_t(o.two * 0x40 | 0x20 | o.tpdon * 0x10 | o.tpbon * 0x08 | o.dpon * 0x04);
}

Bytes referenceStream(const Image &img, const RefOptions &o, uint8_t mx, uint32_t yd,
                      const std::map<size_t, uint32_t> &newlen, uint8_t order) {
    Bytes s = jbigHeader(img.width, yd, o.L0, uint8_t(o.D), order, refOptionsByte(o));
    s[16] = mx;
    std::vector<Bytes> sdes = referenceSdes(img, o);
    for (size_t k = 0, S = sdes.size() / (o.D + 1); k < sdes.size(); k++) {
        const Bytes &e = order ? sdes[k] : sdes[(o.D - k / S) * S + k % S];
        s.insert(s.end(), e.begin(), e.end());
        if (auto n = newlen.find(k); n != newlen.end())
            s.insert(s.end(), {0xFF, 0x05, uint8_t(n->second >> 24), uint8_t(n->second >> 16), uint8_t(n->second >> 8),
                               uint8_t(n->second)});
    }
    return s;
}
