// Stripe table: where every stripe data entity lies. Written after the last
// stripe as a "CPat" COMMENT segment, read back by the decoder, or rebuilt by
// scanning the stream for the markers that end each stripe.
#include "jpgLib.h"

#include <algorithm>

int32_t stripeTableCreate(JbigContext *ctx) {
    const JbigBih &b = ctx->bih;
    ctx->tablePlanes = b.P;
    ctx->tableLayers = static_cast<int16_t>(b.D + 1);
    uint64_t stripeHeight = uint64_t(b.L0) << b.D;
    ctx->tableStripes = static_cast<int16_t>((uint64_t(b.YD) + stripeHeight - 1) / stripeHeight);
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

static uint32_t trailerBytes(const JbigContext *ctx) {
    return 10 + 8u * static_cast<uint32_t>(ctx->tableLayers) * static_cast<uint32_t>(ctx->tableStripes);
}

int32_t patInfoWrite(JbigContext *ctx) {
    // Gathered into blocks of the I/O buffer, which is idle by now.
    JbigStream *s = &ctx->stream;
    uint8_t *buf = s->ioBuffer;
    uint32_t n = 10;
    buf[0] = 0xFF;
    buf[1] = 0x07;
    putBE(buf + 2, 4, trailerBytes(ctx) - 6);
    std::memcpy(buf + 6, "CPat", 4);
    for (int32_t d = 0; d < ctx->tableLayers; d++) {
        for (int32_t st = 0; st < ctx->tableStripes; st++) {
            if (n + 8 > kIoBufferSize) {
                if (streamWrite(s, buf, n) != static_cast<int32_t>(n)) return -1;
                n = 0;
            }
            const uint32_t *e = stripeEntry(ctx, d, st);
            putBE(buf + n, 4, e[0]);
            putBE(buf + n + 4, 4, e[1]);
            n += 8;
        }
    }
    return streamWrite(s, buf, n) == static_cast<int32_t>(n) ? 0 : -1;
}

// Reads exactly n bytes; false on a short read.
static bool readFully(JbigStream *s, uint8_t *buf, uint32_t n) {
    while (n > 0) {
        int32_t r = streamRead(s, buf, n);
        if (r < 1) return false;
        buf += r;
        n -= static_cast<uint32_t>(r);
    }
    return true;
}

uint32_t patInfoRead(JbigContext *ctx) {
    ctx->mode &= ~kModeScanned;
    if (stripeTableCreate(ctx) != 0) return kStatusOpenFailed;
    JbigStream *s = &ctx->stream;
    int64_t end = ctxDataEnd(ctx);
    int64_t pos = end - trailerBytes(ctx);
    // The trailer must lie after the header.
    if (pos >= int64_t(ctx->dataOffset) + 20) {
        uint8_t head[10];
        if (streamSeek(s, static_cast<uint32_t>(pos), 0) == 0xFFFFFFFFu || !readFully(s, head, 10))
            return kStatusOpenFailed;
        if (head[0] == 0xFF && head[1] == 0x07 && std::memcmp(head + 6, "CPat", 4) == 0) {
            uint8_t *buf = s->ioBuffer;
            uint32_t left = trailerBytes(ctx) - 10, have = 0, at = 0;
            for (int32_t d = 0; d < ctx->tableLayers; d++) {
                for (int32_t st = 0; st < ctx->tableStripes; st++) {
                    if (at == have) {
                        have = std::min(left, kIoBufferSize);
                        if (!readFully(s, buf, have)) return kStatusOpenFailed;
                        left -= have;
                        at = 0;
                    }
                    uint32_t *e = stripeEntry(ctx, d, st);
                    e[0] = getBE(buf + at, 4) + ctx->dataOffset;
                    e[1] = getBE(buf + at + 4, 4);
                    at += 8;
                }
            }
            // Stripes are always reached by seeking.
            ctx->stripesInterleaved = 1;
            return 0;
        }
    }
    ctx->mode |= kModeScanned;
    return stripeTableScan(ctx) == 0 ? 0 : kStatusOpenFailed;
}

// Absolute stream position of the next byte the scanner delivers.
static uint32_t scanPosition(const JbigContext *ctx) {
    const JbigStream &s = ctx->stream;
    return s.scanTotal - s.bufFill + s.bufPos + ctx->dataOffset + 20;
}

static bool scanRefill(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    // Once the data has ended it stays ended: the entries left are not
    // worth one failing read each.
    if (ctx->sdeEnd) return false;
    uint64_t next = uint64_t(ctx->dataOffset) + 20 + s->scanTotal;
    uint64_t end = ctxDataEnd(ctx);
    uint32_t want = next >= end ? 0 : static_cast<uint32_t>(std::min<uint64_t>(end - next, kIoBufferSize));
    int32_t got = want ? streamRead(s, s->ioBuffer, want) : 0;
    if (got < 1) {
        ctx->sdeEnd = 1;
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

int32_t sdeScanLength(JbigContext *ctx) {
    uint32_t count = 0;
    bool dataSeen = false;
    int32_t b = scanGetByte(ctx);
    if (b < 0) return -1;
    for (;;) {
        count++;
        if (b != 0xFF) {
            dataSeen = true;
        } else {
            int32_t m = scanGetByte(ctx);
            if (m < 0) return -1;
            count++;
            switch (m) {
            case 0x00:
                dataSeen = true;
                break;
            case 0x02:
            case 0x03:
                return static_cast<int32_t>(count);
            case 0x06:
                if (dataSeen || !scanSkip(ctx, 6)) return -1;
                count += 6;
                break;
            case 0x07: {
                uint8_t len[4];
                for (int i = 0; i < 4; i++) {
                    int32_t c = scanGetByte(ctx);
                    if (c < 0) return -1;
                    len[i] = static_cast<uint8_t>(c);
                }
                uint32_t L = getBE(len, 4);
                if (!scanSkip(ctx, L)) return -1;
                count += 4 + L;
                break;
            }
            default:
                return -1;
            }
        }
        b = scanGetByte(ctx);
        if (b < 0) return -1;
    }
}

int32_t stripeTableScan(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    if (streamSeek(s, ctx->dataOffset + 20, 0) == 0xFFFFFFFFu) return -1;
    s->scanTotal = 0;
    s->bufFill = 0;
    s->bufPos = 0;
    ctx->sdeEnd = 0;
    if (!scanRefill(ctx)) return -1;
    const JbigBih &b = ctx->bih;
    uint32_t D = b.D, DL = b.DL;
    auto rowOf = [&](uint32_t d) { return (b.order & kHITOLO) ? DL + D - d : d; };
    auto fill = [&](uint32_t d, int32_t st) {
        uint32_t *e = stripeEntry(ctx, rowOf(d), static_cast<uint32_t>(st));
        e[0] = scanPosition(ctx);
        e[1] = static_cast<uint32_t>(sdeScanLength(ctx));
    };
    switch (b.order & 7) {
    case 0:
    case 2:
    case 3:
        ctx->stripesInterleaved = 0;
        for (uint32_t d = DL; d <= D; d++)
            for (int32_t st = 0; st < ctx->tableStripes; st++) fill(d, st);
        break;
    case 1:
    case 4:
    case 6:
        ctx->stripesInterleaved = 1;
        for (int32_t st = 0; st < ctx->tableStripes; st++)
            for (uint32_t d = DL; d <= D; d++) fill(d, st);
        break;
    default:
        return -1;
    }
    return 0;
}
