// The streaming decoder of one-layer, one-plane streams: the whole-image
// decoder's lowest-layer walk and QM decoder, driven one line at a time as
// the bytes arrive. The QM decoder reads at most 16 bits a decision, so a
// line takes at most lineBound bytes: a line is decoded once that many
// clean bytes lie ahead of the decoder, or once its stripe's end (and what
// follows it, for a NEWLEN) is in. It never meets the end of the bytes at
// hand inside a line, and so needs no way to stop halfway.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "../frame/jbgError.h"
#include "../frame/jbgLowWalk.h"
#include "jbgDQM.h"
#include "jbgDStream.h"

namespace {

enum Phase { kHead, kTable, kStripes, kComplete, kFailed };
// Where the scan stands in the current stripe: before its first coded
// byte, in its data, or after its closing marker (the segments there
// belong to the next stripe, but a NEWLEN among them may end this one).
enum ScanState { kLead, kData, kTrail };

// Input bytes a Push appends at a time, so that a large Push does not grow
// the buffer past what decoding needs.
constexpr size_t kChunk = 1 << 16;
// Buffered input past this is refused: a stripe with a marker inside its
// data is decoded only once it is whole.
constexpr size_t kMaxBuffered = size_t(1) << 28;

}  // namespace

struct ZeljbigStreamDecoder {
    ZeljbigRowSink sink;
    void *user;
    JbigContext *ctx;
    Phase phase;
    StripeFn walk;
    char reason[320];
    // The header, and the private table's bytes still to pass.
    uint8_t head[kBihBytes];
    uint32_t headFill, tableLeft;
    // Input kept: in[0 .. inLen) is stream position base on. Positions count
    // the bytes kept: comment bodies are dropped as they come (`dropped`).
    uint8_t *in;
    size_t inLen, inCap;
    uint64_t base, dropped, pushed;
    // Rows: a ring of R, row y in ring[y % R]; the walk sees them through
    // slots, the current row at slots[K], the one ty up at slots[K - ty].
    uint8_t *rowMem, *blank;
    uint8_t **ring, **slots;
    uint32_t R, K, stride, bytes;
    uint64_t lineBound;
    uint64_t H;  // the height as known; kUnknownHeight until a NEWLEN gives it
    uint32_t y;  // rows delivered
    uint32_t stripe, line;  // the current stripe and its next line
    bool started;           // its QM decoder has begun
    bool white;             // ABORT: the rows left are white
    bool finished;          // the input has ended
    // The scan of the current stripe.
    ScanState st;
    uint64_t scanPos, stripeStart, dataStart, termEnd, lastSegEnd, commentLeft;
    uint8_t term;
    bool trailDone, newlenSeen;
    uint32_t newlenStripe;  // the stripe whose trail held the NEWLEN
    uint32_t atInLead, lastAtRow;  // ATMOVE segments before the next stripe's data
    // AT moves of the current stripe (ctx->atMoves), applied by line.
    uint32_t moveCount, moveNext;
    AtPosition at;
    ZeljbigInfo info;
};

namespace {

using Dec = ZeljbigStreamDecoder;

int32_t failWith(Dec *d, bool ok) {
    (void)ok;
    std::snprintf(d->reason, sizeof d->reason, "%s", errText());
    d->phase = kFailed;
    return -1;
}

bool knownHeight(const Dec *d) { return d->H != kUnknownHeight; }

// Rows of stripe s by the height as known.
uint64_t stripeLines(const Dec *d, uint32_t s) {
    const uint64_t first = uint64_t(s) * d->ctx->bih.L0;
    if (!knownHeight(d)) return d->ctx->bih.L0;
    return d->H <= first ? 0 : std::min<uint64_t>(d->ctx->bih.L0, d->H - first);
}

// The stripe's end and whatever may still change its rows are in.
bool endKnown(const Dec *d) {
    if (d->st != kTrail) return false;
    if (d->trailDone || d->finished || d->newlenSeen || d->term == kAbort) return true;
    // Without VLENGTH no NEWLEN can shorten the last stripe.
    return !(d->ctx->bih.options & kVLENGTH) && knownHeight(d) &&
           uint64_t(d->stripe + 1) * d->ctx->bih.L0 >= d->H;
}

// ---------------------------------------------------------------- header

bool takeHeader(Dec *d) {
    JbigContext *ctx = d->ctx;
    JbigBih &b = ctx->bih;
    bihParse(d->head, &b);
    b.order &= 0x0F;
    b.options &= 0x7F;
    if (b.DL != 0) return errSet("a BIE that continues another (DL %u): the layers below it are missing", unsigned(b.DL));
    if (b.D != 0 || b.P != 1)
        return errSet("has %u differential layers and %u planes: streaming decodes one layer and one plane (D 0, "
                      "P 1); decode it whole",
                      unsigned(b.D), unsigned(b.P));
    if (b.XD == 0 || b.YD == 0 || b.L0 == 0) return errSet("an empty image: XD %u, YD %u, L0 %u", b.XD, b.YD, b.L0);
    if ((b.options & kDPPRIV) && (b.options & kDPLAST))
        return errSet("needs the deterministic-prediction table of an earlier image (DPPRIV with DPLAST)");
    d->R = std::max<uint32_t>(b.MY + 1u, 3);
    d->K = b.MY;
    if (uint64_t(strideFor(std::min<uint32_t>(b.XD, 0xFFFFFF00u))) * (d->R + 1) > kMaxDecodeRaster || b.XD > 0xFFFFFF00u)
        return errSet("too large: rows of %u pixels", b.XD);
    d->stride = strideFor(b.XD);
    d->bytes = (b.XD + 7) >> 3;
    // Decisions of a line (and TPBON's) at 16 bits each, the code
    // register's read-ahead, stuffing doubling it all.
    d->lineBound = 2 * (2 * (uint64_t(b.XD) + 1) + 8);
    d->rowMem = static_cast<uint8_t *>(std::calloc(size_t(d->R) + 1, d->stride));
    d->ring = static_cast<uint8_t **>(std::calloc(size_t(d->R) + size_t(d->K) + 2, sizeof(uint8_t *)));
    if (d->rowMem == nullptr || d->ring == nullptr) return errSet("out of memory for %u rows of %u pixels", d->R, b.XD);
    for (uint32_t i = 0; i < d->R; i++) d->ring[i] = d->rowMem + size_t(i) * d->stride;
    d->blank = d->rowMem + size_t(d->R) * d->stride;
    d->slots = d->ring + d->R;
    for (uint32_t i = 0; i <= d->K + 1; i++) d->slots[i] = d->blank;
    d->H = b.YD;
    JbigLayerImage &img = ctx->cur;
    layerImageSetup(&img, b.XD, 1);
    img.unitCount = img.width >> 3;
    img.unitRest = img.width & 7;
    img.stripeRows = b.L0;
    img.rows = d->slots;
    img.lines[0] = img.lines[1] = img.lines[2] = d->blank;
    ctx->ltpPrev = 1;
    ctx->at = AtPosition{0, 0};
    d->walk = lowStripeFor<DecCoder>(b.options);
    d->tableLeft = (b.options & kDPPRIV) ? kDpPrivBytes : 0;
    d->base = d->scanPos = d->stripeStart = kBihBytes + d->tableLeft;
    ZeljbigInfo &in = d->info;
    in.DL = b.DL, in.D = b.D, in.P = b.P, in.MX = b.MX, in.MY = b.MY;
    in.order = uint8_t(b.order), in.options = uint8_t(b.options);
    in.XD = b.XD, in.YD = b.YD, in.announcedYD = b.YD, in.L0 = b.L0;
    in.bies = 1;
    if (b.YD != kUnknownHeight) in.stripes = uint32_t((uint64_t(b.YD) + b.L0 - 1) / b.L0);
    in.privateTable = (b.options & kDPPRIV) != 0;
    d->phase = d->tableLeft ? kTable : kStripes;
    return true;
}

// ---------------------------------------------------------------- scan

// Stream offset of a kept position, for the reasons.
unsigned long long offsetOf(const Dec *d, uint64_t pos) { return (unsigned long long)(pos + d->dropped); }

bool takeNewlen(Dec *d, uint32_t v) {
    d->info.newlenHeight = v;
    // Without VLENGTH the image ends with the marker of its last stripe:
    // a NEWLEN after it comes too late, however the bytes were cut.
    if (!(d->ctx->bih.options & kVLENGTH) && d->st == kTrail && knownHeight(d) &&
        uint64_t(d->stripe + 1) * d->ctx->bih.L0 >= d->H)
        return true;
    if (v == 0 || (knownHeight(d) && v > d->H))
        return errSet("damaged stream: a NEWLEN names %u rows, not fewer than the %llu there are", v,
                      (unsigned long long)d->H);
    if (v < d->y) return errSet("damaged stream: a NEWLEN names %u rows, fewer than the %u already decoded", v, d->y);
    d->H = v;
    d->info.YD = v;
    d->info.stripes = uint32_t((uint64_t(v) + d->ctx->bih.L0 - 1) / d->ctx->bih.L0);
    d->newlenSeen = true;
    d->newlenStripe = d->stripe;
    return true;
}

bool takeAtmove(Dec *d, const uint8_t *p) {
    const uint32_t row = getBE(p, 4), tx = p[4], ty = p[5];
    const JbigBih &b = d->ctx->bih;
    if (tx > b.MX) return errSet("damaged stream: an ATMOVE moves the AT pixel %u columns, more than MX %u", tx, b.MX);
    if (ty > b.MY) return errSet("damaged stream: an ATMOVE moves the AT pixel %u rows up, more than MY %u", ty, b.MY);
    if (d->atInLead && row <= d->lastAtRow)
        return errSet("damaged stream: ATMOVE segments of a stripe name their lines out of order");
    d->atInLead++;
    d->lastAtRow = row;
    d->info.atmoves++;
    d->info.atColumns[tx >> 5] |= 1u << (tx & 31);
    return true;
}

// Drops up to commentLeft bytes at the scan position.
void dropComment(Dec *d) {
    const size_t i = size_t(d->scanPos - d->base), avail = d->inLen - i;
    const size_t n = size_t(std::min<uint64_t>(d->commentLeft, avail));
    std::memmove(d->in + i, d->in + i + n, avail - n);
    d->inLen -= n;
    d->dropped += n;
    d->commentLeft -= n;
}

// Scans the bytes at hand up to the end of the current stripe and the
// segments after it; false on damaged data.
bool scan(Dec *d) {
    for (;;) {
        if (d->commentLeft) {
            dropComment(d);
            if (d->commentLeft) return true;
        }
        if (d->st == kTrail && (d->trailDone || d->term == kAbort)) return true;
        const size_t i = size_t(d->scanPos - d->base);
        if (i >= d->inLen) return true;
        const uint8_t *p = d->in + i;
        const size_t avail = d->inLen - i;
        if (p[0] != kEsc || (avail >= 2 && p[1] == kStuff)) {
            if (d->st == kTrail) {
                d->trailDone = true;
                return true;
            }
            if (d->st == kLead) {
                d->st = kData;
                d->dataStart = d->scanPos;
            }
            if (p[0] == kEsc) {
                d->scanPos += 2;
                continue;
            }
            d->scanPos += bytesBeforeEsc(p, avail);
            continue;
        }
        if (avail < 2) return true;
        const uint8_t m = p[1];
        const unsigned long long at = offsetOf(d, d->scanPos);
        switch (m) {
        case kSdnorm:
        case kSdrst:
        case kAbort:
            if (d->st == kTrail) {
                d->trailDone = true;
                return true;
            }
            if (m == kAbort && d->st == kLead) d->white = true;
            d->term = m;
            d->st = kTrail;
            d->scanPos += 2;
            d->termEnd = d->scanPos;
            d->atInLead = 0;
            if (m == kSdrst) d->info.sdrst++;
            if (m == kAbort) d->info.aborted = 1;
            continue;
        case kNewlen:
            if (avail < 2 + kNewlenParams) return true;
            if (!takeNewlen(d, getBE(p + 2, 4))) return false;
            d->scanPos += 2 + kNewlenParams;
            break;
        case kAtmove:
            if (avail < 2 + kAtmoveParams) return true;
            if (d->st == kData)
                return errSet("damaged stripe data: ATMOVE after coded data at byte %llu (stripe %u)", at, d->stripe);
            if (!takeAtmove(d, p + 2)) return false;
            d->scanPos += 2 + kAtmoveParams;
            break;
        case kComment: {
            if (avail < 2 + kCommentParams) return true;
            // The body is dropped here; the QM decoder skips a comment of
            // no bytes.
            d->commentLeft = getBE(p + 2, 4);
            d->info.comments++;
            d->info.commentBytes += d->commentLeft;
            std::memset(d->in + i + 2, 0, kCommentParams);
            d->scanPos += 2 + kCommentParams;
            break;
        }
        default:
            // The next stripe's problem: this one's rows go out first.
            if (d->st == kTrail) {
                d->trailDone = true;
                return true;
            }
            return errSet("damaged stripe data: marker 0xFF 0x%02X at byte %llu (stripe %u)", unsigned(m), at,
                          d->stripe);
        }
        if (d->st == kData) d->lastSegEnd = d->scanPos;
    }
}

// ---------------------------------------------------------------- decoding

// Shows the QM decoder the stripe's bytes at hand: up to its closing marker
// once that has come.
void expose(Dec *d) {
    JbigStream &s = d->ctx->stream;
    const uint64_t limit = d->st == kTrail ? d->termEnd : d->scanPos;
    s.memBase = d->in;
    s.memPtr = d->in + s.memPos;
    s.memLength = uint32_t(limit - d->base);
    d->ctx->dec.sdeRead = 0;
    d->ctx->dec.sdeLength = s.memLength - s.memPos;
}

// Stream position of the next byte the QM decoder takes.
uint64_t consumed(const Dec *d) {
    const JbigStream &s = d->ctx->stream;
    return d->base + s.memPos - (s.bufFill - s.bufPos);
}

bool lineReady(const Dec *d) {
    if (endKnown(d)) return true;
    const uint64_t limit = d->st == kTrail ? d->termEnd : d->scanPos, c = consumed(d);
    return d->lastSegEnd <= c && limit >= c + d->lineBound;
}

bool stripeReady(const Dec *d) {
    if (d->st == kTrail) return true;
    return d->st == kData && d->lastSegEnd <= d->dataStart && d->scanPos >= d->dataStart + d->lineBound;
}

void beginStripe(Dec *d) {
    JbigContext *ctx = d->ctx;
    JbigStream &s = ctx->stream;
    s.memPos = uint32_t(d->stripeStart - d->base);
    s.bufFill = s.bufPos = 0;
    ctx->dec.sdeEnd = 0;
    ctx->dec.markerBudget = 0xFFFFFFFFu;
    expose(d);
    qmDecBegin(ctx);
    if (d->stripe > 0 && ctx->dec.tpReset) {
        // After SDRST the stripe starts afresh, white rows above it.
        ctx->ltpPrev = 1;
        ctx->cur.lines[1] = ctx->cur.lines[2] = d->blank;
        ctx->at = AtPosition{0, 0};
    }
    d->moveCount = ctx->atMoveCount;
    d->moveNext = 0;
    d->at = ctx->at;
    d->started = true;
    d->line = 0;
}

void decodeLine(Dec *d) {
    JbigContext *ctx = d->ctx;
    while (d->moveNext < d->moveCount && ctx->atMoves[d->moveNext].row <= d->line) {
        d->at = AtPosition{ctx->atMoves[d->moveNext].tx, ctx->atMoves[d->moveNext].ty};
        d->moveNext++;
    }
    uint8_t *row = d->ring[d->y % d->R];
    std::memset(row, 0, d->stride);
    d->slots[d->K] = row;
    if (d->at.ty > 0) d->slots[d->K - d->at.ty] = d->y >= d->at.ty ? d->ring[(d->y - d->at.ty) % d->R] : d->blank;
    ctx->cur.row = d->K;
    ctx->cur.blankRow = d->K + 1;
    ctx->at = d->at;
    ctx->atMoveCount = 0;
    expose(d);
    d->walk(ctx, 1);
    d->line++;
}

// Compacts the input: what the QM decoder has taken is gone.
void compact(Dec *d) {
    JbigStream &s = d->ctx->stream;
    const size_t n = s.memPos;
    if (n == 0 || n < d->inLen / 2) return;
    std::memmove(d->in, d->in + n, d->inLen - n);
    d->inLen -= n;
    d->base += n;
    s.memPos = 0;
}

// Decodes and delivers what the input at hand allows.
int32_t run(Dec *d) {
    if (d->phase == kComplete) return ZELJBIG_STREAM_DONE;
    if (d->phase != kStripes) return d->phase == kFailed ? -1 : ZELJBIG_STREAM_MORE;
    for (;;) {
        // Done before the bytes after the last stripe are looked at: they
        // are ignored, however they were cut.
        if (knownHeight(d) && d->y >= d->H && !d->started) {
            d->phase = kComplete;
            d->info.completeLayers = 1;
            return ZELJBIG_STREAM_DONE;
        }
        if (!scan(d)) return failWith(d, false);
        if (d->white) {
            if (!knownHeight(d))
                return failWith(d, errSet("the height is unknown (YD 0xFFFFFFFF) and ABORT ends the data before a "
                                          "NEWLEN gives it"));
            const uint32_t y = d->y++;
            if (d->sink(d->user, y, d->blank, d->bytes)) return ZELJBIG_STREAM_STOPPED;
            continue;
        }
        if (!d->started) {
            if (!stripeReady(d)) return ZELJBIG_STREAM_MORE;
            beginStripe(d);
        }
        if (d->line < stripeLines(d, d->stripe)) {
            if (!lineReady(d)) return ZELJBIG_STREAM_MORE;
            if (d->y == 0xFFFFFFFFu) return failWith(d, errSet("too large: more than 4294967294 rows"));
            decodeLine(d);
            compact(d);
            const uint32_t y = d->y++;
            if (d->sink(d->user, y, d->ring[y % d->R], d->bytes)) return ZELJBIG_STREAM_STOPPED;
            continue;
        }
        if (!endKnown(d)) return ZELJBIG_STREAM_MORE;
        // A NEWLEN that cuts off rows whose data had come: fed in pieces,
        // they were decoded before it arrived, so it fails fed whole too.
        if (d->newlenSeen && d->newlenStripe == d->stripe && d->term != kAbort &&
            d->H < uint64_t(d->stripe + 1) * d->ctx->bih.L0) {
            const uint64_t c = consumed(d);
            if (d->lastSegEnd <= c && d->termEnd >= c + d->lineBound)
                return failWith(d, errSet("damaged stream: a NEWLEN names %llu rows, fewer than its stripe's data "
                                          "holds", (unsigned long long)d->H));
        }
        // The stripe is done: the next starts after its closing marker, with
        // the segments scanned after it.
        d->started = false;
        if (d->term == kAbort) {
            d->white = true;
            continue;
        }
        d->stripe++;
        d->stripeStart = d->termEnd;
        d->st = kLead;
        d->trailDone = false;
        d->lastSegEnd = 0;
        compact(d);
    }
}

bool append(Dec *d, const uint8_t *p, size_t n) {
    compact(d);
    if (d->inLen + n > d->inCap) {
        if (d->inLen + n > kMaxBuffered)
            return errSet("more than %lu bytes of one stripe's data before it can be decoded", (unsigned long)kMaxBuffered);
        const size_t cap = std::max(d->inLen + n, std::max<size_t>(d->inCap * 2, 4096));
        auto *q = static_cast<uint8_t *>(std::realloc(d->in, cap));
        if (q == nullptr) return errSet("out of memory for %lu bytes of input", (unsigned long)cap);
        d->in = q;
        d->inCap = cap;
    }
    std::memcpy(d->in + d->inLen, p, n);
    d->inLen += n;
    return true;
}

// Takes n bytes into the phase they belong to.
bool feed(Dec *d, const uint8_t *p, size_t n) {
    d->pushed += n;
    d->info.dataBytes = d->pushed;
    if (d->phase == kHead) {
        const size_t k = std::min<size_t>(n, kBihBytes - d->headFill);
        std::memcpy(d->head + d->headFill, p, k);
        d->headFill += uint32_t(k);
        p += k, n -= k;
        if (d->headFill == kBihBytes && !takeHeader(d)) return false;
    }
    if (d->phase == kTable) {
        const size_t k = std::min<size_t>(n, d->tableLeft);
        d->tableLeft -= uint32_t(k);
        p += k, n -= k;
        if (d->tableLeft == 0) d->phase = kStripes;
    }
    if (d->phase == kStripes && n) return append(d, p, n);
    return true;
}

}  // namespace

ZeljbigStreamDecoder *zeljbigStreamDecoderCreate(ZeljbigRowSink sink, void *user) {
    errClear();
    if (sink == nullptr) return errSet("no row sink"), nullptr;
    auto *d = new (std::nothrow) ZeljbigStreamDecoder{};
    JbigContext *ctx = d ? ctxCreate(nullptr, kModeDecoder | kModeFull | kFlagMemory) : nullptr;
    if (ctx == nullptr) {
        delete d;
        return errSet("out of memory"), nullptr;
    }
    ctx->stream.streamFlags |= kStreamMemory | kStreamRead;
    d->ctx = ctx;
    d->sink = sink;
    d->user = user;
    d->phase = kHead;
    return d;
}

int32_t zeljbigStreamDecoderPush(ZeljbigStreamDecoder *d, const uint8_t *bytes, size_t n, size_t *taken) {
    errClear();
    if (taken) *taken = 0;
    if (d == nullptr || (bytes == nullptr && n != 0)) return errSet("no decoder or no bytes"), -1;
    if (d->phase == kFailed) return errSet("%s", d->reason), -1;
    if (d->finished) return errSet("the input has ended already (zeljbigStreamDecoderFinish)"), -1;
    size_t off = 0;
    for (;;) {
        const int32_t r = run(d);
        if (r == ZELJBIG_STREAM_DONE) {
            // What comes after the image is taken and ignored.
            d->pushed += n - off;
            d->info.dataBytes = d->pushed;
            off = n;
        }
        if (r != ZELJBIG_STREAM_MORE || off == n) {
            if (taken) *taken = off;
            return r;
        }
        const size_t k = std::min(n - off, kChunk);
        if (!feed(d, bytes + off, k)) {
            if (taken) *taken = off + k;
            return failWith(d, false);
        }
        off += k;
    }
}

int32_t zeljbigStreamDecoderFinish(ZeljbigStreamDecoder *d) {
    errClear();
    if (d == nullptr) return errSet("no decoder"), -1;
    if (d->phase == kFailed) return errSet("%s", d->reason), -1;
    if (d->phase == kHead)
        return failWith(d, errSet(d->headFill ? "not a JBIG image: shorter than the 20-byte header"
                                              : "no data: not a JBIG image"));
    if (d->phase == kTable) return failWith(d, errSet("truncated: the private deterministic-prediction table is cut short"));
    d->finished = true;
    const int32_t r = run(d);
    if (r != ZELJBIG_STREAM_MORE) return r;
    if (!knownHeight(d) && d->st == kLead && d->scanPos - d->base == d->inLen)
        return failWith(d, errSet("the height is unknown (YD 0xFFFFFFFF) and no NEWLEN gives it"));
    // Worded as the readers word it.
    if (d->base == d->pushed && d->inLen == 0)
        return failWith(d, errSet("truncated: the %lu-byte header is followed by no stripe data", (unsigned long)d->pushed));
    return failWith(d, errSet("truncated: the stripe data ends early (stripe %u, row %u)", d->stripe, d->y));
}

int32_t zeljbigStreamDecoderInfo(const ZeljbigStreamDecoder *d, ZeljbigInfo *info) {
    errClear();
    if (d == nullptr || info == nullptr) return errSet("no decoder or no info record"), -1;
    if (d->phase == kHead || (d->phase == kFailed && d->info.L0 == 0)) return errSet("the header has not come yet"), -1;
    *info = d->info;
    return 0;
}

uint32_t zeljbigStreamDecoderRows(const ZeljbigStreamDecoder *d) { return d ? d->y : 0; }

bool streamDecoderAborted(const ZeljbigStreamDecoder *d) { return d->white; }

void zeljbigStreamDecoderDestroy(ZeljbigStreamDecoder *d) {
    if (d == nullptr) return;
    // The context's rows are the decoder's own: not the context's to free.
    d->ctx->cur.rows = nullptr;
    ctxDestroy(d->ctx);
    std::free(d->in);
    std::free(d->rowMem);
    std::free(d->ring);
    delete d;
}
