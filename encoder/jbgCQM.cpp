// QM encoder: stripe start, byte output with stuffing and held-back zeros,
// and the closing of each stripe data entity with ESC SDNORM.
#include "jbgCQM.h"

void qmEncInit(JbigContext *ctx) {
    if (ctx->cur.stripe == 0) std::memset(ctx->qmStates, 0, sizeof ctx->qmStates);
    ctx->cur.stripe++;
    ctx->qmC = 0;
    ctx->qmSC = 0;
    ctx->qmBuffer = 0;
    ctx->qmZeros = 0;
    ctx->qmA = 0x10000;
    ctx->qmFirst = 1;
    ctx->qmCT = 11;
}

void qmEncode(JbigContext *ctx, uint32_t v) {
    QmEncoder q(ctx);
    q.code((v & 0xFFFF) >> 1, v & 1);
    q.store();
}

void qmEncPutByte(JbigContext *ctx, uint32_t b) {
    JbigStream *s = &ctx->stream;
    s->ioBuffer[s->bufPos++] = static_cast<uint8_t>(b);
    if (s->bufPos == kIoBufferSize) {
        ctx->byteCount += kIoBufferSize;
        s->bufPos = 0;
        if (streamWrite(s, s->ioBuffer, kIoBufferSize) != static_cast<int32_t>(kIoBufferSize)) s->ioStatus = 2;
    }
}

static void emit(JbigContext *ctx, uint32_t b) {
    b &= 0xFF;
    if (ctx->qmFirst) {
        ctx->qmFirst = 0;
        return;
    }
    if (b == 0) {
        ctx->qmZeros++;
        return;
    }
    for (; ctx->qmZeros > 0; ctx->qmZeros--) qmEncPutByte(ctx, 0);
    qmEncPutByte(ctx, b);
    if (b == 0xFF) qmEncPutByte(ctx, 0);
}

void qmEncByteOut(JbigContext *ctx, uint32_t c) {
    uint32_t t = (c >> 19) & 0x1FF;
    if (t > 0xFF) {
        emit(ctx, ctx->qmBuffer + 1);
        for (; ctx->qmSC > 0; ctx->qmSC--) emit(ctx, 0x00);
        ctx->qmBuffer = t & 0xFF;
    } else if (t == 0xFF) {
        ctx->qmSC++;
    } else {
        emit(ctx, ctx->qmBuffer);
        for (; ctx->qmSC > 0; ctx->qmSC--) emit(ctx, 0xFF);
        ctx->qmBuffer = t;
    }
}

uint32_t qmEncFlush(JbigContext *ctx) {
    uint32_t t = (ctx->qmA + ctx->qmC - 1) & 0xFFFF0000u;
    if (t < ctx->qmC) t += 0x8000;
    ctx->qmC = t << ctx->qmCT;
    if (ctx->qmC > 0x7FFFFFF) {
        emit(ctx, ctx->qmBuffer + 1);
        for (; ctx->qmSC > 0; ctx->qmSC--) emit(ctx, 0x00);
    } else {
        emit(ctx, ctx->qmBuffer);
        for (; ctx->qmSC > 0; ctx->qmSC--) emit(ctx, 0xFF);
    }
    ctx->qmSC = 0;
    emit(ctx, ctx->qmC >> 19);
    emit(ctx, ctx->qmC >> 11);
    // Zeros still held back are never written: coded data never ends in 0x00.
    ctx->qmZeros = 0;
    qmEncPutByte(ctx, 0xFF);
    qmEncPutByte(ctx, 0x02);
    return ctx->stream.ioStatus;
}

int32_t qmEncWriteRest(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    if (s->bufPos > 0) {
        if (streamWrite(s, s->ioBuffer, s->bufPos) != static_cast<int32_t>(s->bufPos)) {
            s->ioStatus = 2;
            return -1;
        }
        ctx->byteCount += s->bufPos;
    }
    s->bufPos = 0;
    return s->ioStatus == 0 ? 0 : -1;
}
