// QM decoder: start of a stripe, and the byte input of one stripe data
// entity with stuffing removed and marker segments acted on. Reads never
// pass the stripe's recorded length or the end of the data.
#include "jbgDQM.h"

#include <algorithm>

void qmDecInit(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    uint32_t s = img.stripe;
    const uint32_t *e = stripeEntry(ctx, img.layer, s);
    uint32_t offset = e[0], length = e[1];
    uint32_t end = ctxDataEnd(ctx);
    ctx->sdeEnd = 0;
    // Seeking before every stripe is always right: the table holds absolute
    // positions.
    streamSeek(&ctx->stream, offset, 0);
    if (length == 0xFFFFFFFFu) length = offset < end ? end - offset : 0;
    ctx->sdeLength = offset < end ? std::min(length, end - offset) : 0;
    // Counted as far as the data reaches and saturated: hostile lengths
    // must not add up to the failure value -1.
    ctx->byteCount = static_cast<uint32_t>(std::min<uint64_t>(uint64_t(ctx->byteCount) + ctx->sdeLength, 0x7FFFFFFF));
    ctx->sdeRead = 0;
    ctx->stream.bufFill = 0;
    ctx->stream.bufPos = 0;
    if (s == 0) {
        std::memset(ctx->qmStates, 0, sizeof ctx->qmStates);
        ctx->markerBudget = end > ctx->dataOffset ? end - ctx->dataOffset : 0;
    } else {
        ctx->tpReset = ctx->sdrstSeen;
        if (ctx->sdrstSeen) std::memset(ctx->qmStates, 0, sizeof ctx->qmStates);
    }
    uint32_t b1 = qmDecByteIn(ctx);
    uint32_t b2 = qmDecByteIn(ctx);
    uint32_t b3 = qmDecByteIn(ctx);
    ctx->qmC = (b1 << 24) | (b2 << 16) | (b3 << 8);
    ctx->qmCT = 8;
    ctx->qmA = 0x10000;
    img.stripe = s + 1;
}

uint32_t qmDecode(JbigContext *ctx, uint32_t cx) {
    QmDecoder q(ctx);
    uint32_t d = q.decode(cx & 0xFFF);
    q.store();
    return d;
}

// Refills the buffer from the stripe's remaining bytes; false at its end.
static bool rawRefill(JbigContext *ctx) {
    JbigStream &s = ctx->stream;
    if (ctx->sdeRead >= ctx->sdeLength) {
        ctx->sdeEnd = 1;
        return false;
    }
    uint32_t n = std::min(ctx->sdeLength - ctx->sdeRead, kIoBufferSize);
    int32_t got = streamRead(&s, s.ioBuffer, n);
    if (got < 1) {
        ctx->sdeEnd = 1;
        return false;
    }
    s.bufFill = static_cast<uint32_t>(got);
    s.bufPos = 0;
    // A short read ends the stripe after the bytes that did arrive.
    ctx->sdeRead = static_cast<uint32_t>(got) < n ? ctx->sdeLength : ctx->sdeRead + n;
    return true;
}

uint32_t qmDecRawByte(JbigContext *ctx) {
    JbigStream &s = ctx->stream;
    if (s.bufPos == s.bufFill && !rawRefill(ctx)) return 0;
    return s.ioBuffer[s.bufPos++];
}

uint32_t qmDecReadU32(JbigContext *ctx) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v = (v << 8) | qmDecRawByte(ctx);
    return v;
}

static void rawSkip(JbigContext *ctx, uint32_t n) {
    JbigStream &s = ctx->stream;
    while (n > 0) {
        if (s.bufPos == s.bufFill && !rawRefill(ctx)) return;
        uint32_t k = std::min(n, s.bufFill - s.bufPos);
        s.bufPos += k;
        n -= k;
    }
}

// Marker segments are skipped without decoding anything, so the stripes of
// a hostile index that all start at one long run of them would each walk
// it. The SDEs of one layer never overlap in a sound stream: their segments
// together are smaller than the data. Past that the stripe ends.
static bool spendMarkerBudget(JbigContext *ctx, uint64_t bytes) {
    if (bytes > ctx->markerBudget) {
        ctx->markerBudget = 0;
        ctx->sdeEnd = 1;
        return false;
    }
    ctx->markerBudget -= static_cast<uint32_t>(bytes);
    return true;
}

uint32_t qmDecByteInSlow(JbigContext *ctx) {
    if (ctx->sdeEnd) return 0;
    uint32_t b = qmDecRawByte(ctx);
    if (b < 0xFF) return b;
    for (;;) {
        uint32_t m = qmDecRawByte(ctx);
        switch (m) {
        case 0x00:
            return 0xFF;
        case 0x02:
            ctx->sdrstSeen = 0;
            ctx->sdeEnd = 1;
            return 0;
        case 0x03:
            ctx->sdrstSeen = 1;
            ctx->sdeEnd = 1;
            return 0;
        case 0x01:
        case 0x04:
        case 0x05:
            ctx->sdeEnd = 1;
            return 0;
        case 0x06:
            // The AT pixel stays where it is: the parameters are skipped.
            if (!spendMarkerBudget(ctx, 8)) return 0;
            rawSkip(ctx, 6);
            break;
        case 0x07: {
            uint32_t length = qmDecReadU32(ctx);
            if (!spendMarkerBudget(ctx, 6 + uint64_t(length))) return 0;
            rawSkip(ctx, length);
            break;
        }
        default:
            return 0;
        }
        if (ctx->sdeEnd) return 0;
        b = qmDecRawByte(ctx);
        if (b < 0xFF) return b;
    }
}
