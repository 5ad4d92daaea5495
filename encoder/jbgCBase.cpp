// Encoder interface and the coding of the lowest-resolution layer.
#include "jbgCBase.h"

#include <algorithm>
#include <cstring>

#include "../frame/jbgBIH.h"
#include "../frame/jbgDiff.h"
#include "../frame/jbgError.h"
#include "../frame/jbgMarker.h"
#include "../frame/jbgPat.h"
#include "../frame/jpgLib.h"
#include "jbgCAt.h"
#include "jbgCBS.h"

// ---------------------------------------------------------------- stripe order

// The spooled stripes into the stream in the order the header announces;
// the table then holds their places there.
static int32_t writeInOrder(JbigContext *ctx) {
    JbigEncoderState &e = ctx->enc;
    e.spooling = 0;
    const JbigBih &b = ctx->bih;
    const uint32_t S = uint32_t(ctx->stripeCount), n = S * (b.D + 1u) * b.P;
    const char *nest = sdeNesting(b.order, true);
    uint32_t at = e.headBytes;
    for (uint32_t k = 0; k < n; k++) {
        const SdeIndex x = sdeAt(b, nest, 0, b.D, S, k);
        uint32_t *entry = stripeEntry(ctx, x.plane, x.layer, x.stripe);
        if (streamWrite(&ctx->stream, e.spool + entry[0] - e.headBytes, entry[1]) != int32_t(entry[1])) return -1;
        entry[0] = at;
        at += entry[1];
    }
    return 0;
}

// True when the announced order is the order of coding: layer D first,
// every plane of a layer before the next layer, stripes top to bottom.
static bool codingOrderAnnounced(const JbigBih &b, uint32_t stripes) {
    JbigBih coding = b;
    coding.order = kHITOLO | kILEAVE;
    const char *announced = sdeNesting(b.order, true), *dps = sdeNesting(coding.order, true);
    const uint32_t n = stripes * (b.D + 1u) * b.P;
    for (uint32_t k = 0; k < n; k++) {
        const SdeIndex x = sdeAt(b, announced, 0, b.D, stripes, k), y = sdeAt(coding, dps, 0, b.D, stripes, k);
        if (x.plane != y.plane || x.layer != y.layer || x.stripe != y.stripe) return false;
    }
    return true;
}

void spoolFree(JbigContext *ctx) {
    if (ctx->enc.spool != nullptr) HeapFree(GetProcessHeap(), 0, ctx->enc.spool);
    ctx->enc.spool = nullptr;
}

// ---------------------------------------------------------------- lowest layer

StripeFn lowLayerStart(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    img.row = 0;
    img.stripe = 0;
    ctx->ltpPrev = 1;
    ctx->at = AtPosition{0, 0};
    std::memset(img.rows[img.blankRow], 0, img.stride);
    img.lines[0] = img.lines[1] = img.lines[2] = img.rows[img.blankRow];
    return atPlannerAlloc(ctx, img.width) ? lowStripeFor<EncCoder>(ctx->bih.options) : nullptr;
}

uint32_t lowStripeCode(JbigContext *ctx, StripeFn coder, uint32_t s, uint32_t top, uint32_t lines) {
    JbigLayerImage &img = ctx->cur;
    qmEncInit(ctx);
    if (s > 0 && ctx->enc.sdrst) {
        // As the decoder takes a stripe after SDRST: typical prediction
        // afresh, white rows above, the AT pixel in its place.
        ctx->ltpPrev = 1;
        img.lines[1] = img.lines[2] = img.rows[img.blankRow];
        ctx->at = AtPosition{0, 0};
    }
    atPlanStripe(ctx, top, lines, true);
    atWriteMoves(ctx);
    coder(ctx, lines);
    return qmEncFlush(ctx);
}

// Everything of the lowest layer but the writing out at the end.
static int32_t lowLayerCode(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    const StripeFn coder = lowLayerStart(ctx);
    if (coder == nullptr) return -1;
    uint32_t start = qmEncTell(ctx), done = 0;
    const uint32_t S = static_cast<uint32_t>(ctx->stripeCount);
    for (uint32_t s = 0; s < S; s++) {
        uint32_t lines = (s + 1 < S) ? img.stripeRows : img.height - done;
        if (lowStripeCode(ctx, coder, s, done, lines) != 0) {
            atPlannerFree(ctx);
            return -1;
        }
        uint32_t end = qmEncTell(ctx);
        uint32_t *e = stripeEntry(ctx, img.plane, 0, s);
        e[0] = start;
        e[1] = end - start;
        start = end;
        done += lines;
    }
    atPlannerFree(ctx);
    return 0;
}

// The bytes still buffered, and the spooled stripes in their order.
static int32_t encFinish(JbigContext *ctx) {
    if (qmEncWriteRest(ctx) != 0) return -1;
    return ctx->enc.spooling ? writeInOrder(ctx) : 0;
}

int32_t lowLayerEncode(JbigContext *ctx) {
    const int32_t r = lowLayerCode(ctx);
    return r != 0 ? r : encFinish(ctx);
}

// ---------------------------------------------------------------- interface

JbigEncodeOptions *JBIGAPI jbigEncodeCreatDefaultOptions(JbigEncodeOptions *opts, uint32_t width, uint32_t height,
                                                         uint32_t layers, uint16_t flags) {
    if (opts == nullptr) return nullptr;
    opts->XD = width;
    opts->YD = height;
    opts->D = static_cast<uint8_t>(layers);
    opts->DL = 0;
    opts->P = 1;
    opts->L0 = layers != 0 ? 8 : height + (height & 1);
    opts->MX = 8;
    opts->MY = 0;
    opts->HITOLO = 1;
    opts->SEQ = opts->ILEAVE = opts->SMID = 0;
    opts->LRLTWO = 1;
    opts->VLENGTH = 1;
    opts->TPDON = 1;
    opts->TPBON = 1;
    opts->DPON = opts->DPPRIV = opts->DPLAST = 0;
    opts->flags = flags;
    return opts;
}

static bool encPlanesAlloc(JbigContext *ctx);

// Frees everything an encoder holds, memory output included.
static void encFreeRasters(JbigContext *ctx) {
    layerImageFree(&ctx->cur);
    JbigEncoderState &e = ctx->enc;
    if (e.planes == nullptr) return;
    for (uint32_t q = 0; q < ctx->bih.P; q++)
        if (q != e.plane) layerImageFree(&e.planes[q]);
    globalFreeLocked(e.planesHandle);
    e.planes = nullptr;
}

static void encAbandon(JbigContext *ctx) {
    encFreeRasters(ctx);
    spoolFree(ctx);
    JbigStream *s = &ctx->stream;
    if (streamIsMemory(s) && s->memPtr != nullptr) HeapFree(GetProcessHeap(), 0, s->memPtr);
    s->memPtr = nullptr;
    JbigEncodeOptions *o = ctx->enc.options;
    if (o != nullptr && (ctx->mode & kFlagMemory)) {
        o->outData = nullptr;
        o->outLength = 0;
        o->outHandle = nullptr;
    }
    ctxDestroy(ctx);
}

JbigHandle JBIGAPI jbigEncodeProlog(const char *path, JbigEncodeOptions *opts) {
    errClear();
    if (opts == nullptr) return errSet("no options"), JBIG_INVALID_HANDLE;
    bool memory = opts->flags & kFlagMemory;
    if (!memory && path == nullptr) return errSet("no path"), JBIG_INVALID_HANDLE;
    JbigContext *ctx = ctxCreate(memory ? nullptr : path, opts->flags | kModeEncoder);
    if (ctx == nullptr)
        return errSet("cannot start an encoder (flags 0x%04X, or out of memory)", opts->flags), JBIG_INVALID_HANDLE;
    JbigBih &b = ctx->bih;
    b.XD = opts->XD;
    b.YD = opts->YD;
    b.L0 = opts->L0;
    b.DL = opts->DL;
    b.D = opts->D;
    b.P = opts->P;
    b.MX = opts->MX;
    b.MY = opts->MY;
    b.order = (opts->HITOLO & 1) * kHITOLO | (opts->SEQ & 1) * kSEQ | (opts->ILEAVE & 1) * kILEAVE |
              (opts->SMID & 1) * kSMID;
    b.options = (opts->LRLTWO & 1) * kLRLTWO | (opts->VLENGTH & 1) * kVLENGTH | (opts->TPDON & 1) * kTPDON |
                (opts->TPBON & 1) * kTPBON | (opts->DPON & 1) * kDPON | (opts->DPPRIV & 1) * kDPPRIV |
                (opts->DPLAST & 1) * kDPLAST;
    const bool full = (ctx->mode & kModeFull) != 0;
    // A private table is written only under the whole standard, and not
    // one of an earlier image (DPLAST).
    const bool dpPriv = full && (b.options & kDPPRIV);
    if (!bihReason(b, bihCheck(b, false, full)) ||
        (full && sdeNesting(b.order, true) == nullptr &&
         !errSet("order bits 0x%02X name no stripe order", unsigned(b.order & 7))) ||
        (dpPriv && (b.options & kDPLAST) && !errSet("DPPRIV with DPLAST asks for the table of an earlier image"))) {
        ctxDestroy(ctx);
        return JBIG_INVALID_HANDLE;
    }
    if (memory) ctx->stream.streamFlags |= kStreamMemory;
    if (streamOpenWrite(&ctx->stream) != 0) {
        errSet("cannot create %s", path);
        ctxDestroy(ctx);
        return JBIG_INVALID_HANDLE;
    }
    ctx->enc.options = opts;
    uint8_t table[kDpPackedBytes];
    if (dpPriv) dpTablePack(ctx->dp, table);
    if (bihWrite(ctx) != 0 || (dpPriv && streamWrite(&ctx->stream, table, kDpPackedBytes) != int32_t(kDpPackedBytes)) ||
        stripeTableCreate(ctx) != 0 || !encPlanesAlloc(ctx)) {
        errSet("cannot write the header, or out of memory");
        encAbandon(ctx);
        return JBIG_INVALID_HANDLE;
    }
    for (int32_t d = 0; d < ctx->tableLayers * b.P; d++)
        std::memset(ctx->stripeTable[d], 0, size_t(ctx->tableStripes) * 8);
    ctx->enc.headBytes = ctx->enc.written = kBihBytes + (dpPriv ? kDpPackedBytes : 0);
    // Under the whole standard the stripes stand in the announced order:
    // where it is not the order of coding (layer D first, stripes top to
    // bottom) they wait in a spool until the lowest layer is coded.
    ctx->enc.spooling = full && !codingOrderAnnounced(b, uint32_t(ctx->tableStripes));
    ctx->layerCursor = b.D;
    ctx->stripeCount = ctx->tableStripes;
    return ctxHandle(ctx);
}

// The images of the planes beyond the one in cur, for more than one plane.
static bool encPlanesAlloc(JbigContext *ctx) {
    const uint32_t P = ctx->bih.P;
    if (P == 1) return true;
    JbigEncoderState &e = ctx->enc;
    e.planes = static_cast<JbigLayerImage *>(
        globalAllocLocked(GMEM_MOVEABLE | GMEM_ZEROINIT, P * sizeof(JbigLayerImage), &e.planesHandle));
    if (e.planes == nullptr) return false;
    for (uint32_t q = 0; q < P; q++) e.planes[q].plane = q;
    return true;
}

int32_t zeljbigEncodeSelectPlane(JbigHandle handle, uint32_t plane) {
    JbigContext *ctx = ctxFromHandle(handle, kModeEncoder);
    if (ctx == nullptr || plane >= ctx->bih.P || ctx->layerCursor != ctx->bih.D) return -1;
    JbigEncoderState &e = ctx->enc;
    if (e.planes == nullptr) return 0;
    e.planes[e.plane] = ctx->cur;
    ctx->cur = e.planes[plane];
    e.plane = plane;
    return 0;
}

bool encMakeRaster(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    if (img.rows != nullptr) return true;
    layerImageSetup(&img, ctx->bih.XD, ctx->bih.YD);
    img.layer = static_cast<uint32_t>(ctx->layerCursor);
    img.stripeRows = ctx->bih.L0 << ctx->layerCursor;
    return layerImageAlloc(&img);
}

int32_t JBIGAPI jbigEncodeSetOrgDataFromRect(JbigHandle handle, const JbigImageInfo *info) {
    JbigContext *ctx = ctxFromHandle(handle, kModeEncoder);
    if (ctx == nullptr || info == nullptr || info->depth != 1) return -1;
    if (ctx->layerCursor != ctx->bih.D || ctx->enc.failed) return -1;
    if (info->width != ctx->bih.XD || (info->data == nullptr && info->height != 0)) return -1;
    if (!encMakeRaster(ctx)) return -1;
    JbigLayerImage &img = ctx->cur;
    uint32_t n = std::min(info->height, img.height - img.row);
    const uint32_t XD = ctx->bih.XD, bytes = (XD + 7) >> 3;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - (XD & 7)));
    for (uint32_t i = 0; i < n; i++) {
        uint8_t *row = img.rows[img.row];
        std::memcpy(row, info->data + size_t(i) * info->bytesPerLine, bytes);
        if (XD & 7) row[XD >> 3] &= mask;
        row[bytes] = 0;
        img.row++;
    }
    return 0;
}

// One layer of every plane, plane after plane.
static int32_t encodePlanes(JbigContext *ctx, int32_t k) {
    JbigEncoderState &e = ctx->enc;
    e.planes[e.plane] = ctx->cur;
    int32_t r = 0;
    for (uint32_t q = 0; q < ctx->bih.P && r == 0; q++) {
        ctx->cur = e.planes[q];
        r = k >= 1 ? diffLayerEncode(ctx) : lowLayerCode(ctx);
        e.planes[q] = ctx->cur;
    }
    ctx->cur = e.planes[e.plane];
    return r == 0 && k == 0 ? encFinish(ctx) : r;
}

int32_t JBIGAPI jbigEncode(JbigHandle handle) {
    JbigContext *ctx = ctxFromHandle(handle, kModeEncoder);
    if (ctx == nullptr || ctx->enc.failed) return -1;
    if (ctx->cur.rows == nullptr) return -1;
    if (ctx->layerCursor < 0) return -1;
    if (ctx->enc.planes != nullptr)
        for (uint32_t q = 0; q < ctx->bih.P; q++)
            if (q != ctx->enc.plane && ctx->enc.planes[q].rows == nullptr) return -1;
    int32_t k = ctx->layerCursor;
    ctx->layerCursor = k - 1;
    int32_t r;
    if (ctx->enc.planes != nullptr) {
        r = encodePlanes(ctx, k);
    } else if (k >= 1) {
        r = diffLayerEncode(ctx);
    } else {
        r = lowLayerEncode(ctx);
        ctx->low = ctx->cur;
    }
    if (r != 0) ctx->enc.failed = 1;
    return r == 0 ? 0 : -1;
}

JbigImageInfo *JBIGAPI jbigEncodeGetImageAddress(JbigHandle handle, JbigImageInfo *info) {
    auto *fail = reinterpret_cast<JbigImageInfo *>(~uintptr_t(0));
    JbigContext *ctx = ctxFromHandle(handle, kModeEncoder);
    if (ctx == nullptr || info == nullptr || ctx->layerCursor == ctx->bih.D || ctx->low.rows == nullptr) return fail;
    info->width = ctx->low.width;
    info->height = ctx->low.height;
    info->bytesPerLine = ctx->low.stride;
    info->depth = 1;
    info->data = ctx->low.rows[0];
    return info;
}

int32_t JBIGAPI jbigEncodeEpilog(JbigHandle handle) {
    JbigContext *ctx = ctxTake(handle, kModeEncoder);
    if (ctx == nullptr) return -1;
    // An unfinished or failed stream is not handed out.
    if (ctx->layerCursor >= 0 || ctx->enc.failed) {
        encAbandon(ctx);
        return -1;
    }
    if (!(ctx->mode & kModeNoPatInfo) && patInfoWrite(ctx) != 0) {
        encAbandon(ctx);
        return -1;
    }
    encFreeRasters(ctx);
    spoolFree(ctx);
    JbigStream *s = &ctx->stream;
    if (streamIsMemory(s)) {
        ctx->enc.options->outData = s->memPtr;
        ctx->enc.options->outLength = s->memLength;
        ctx->enc.options->outHandle = nullptr;
    }
    return ctxDestroy(ctx);
}

// For libjbig's JBG_SDRST and JBG_DELAY_AT. kEncSdrst: every stripe of
// every layer ends with SDRST and the next starts afresh, as a decoder
// after SDRST takes it.
// kEncAtStripeStart: AT moves only at the first line of a stripe.
// kEncAtLowestOnly: none in the differential layers, where the planner's
// model of the coder gains too little. kEncAtVerify: in the lowest layer a
// move only where the whole template confirms a clear gain, and back to the
// default place where it codes better. Before the first jbigEncode call;
// under the whole standard only.
int32_t encStripeOptions(JbigHandle handle, uint32_t flags) {
    JbigContext *ctx = ctxFromHandle(handle, kModeEncoder);
    if (ctx == nullptr || !(ctx->mode & kModeFull) || ctx->layerCursor != ctx->bih.D) return -1;
    ctx->enc.sdrst = (flags & kEncSdrst) != 0;
    ctx->enc.atStripeStart = (flags & kEncAtStripeStart) != 0;
    ctx->enc.atLowestOnly = (flags & kEncAtLowestOnly) != 0;
    ctx->enc.atVerify = (flags & kEncAtVerify) != 0;
    return 0;
}

// For libjbig's private tables: deterministic prediction from `tables`
// (per phase, indexed as zjDpTable; the caller's, valid until the epilog)
// instead of the built-in one. Before the first jbigEncode call. The header
// already carries the table the prolog wrote: the caller replaces it.
int32_t encUseDpTables(JbigHandle handle, const uint8_t *const tables[4]) {
    JbigContext *ctx = ctxFromHandle(handle, kModeEncoder);
    if (ctx == nullptr || ctx->layerCursor != ctx->bih.D) return -1;
    std::copy(tables, tables + 4, ctx->dp);
    return 0;
}
