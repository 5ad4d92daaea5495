// Decoder interface and the decoding of the lowest-resolution layer.
#include "jbgDBase.h"

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
    if (ctx->stream.memBase != nullptr) GlobalUnlock(ctx->stream.userHandle);
    ctx->stream.memBase = nullptr;
}

JbigHandle JBIGAPI jbigDecodeProlog(const char *path, JbigDecodeOptions *opts) {
    if (opts == nullptr) return JBIG_INVALID_HANDLE;
    bool memory = opts->flags & kFlagMemory;
    if (!memory && path == nullptr) return JBIG_INVALID_HANDLE;
    JbigContext *ctx = ctxCreate(memory ? nullptr : path, opts->flags | kModeDecoder);
    if (ctx == nullptr) return JBIG_INVALID_HANDLE;
    auto fail = [ctx]() {
        decRelease(ctx);
        ctxDestroy(ctx);
        return JBIG_INVALID_HANDLE;
    };
    JbigStream &s = ctx->stream;
    if (memory) {
        if (opts->flags & kFlagDataOffset) return fail();
        s.streamFlags |= kStreamMemory;
        s.userHandle = opts->inHandle;
        s.memLength = opts->inLength;
        auto *base = static_cast<uint8_t *>(GlobalLock(opts->inHandle));
        if (base == nullptr) return fail();
        s.memBase = s.memPtr = base;
        s.memPos = 0;
        // Never read past the caller's block, whatever length it gives.
        if (GlobalSize(opts->inHandle) < opts->inLength) return fail();
    }
    if (streamOpenRead(&s) != 0) return fail();
    if (opts->flags & kFlagDataOffset) {
        if (opts->dataOffset > s.fileSize) return fail();
        ctx->dec.dataOffset = opts->dataOffset;
        ctx->dec.dataLength = opts->dataLength ? opts->dataLength : s.fileSize - opts->dataOffset;
    }
    if (bihRead(ctx) != 0) return fail();
    for (uint32_t d = 0; d < kMaxBies; d++) {
        ctx->dec.layerOptions[d] = uint8_t(ctx->bih.options);
        std::copy(ctx->dp, ctx->dp + 4, ctx->dec.layerDp[d]);
    }
    if (ctx->mode & kModeFull) {
        if (patInfoReadFull(ctx) != 0) return fail();
    } else if (bihCheck(ctx->bih, true) != kBihUsable || patInfoRead(ctx) != 0) {
        return fail();
    }
    ctx->layerCursor = -1;
    ctx->stripeCount = ctx->tableStripes;
    ctx->dec.decodedBytes = 0;
    streamCloseFile(&s);
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
    return reinterpret_cast<JbigHandle>(ctx);
}

int32_t JBIGAPI jbigDecodeEpilog(JbigHandle handle) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    if (ctx == nullptr) return -1;
    decRelease(ctx);
    return ctxDestroy(ctx);
}

int32_t JBIGAPI jbigDecodeGetMaxLayer(JbigHandle handle) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    return ctx ? ctx->bih.D : -1;
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
