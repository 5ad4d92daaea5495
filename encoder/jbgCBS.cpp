// Differential layers: the layer driver of the encoder.
#include "jbgCBS.h"

#include "../frame/jbgBIH.h"
#include "../frame/jbgPat.h"
#include "jbgCAt.h"
#include "jbgCQM.h"

int32_t diffLayerEncode(JbigContext *ctx) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    const uint32_t opts = ctx->bih.options;
    low = JbigLayerImage{};
    layerImageSetup(&low, (cur.width + 1) >> 1, (cur.height + 1) >> 1);
    low.stripeRows = cur.stripeRows >> 1;
    low.layer = cur.layer - 1;
    low.plane = cur.plane;
    if (!layerImageAlloc(&low)) return -1;
    low.lines[2] = low.rows[low.blankRow];
    cur.stripe = 0;
    cur.row = 0;
    cur.lines[4] = cur.lines[5] = cur.rows[cur.blankRow];
    ctx->at = AtPosition{0, 0};
    const DiffStripeFn coder = diffStripeFor<EncCoder>(opts);
    if ((opts & (kTPDON | kDPON)) && !diffWorkAlloc(ctx, low.width)) {
        layerImageFree(&low);
        return -1;
    }
    if (!atPlannerAlloc(ctx, cur.width)) {
        diffWorkFree(ctx);
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
        if (s > 0 && ctx->enc.sdrst) {
            // As the decoder takes a stripe after SDRST: white rows above,
            // in both layers, and the AT pixel in its place.
            cur.lines[2] = cur.lines[3] = cur.rows[cur.blankRow];
            low.lines[1] = low.rows[low.blankRow];
            ctx->at = AtPosition{0, 0};
        }
        atPlanStripe(ctx, done, lines, false);
        atWriteMoves(ctx);
        coder(ctx, lines, last ? 1 : 0);
        bool failed = qmEncFlush(ctx) != 0;
        if (failed) status = -1;
        if (!failed || last) {
            uint32_t end = qmEncTell(ctx);
            uint32_t *e = stripeEntry(ctx, cur.plane, cur.layer, s);
            e[0] = start;
            e[1] = end - start;
            start = end;
        }
        if (failed) break;
        done += lines;
    }
    layerImageFree(&cur);
    cur = low;
    atPlannerFree(ctx);
    if (diffWorkFree(ctx) != 0) status = -1;
    return status;
}
