// Differential layers: the layer driver of the decoder.
#include "jbgDBS.h"

#include <algorithm>

#include "../frame/jbgBIH.h"
#include "../frame/jbgPat.h"
#include "jbgDQM.h"

int32_t diffLayerDecode(JbigContext *ctx) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    const JbigBih &b = ctx->bih;
    const uint32_t d = static_cast<uint32_t>(ctx->layerCursor);
    low = cur;
    cur = JbigLayerImage{};
    layerImageSetup(&cur, layerSize(b.XD, b.D, d), layerSize(b.YD, b.D, d));
    cur.unitCount = cur.width >> 4;
    cur.unitRest = cur.width & 15;
    cur.stripeRows = low.stripeRows << 1;
    cur.layer = d;
    cur.plane = ctx->dec.plane;
    low.row = 1;
    low.stripe = 0;
    // Without the lower layer nothing can be handed out any more: release it
    // on every failure so that the epilog finds only what it frees.
    if (!layerImageAlloc(&cur)) {
        layerImageFree(&low);
        return -1;
    }
    cur.lines[2] = cur.lines[3] = cur.rows[cur.blankRow];
    low.lines[1] = low.rows[low.blankRow];
    low.lines[2] = low.rows[0];
    // A layer of a later BIE has that BIE's options and DP table.
    const uint32_t options = ctx->dec.layerOptions[d];
    std::copy(ctx->dec.layerDp[d], ctx->dec.layerDp[d] + 4, ctx->dp);
    if ((options & (kTPDON | kDPON)) && !diffWorkAlloc(ctx, low.width)) {
        layerImageFree(&low);
        layerImageFree(&cur);
        return -1;
    }
    ctx->at = AtPosition{0, 0};
    const DiffStripeFn decoder = diffStripeFor<DecCoder>(options);
    const uint32_t S = static_cast<uint32_t>(ctx->stripeCount);
    uint32_t done = 0;
    for (uint32_t s = 0; s < S; s++) {
        bool last = s + 1 == S;
        uint32_t lines = last ? cur.height - done : cur.stripeRows;
        done += lines;
        if (stripeAbsent(ctx, cur.plane, d, s)) {
            // Rows are white when made: only the windows move on.
            cur.stripe++;
            for (uint32_t p = 0; p < (lines + 1) / 2; p++) decNextPair(ctx);
            continue;
        }
        qmDecInit(ctx);
        if (s > 0 && ctx->dec.tpReset && (ctx->mode & kModeFull)) {
            // After SDRST the stripe sees white rows above it.
            cur.lines[2] = cur.lines[3] = cur.rows[cur.blankRow];
            low.lines[1] = low.rows[low.blankRow];
            ctx->at = AtPosition{0, 0};
        }
        decoder(ctx, lines, last ? 1 : 0);
    }
    layerImageFree(&low);
    int32_t result = static_cast<int32_t>(ctx->dec.layerBytes);
    if (diffWorkFree(ctx) != 0) result = -1;
    return result;
}
