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

// Reads the trailer into the table when the data ends with one of the
// size the table has; false when it does not (or cannot be read).
static bool patInfoFind(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    const uint32_t base = ctx->dec.dataOffset;
    const int64_t pos = int64_t(ctxDataEnd(ctx)) - patInfoBytes(ctx);
    // A trailer is looked for wherever the data is long enough to hold one,
    // also where it would overlap the header.
    uint8_t head[kPatHeadBytes];
    if (pos <= int64_t(base) || streamSeek(s, static_cast<uint32_t>(pos), kSeekStart) == kSeekFailed ||
        !streamReadFully(s, head, kPatHeadBytes))
        return false;
    if (head[0] != kEsc || head[1] != kComment || std::memcmp(head + 2 + kCommentParams, kPatTag, 4) != 0)
        return false;
    uint8_t *buf = s->ioBuffer;
    uint32_t left = patInfoBytes(ctx) - kPatHeadBytes, have = 0, at = 0;
    for (int32_t d = 0; d < ctx->tableLayers; d++) {
        for (int32_t st = 0; st < ctx->tableStripes; st++) {
            if (at == have) {
                have = std::min(left, kIoBufferSize);
                if (!streamReadFully(s, buf, have)) return false;
                left -= have;
                at = 0;
            }
            uint32_t *e = stripeEntry(ctx, d, st);
            e[0] = getBE(buf + at, 4) + base;
            e[1] = getBE(buf + at + 4, 4);
            at += kPatEntryBytes;
        }
    }
    return true;
}

uint32_t patInfoRead(JbigContext *ctx) {
    ctx->mode &= ~kModeScanned;
    if (stripeTableCreate(ctx) != 0) return kStatusOpenFailed;
    if (patInfoFind(ctx)) return 0;
    ctx->mode |= kModeScanned;
    return stripeTableScan(ctx) == 0 ? 0 : kStatusOpenFailed;
}

// Absolute stream position of the next byte the scanner delivers.
static uint32_t scanPosition(const JbigContext *ctx) {
    const JbigStream &s = ctx->stream;
    return s.scanTotal - s.bufFill + s.bufPos + ctx->dec.dataOffset + ctx->dec.headBytes;
}

static bool scanRefill(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    // Once the data has ended it stays ended: the entries left are not
    // worth one failing read each.
    if (ctx->dec.scanEnded) return false;
    uint64_t next = uint64_t(ctx->dec.dataOffset) + ctx->dec.headBytes + s->scanTotal;
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
    return sdeMeasure(src, nullptr, (ctx->mode & kModeFull) != 0);
}

// Starts the scan's reading at stream position `pos` (at or after the
// header); false when nothing can be read there.
static bool scanFrom(JbigContext *ctx, uint32_t pos) {
    JbigStream *s = &ctx->stream;
    const uint32_t start = ctx->dec.dataOffset + ctx->dec.headBytes;
    if (pos < start || streamSeek(s, pos, kSeekStart) == kSeekFailed) return false;
    s->scanTotal = pos - start;
    s->bufFill = 0;
    s->bufPos = 0;
    ctx->dec.scanEnded = 0;
    return scanRefill(ctx);
}

// The stream-order index of a stripe under the order bits.
static uint32_t streamIndex(const JbigContext *ctx, uint32_t layer, uint32_t stripe) {
    const JbigBih &b = ctx->bih;
    const uint32_t pos = (b.order & kHITOLO) ? b.D - layer : layer;
    return stripeOrderOf(b.order) == kStripeOuter ? stripe * (b.D + 1u) + pos
                                                   : pos * uint32_t(ctx->tableStripes) + stripe;
}

bool stripeAbsent(const JbigContext *ctx, uint32_t layer, uint32_t stripe) {
    return ctx->dec.abortAt != kNoAbort && streamIndex(ctx, layer, stripe) >= ctx->dec.abortAt;
}

int32_t stripeTableScan(JbigContext *ctx) {
    if (!scanFrom(ctx, ctx->dec.dataOffset + ctx->dec.headBytes)) return -1;
    const JbigBih &b = ctx->bih;
    const uint32_t D = b.D;
    const bool full = (ctx->mode & kModeFull) != 0;
    uint32_t index = 0;
    auto fill = [&](uint32_t d, int32_t st) {
        uint32_t *e = stripeEntry(ctx, (b.order & kHITOLO) ? D - d : d, static_cast<uint32_t>(st));
        e[0] = scanPosition(ctx);
        if (ctx->dec.abortAt != kNoAbort) {
            e[1] = 0;
            return;
        }
        ScanSource src{ctx};
        SdeReport r;
        e[1] = static_cast<uint32_t>(sdeMeasure(src, &r, full));
        if (full && r.problem == kSdeMarker + kAbort) {
            // ABORT: what came before it in this stripe is decoded, the
            // stripes after it are white.
            e[1] = r.at + 2;
            ctx->dec.abortAt = index + (r.dataSeen ? 1 : 0);
        }
        index++;
    };
    switch (stripeOrderOf(b.order)) {
    case kLayerOuter:
        for (uint32_t d = 0; d <= D; d++)
            for (int32_t st = 0; st < ctx->tableStripes; st++) fill(d, st);
        break;
    case kStripeOuter:
        for (int32_t st = 0; st < ctx->tableStripes; st++)
            for (uint32_t d = 0; d <= D; d++) fill(d, st);
        break;
    case kNoOrder:
        return -1;
    }
    return 0;
}

// The height that NEWLEN sets, from a walk over the whole stream up to its
// end or an ABORT; false when the height stays unknown.
static bool scanHeight(JbigContext *ctx) {
    JbigBih &b = ctx->bih;
    if (scanFrom(ctx, ctx->dec.dataOffset + ctx->dec.headBytes)) {
        while (!ctx->dec.scanEnded) {
            ScanSource src{ctx};
            SdeReport r;
            sdeMeasure(src, &r, true);
            if (r.newlens && r.newlen != 0 && r.newlen < b.YD)
                b.YD = ctx->dec.newlenYD = r.newlen;
            else if (r.newlens)
                ctx->dec.newlenIgnored++;
            if (r.problem == kSdeMarker + kAbort) break;
        }
    }
    return b.YD != kUnknownHeight;
}

// Expands a private table: phases 0 to 3, four entries a byte, the first in
// the high bits; 3 codes the pixel as 2 does.
static bool readDpTable(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    uint8_t *packed = s->ioBuffer;
    static_assert(kDpPrivBytes <= kIoBufferSize, "the table fits the buffer");
    if (streamSeek(s, ctx->dec.dataOffset + kBihBytes, kSeekStart) == kSeekFailed ||
        !streamReadFully(s, packed, kDpPrivBytes))
        return false;
    auto *table = static_cast<uint8_t *>(globalAllocLocked(GMEM_MOVEABLE, 4 * kDpPrivBytes, &ctx->dec.dpPrivHandle));
    if (table == nullptr) return false;
    for (uint32_t n = 0; n < 4 * kDpPrivBytes; n++) {
        const uint32_t v = (packed[n >> 2] >> (6 - 2 * (n & 3))) & 3;
        table[n] = static_cast<uint8_t>(v > 2 ? 2 : v);
    }
    ctx->dp[0] = table;
    ctx->dp[1] = table + 256;
    ctx->dp[2] = table + 256 + 512;
    ctx->dp[3] = table + 256 + 512 + 2048;
    return true;
}

uint32_t patInfoReadFull(JbigContext *ctx) {
    JbigBih &b = ctx->bih;
    ctx->mode &= ~kModeScanned;
    if (b.options & kDPPRIV) {
        // DPLAST asks for the table of an image before this one.
        if ((b.options & kDPLAST) || !readDpTable(ctx)) return kStatusOpenFailed;
        ctx->dec.headBytes = kBihBytes + kDpPrivBytes;
    }
    if (b.YD != kUnknownHeight && bihCheck(b, true) == kBihUsable) {
        if (stripeTableCreate(ctx) != 0) return kStatusOpenFailed;
        if (patInfoFind(ctx)) return 0;
        stripeTableFree(ctx);
    }
    if (!scanHeight(ctx) || bihCheck(b, true) != kBihUsable || stripeTableCreate(ctx) != 0) return kStatusOpenFailed;
    ctx->mode |= kModeScanned;
    return stripeTableScan(ctx) == 0 ? 0 : kStatusOpenFailed;
}

void stripeSurvey(JbigContext *ctx, StripeSurvey *out) {
    *out = StripeSurvey{};
    out->badLayer = out->badStripe = -1;
    const bool full = (ctx->mode & kModeFull) != 0;
    for (int32_t d = 0; d < ctx->tableLayers; d++) {
        for (int32_t st = 0; st < ctx->tableStripes; st++) {
            if (stripeAbsent(ctx, uint32_t(d), uint32_t(st))) continue;
            const uint32_t *e = stripeEntry(ctx, uint32_t(d), uint32_t(st));
            SdeReport r{};
            r.problem = kSdeDataEnded;
            int32_t length = -1;
            if (scanFrom(ctx, e[0])) {
                ScanSource src{ctx};
                length = sdeMeasure(src, &r, full);
            }
            const bool aborted = full && r.problem == kSdeMarker + kAbort && e[1] == r.at + 2;
            SdeReport &t = out->markers;
            t.atmoves += r.atmoves;
            t.comments += r.comments;
            t.commentBytes += r.commentBytes;
            t.newlens += r.newlens;
            t.sdrst = t.sdrst || r.sdrst;
            t.atRowsBackwards = t.atRowsBackwards || r.atRowsBackwards;
            t.atMaxTy = std::max(t.atMaxTy, r.atMaxTy);
            for (int i = 0; i < 8; i++) t.atColumns[i] |= r.atColumns[i];
            out->sdrstCount += r.sdrst;
            out->aborted = out->aborted || aborted;
            if (!aborted && (length < 0 || uint32_t(length) != e[1])) {
                if (out->badLayer < 0) {
                    out->badLayer = d;
                    out->badStripe = st;
                    r.at = length < 0 ? r.at : uint32_t(length) - 2;
                    if (length >= 0) r.problem = kSdeMarker + kSdnorm;
                    out->problem = r;
                }
                continue;
            }
            out->dataEnd = std::max<uint32_t>(out->dataEnd, e[0] + e[1]);
        }
    }
}
