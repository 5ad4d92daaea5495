// Stripe table: where every stripe data entity lies. Written after the last
// stripe as a "CPat" COMMENT segment, read back by the decoder, or rebuilt by
// scanning the stream for the markers that end each stripe.
#include "jpgLib.h"

#include <algorithm>

StripeOrder stripeOrderOf(uint32_t order) {
    switch (order & (kSEQ | kILEAVE | kSMID)) {
    case 0:
    case kILEAVE:
    case kILEAVE | kSMID:
        return kLayerOuter;
    case kSMID:
    case kSEQ:
    case kSEQ | kILEAVE:
        return kStripeOuter;
    default:
        return kNoOrder;
    }
}

int32_t stripeTableCreate(JbigContext *ctx) {
    const JbigBih &b = ctx->bih;
    ctx->tablePlanes = b.P;
    ctx->tableLayers = static_cast<int16_t>(b.D + 1);
    ctx->tableStripes = static_cast<int16_t>(stripesOf(b));
    ctx->stripeTable = rowArrayAlloc(static_cast<uint32_t>(ctx->tableLayers),
                                     static_cast<uint32_t>(ctx->tableStripes) * 8);
    return ctx->stripeTable ? 0 : -1;
}

int32_t stripeTableFree(JbigContext *ctx) {
    if (ctx->stripeTable == nullptr) return -1;
    int32_t r = rowArrayFree(ctx->stripeTable);
    ctx->stripeTable = nullptr;
    return r;
}

uint32_t patInfoBytes(const JbigContext *ctx) {
    return kPatHeadBytes +
           kPatEntryBytes * static_cast<uint32_t>(ctx->tableLayers) * static_cast<uint32_t>(ctx->tableStripes);
}

int32_t patInfoWrite(JbigContext *ctx) {
    // Gathered into blocks of the I/O buffer, which is idle by now.
    JbigStream *s = &ctx->stream;
    uint8_t *buf = s->ioBuffer;
    uint32_t n = kPatHeadBytes;
    buf[0] = kEsc;
    buf[1] = kComment;
    putBE(buf + 2, 4, patInfoBytes(ctx) - 2 - kCommentParams);
    std::memcpy(buf + 2 + kCommentParams, kPatTag, 4);
    for (int32_t d = 0; d < ctx->tableLayers; d++) {
        for (int32_t st = 0; st < ctx->tableStripes; st++) {
            if (n + kPatEntryBytes > kIoBufferSize) {
                if (streamWrite(s, buf, n) != static_cast<int32_t>(n)) return -1;
                n = 0;
            }
            const uint32_t *e = stripeEntry(ctx, d, st);
            putBE(buf + n, 4, e[0]);
            putBE(buf + n + 4, 4, e[1]);
            n += kPatEntryBytes;
        }
    }
    return streamWrite(s, buf, n) == static_cast<int32_t>(n) ? 0 : -1;
}

uint32_t patInfoRead(JbigContext *ctx) {
    ctx->mode &= ~kModeScanned;
    if (stripeTableCreate(ctx) != 0) return kStatusOpenFailed;
    JbigStream *s = &ctx->stream;
    const uint32_t base = ctx->dec.dataOffset;
    const int64_t pos = int64_t(ctxDataEnd(ctx)) - patInfoBytes(ctx);
    // A trailer is looked for wherever the data is long enough to hold one,
    // also where it would overlap the header.
    if (pos > int64_t(base)) {
        uint8_t head[kPatHeadBytes];
        if (streamSeek(s, static_cast<uint32_t>(pos), kSeekStart) == kSeekFailed ||
            !streamReadFully(s, head, kPatHeadBytes))
            return kStatusOpenFailed;
        if (head[0] == kEsc && head[1] == kComment && std::memcmp(head + 2 + kCommentParams, kPatTag, 4) == 0) {
            uint8_t *buf = s->ioBuffer;
            uint32_t left = patInfoBytes(ctx) - kPatHeadBytes, have = 0, at = 0;
            for (int32_t d = 0; d < ctx->tableLayers; d++) {
                for (int32_t st = 0; st < ctx->tableStripes; st++) {
                    if (at == have) {
                        have = std::min(left, kIoBufferSize);
                        if (!streamReadFully(s, buf, have)) return kStatusOpenFailed;
                        left -= have;
                        at = 0;
                    }
                    uint32_t *e = stripeEntry(ctx, d, st);
                    e[0] = getBE(buf + at, 4) + base;
                    e[1] = getBE(buf + at + 4, 4);
                    at += kPatEntryBytes;
                }
            }
            return 0;
        }
    }
    ctx->mode |= kModeScanned;
    return stripeTableScan(ctx) == 0 ? 0 : kStatusOpenFailed;
}

// Absolute stream position of the next byte the scanner delivers.
static uint32_t scanPosition(const JbigContext *ctx) {
    const JbigStream &s = ctx->stream;
    return s.scanTotal - s.bufFill + s.bufPos + ctx->dec.dataOffset + kBihBytes;
}

static bool scanRefill(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    // Once the data has ended it stays ended: the entries left are not
    // worth one failing read each.
    if (ctx->dec.scanEnded) return false;
    uint64_t next = uint64_t(ctx->dec.dataOffset) + kBihBytes + s->scanTotal;
    uint64_t end = ctxDataEnd(ctx);
    uint32_t want = next >= end ? 0 : static_cast<uint32_t>(std::min<uint64_t>(end - next, kIoBufferSize));
    int32_t got = want ? streamRead(s, s->ioBuffer, want) : 0;
    if (got < 1) {
        ctx->dec.scanEnded = 1;
        return false;
    }
    s->bufFill = static_cast<uint32_t>(got);
    s->bufPos = 0;
    s->scanTotal += static_cast<uint32_t>(got);
    return true;
}

int32_t scanGetByte(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    if (s->bufPos == s->bufFill && !scanRefill(ctx)) return -1;
    return s->ioBuffer[s->bufPos++];
}

// Skips n bytes of the data; false when the data ends first.
static bool scanSkip(JbigContext *ctx, uint32_t n) {
    JbigStream *s = &ctx->stream;
    while (n > 0) {
        if (s->bufPos == s->bufFill && !scanRefill(ctx)) return false;
        uint32_t k = std::min(n, s->bufFill - s->bufPos);
        s->bufPos += k;
        n -= k;
    }
    return true;
}

namespace {

// The scan's bytes as a source for the marker reader.
struct ScanSource {
    JbigContext *ctx;
    int32_t get() { return scanGetByte(ctx); }
    bool skip(uint32_t n) { return scanSkip(ctx, n); }
};

}  // namespace

int32_t sdeScanLength(JbigContext *ctx) {
    ScanSource src{ctx};
    return sdeMeasure(src);
}

// Starts the scan's reading at stream position `pos` (at or after the
// header); false when nothing can be read there.
static bool scanFrom(JbigContext *ctx, uint32_t pos) {
    JbigStream *s = &ctx->stream;
    const uint32_t start = ctx->dec.dataOffset + kBihBytes;
    if (pos < start || streamSeek(s, pos, kSeekStart) == kSeekFailed) return false;
    s->scanTotal = pos - start;
    s->bufFill = 0;
    s->bufPos = 0;
    ctx->dec.scanEnded = 0;
    return scanRefill(ctx);
}

int32_t stripeTableScan(JbigContext *ctx) {
    if (!scanFrom(ctx, ctx->dec.dataOffset + kBihBytes)) return -1;
    const JbigBih &b = ctx->bih;
    uint32_t D = b.D, DL = b.DL;
    auto rowOf = [&](uint32_t d) { return (b.order & kHITOLO) ? DL + D - d : d; };
    auto fill = [&](uint32_t d, int32_t st) {
        uint32_t *e = stripeEntry(ctx, rowOf(d), static_cast<uint32_t>(st));
        e[0] = scanPosition(ctx);
        e[1] = static_cast<uint32_t>(sdeScanLength(ctx));
    };
    switch (stripeOrderOf(b.order)) {
    case kLayerOuter:
        for (uint32_t d = DL; d <= D; d++)
            for (int32_t st = 0; st < ctx->tableStripes; st++) fill(d, st);
        break;
    case kStripeOuter:
        for (int32_t st = 0; st < ctx->tableStripes; st++)
            for (uint32_t d = DL; d <= D; d++) fill(d, st);
        break;
    case kNoOrder:
        return -1;
    }
    return 0;
}

void stripeSurvey(JbigContext *ctx, StripeSurvey *out) {
    *out = StripeSurvey{-1, -1, {kSdeMeasured, 0}, 0};
    for (int32_t d = 0; d < ctx->tableLayers; d++) {
        for (int32_t st = 0; st < ctx->tableStripes; st++) {
            const uint32_t *e = stripeEntry(ctx, uint32_t(d), uint32_t(st));
            SdeReport r{kSdeDataEnded, 0};
            int32_t length = -1;
            if (scanFrom(ctx, e[0])) {
                ScanSource src{ctx};
                length = sdeMeasure(src, &r);
            }
            if (length < 0 || uint32_t(length) != e[1]) {
                if (out->badLayer < 0) {
                    out->badLayer = d;
                    out->badStripe = st;
                    out->problem = length < 0 ? r : SdeReport{kSdeMarker + kSdnorm, uint32_t(length) - 2};
                }
                continue;
            }
            out->dataEnd = std::max<uint32_t>(out->dataEnd, e[0] + e[1]);
        }
    }
}
