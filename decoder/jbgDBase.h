// Decoder internals shared by the decoder modules.
#pragma once

#include "../frame/jbgDiffWalk.h"
#include "jbgDQM.h"

int32_t lowLayerDecode(JbigContext *ctx);
int32_t diffLayerDecode(JbigContext *ctx);
int32_t decodeNextLayer(JbigContext *ctx);
// Reads the header and the stripe table of a decoder whose stream is open
// for reading, and closes its file; false with the reason left. The header's
// YD goes to *announcedYD (may be null) before a NEWLEN changes it.
bool decReadStream(JbigContext *ctx, uint32_t *announcedYD);
// Releases a decoder: its rasters, the lock on its input, the context.
void decClose(JbigContext *ctx);

// Rows 2i and 2i+1 of a differential layer become current; the final pair
// of an odd layer has no second row (cur.lines[3] is then the white row,
// never written).
ZJ_INLINE void decNextPair(JbigContext *c) {
    JbigLayerImage &cur = c->cur, &low = c->low;
    low.lines[0] = low.lines[1];
    low.lines[1] = low.lines[2];
    low.lines[2] = low.rows[low.row++];
    cur.lines[0] = cur.lines[2];
    cur.lines[1] = cur.lines[3];
    cur.lines[2] = cur.rows[cur.row++];
    cur.lines[3] = cur.rows[cur.row];
    if (cur.row < cur.height) cur.row++;
}

// The decoding direction of the row walks: the rows receive the pixels.
struct DecCoder : QmDecoder {
    static constexpr bool kEncoder = false;
    using QmDecoder::QmDecoder;

    ZJ_INLINE uint32_t pixel(uint32_t cx, uint32_t) { return decode(cx); }
    ZJ_INLINE uint32_t typicalLine(uint32_t cx, uint8_t *row, const uint8_t *above, uint32_t bytes, uint32_t ltp) {
        const uint32_t lntp = decode(cx) == ltp;
        // A typical line is the one above, its zero byte included.
        if (!lntp) std::memcpy(row, above, bytes + 1);
        return lntp;
    }
    ZJ_INLINE void nextPair(JbigContext *c, uint32_t) { decNextPair(c); }
    ZJ_INLINE uint32_t pairNotTypical(uint16_t *work, const uint8_t *lp, const uint8_t *la, const uint8_t *lb, uint32_t blocks,
                            const uint8_t *, const uint8_t *) {
        const uint32_t lntp = decode(kLntpContext);
        if (!lntp) diffMarkBlocks<false>(work, lp, la, lb, blocks, nullptr, nullptr);
        return lntp;
    }
};
