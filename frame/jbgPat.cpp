// Stripe table: where every stripe data entity lies. Written after the last
// stripe as a "CPat" COMMENT segment, read back by the decoder, or rebuilt by
// scanning the stream for the markers that end each stripe.
#include "jbgPat.h"

#include <algorithm>
#include <cstring>

#include "jbgDiff.h"

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

const char *sdeNesting(uint32_t order, bool full) {
    // The standard's orders; SMID alone names none. The library's first
    // version took SMID alone for stripes outermost and refused SEQ with
    // SMID, which with one plane differs from the standard only there.
    static const char *const kStandard[8] = {"pds", nullptr, "dps", "dsp", "spd", "psd", "sdp", nullptr};
    static const char *const kFirst[8] = {"pds", "psd", "dps", "dsp", "spd", nullptr, "sdp", nullptr};
    return (full ? kStandard : kFirst)[order & (kSEQ | kILEAVE | kSMID)];
}

const char *zeljbigStripeOrder(uint32_t order) { return sdeNesting(order, true); }

namespace {

// The extent of each loop of a nesting, and a layer's place in its loop.
uint32_t loopSize(char loop, uint32_t planes, uint32_t layers, uint32_t stripes) {
    return loop == 'p' ? planes : loop == 'd' ? layers : stripes;
}

}  // namespace

SdeIndex sdeAt(const JbigBih &b, const char *nest, uint32_t lo, uint32_t hi, uint32_t stripes, uint32_t k) {
    const uint32_t layers = hi - lo + 1;
    uint32_t v[3];
    for (int i = 2; i >= 0; i--) {
        const uint32_t n = loopSize(nest[i], b.P, layers, stripes);
        v[i] = k % n;
        k /= n;
    }
    SdeIndex at{0, 0, 0};
    for (int i = 0; i < 3; i++) {
        if (nest[i] == 'p') at.plane = v[i];
        if (nest[i] == 'd') at.layer = (b.order & kHITOLO) ? hi - v[i] : lo + v[i];
        if (nest[i] == 's') at.stripe = v[i];
    }
    return at;
}

uint32_t sdePosition(const JbigBih &b, const char *nest, uint32_t lo, uint32_t hi, uint32_t stripes, SdeIndex at) {
    const uint32_t layers = hi - lo + 1;
    uint32_t k = 0;
    for (int i = 0; i < 3; i++) {
        const uint32_t v = nest[i] == 'p' ? at.plane
                           : nest[i] == 's' ? at.stripe
                           : (b.order & kHITOLO) ? hi - at.layer : at.layer - lo;
        k = k * loopSize(nest[i], b.P, layers, stripes) + v;
    }
    return k;
}

int32_t stripeTableCreate(JbigContext *ctx) {
    const JbigBih &b = ctx->bih;
    ctx->tablePlanes = b.P;
    ctx->tableLayers = static_cast<int16_t>(b.D + 1);
    ctx->tableStripes = static_cast<int16_t>(stripesOf(b));
    ctx->stripeTable = rowArrayAlloc(static_cast<uint32_t>(ctx->tableLayers) * b.P,
                                     static_cast<uint32_t>(ctx->tableStripes) * 8);
    return ctx->stripeTable ? 0 : -1;
}

// Entities in the table: every plane, layer and stripe.
static uint32_t tableEntities(const JbigContext *ctx) {
    return uint32_t(ctx->tablePlanes) * uint32_t(ctx->tableLayers) * uint32_t(ctx->tableStripes);
}

int32_t stripeTableFree(JbigContext *ctx) {
    if (ctx->stripeTable == nullptr) return -1;
    int32_t r = rowArrayFree(ctx->stripeTable);
    ctx->stripeTable = nullptr;
    return r;
}

uint32_t patInfoBytes(const JbigContext *ctx) {
    return kPatHeadBytes + kPatEntryBytes * tableEntities(ctx);
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
    for (uint32_t k = 0, entities = tableEntities(ctx); k < entities; k++) {
        if (n + kPatEntryBytes > kIoBufferSize) {
            if (streamWrite(s, buf, n) != static_cast<int32_t>(n)) return -1;
            n = 0;
        }
        // Rows in table order: plane after plane, layer after layer.
        const uint32_t *e = reinterpret_cast<const uint32_t *>(ctx->stripeTable[k / uint32_t(ctx->tableStripes)]) +
                            2 * (k % uint32_t(ctx->tableStripes));
        putBE(buf + n, 4, e[0]);
        putBE(buf + n + 4, 4, e[1]);
        n += kPatEntryBytes;
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
    for (uint32_t k = 0, entities = tableEntities(ctx); k < entities; k++) {
        if (at == have) {
            have = std::min(left, kIoBufferSize);
            if (!streamReadFully(s, buf, have)) return false;
            left -= have;
            at = 0;
        }
        uint32_t *e = reinterpret_cast<uint32_t *>(ctx->stripeTable[k / uint32_t(ctx->tableStripes)]) +
                      2 * (k % uint32_t(ctx->tableStripes));
        e[0] = getBE(buf + at, 4) + base;
        e[1] = getBE(buf + at + 4, 4);
        at += kPatEntryBytes;
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
    uint32_t skipPlain() {
        JbigStream *s = &ctx->stream;
        const uint32_t n = uint32_t(bytesBeforeEsc(s->ioBuffer + s->bufPos, s->bufFill - s->bufPos));
        s->bufPos += n;
        return n;
    }
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

bool stripeAbsent(const JbigContext *ctx, uint32_t plane, uint32_t layer, uint32_t stripe) {
    return ctx->dec.abortAt != kNoAbort &&
           sdePosition(ctx->bih, sdeNesting(ctx->bih.order, true), 0, ctx->bih.D, uint32_t(ctx->tableStripes),
                       SdeIndex{plane, layer, stripe}) >= ctx->dec.abortAt;
}

// The entities of layers lo .. hi of every plane, in the order of header b,
// from where the scan stands.
static int32_t scanEntities(JbigContext *ctx, const JbigBih &b, uint32_t lo, uint32_t hi) {
    const bool full = (ctx->mode & kModeFull) != 0;
    const char *nest = sdeNesting(b.order, full);
    if (nest == nullptr) return -1;
    const uint32_t S = uint32_t(ctx->tableStripes);
    for (uint32_t k = 0, n = b.P * (hi - lo + 1) * S; k < n; k++) {
        const SdeIndex at = sdeAt(b, nest, lo, hi, S, k);
        uint32_t *e = stripeEntry(ctx, at.plane, at.layer, at.stripe);
        e[0] = scanPosition(ctx);
        if (ctx->dec.abortAt != kNoAbort) {
            e[1] = 0;
            continue;
        }
        ScanSource src{ctx};
        SdeReport r;
        e[1] = static_cast<uint32_t>(sdeMeasure(src, &r, full));
        if (full && r.problem == kSdeMarker + kAbort) {
            // ABORT: what came before it in this stripe is decoded, the
            // stripes after it are white.
            e[1] = r.at + 2;
            ctx->dec.abortAt = k + (r.dataSeen ? 1 : 0);
        }
    }
    return 0;
}

int32_t stripeTableScan(JbigContext *ctx) {
    if (!scanFrom(ctx, ctx->dec.dataOffset + ctx->dec.headBytes)) return -1;
    return scanEntities(ctx, ctx->bih, 0, ctx->bih.D);
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

// Reads the private table at stream position `at` into a copy of the
// decoder's own, made ready in `dp`; `handle` receives its block.
static bool readDpTable(JbigContext *ctx, uint32_t at, HGLOBAL *handle, const uint8_t *dp[4]) {
    JbigStream *s = &ctx->stream;
    uint8_t *packed = s->ioBuffer;
    static_assert(kDpPrivBytes <= kIoBufferSize, "the table fits the buffer");
    if (streamSeek(s, at, kSeekStart) == kSeekFailed || !streamReadFully(s, packed, kDpPrivBytes)) return false;
    auto *table = static_cast<uint8_t *>(globalAllocLocked(GMEM_MOVEABLE, kDpEntries, handle));
    if (table == nullptr) return false;
    dpTableUnpack(packed, table);
    for (int p = 0; p < 4; p++) dp[p] = table + kDpPhaseStart[p];
    return true;
}

// Later BIEs that continue the one scanned: each starts where the one
// before ends, its DL that one's D + 1, its planes and L0 the same and its
// size one that halves to the one before. Their stripes join the table;
// the header becomes that of the whole image. False when one is damaged.
static bool scanContinuations(JbigContext *ctx) {
    JbigDecoderState &dec = ctx->dec;
    JbigBih &b = ctx->bih;
    for (;;) {
        const uint32_t at = scanPosition(ctx);
        uint8_t h[kBihBytes];
        uint32_t n = 0;
        for (; n < kBihBytes; n++) {
            const int32_t c = scanGetByte(ctx);
            if (c < 0) break;
            h[n] = uint8_t(c);
        }
        if (n < kBihBytes || dec.abortAt != kNoAbort) return true;
        JbigBih next;
        bihParse(h, &next);
        if (next.DL != b.D + 1 || next.D < next.DL || next.D >= kMaxBies || next.P != b.P || next.L0 != b.L0 ||
            next.YD == kUnknownHeight || layerSize(next.XD, next.D, b.D) != b.XD ||
            layerSize(next.YD, next.D, b.D) != b.YD || stripesOf(next) != uint32_t(ctx->tableStripes))
            return true;  // not a continuation: bytes after the image
        JbigBih whole = next;
        whole.DL = 0;
        if (bihCheck(whole, true, true) != kBihUsable || dec.bieCount == kMaxBies) return false;
        uint32_t head = kBihBytes;
        const uint8_t *dp[4] = {ctx->dp[0], ctx->dp[1], ctx->dp[2], ctx->dp[3]};
        if (next.options & kDPPRIV) {
            // DPLAST: the private table of the BIE before it.
            if (next.options & kDPLAST) {
                std::copy(dec.layerDp[b.D], dec.layerDp[b.D] + 4, dp);
            } else if (!readDpTable(ctx, at + kBihBytes, &dec.dpHandles[dec.dpHandleCount], dp)) {
                return false;
            } else {
                dec.dpHandleCount++;
                head += kDpPrivBytes;
            }
        }
        // The table grows by the new layers of every plane.
        const uint32_t oldLayers = uint32_t(ctx->tableLayers), rowBytes = uint32_t(ctx->tableStripes) * 8;
        uint8_t **grown = rowArrayAlloc((next.D + 1u) * b.P, rowBytes);
        if (grown == nullptr) return false;
        for (uint32_t p = 0; p < b.P; p++)
            for (uint32_t d = 0; d < oldLayers; d++)
                std::memcpy(grown[p * (next.D + 1u) + d], ctx->stripeTable[p * oldLayers + d], rowBytes);
        rowArrayFree(ctx->stripeTable);
        ctx->stripeTable = grown;
        ctx->tableLayers = static_cast<int16_t>(next.D + 1);
        for (uint32_t d = next.DL; d <= next.D; d++) {
            dec.layerOptions[d] = uint8_t(next.options);
            std::copy(dp, dp + 4, dec.layerDp[d]);
        }
        dec.bieStart[dec.bieCount] = at;
        dec.bieDL[dec.bieCount] = next.DL;
        dec.bieD[dec.bieCount++] = next.D;
        if (!scanFrom(ctx, at + head) || scanEntities(ctx, next, next.DL, next.D) != 0) return false;
        b.D = next.D;
        b.XD = next.XD;
        b.YD = next.YD;
        b.MX = std::max(b.MX, next.MX);
    }
}

uint32_t patInfoReadFull(JbigContext *ctx) {
    JbigBih &b = ctx->bih;
    ctx->mode &= ~kModeScanned;
    JbigDecoderState &dec = ctx->dec;
    if (b.options & kDPPRIV) {
        // DPLAST asks for the table of an image before this one.
        if ((b.options & kDPLAST) || !readDpTable(ctx, dec.dataOffset + kBihBytes, &dec.dpPrivHandle, ctx->dp))
            return kStatusOpenFailed;
        dec.headBytes = kBihBytes + kDpPrivBytes;
    }
    dec.bieCount = 1;
    dec.bieStart[0] = dec.dataOffset;
    dec.bieD[0] = b.D;
    for (uint32_t d = 0; d <= b.D && d < kMaxBies; d++) {
        dec.layerOptions[d] = uint8_t(b.options);
        std::copy(ctx->dp, ctx->dp + 4, dec.layerDp[d]);
    }
    bool heightKnown = false;
    if (b.YD != kUnknownHeight && bihCheck(b, true, true) == kBihUsable) {
        if (stripeTableCreate(ctx) != 0) return kStatusOpenFailed;
        if (patInfoFind(ctx)) {
            // With VLENGTH a NEWLEN may lower the height below what the
            // index was made for; it stands if the stripes stay as many.
            if (!(b.options & kVLENGTH)) return 0;
            const uint32_t stripes = uint32_t(ctx->tableStripes);
            heightKnown = scanHeight(ctx);
            if (heightKnown && bihCheck(b, true, true) == kBihUsable && stripesOf(b) == stripes) return 0;
        }
        stripeTableFree(ctx);
    }
    if ((!heightKnown && !scanHeight(ctx)) || bihCheck(b, true, true) != kBihUsable || stripeTableCreate(ctx) != 0)
        return kStatusOpenFailed;
    // An index added after a NEWLEN counts the stripes of the real height.
    if (ctx->dec.newlenYD != 0 && patInfoFind(ctx)) return 0;
    ctx->mode |= kModeScanned;
    if (stripeTableScan(ctx) != 0 || !scanContinuations(ctx)) return kStatusOpenFailed;
    // Data cut short (a partial download) leaves its lowest layers whole.
    for (uint32_t d = 0; d <= b.D && dec.completeLayers == 0; d++)
        for (uint32_t p = 0; p < b.P; p++)
            for (int32_t st = 0; st < ctx->tableStripes; st++)
                if (stripeEntry(ctx, p, d, uint32_t(st))[1] == kSdeUnmeasured) dec.completeLayers = d ? d : 1;
    return 0;
}

void stripeSurvey(JbigContext *ctx, StripeSurvey *out) {
    *out = StripeSurvey{};
    out->badPlane = out->badLayer = out->badStripe = -1;
    const bool full = (ctx->mode & kModeFull) != 0;
    for (uint32_t p = 0; p < ctx->tablePlanes; p++) {
        for (int32_t d = 0; d < ctx->tableLayers; d++) {
            for (int32_t st = 0; st < ctx->tableStripes; st++) {
                if (stripeAbsent(ctx, p, uint32_t(d), uint32_t(st))) continue;
                const uint32_t *e = stripeEntry(ctx, p, uint32_t(d), uint32_t(st));
                // Past the first bad one, a stripe the scan could not measure
                // adds nothing: a header of millions of stripes over a few
                // bytes must not cost a read each.
                if (out->badLayer >= 0 && e[1] == kSdeUnmeasured) continue;
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
                        out->badPlane = int32_t(p);
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
}
