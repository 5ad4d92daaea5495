// Line-pair decoders of the differential layers.
#pragma once

#include "../encoder/jbgCDiff.h"
#include "jbgDQM.h"

struct DecPx {
    static constexpr bool kEncoder = false;
    QmDecoder q;
    ZJ_INLINE uint32_t pixel(uint32_t cx, uint32_t) { return q.decode(cx); }
};

// Decodes one line pair into the next rows of cur; with kTP the pair is
// typical (its LNTP bit was 0).
template <bool kTP, bool kDP>
void diffPairDecode(DecPx &px, JbigContext *ctx, uint32_t singleRow, uint32_t lastPairOfStripe);
