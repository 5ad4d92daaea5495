// The 20-byte bi-level image header, and the limits of what can be coded.
#include "jbgBIH.h"

#include "jbgError.h"
#include "jbgMarker.h"
#include "jpgLib.h"

uint32_t getBE(const uint8_t *bytes, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = (v << 8) | bytes[i];
    return v;
}

void putBE(uint8_t *bytes, int n, uint32_t value) {
    for (int i = n - 1; i >= 0; i--) {
        bytes[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

// Byte positions within the header.
enum { kAtDL = 0, kAtD = 1, kAtP = 2, kAtFill = 3, kAtXD = 4, kAtYD = 8, kAtL0 = 12, kAtMX = 16, kAtMY = 17,
       kAtOrder = 18, kAtOptions = 19 };

int32_t bihWrite(JbigContext *ctx) {
    const JbigBih &b = ctx->bih;
    uint8_t h[kBihBytes];
    h[kAtDL] = b.DL;
    h[kAtD] = b.D;
    h[kAtP] = b.P;
    h[kAtFill] = 0;
    putBE(h + kAtXD, 4, b.XD);
    putBE(h + kAtYD, 4, b.YD);
    putBE(h + kAtL0, 4, b.L0);
    h[kAtMX] = b.MX;
    h[kAtMY] = b.MY;
    h[kAtOrder] = static_cast<uint8_t>(b.order);
    h[kAtOptions] = static_cast<uint8_t>(b.options);
    return streamWrite(&ctx->stream, h, kBihBytes) == int32_t(kBihBytes) ? 0 : -1;
}

void bihParse(const uint8_t *h, JbigBih *b) {
    b->DL = h[kAtDL];
    b->D = h[kAtD];
    b->P = h[kAtP];
    b->XD = getBE(h + kAtXD, 4);
    b->YD = getBE(h + kAtYD, 4);
    b->L0 = getBE(h + kAtL0, 4);
    b->MX = h[kAtMX];
    b->MY = h[kAtMY];
    // Bits the standard leaves unused are dropped.
    b->order = h[kAtOrder] & 0x0F;
    b->options = h[kAtOptions] & 0x7F;
}

int32_t bihRead(JbigContext *ctx) {
    ctx->bih = JbigBih{};
    const uint32_t at = ctx->dec.dataOffset;
    if (at != 0 && streamSeek(&ctx->stream, at, kSeekStart) == kSeekFailed) return -1;
    uint8_t h[kBihBytes];
    if (!streamReadFully(&ctx->stream, h, kBihBytes)) return -1;
    bihParse(h, &ctx->bih);
    return 0;
}

BihProblem bihCheck(const JbigBih &b, bool decoder, bool full) {
    if (b.DL != 0 || b.P == 0 || (b.P != 1 && !full) || b.D >= 32) return kBihLayout;
    if (b.XD == 0 || b.YD == 0 || b.L0 == 0) return kBihEmpty;
    if (stripeHeight(b) > 0xFFFFFFFFu) return kBihStripeHeight;
    if (stripesOf(b) > kMaxStripes || stripesOf(b) * (b.D + 1u) * b.P > kMaxEntities) return kBihStripes;
    // Every raster of every layer: rows + 1 of stride and their row table,
    // all within 32-bit sizes.
    const uint64_t stride = strideFor(b.XD), rows = uint64_t(b.YD) + 1;
    if (uint64_t(b.XD) + 15 > 0xFFFFFFFFu || rows * stride > 0xFFFFFFFFu || rowArrayHeadBytes(rows) > 0xFFFFFFFFu)
        return kBihRaster;
    if (sizeof(void *) < 8 && rows * sizeof(void *) + 64 > 0x7FFFFFFFu) return kBihRaster;
    if (decoder) {
        // What decoding the top layer holds: its rows with an 8-byte row
        // address each (as on 64-bit systems) and, under differential
        // layers, their work line of 2 bytes per pixel of the layer below;
        // every plane, as a caller who wants the picture keeps them all.
        // Very narrow or very flat pictures would otherwise need gigabytes
        // beside a raster within the limit.
        uint64_t need = rows * (stride + 8);
        if (b.D > 0) need += 2 * ((uint64_t(b.XD) + 1) >> 1);
        if (need * b.P > kMaxDecodeRaster) return kBihTooLarge;
    }
    return kBihUsable;
}

bool bihReason(const JbigBih &b, BihProblem p) {
    switch (p) {
    case kBihLayout:
        return errSet("not a JBIG image: its header has DL %u, D %u, P %u where DL 0, D below 32 and P 1 are expected",
                      b.DL, b.D, b.P);
    case kBihEmpty: return errSet("not a JBIG image: its header has a zero width, height or stripe size");
    case kBihStripeHeight: return errSet("not a JBIG image: stripe height too large");
    case kBihStripes: return errSet("unsupported JBIG image: more than 32767 stripes per layer");
    case kBihRaster:
    case kBihTooLarge:
        return errSet("image too large to decode (%lu x %lu, at most 1 GiB of pixels)", (unsigned long)b.XD,
                      (unsigned long)b.YD);
    case kBihUsable: break;
    }
    return true;
}
