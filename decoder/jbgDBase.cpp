// Decoder interface and the decoding of the lowest-resolution layer.
#include "jbgDBase.h"

#include "jbgDQM.h"

// ---------------------------------------------------------------- lowest layer

namespace {

// Decodes the W pixels of the current line p0 from the line above p1 (and
// p2 two above, for the three-line template); the registers of the lines
// above hold the previous, current and next byte as in the encoder.
template <bool kTwo>
ZJ_INLINE void lowLineDecode(QmDecoder &q, const uint8_t *p2, const uint8_t *p1, uint8_t *p0, uint32_t W) {
    uint32_t r2 = p2[0], r1 = p1[0], r0 = 0;
    uint32_t full = W >> 3;
    auto pixel = [&](int k) {
        uint32_t cx;
        if (kTwo)
            cx = ((r1 >> (9 - k)) & 0x3f0) | (r0 & 0x00f);
        else
            cx = ((r2 >> (7 - k)) & 0x380) | ((r1 >> (11 - k)) & 0x07c) | (r0 & 0x003);
        r0 = (r0 << 1) | q.decode(cx);
    };
    for (uint32_t b = 0; b < full; b++) {
        r1 = (r1 << 8) | p1[b + 1];
        if (!kTwo) r2 = (r2 << 8) | p2[b + 1];
        pixel(0);
        pixel(1);
        pixel(2);
        pixel(3);
        pixel(4);
        pixel(5);
        pixel(6);
        pixel(7);
        p0[b] = static_cast<uint8_t>(r0);
    }
    uint32_t rest = W & 7;
    if (rest) {
        r1 = (r1 << 8) | p1[full + 1];
        if (!kTwo) r2 = (r2 << 8) | p2[full + 1];
        for (uint32_t k = 0; k < rest; k++) pixel(static_cast<int>(k));
        p0[full] = static_cast<uint8_t>(r0 << (8 - rest));
        p0[full + 1] = 0;
    } else {
        p0[full] = 0;
    }
}

template <bool kTwo, bool kTp>
void lowStripeDecode(JbigContext *ctx, uint32_t count) {
    JbigLayerImage &img = ctx->cur;
    QmDecoder q(ctx);
    uint32_t ltp = (ctx->cur.stripe > 1 && ctx->tpReset) ? 1 : ctx->ltpPrev;
    const uint32_t W = img.width;
    for (uint32_t i = 0; i < count; i++) {
        bool coded = true;
        if (kTp) {
            uint32_t slntp = q.decode(kTwo ? 0x195 : 0x0E5);
            ltp = (slntp == ltp);
            if (!ltp) {
                std::memcpy(img.lines[2], img.lines[1], img.lineBytes);
                coded = false;
            }
        }
        if (coded) lowLineDecode<kTwo>(q, kTwo ? img.lines[1] : img.lines[0], img.lines[1], img.lines[2], W);
        if (!kTwo) img.lines[0] = img.lines[1];
        img.lines[1] = img.lines[2];
        img.lines[2] = img.rows[++img.row];
    }
    ctx->ltpPrev = static_cast<uint16_t>(ltp);
    q.store();
}

}  // namespace

int32_t lowLayerDecode(JbigContext *ctx) {
    JbigLayerImage &img = ctx->cur;
    const JbigBih &b = ctx->bih;
    layerImageSetup(&img, layerSize(b.XD, b.D, 0), layerSize(b.YD, b.D, 0));
    img.unitCount = img.width >> 3;
    img.unitRest = img.width & 7;
    img.stripeRows = b.L0;
    img.layer = 0;
    ctx->ltpPrev = 1;
    if (!layerImageAlloc(&img)) return -1;
    img.lines[2] = img.rows[0];
    img.lines[0] = img.lines[1] = img.rows[img.blankRow];
    void (*decoder)(JbigContext *, uint32_t);
    bool two = b.options & kLRLTWO, tp = b.options & kTPBON;
    if (two)
        decoder = tp ? lowStripeDecode<true, true> : lowStripeDecode<true, false>;
    else
        decoder = tp ? lowStripeDecode<false, true> : lowStripeDecode<false, false>;
    uint32_t S = static_cast<uint32_t>(ctx->stripeCount), done = 0;
    for (uint32_t s = 0; s < S; s++) {
        uint32_t lines = (s + 1 < S) ? img.stripeRows : img.height - done;
        qmDecInit(ctx);
        decoder(ctx, lines);
        done += lines;
    }
    return static_cast<int32_t>(ctx->byteCount);
}

int32_t decodeNextLayer(JbigContext *ctx) {
    if (ctx->layerCursor >= ctx->bih.D) return -1;
    ctx->byteCount = 0;
    ctx->layerCursor++;
    return ctx->layerCursor == 0 ? lowLayerDecode(ctx) : diffLayerDecode(ctx);
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
        ctx->dataOffset = opts->dataOffset;
        ctx->dataLength = opts->dataLength ? opts->dataLength : s.fileSize - opts->dataOffset;
    }
    if (bihRead(ctx) != 0 || !headerUsable(ctx->bih, true)) return fail();
    if (patInfoRead(ctx) != 0) return fail();
    ctx->layerCursor = -1;
    ctx->stripeCount = ctx->tableStripes;
    ctx->decodedBytes = 0;
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

int32_t JBIGAPI jbigDecodeGetDecodedBytes(JbigHandle handle) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    return ctx ? ctx->decodedBytes : -1;
}
