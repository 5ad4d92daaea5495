// Differential layers: the layer driver and the stripe and line-pair coders.
#include "jbgCBase.h"
#include "jbgCDiff.h"
#include "jbgCQM.h"

namespace {

struct EncPx {
    static constexpr bool kEncoder = true;
    QmEncoder q;
    ZJ_INLINE uint32_t pixel(uint32_t cx, uint32_t value) {
        q.code(cx, value);
        return value;
    }
};

template <bool kTP, bool kDP>
void diffPairEncodeRows(EncPx &px, JbigContext *ctx, uint32_t singleRow, uint32_t lastPairOfStripe) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    DiffRow r{cur.lines[0], cur.lines[1],        cur.lines[2], low.lines[0], low.lines[1],
              lastPairOfStripe ? low.lines[1] : low.lines[2], ctx->diffWork, cur.width, 0};
    diffRowWalk<EncPx, kTP, kDP>(px, r);
    if (singleRow) return;
    r.above2 = cur.lines[1];
    r.above = cur.lines[2];
    r.row = cur.lines[3];
    r.second = 1;
    diffRowWalk<EncPx, kTP, kDP>(px, r);
}

// One stripe: line pair after line pair, the halving one row ahead.
template <bool kTPDON, bool kDPON>
void diffStripeEncode(JbigContext *ctx, uint32_t lineCount, uint32_t lastStripe) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    EncPx px{QmEncoder(ctx)};
    const uint32_t pairs = (lineCount + 1) / 2;
    for (uint32_t p = 0; p < pairs; p++) {
        bool last = p + 1 == pairs;
        // The registers live in px; the halving touches none of them.
        reduceNextRow(ctx, last ? lastStripe : 0);
        uint32_t singleRow = last && lastStripe ? (lineCount & 1) : 0;
        uint32_t edge = last ? 1 : 0;
        if (kTPDON) {
            uint32_t lntp = diffMarkBlocks<true>(ctx->diffWork, low.lines[0], low.lines[1],
                                                 edge ? low.lines[1] : low.lines[2], low.width, cur.lines[2],
                                                 cur.lines[3]);
            px.q.code(kLntpContext, lntp);
            if (lntp)
                diffPairEncodeRows<false, kDPON>(px, ctx, singleRow, edge);
            else
                diffPairEncodeRows<true, kDPON>(px, ctx, singleRow, edge);
        } else {
            diffPairEncodeRows<false, kDPON>(px, ctx, singleRow, edge);
        }
    }
    px.q.store();
}

}  // namespace

int32_t diffLayerEncode(JbigContext *ctx) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    const uint32_t opts = ctx->bih.options;
    const bool tpdon = opts & kTPDON, dpon = opts & kDPON;
    low = JbigLayerImage{};
    layerImageSetup(&low, (cur.width + 1) >> 1, (cur.height + 1) >> 1);
    low.stripeRows = cur.stripeRows >> 1;
    low.layer = cur.layer - 1;
    if (!layerImageAlloc(&low)) return -1;
    low.lines[2] = low.rows[low.blankRow];
    cur.stripe = 0;
    cur.row = 0;
    cur.lines[4] = cur.lines[5] = cur.rows[cur.blankRow];
    void (*coder)(JbigContext *, uint32_t, uint32_t);
    if (tpdon)
        coder = dpon ? diffStripeEncode<true, true> : diffStripeEncode<true, false>;
    else
        coder = dpon ? diffStripeEncode<false, true> : diffStripeEncode<false, false>;
    if ((tpdon || dpon) && !diffWorkAlloc(ctx, low.width)) {
        layerImageFree(&low);
        return -1;
    }
    reduceNextRow(ctx, 0);
    uint32_t start = qmEncTell(ctx), done = 0;
    int32_t status = 0;
    const uint32_t S = static_cast<uint32_t>(ctx->stripeCount);
    for (uint32_t s = 0; s < S; s++) {
        bool last = s + 1 == S;
        uint32_t lines = last ? cur.height - done : cur.stripeRows;
        qmEncInit(ctx);
        coder(ctx, lines, last ? 1 : 0);
        bool failed = qmEncFlush(ctx) != 0;
        if (failed) status = -1;
        if (!failed || last) {
            uint32_t end = qmEncTell(ctx);
            uint32_t *e = stripeEntry(ctx, cur.layer, s);
            e[0] = start;
            e[1] = end - start;
            start = end;
        }
        if (failed) break;
        done += lines;
    }
    layerImageFree(&cur);
    cur = low;
    if (diffWorkFree(ctx) != 0) status = -1;
    return status;
}
