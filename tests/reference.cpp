// A pixel-by-pixel encoder written straight from the definitions of the
// templates, the predictions and the reduction, for the word-at-a-time
// coders to be compared with.
#include "reference.h"

#include <algorithm>

#include "encoder/jbgCQM.h"
#include "frame/jbgDiff.h"

namespace {

void qmEncode(JbigContext *ctx, uint32_t v) {
    QmEncoder q(ctx);
    q.code(v >> 1, v & 1);
    q.store();
}

// Pixel of an image; outside reads 0, and a row just below an odd height
// repeats the last row (the one-row last pair).
int px(const Image &img, int64_t y, int64_t x) {
    if (y < 0 || x < 0 || x >= int64_t(img.width)) return 0;
    if (y >= int64_t(img.height)) y = img.height - 1;
    return img.get(uint32_t(x), uint32_t(y));
}

// Codes one stripe of a differential layer pixel by pixel, straight from
// the definitions of the template and of both predictions.
void refDiffStripe(JbigContext *ctx, const Image &hi, const Image &lo, uint32_t y0, uint32_t y1,
                   const RefOptions &o) {
    for (uint32_t y = y0; y < y1; y += 2) {
        const int64_t i = y / 2;
        const bool lastPair = y + 2 >= y1;
        auto L = [&](int64_t r, int64_t c) { return px(lo, (lastPair && r == i + 1) ? i : r, c); };
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
                        if (px(hi, 2 * i + r, 2 * int64_t(j) + c) != tp[j]) lntp = 1;
            }
            qmEncode(ctx, (0xC3F << 1) | lntp);
            if (lntp) tp.assign(lo.width, -1);
        }
        for (uint32_t r = 0; r < 2 && y + r < y1; r++) {
            const int64_t yy = y + r;
            for (uint32_t x = 0; x < hi.width; x++) {
                const int64_t j = x / 2, c = x & 1, J = j + c;
                if (tp[j] >= 0) continue;
                if (o.dpon) {
                    uint32_t D = px(hi, 2 * i, 2 * j + 1) | px(hi, 2 * i, 2 * j) << 1 | px(hi, 2 * i, 2 * j - 1) << 2 |
                                 px(hi, 2 * i - 1, 2 * j + 1) << 3 | px(hi, 2 * i - 1, 2 * j) << 4 |
                                 px(hi, 2 * i - 1, 2 * j - 1) << 5 | px(lo, i, j) << 6 | px(lo, i, j - 1) << 7 |
                                 px(lo, i - 1, j) << 8 | px(lo, i - 1, j - 1) << 9;
                    uint32_t a = px(hi, 2 * i + 1, 2 * j - 1), b = px(hi, 2 * i + 1, 2 * j);
                    uint32_t idx[4] = {D >> 2, D >> 1, D << 1 | a, D << 2 | a << 1 | b};
                    uint32_t phase = 2 * r + c;
                    if (dpTable[phase][idx[phase]] != 2) continue;
                }
                uint32_t cx = px(hi, yy, x - 1) | px(hi, yy, int64_t(x) - 2) << 1 | px(hi, yy - 1, x + 1) << 2 |
                              px(hi, yy - 1, x) << 3 | px(hi, yy - 1, int64_t(x) - 1) << 4 | px(hi, yy - 2, x) << 5 |
                              L(i, J) << 6 | L(i, J - 1) << 7 | L(i + 1, J) << 8 | L(i + 1, J - 1) << 9 |
                              uint32_t(c) << 10 | r << 11;
                qmEncode(ctx, cx << 1 | px(hi, yy, x));
            }
        }
    }
}

void refLowStripe(JbigContext *ctx, const Image &img, uint32_t y0, uint32_t y1, const RefOptions &o) {
    for (uint32_t y = y0; y < y1; y++) {
        if (o.tpbon) {
            uint32_t lntp = y == 0 ? std::any_of(img.row(0), img.row(0) + img.rowBytes(), [](uint8_t b) { return b; })
                                   : !std::equal(img.row(y), img.row(y) + img.rowBytes(), img.row(y - 1));
            qmEncode(ctx, (o.two ? 0x195 : 0x0E5) << 1 | (lntp == ctx->ltpPrev));
            ctx->ltpPrev = uint16_t(lntp);
            if (!lntp) continue;
        }
        for (int64_t x = 0; x < img.width; x++) {
            auto p = [&](int64_t dy, int64_t dx) { return uint32_t(y + dy < 0 ? 0 : px(img, y + dy, x + dx)); };
            uint32_t cx = o.two ? p(-1, -3) << 9 | p(-1, -2) << 8 | p(-1, -1) << 7 | p(-1, 0) << 6 | p(-1, 1) << 5 |
                                      p(-1, 2) << 4 | p(0, -4) << 3 | p(0, -3) << 2 | p(0, -2) << 1 | p(0, -1)
                                : p(-2, -1) << 9 | p(-2, 0) << 8 | p(-2, 1) << 7 | p(-1, -2) << 6 | p(-1, -1) << 5 |
                                      p(-1, 0) << 4 | p(-1, 1) << 3 | p(-1, 2) << 2 | p(0, -2) << 1 | p(0, -1);
            qmEncode(ctx, cx << 1 | p(0, 0));
        }
    }
}

}  // namespace

int resReduce(uint32_t n) { return resReduceTable[n]; }

Image refReduce(const Image &hi) {
    Image lo((hi.width + 1) / 2, (hi.height + 1) / 2);
    for (uint32_t i = 0; i < lo.height; i++)
        for (uint32_t j = 0; j < lo.width; j++) {
            uint32_t n = px(lo, int64_t(i) - 1, int64_t(j) - 1) << 11 | px(lo, int64_t(i) - 1, j) << 10 |
                         px(lo, i, int64_t(j) - 1) << 9;
            int bit = 8;
            for (int dr = -1; dr <= 1; dr++)
                for (int dc = -1; dc <= 1; dc++) n |= px(hi, 2 * int64_t(i) + dr, 2 * int64_t(j) + dc) << bit--;
            lo.set(j, i, resReduce(n));
        }
    return lo;
}

std::vector<Bytes> referenceSdes(const Image &img, const RefOptions &o, const std::set<uint32_t> &resets) {
    std::vector<Image> layers(o.D + 1);
    layers[o.D] = img;
    for (uint32_t d = o.D; d > 0; d--) layers[d - 1] = refReduce(layers[d]);
    JbigContext *ctx = ctxCreate(nullptr, kModeEncoder | kFlagMemory);
    ctx->stream.streamFlags |= kStreamMemory;
    streamOpenWrite(&ctx->stream);
    std::vector<Bytes> sdes;
    uint64_t S = (img.height + (uint64_t(o.L0) << o.D) - 1) / (uint64_t(o.L0) << o.D);
    for (int32_t d = int32_t(o.D); d >= 0; d--) {
        const Image &cur = layers[d];
        uint32_t rows = o.L0 << d;
        ctx->cur.stripe = 0;
        ctx->ltpPrev = 1;
        for (uint32_t s = 0; s < S; s++) {
            qmEncInit(ctx);
            uint32_t y0 = s * rows, y1 = s + 1 == S ? cur.height : std::min<uint32_t>(cur.height, y0 + rows);
            if (d > 0)
                refDiffStripe(ctx, cur, layers[d - 1], y0, y1, o);
            else
                refLowStripe(ctx, cur, y0, y1, o);
            uint32_t start = ctx->enc.written;
            qmEncFlush(ctx);
            qmEncWriteRest(ctx);
            sdes.emplace_back(ctx->stream.memPtr + start, ctx->stream.memPtr + ctx->stream.memLength);
            if (d == 0 && resets.count(s)) {
                // As another encoder would: SDRST, then fresh states and the
                // line above taken as not typical.
                sdes.back().back() = 0x03;
                ctx->cur.stripe = 0;
                ctx->ltpPrev = 1;
            }
        }
    }
    HeapFree(GetProcessHeap(), 0, ctx->stream.memPtr);
    ctxDestroy(ctx);
    return sdes;
}
