// Encoder internals shared by the encoder modules.
#pragma once

#include "../frame/jbgDiffWalk.h"
#include "jbgCQM.h"

int32_t lowLayerEncode(JbigContext *ctx);
int32_t diffLayerEncode(JbigContext *ctx);
// Makes the encoder's full-resolution raster if there is none; false when
// it cannot be allocated.
bool encMakeRaster(JbigContext *ctx);
// AT moves under the whole standard: the planner's rows for layers of
// `width` pixels (nothing when the AT pixel cannot move), the moves of a
// stripe of `lines` rows from row `top` into ctx->atMoves, their ATMOVE
// segments at the start of the stripe's data.
bool atPlannerAlloc(JbigContext *ctx, uint32_t width);
void atPlannerFree(JbigContext *ctx);
void atPlanStripe(JbigContext *ctx, uint32_t top, uint32_t lines, bool lowest);
void atWriteMoves(JbigContext *ctx);
void spoolFree(JbigContext *ctx);
// Resolution reduction: moves the windows of cur and low down by one line
// pair and, unless it is the final pair of the layer, computes the next
// half-resolution row.
void reduceNextRow(JbigContext *ctx, uint32_t finalPair);

// The encoding direction of the row walks: the rows hold the pixels.
struct EncCoder : QmEncoder {
    static constexpr bool kEncoder = true;
    using QmEncoder::QmEncoder;

    ZJ_INLINE uint32_t pixel(uint32_t cx, uint32_t value) {
        code(cx, value);
        return value;
    }
    ZJ_INLINE uint32_t typicalLine(uint32_t cx, uint8_t *row, const uint8_t *above, uint32_t bytes, uint32_t ltp) {
        const uint32_t lntp = std::memcmp(row, above, bytes) != 0;
        code(cx, lntp == ltp);
        return lntp;
    }
    ZJ_INLINE void nextPair(JbigContext *c, uint32_t finalPair) { reduceNextRow(c, finalPair); }
    ZJ_INLINE uint32_t pairNotTypical(uint16_t *work, const uint8_t *lp, const uint8_t *la, const uint8_t *lb, uint32_t blocks,
                            const uint8_t *hA, const uint8_t *hB) {
        const uint32_t lntp = diffMarkBlocks<true>(work, lp, la, lb, blocks, hA, hB);
        code(kLntpContext, lntp);
        return lntp;
    }
};
// libjbig: stripes ending with SDRST, AT moves at stripe starts only
// (before the first jbigEncode call).
constexpr uint32_t kEncSdrst = 1, kEncAtStripeStart = 2, kEncAtLowestOnly = 4;
int32_t encStripeOptions(JbigHandle handle, uint32_t flags);
// libjbig: a caller's deterministic-prediction tables (before the first jbigEncode call).
int32_t encUseDpTables(JbigHandle handle, const uint8_t *const tables[4]);
