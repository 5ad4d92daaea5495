// The streaming encoder: the lowest layer's stripe coder of the whole-image
// encoder, run on a window of rows that the caller fills.
#include "jbgCStream.h"

#include "../frame/jbgError.h"
#include "jbgCAt.h"
#include "jbgCBase.h"

// The window is cur, a raster of L0 + 3 rows:
//
//   row 0         the row two above the stripe   (white above the top)
//   row 1         the row above the stripe
//   rows 2 ..     the stripe's rows as they come, `pending` of them
//   row L0 + 2    white (blankRow)
//
// The walks and the AT planner take rows through cur.rows[] and see the
// stripe at rows 2 .. as the whole-image encoder sees it at its place.
// After a stripe its last two rows move to rows 0 and 1.
struct ZeljbigStreamEncoder {
    JbigContext *ctx;
    ZeljbigByteSink sink;
    void *user;
    StripeFn coder;
    uint32_t height;   // the rows there will be, kUnknownHeight until known
    uint32_t rows;     // rows pushed
    uint32_t pending;  // of them in the stripe not coded yet
    uint32_t stripes;  // stripes coded
    uint32_t newlenAt; // stripes coded when the NEWLEN went out
    // Marker segments to follow the stripe being filled.
    uint8_t *after;
    size_t afterLength, afterCapacity;
    bool started, newlen, done, failed;
};

namespace {

constexpr uint32_t kWindowTop = 2;

bool fail(ZeljbigStreamEncoder *e, const char *why) {
    e->failed = true;
    if (errText()[0] == '\0') errSet("%s", why);
    return false;
}

// The bytes the context holds, to the sink.
bool drain(ZeljbigStreamEncoder *e) {
    JbigContext *ctx = e->ctx;
    if (qmEncWriteRest(ctx) != 0) return fail(e, "out of memory for the coded stripe");
    JbigStream &s = ctx->stream;
    if (s.memLength > 0 && e->sink(e->user, s.memPtr, s.memLength) != 0) return fail(e, "the output could not be written");
    s.memPos = s.memLength = 0;
    return true;
}

bool put(ZeljbigStreamEncoder *e, const uint8_t *bytes, size_t n) {
    return e->sink(e->user, bytes, n) == 0 || fail(e, "the output could not be written");
}

constexpr uint32_t kNotYet = 0xFFFFFFFFu;

// The last row is in and out. A NEWLEN after the last stripe is followed
// by a stripe of no lines, which T.85 decoders wait for before they end.
bool complete(ZeljbigStreamEncoder *e) {
    e->done = true;
    if (e->newlenAt != e->stripes) return true;
    const uint8_t end[2] = {kEsc, e->ctx->enc.sdrst ? kSdrst : kSdnorm};
    return put(e, end, sizeof end);
}

// The header before anything else.
bool start(ZeljbigStreamEncoder *e) {
    if (e->started) return true;
    e->started = true;
    return (bihWrite(e->ctx) == 0 || fail(e, "out of memory")) && drain(e);
}

// A segment after the stripe being filled, or now when none is; with
// `afterData` after the first stripe when none has begun.
bool segment(ZeljbigStreamEncoder *e, const uint8_t *head, size_t headBytes, const uint8_t *body, size_t bodyBytes,
             bool afterData = false) {
    if (!start(e)) return false;
    if (e->pending == 0 && !(afterData && e->stripes == 0)) return put(e, head, headBytes) && (bodyBytes == 0 || put(e, body, bodyBytes));
    const size_t need = e->afterLength + headBytes + bodyBytes;
    if (need > e->afterCapacity) {
        const size_t cap = std::max<size_t>(need, 2 * e->afterCapacity);
        void *p = e->after ? HeapReAlloc(GetProcessHeap(), 0, e->after, cap) : HeapAlloc(GetProcessHeap(), 0, cap);
        if (p == nullptr) return fail(e, "out of memory for a marker segment");
        e->after = static_cast<uint8_t *>(p);
        e->afterCapacity = cap;
    }
    std::memcpy(e->after + e->afterLength, head, headBytes);
    if (bodyBytes) std::memcpy(e->after + e->afterLength + headBytes, body, bodyBytes);
    e->afterLength = need;
    return true;
}

// The stripe in the window, coded and out, then what waited for it.
bool codeStripe(ZeljbigStreamEncoder *e) {
    JbigContext *ctx = e->ctx;
    JbigLayerImage &img = ctx->cur;
    const uint32_t n = e->pending;
    img.row = kWindowTop;
    img.lines[1] = img.rows[0];
    img.lines[2] = img.rows[1];
    if (lowStripeCode(ctx, e->coder, e->stripes, kWindowTop, n) != 0) return fail(e, "out of memory for the coded stripe");
    e->stripes++;
    e->pending = 0;
    if (!drain(e)) return false;
    // The two rows above the next stripe (with one line, the old row 1
    // moves up first).
    std::memcpy(img.rows[0], img.rows[n], img.stride);
    std::memcpy(img.rows[1], img.rows[n + 1], img.stride);
    if (e->afterLength > 0) {
        const size_t k = e->afterLength;
        e->afterLength = 0;
        if (e->newlen && e->newlenAt == kNotYet) e->newlenAt = e->stripes;
        if (!put(e, e->after, k)) return false;
    }
    return true;
}

bool usable(ZeljbigStreamEncoder *e) {
    if (e == nullptr) return errSet("no encoder");
    if (e->failed) return errSet("the encoder failed before");
    return true;
}

// The NEWLEN segment of the height now known.
bool newLength(ZeljbigStreamEncoder *e, uint32_t height) {
    const uint8_t seg[2 + kNewlenParams] = {kEsc, kNewlen, uint8_t(height >> 24), uint8_t(height >> 16),
                                            uint8_t(height >> 8), uint8_t(height)};
    e->height = height;
    e->newlen = true;
    const bool now = e->pending == 0 && e->stripes > 0;
    if (!segment(e, seg, sizeof seg, nullptr, 0, true)) return false;
    if (now) e->newlenAt = e->stripes;
    // The rows are all in: the stripe ends here.
    if (e->rows == height) return (e->pending == 0 || codeStripe(e)) && complete(e);
    return true;
}

}  // namespace

ZeljbigStreamEncoder *streamEncCreate(const StreamEncodeSetup &setup, ZeljbigByteSink sink, void *user) {
    if (sink == nullptr) return errSet("no sink for the stream"), nullptr;
    if (setup.width == 0 || setup.height == 0 || setup.L0 == 0)
        return errSet("image has no pixels or no lines per stripe (%lu x %lu, %lu a stripe)",
                      (unsigned long)setup.width, (unsigned long)setup.height, (unsigned long)setup.L0),
               nullptr;
    const uint64_t window = (uint64_t(setup.L0) + kWindowTop + 1) * strideFor(setup.width);
    if (uint64_t(setup.width) + 15 > 0xFFFFFFFFu || window > 0x7FFFFFFFu)
        return errSet("a stripe of %lu rows of %lu pixels is too large to hold", (unsigned long)setup.L0,
                      (unsigned long)setup.width),
               nullptr;
    JbigContext *ctx = ctxCreate(nullptr, kModeEncoder | kModeFull | kFlagMemory);
    auto *e = static_cast<ZeljbigStreamEncoder *>(HeapAlloc(GetProcessHeap(), 0, sizeof(ZeljbigStreamEncoder)));
    if (ctx == nullptr || e == nullptr) {
        if (ctx != nullptr) ctxDestroy(ctx);
        if (e != nullptr) HeapFree(GetProcessHeap(), 0, e);
        return errSet("out of memory"), nullptr;
    }
    *e = ZeljbigStreamEncoder{};
    e->newlenAt = kNotYet;
    e->ctx = ctx;
    e->sink = sink;
    e->user = user;
    e->height = setup.height;
    JbigBih &b = ctx->bih;
    b.P = 1;
    b.XD = setup.width;
    b.YD = setup.height;
    b.L0 = setup.L0;
    b.MX = uint8_t(std::min<uint32_t>(setup.MX, 127));
    b.order = setup.order & 0x0F;
    b.options = setup.options & (kLRLTWO | kVLENGTH | kTPBON | kTPDON);
    ctx->enc.sdrst = (setup.stripeFlags & kEncSdrst) != 0;
    ctx->enc.keepZeros = (setup.stripeFlags & kEncKeepZeros) != 0;
    ctx->stream.streamFlags |= kStreamMemory;
    ctx->layerCursor = 0;
    ctx->enc.headBytes = ctx->enc.written = 0;
    JbigLayerImage &img = ctx->cur;
    layerImageSetup(&img, setup.width, setup.L0 + kWindowTop);
    img.stripeRows = setup.L0;
    const bool ok = streamOpenWrite(&ctx->stream) == 0 && layerImageAlloc(&img);
    if (ok) std::memset(img.rows[0], 0, size_t(img.stride) * (img.height + 1));
    if (!ok || (e->coder = lowLayerStart(ctx)) == nullptr) {
        zeljbigStreamEncoderDestroy(e);
        return errSet("out of memory for a stripe of rows"), nullptr;
    }
    return e;
}

uint32_t streamEncRows(const ZeljbigStreamEncoder *e) { return e->rows; }
uint32_t streamEncHeight(const ZeljbigStreamEncoder *e) { return e->height; }
bool streamEncDone(const ZeljbigStreamEncoder *e) { return e->done; }

extern "C" {

ZeljbigStreamEncoder *zeljbigStreamEncoderCreate(const ZeljbigEncodeParams *params, uint32_t width, uint32_t height,
                                                 ZeljbigByteSink sink, void *user) {
    errClear();
    ZeljbigEncodeParams p;
    zeljbigEncodeDefaults(&p);
    if (params != nullptr) p = *params;
    auto tristate = [](int32_t v) { return v >= -1 && v <= 1; };
    if (p.layers != 0)
        return errSet("%lu differential layers: the streaming encoder codes one layer only", (unsigned long)p.layers),
               nullptr;
    if (p.planes > 1)
        return errSet("%lu bit planes: the streaming encoder codes one plane only", (unsigned long)p.planes), nullptr;
    if (p.flags & ZELJBIG_BEST)
        return errSet("the smallest stream (ZELJBIG_BEST) needs the whole picture: not when streaming"), nullptr;
    if (p.flags & ~uint32_t(ZELJBIG_NO_INDEX | ZELJBIG_HIGHEST_FIRST | ZELJBIG_SDRST))
        return errSet("unknown flags 0x%lX", (unsigned long)p.flags), nullptr;
    if (p.atMax > 127) return errSet("AT moves of up to %lu columns: at most 127 are possible", (unsigned long)p.atMax), nullptr;
    if (!tristate(p.twoLine) || !tristate(p.tpbon)) return errSet("template and prediction choices are 1, 0 or -1"), nullptr;
    StreamEncodeSetup s{};
    s.width = width;
    s.height = height;
    s.L0 = p.stripeLines ? p.stripeLines : 128;
    s.MX = p.atMax;
    s.order = (p.flags & ZELJBIG_HIGHEST_FIRST) ? kHITOLO : 0;
    // VLENGTH as the whole-image encoder writes it: a NEWLEN may follow.
    // TPDON only when asked for: T.85 has no differential layers.
    s.options = kVLENGTH | (p.twoLine == 1 ? kLRLTWO : 0) | (p.tpbon != 0 ? kTPBON : 0) | (p.tpdon == 1 ? kTPDON : 0);
    s.stripeFlags = (p.flags & ZELJBIG_SDRST) ? kEncSdrst : 0;
    return streamEncCreate(s, sink, user);
}

int32_t zeljbigStreamEncoderPushRows(ZeljbigStreamEncoder *e, const uint8_t *rows, size_t stride, uint32_t count) {
    errClear();
    if (!usable(e)) return -1;
    JbigLayerImage &img = e->ctx->cur;
    const uint32_t W = img.width, bytes = (W + 7) >> 3;
    if (count == 0) return 0;
    if (rows == nullptr || stride < bytes) return errSet("no rows, or rows of fewer than (width + 7) / 8 bytes"), -1;
    if (e->done || uint64_t(e->rows) + count > e->height ||
        (e->height == kUnknownHeight && uint64_t(e->rows) + count >= kUnknownHeight))
        return errSet("%llu rows pushed: the image has %lu", (unsigned long long)e->rows + count,
                      (unsigned long)(e->done ? e->rows : e->height)),
               -1;
    if (!start(e)) return -1;
    const uint8_t mask = uint8_t(0xFF << ((8 - (W & 7)) & 7));
    for (uint32_t i = 0; i < count; i++, rows += stride) {
        uint8_t *row = img.rows[kWindowTop + e->pending];
        std::memcpy(row, rows, bytes);
        row[bytes - 1] &= mask;
        e->pending++;
        e->rows++;
        if ((e->pending == img.stripeRows || e->rows == e->height) && !codeStripe(e)) return -1;
    }
    return e->rows == e->height && !complete(e) ? -1 : 0;
}

int32_t zeljbigStreamEncoderComment(ZeljbigStreamEncoder *e, const uint8_t *bytes, size_t size) {
    errClear();
    if (!usable(e)) return -1;
    if (e->done) return errSet("the image is complete: no more comments"), -1;
    if (size > 0xFFFFFFFFu || (size > 0 && bytes == nullptr)) return errSet("a comment of up to 4 GiB - 1 bytes"), -1;
    uint8_t head[2 + kCommentParams] = {kEsc, kComment};
    putBE(head + 2, 4, uint32_t(size));
    return segment(e, head, sizeof head, bytes, size) ? 0 : -1;
}

int32_t zeljbigStreamEncoderNewLength(ZeljbigStreamEncoder *e, uint32_t height) {
    errClear();
    if (!usable(e)) return -1;
    if (e->newlen || e->done) return errSet("the height is given already"), -1;
    if (!(e->ctx->bih.options & kVLENGTH)) return errSet("the header has no VLENGTH: the height cannot change"), -1;
    if (height < e->rows || height == 0 || height >= e->height || height == kUnknownHeight)
        return errSet("a height of %lu rows: %lu are in, and it must be below %lu", (unsigned long)height,
                      (unsigned long)e->rows, (unsigned long)e->height),
               -1;
    return newLength(e, height) ? 0 : -1;
}

int32_t zeljbigStreamEncoderFinish(ZeljbigStreamEncoder *e) {
    errClear();
    if (!usable(e)) return -1;
    if (e->done) return 0;
    if (e->height == kUnknownHeight) {
        if (e->rows == 0) return errSet("no rows: an image needs one at least"), -1;
        return newLength(e, e->rows) ? 0 : -1;
    }
    return errSet("%lu of %lu rows pushed", (unsigned long)e->rows, (unsigned long)e->height), -1;
}

int32_t zeljbigStreamEncoderAbort(ZeljbigStreamEncoder *e) {
    errClear();
    if (!usable(e)) return -1;
    if (e->done) return errSet("the image is complete: nothing to abort"), -1;
    if (!start(e) || (e->pending > 0 && !codeStripe(e))) return -1;
    static const uint8_t seg[2] = {kEsc, kAbort};
    e->done = true;
    return put(e, seg, sizeof seg) ? 0 : -1;
}

void zeljbigStreamEncoderDestroy(ZeljbigStreamEncoder *e) {
    if (e == nullptr) return;
    JbigContext *ctx = e->ctx;
    atPlannerFree(ctx);
    layerImageFree(&ctx->cur);
    if (ctx->stream.memPtr != nullptr) HeapFree(GetProcessHeap(), 0, ctx->stream.memPtr);
    ctx->stream.memPtr = nullptr;
    ctxDestroy(ctx);
    if (e->after != nullptr) HeapFree(GetProcessHeap(), 0, e->after);
    HeapFree(GetProcessHeap(), 0, e);
}

}  // extern "C"
