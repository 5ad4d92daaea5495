// Differential layers: the layer driver and the stripe loops of the decoder.
#include "jbgDBase.h"
#include "jbgDDiff.h"

namespace {

template <bool kTPDON, bool kDPON>
void diffStripeDecode(JbigContext *ctx, uint32_t n, uint32_t lastStripe) {
    DecPx px{QmDecoder(ctx)};
    const uint32_t pairs = (n + 1) / 2;
    for (uint32_t p = 0; p < pairs; p++) {
        bool last = p + 1 == pairs;
        uint32_t singleRow = last && lastStripe ? (n & 1) : 0;
        if (kTPDON && px.q.decode(kLntpContext) == 0)
            diffPairDecode<true, kDPON>(px, ctx, singleRow, last);
        else
            diffPairDecode<false, kDPON>(px, ctx, singleRow, last);
    }
    px.q.store();
}

}  // namespace

int32_t diffLayerDecode(JbigContext *ctx) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    const JbigBih &b = ctx->bih;
    const uint32_t d = static_cast<uint32_t>(ctx->layerCursor);
    const bool tpdon = b.options & kTPDON, dpon = b.options & kDPON;
    low = cur;
    cur = JbigLayerImage{};
    layerImageSetup(&cur, layerSize(b.XD, b.D, d), layerSize(b.YD, b.D, d));
    cur.unitCount = cur.width >> 4;
    cur.unitRest = cur.width & 15;
    cur.stripeRows = low.stripeRows << 1;
    cur.layer = d;
    low.row = 1;
    low.stripe = 0;
    // Without the lower layer nothing can be handed out any more: release it
    // on every failure so that the epilog finds only what it frees.
    if (!layerImageAlloc(&cur)) {
        layerImageFree(&low);
        return -1;
    }
    cur.lines[1] = cur.lines[2] = cur.rows[cur.blankRow];
    low.lines[1] = low.rows[low.blankRow];
    low.lines[2] = low.rows[0];
    if ((tpdon || dpon) && !diffWorkAlloc(ctx, low.width)) {
        layerImageFree(&low);
        layerImageFree(&cur);
        return -1;
    }
    void (*decoder)(JbigContext *, uint32_t, uint32_t);
    if (tpdon)
        decoder = dpon ? diffStripeDecode<true, true> : diffStripeDecode<true, false>;
    else
        decoder = dpon ? diffStripeDecode<false, true> : diffStripeDecode<false, false>;
    const uint32_t S = static_cast<uint32_t>(ctx->stripeCount);
    uint32_t done = 0;
    for (uint32_t s = 0; s < S; s++) {
        bool last = s + 1 == S;
        uint32_t lines = last ? cur.height - done : cur.stripeRows;
        qmDecInit(ctx);
        decoder(ctx, lines, last ? 1 : 0);
        done += lines;
    }
    layerImageFree(&low);
    int32_t result = static_cast<int32_t>(ctx->byteCount);
    if (diffWorkFree(ctx) != 0) result = -1;
    return result;
}
