// The 20-byte bi-level image header.
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

int32_t bihWrite(JbigContext *ctx) {
    const JbigBih &b = ctx->bih;
    uint8_t h[20];
    h[0] = b.DL;
    h[1] = b.D;
    h[2] = b.P;
    h[3] = 0;
    putBE(h + 4, 4, b.XD);
    putBE(h + 8, 4, b.YD);
    putBE(h + 12, 4, b.L0);
    h[16] = b.MX;
    h[17] = b.MY;
    h[18] = static_cast<uint8_t>(b.order);
    h[19] = static_cast<uint8_t>(b.options);
    return streamWrite(&ctx->stream, h, 20) == 20 ? 0 : -1;
}

int32_t bihRead(JbigContext *ctx) {
    JbigBih &b = ctx->bih;
    b = JbigBih{};
    if (ctx->dataOffset != 0 && streamSeek(&ctx->stream, ctx->dataOffset, 0) == 0xFFFFFFFFu) return -1;
    uint8_t h[20];
    uint32_t got = 0;
    // A file may deliver the header in more than one piece.
    while (got < 20) {
        int32_t r = streamRead(&ctx->stream, h + got, 20 - got);
        if (r < 1) return -1;
        got += static_cast<uint32_t>(r);
    }
    b.DL = h[0];
    b.D = h[1];
    b.P = h[2];
    b.XD = getBE(h + 4, 4);
    b.YD = getBE(h + 8, 4);
    b.L0 = getBE(h + 12, 4);
    b.MX = h[16];
    b.MY = h[17];
    b.order = h[18] & 0x0F;
    b.options = h[19] & 0x7F;
    return 0;
}
