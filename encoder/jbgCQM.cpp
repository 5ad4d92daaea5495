// QM encoder: stripe start, byte output with stuffing and held-back zeros,
// and the closing of each stripe data entity with ESC SDNORM.
#include "../frame/jbgMarker.h"
#include "jbgCQM.h"

#include <algorithm>

void qmEncStatesReset(JbigContext *ctx) {
    // The first pair, then the filled part copied behind itself.
    uint8_t *p = reinterpret_cast<uint8_t *>(ctx->qmStates);
    std::memcpy(p, &kQmEncStart, 4);
    for (size_t n = 4; n < sizeof ctx->qmStates; n *= 2) std::memcpy(p + n, p, n);
}

void qmEncInit(JbigContext *ctx) {
    if (ctx->cur.stripe == 0 || ctx->enc.sdrst) qmEncStatesReset(ctx);
    ctx->cur.stripe++;
    ctx->qmC = 0;
    ctx->enc.qmSC = 0;
    ctx->enc.qmBuffer = 0;
    ctx->enc.qmZeros = 0;
    ctx->qmA = kQmEncStartA;
    ctx->enc.qmFirst = 1;
    ctx->qmCT = kQmEncFirstCT;
}

bool encWrite(JbigContext *ctx, const uint8_t *bytes, uint32_t n) {
    JbigEncoderState &e = ctx->enc;
    if (!e.spooling) return streamWrite(&ctx->stream, bytes, n) == static_cast<int32_t>(n);
    if (uint64_t(e.spoolLength) + n > e.spoolCapacity) {
        const uint64_t want = std::max<uint64_t>(uint64_t(e.spoolLength) + n, uint64_t(e.spoolCapacity) * 3 / 2 + 65536);
        if (want > 0x7FFFFFFFu) return false;
        void *p = e.spool ? HeapReAlloc(GetProcessHeap(), 0, e.spool, size_t(want))
                          : HeapAlloc(GetProcessHeap(), 0, size_t(want));
        if (p == nullptr) return false;
        e.spool = static_cast<uint8_t *>(p);
        e.spoolCapacity = uint32_t(want);
    }
    std::memcpy(e.spool + e.spoolLength, bytes, n);
    e.spoolLength += n;
    return true;
}

void qmEncPutByte(JbigContext *ctx, uint32_t b) {
    JbigStream *s = &ctx->stream;
    s->ioBuffer[s->bufPos++] = static_cast<uint8_t>(b);
    if (s->bufPos == kIoBufferSize) {
        ctx->enc.written += kIoBufferSize;
        s->bufPos = 0;
        if (!encWrite(ctx, s->ioBuffer, kIoBufferSize)) s->ioStatus = kIoWriteFailed;
    }
}

static void emit(JbigContext *ctx, uint32_t b) {
    b &= 0xFF;
    if (ctx->enc.qmFirst) {
        ctx->enc.qmFirst = 0;
        return;
    }
    if (b == 0) {
        ctx->enc.qmZeros++;
        return;
    }
    for (; ctx->enc.qmZeros > 0; ctx->enc.qmZeros--) qmEncPutByte(ctx, 0);
    qmEncPutByte(ctx, b);
    if (b == kEsc) qmEncPutByte(ctx, kStuff);
}

// The byte held back, with the carry added, then the 0xFF bytes stacked
// behind it, which a carry turns into 0x00.
static void releaseStack(JbigContext *ctx, uint32_t carry) {
    emit(ctx, ctx->enc.qmBuffer + carry);
    for (; ctx->enc.qmSC > 0; ctx->enc.qmSC--) emit(ctx, carry ? 0x00 : 0xFF);
}

void qmEncByteOut(JbigContext *ctx, uint32_t c) {
    if (qmEncByteOutPlain(ctx, c)) return;
    JbigEncoderState &e = ctx->enc;
    const uint32_t t = (c >> kQmEncByteShift) & kQmEncByteAndCarry;
    if (t == 0xFF) {
        e.qmSC++;
    } else {
        releaseStack(ctx, t >> 8);
        e.qmBuffer = t & 0xFF;
    }
}

uint32_t qmEncFlush(JbigContext *ctx) {
    uint32_t t = (ctx->qmA + ctx->qmC - 1) & 0xFFFF0000u;
    if (t < ctx->qmC) t += 0x8000;
    ctx->qmC = t << ctx->qmCT;
    const uint32_t carry = ctx->qmC >= kQmEncCarry;
    if (ctx->enc.keepZeros && !ctx->enc.qmFirst) {
        // The byte held back goes out even when it is 0x00 (and the zeros
        // before it); only the zeros after it may be left out.
        for (; ctx->enc.qmZeros > 0; ctx->enc.qmZeros--) qmEncPutByte(ctx, 0);
        const uint32_t b = (ctx->enc.qmBuffer + carry) & 0xFF;
        qmEncPutByte(ctx, b);
        if (b == kEsc) qmEncPutByte(ctx, kStuff);
        for (; ctx->enc.qmSC > 0; ctx->enc.qmSC--) emit(ctx, carry ? 0x00 : 0xFF);
    } else {
        releaseStack(ctx, carry);
    }
    // The last two bytes: the one due out, and the one after it.
    emit(ctx, ctx->qmC >> kQmEncByteShift);
    emit(ctx, ctx->qmC >> (kQmEncByteShift - 8));
    // Zeros still held back are never written: coded data never ends in 0x00.
    ctx->enc.qmZeros = 0;
    qmEncPutByte(ctx, kEsc);
    qmEncPutByte(ctx, ctx->enc.sdrst ? kSdrst : kSdnorm);
    return ctx->stream.ioStatus;
}

int32_t qmEncWriteRest(JbigContext *ctx) {
    JbigStream *s = &ctx->stream;
    if (s->bufPos > 0) {
        if (!encWrite(ctx, s->ioBuffer, s->bufPos)) {
            s->ioStatus = kIoWriteFailed;
            return -1;
        }
        ctx->enc.written += s->bufPos;
    }
    s->bufPos = 0;
    return s->ioStatus == kIoOk ? 0 : -1;
}
