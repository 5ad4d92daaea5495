// Decoder interface and the decoding of the lowest-resolution layer.
#include "jbgDBase.h"

#include <algorithm>

#include "../frame/jbgBIH.h"
#include "../frame/jbgError.h"
#include "../frame/jbgMarker.h"
#include "../frame/jbgPat.h"
#include "../frame/jpgLib.h"
#include "jbgDBS.h"

// ---------------------------------------------------------------- lowest layer

int32_t lowLayerDecode(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    const JbigBih &b = ctx->bih;
    layerImageSetup(&img, layerSize(b.XD, b.D, 0), layerSize(b.YD, b.D, 0));
    img.unitCount = img.width >> 3;
    img.unitRest = img.width & 7;
    img.stripeRows = b.L0;
    img.layer = 0;
    img.plane = ctx->dec.plane;
    ctx->ltpPrev = 1;
    ctx->at = AtPosition{0, 0};
    if (!layerImageAlloc(&img)) return -1;
    img.lines[0] = img.lines[1] = img.lines[2] = img.rows[img.blankRow];
    const StripeFn decoder = lowStripeFor<DecCoder>(ctx->dec.layerOptions[0]);
    uint32_t S = static_cast<uint32_t>(ctx->stripeCount), done = 0;
    for (uint32_t s = 0; s < S; s++) {
        uint32_t lines = (s + 1 < S) ? img.stripeRows : img.height - done;
        done += lines;
        if (stripeAbsent(ctx, img.plane, 0, s)) {
            // Rows are white when made: only the window moves on.
            img.stripe++;
            img.row += lines;
            img.lines[1] = img.lines[2] = img.rows[img.row - 1];
            continue;
        }
        qmDecInit(ctx);
        if (s > 0 && ctx->dec.tpReset) {
            // After SDRST the stripe starts its typical prediction afresh and,
            // under the whole standard, sees white rows above it.
            ctx->ltpPrev = 1;
            if (ctx->mode & kModeFull) {
                img.lines[1] = img.lines[2] = img.rows[img.blankRow];
                ctx->at = AtPosition{0, 0};
            }
        }
        decoder(ctx, lines);
    }
    return static_cast<int32_t>(ctx->dec.layerBytes);
}

int32_t decodeNextLayer(JbigContext *ctx) {
    if (ctx->layerCursor >= ctx->bih.D) return -1;
    ctx->dec.layerBytes = 0;
    ctx->layerCursor++;
    return ctx->layerCursor == 0 ? lowLayerDecode(ctx) : diffLayerDecode(ctx);
}

// Decodes up to `layer` (-1: the next one); the sum of the layers' bytes.
int32_t decodeToLayer(JbigHandle handle, int32_t layer) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    if (ctx == nullptr) return -1;
    if (ctxReopen(ctx) != 0) return -1;
    int32_t D = ctx->bih.D;
    if (layer == -1) {
        if (ctx->layerCursor >= D) return -1;
        return decodeNextLayer(ctx);
    }
    if (layer < -1 || layer <= ctx->layerCursor) return -1;
    int32_t target = layer < D ? layer : D;
    int64_t sum = 0;
    while (ctx->layerCursor < target) {
        int32_t r = decodeNextLayer(ctx);
        if (r == -1) return -1;
        sum += r;
    }
    return static_cast<int32_t>(std::min<int64_t>(sum, 0x7FFFFFFF));
}

// ---------------------------------------------------------------- interface

static void decRelease(JbigContext *ctx) {
    layerImageFree(&ctx->cur);
    layerImageFree(&ctx->low);
    // A plain buffer of the zeljbig... family has no block to unlock.
    if (ctx->stream.memBase != nullptr && ctx->stream.userHandle != nullptr) GlobalUnlock(ctx->stream.userHandle);
    ctx->stream.memBase = nullptr;
}

void decClose(JbigContext *ctx) {
    decRelease(ctx);
    ctxDestroy(ctx);
}

// The reasons a stream is refused before its stripes are looked for, as
// the whole standard reads it: an unknown height is left to NEWLEN.
static bool decHeaderUsable(JbigContext *ctx) {
    const JbigBih &b = ctx->bih;
    JbigBih known = b;
    if (known.YD == kUnknownHeight) known.YD = 1;
    if (known.DL != 0 && known.P != 0 && known.D < 32)
        return errSet("a BIE that continues another: layers 0 to %u, in the BIE before it, are missing",
                      unsigned(known.DL - 1));
    if (!bihReason(known, bihCheck(known, true, true))) return false;
    if ((b.options & kDPPRIV) && (b.options & kDPLAST))
        return errSet("needs the deterministic-prediction table of an earlier image (DPPRIV with DPLAST)");
    if ((b.options & kDPPRIV) && uint64_t(ctxDataEnd(ctx)) < uint64_t(ctx->dec.dataOffset) + kBihBytes + kDpPrivBytes)
        return errSet("truncated: the private deterministic-prediction table is cut short");
    return true;
}

bool decReadStream(JbigContext *ctx, uint32_t *announcedYD) {
    if (bihRead(ctx) != 0) return errSet("not a JBIG image: shorter than the 20-byte header");
    const JbigBih &b = ctx->bih;
    if (announcedYD != nullptr) *announcedYD = b.YD;
    for (uint32_t d = 0; d < kMaxBies; d++) {
        ctx->dec.layerOptions[d] = uint8_t(ctx->bih.options);
        std::copy(ctx->dp, ctx->dp + 4, ctx->dec.layerDp[d]);
    }
    if (ctx->mode & kModeFull) {
        const uint32_t announced = b.YD, order = b.order;
        if (!decHeaderUsable(ctx)) return false;
        if (patInfoReadFull(ctx) != 0) {
            if (b.YD == kUnknownHeight) return errSet("the height is unknown (YD 0xFFFFFFFF) and no NEWLEN gives it");
            if (b.YD != announced && !bihReason(b, bihCheck(b, true, true))) return false;
            if (sdeNesting(order, true) == nullptr)
                return errSet("stripes cannot be located: no stripe index, and order bits 0x%02X name no stripe order",
                              unsigned(order & 7));
            const uint32_t head = kBihBytes + ((b.options & kDPPRIV) ? kDpPrivBytes : 0);
            if (uint64_t(ctxDataEnd(ctx)) <= uint64_t(ctx->dec.dataOffset) + head)
                return errSet("truncated: the %lu-byte header is followed by no stripe data", (unsigned long)head);
            return errSet("the stripes cannot be located (out of memory?)");
        }
    } else {
        if (!bihReason(b, bihCheck(b, true))) return false;
        if (patInfoRead(ctx) != 0) return errSet("the stripes cannot be located");
    }
    ctx->layerCursor = -1;
    ctx->stripeCount = ctx->tableStripes;
    ctx->dec.decodedBytes = 0;
    streamCloseFile(&ctx->stream);
    return true;
}

JbigHandle JBIGAPI jbigDecodeProlog(const char *path, JbigDecodeOptions *opts) {
    errClear();
    if (opts == nullptr) return errSet("no options"), JBIG_INVALID_HANDLE;
    bool memory = opts->flags & kFlagMemory;
    if (!memory && path == nullptr) return errSet("no path"), JBIG_INVALID_HANDLE;
    JbigContext *ctx = ctxCreate(memory ? nullptr : path, opts->flags | kModeDecoder);
    if (ctx == nullptr) return errSet("cannot start a decoder (flags 0x%04X, or out of memory)", opts->flags), JBIG_INVALID_HANDLE;
    auto fail = [ctx]() {
        decClose(ctx);
        return JBIG_INVALID_HANDLE;
    };
    JbigStream &s = ctx->stream;
    if (memory) {
        if (opts->flags & kFlagDataOffset) return errSet("a data offset with memory input"), fail();
        s.streamFlags |= kStreamMemory;
        s.userHandle = opts->inHandle;
        s.memLength = opts->inLength;
        auto *base = static_cast<uint8_t *>(GlobalLock(opts->inHandle));
        if (base == nullptr) return errSet("cannot lock the memory block"), fail();
        s.memBase = s.memPtr = base;
        s.memPos = 0;
        // Never read past the caller's block, whatever length it gives.
        if (GlobalSize(opts->inHandle) < opts->inLength) return errSet("the memory block is shorter than its length"), fail();
    }
    if (streamOpenRead(&s) != 0) return errSet("cannot open %s", path ? path : "the data"), fail();
    if (opts->flags & kFlagDataOffset) {
        if (opts->dataOffset > s.fileSize) return errSet("the data offset lies past the end of the file"), fail();
        ctx->dec.dataOffset = opts->dataOffset;
        ctx->dec.dataLength = opts->dataLength ? opts->dataLength : s.fileSize - opts->dataOffset;
    }
    if (!decReadStream(ctx, nullptr)) return fail();
    const JbigBih &b = ctx->bih;
    opts->XD = b.XD;
    opts->YD = b.YD;
    opts->L0 = b.L0;
    opts->DL = b.DL;
    opts->D = b.D;
    opts->P = b.P;
    opts->MX = b.MX;
    opts->MY = b.MY;
    opts->HITOLO = (b.order & kHITOLO) != 0;
    opts->SEQ = (b.order & kSEQ) != 0;
    opts->ILEAVE = (b.order & kILEAVE) != 0;
    opts->SMID = (b.order & kSMID) != 0;
    opts->LRLTWO = (b.options & kLRLTWO) != 0;
    opts->VLENGTH = (b.options & kVLENGTH) != 0;
    opts->TPDON = (b.options & kTPDON) != 0;
    opts->TPBON = (b.options & kTPBON) != 0;
    opts->DPON = (b.options & kDPON) != 0;
    opts->DPPRIV = (b.options & kDPPRIV) != 0;
    opts->DPLAST = (b.options & kDPLAST) != 0;
    if (ctx->mode & kModeScanned) opts->flags |= kModeScanned;
    return ctxHandle(ctx);
}

int32_t JBIGAPI jbigDecodeEpilog(JbigHandle handle) {
    JbigContext *ctx = ctxTake(handle, kModeDecoder);
    if (ctx == nullptr) return -1;
    decRelease(ctx);
    return ctxDestroy(ctx);
}

int32_t JBIGAPI jbigDecodeGetMaxLayer(JbigHandle handle) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    if (ctx == nullptr) return -1;
    // Under the whole standard, of data cut short the highest complete layer.
    if ((ctx->mode & kModeFull) && ctx->dec.completeLayers != 0) return int32_t(ctx->dec.completeLayers) - 1;
    return ctx->bih.D;
}

int32_t JBIGAPI jbigDecodeGetImageSize(JbigHandle handle, uint32_t *width, uint32_t *height, int32_t layer) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    if (ctx == nullptr || width == nullptr || height == nullptr) return -1;
    int32_t k = layer == -1 ? ctx->layerCursor : layer;
    if (k < 0 || k > ctx->bih.D) return -1;
    *width = layerSize(ctx->bih.XD, ctx->bih.D, static_cast<uint32_t>(k));
    *height = layerSize(ctx->bih.YD, ctx->bih.D, static_cast<uint32_t>(k));
    return 0;
}

JbigImageInfo *JBIGAPI jbigDecodeGetImageAddress(JbigHandle handle, JbigImageInfo *info) {
    auto *fail = reinterpret_cast<JbigImageInfo *>(~uintptr_t(0));
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    if (ctx == nullptr || info == nullptr || ctx->cur.rows == nullptr || ctx->layerCursor < 0) return fail;
    info->width = ctx->cur.width;
    info->height = ctx->cur.height;
    info->bytesPerLine = ctx->cur.stride;
    info->depth = 1;
    info->reserved1 = 1;
    info->reserved2 = 1;
    info->data = ctx->cur.rows[0];
    return info;
}

int32_t zeljbigDecodeSelectPlane(JbigHandle handle, uint32_t plane) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    if (ctx == nullptr || plane >= ctx->bih.P) return -1;
    layerImageFree(&ctx->cur);
    layerImageFree(&ctx->low);
    ctx->layerCursor = -1;
    ctx->dec.plane = plane;
    return 0;
}

int32_t JBIGAPI jbigDecodeGetDecodedBytes(JbigHandle handle) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    return ctx ? ctx->dec.decodedBytes : -1;
}
