// QM decoder: start of a stripe, and the byte input of one stripe data
// entity with stuffing removed and marker segments acted on. Reads never
// pass the stripe's recorded length or the end of the data.
#include "../frame/jbgMarker.h"
#include "../frame/jbgPat.h"
#include "jbgDQM.h"

#include <algorithm>

void qmDecInit(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    uint32_t s = img.stripe;
    const uint32_t *e = stripeEntry(ctx, img.plane, img.layer, s);
    uint32_t offset = e[0], length = e[1];
    uint32_t end = ctxDataEnd(ctx);
    ctx->dec.sdeEnd = 0;
    // Seeking before every stripe is always right: the table holds absolute
    // positions.
    streamSeek(&ctx->stream, offset, kSeekStart);
    if (length == kSdeUnmeasured) length = offset < end ? end - offset : 0;
    ctx->dec.sdeLength = offset < end ? std::min(length, end - offset) : 0;
    // Counted as far as the data reaches and saturated: hostile lengths
    // must not add up to the failure value -1.
    ctx->dec.layerBytes = static_cast<uint32_t>(std::min<uint64_t>(uint64_t(ctx->dec.layerBytes) + ctx->dec.sdeLength, 0x7FFFFFFF));
    ctx->dec.sdeRead = 0;
    ctx->stream.bufFill = 0;
    ctx->stream.bufPos = 0;
    if (s == 0) ctx->dec.markerBudget = end > ctx->dec.dataOffset ? end - ctx->dec.dataOffset : 0;
    qmDecBegin(ctx);
}

void qmDecBegin(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    const uint32_t s = img.stripe;
    if (s == 0) {
        qmStatesReset(ctx);
    } else {
        ctx->dec.tpReset = ctx->dec.sdrstSeen;
        if (ctx->dec.sdrstSeen) qmStatesReset(ctx);
    }
    // ATMOVE segments before the first coded byte move the AT pixel in
    // this stripe.
    ctx->atMoveCount = 0;
    ctx->dec.atOpen = (ctx->mode & kModeFull) != 0;
    uint32_t b1 = qmDecByteIn(ctx);
    ctx->dec.atOpen = 0;
    uint32_t b2 = qmDecByteIn(ctx);
    uint32_t b3 = qmDecByteIn(ctx);
    ctx->dec.qmCode = uint64_t(b1) << 56 | uint64_t(b2) << 48 | uint64_t(b3) << 40;
    ctx->qmCT = 8;
    ctx->qmA = 0x10000;
    img.stripe = s + 1;
}

// Refills the buffer from the stripe's remaining bytes; false at its end.
static bool rawRefill(JbigContext *ctx) {
    JbigStream &s = ctx->stream;
    if (ctx->dec.sdeRead >= ctx->dec.sdeLength) {
        ctx->dec.sdeEnd = 1;
        return false;
    }
    uint32_t n = std::min(ctx->dec.sdeLength - ctx->dec.sdeRead, kIoBufferSize);
    int32_t got = streamRead(&s, s.ioBuffer, n);
    if (got < 1) {
        ctx->dec.sdeEnd = 1;
        return false;
    }
    s.bufFill = static_cast<uint32_t>(got);
    s.bufPos = 0;
    // A short read ends the stripe after the bytes that did arrive.
    ctx->dec.sdeRead = static_cast<uint32_t>(got) < n ? ctx->dec.sdeLength : ctx->dec.sdeRead + n;
    return true;
}

uint32_t qmDecRawByte(JbigContext *ctx) {
    JbigStream &s = ctx->stream;
    if (s.bufPos == s.bufFill && !rawRefill(ctx)) return 0;
    return s.ioBuffer[s.bufPos++];
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
    if (bytes > ctx->dec.markerBudget) {
        ctx->dec.markerBudget = 0;
        ctx->dec.sdeEnd = 1;
        return false;
    }
    ctx->dec.markerBudget -= static_cast<uint32_t>(bytes);
    return true;
}

namespace {

// The stripe's raw bytes as a source for the marker reader; past its end
// they read as 0, as the coded data does.
struct SdeSource {
    JbigContext *ctx;
    int32_t get() { return int32_t(qmDecRawByte(ctx)); }
};

}  // namespace

uint32_t qmDecByteInSlow(JbigContext *ctx) {
    if (ctx->dec.sdeEnd) return 0;
    uint32_t b = qmDecRawByte(ctx);
    if (b != kEsc) return b;
    for (;;) {
        const uint32_t m = qmDecRawByte(ctx);
        SdeSource src{ctx};
        MarkerSegment seg;
        switch (m) {
        case kStuff:
            return kEsc;
        case kSdnorm:
        case kSdrst:
            ctx->dec.sdrstSeen = m == kSdrst;
            ctx->dec.sdeEnd = 1;
            return 0;
        case kNewlen:
            // The height was settled by the prolog.
            if (ctx->mode & kModeFull) {
                if (!spendMarkerBudget(ctx, 2 + kNewlenParams)) return 0;
                markerParams(src, kNewlen, &seg);
                break;
            }
            ctx->dec.sdeEnd = 1;
            return 0;
        case kReserved:
        case kAbort:
            ctx->dec.sdeEnd = 1;
            return 0;
        case kAtmove:
            if (!spendMarkerBudget(ctx, 2 + kAtmoveParams)) return 0;
            markerParams(src, kAtmove, &seg);
            // Only a move that stands before the stripe's data counts.
            if (ctx->dec.atOpen && ctx->atMoveCount < kMaxAtMoves)
                ctx->atMoves[ctx->atMoveCount++] = JbigAtMove{seg.value, seg.tx, seg.ty};
            break;
        case kComment:
            markerParams(src, kComment, &seg);
            if (!spendMarkerBudget(ctx, 2 + kCommentParams + uint64_t(seg.value))) return 0;
            rawSkip(ctx, seg.value);
            break;
        default:
            return 0;
        }
        if (ctx->dec.sdeEnd) return 0;
        b = qmDecRawByte(ctx);
        if (b != kEsc) return b;
    }
}
