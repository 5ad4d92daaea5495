// QM arithmetic decoder. As on the encoder side, the layer decoders keep the
// registers in a QmDecoder for the length of a line.
#pragma once

#include "../frame/jbgQMTable.h"
#include "../frame/jpgLib.h"

void qmDecInit(JbigContext *ctx);
uint32_t qmDecByteInSlow(JbigContext *ctx);
uint32_t qmDecRawByte(JbigContext *ctx);

// Next byte of coded data with stuffing removed and markers acted on; 0
// once the stripe's data has ended.
ZJ_INLINE uint32_t qmDecByteIn(JbigContext *ctx) {
    JbigStream &s = ctx->stream;
    if (ZJ_LIKELY(s.bufPos != s.bufFill && !ctx->dec.sdeEnd)) {
        uint32_t b = s.ioBuffer[s.bufPos];
        if (ZJ_LIKELY(b != kEsc)) {
            s.bufPos++;
            return b;
        }
    }
    return qmDecByteInSlow(ctx);
}

struct QmDecoder {
    uint32_t A, C;
    int32_t CT;
    uint32_t *states;
    JbigContext *ctx;

    explicit QmDecoder(JbigContext *c) : A(c->qmA), C(c->qmC), CT(c->qmCT), states(c->qmStates), ctx(c) {}
    void store() const {
        ctx->qmA = A;
        ctx->qmC = C;
        ctx->qmCT = CT;
    }

    // n decisions in context cx at once, when they are all its MPS `value`
    // with A at or above 0x8000 through all of them: then only A moves.
    ZJ_INLINE bool run(uint32_t cx, uint32_t value, uint32_t n) {
        const uint32_t w = states[cx], take = n * (w >> 8);
        if (value != (w & 1u) || take > A - 0x8000 || (C >> 16) >= A - take) return false;
        A -= take;
        return true;
    }

    ZJ_INLINE uint32_t decode(uint32_t cx) {
        uint32_t &w = states[cx];
        const uint32_t qe = w >> 8;
        uint32_t a = A - qe;
        uint32_t d = w & 1u;
        if ((C >> 16) < a) {
            if (ZJ_LIKELY(a >= 0x8000)) {
                A = a;
                return d;
            }
            // The conditional exchange: in the upper subinterval the symbol
            // is the LPS when that interval is the smaller one.
            const uint32_t lps = a < qe;
            d ^= lps;
            w = kQmAfter[(w & 0xFF) << 1 | lps];
        } else {
            // In the lower one, when it is not.
            C -= a << 16;
            const uint32_t lps = a >= qe;
            d ^= lps;
            w = kQmAfter[(w & 0xFF) << 1 | lps];
            a = qe;
        }
        // Renormalise: a shifts until it reaches 0x8000 again. When the
        // shift does not run CT out, it happens in one step.
        const uint32_t shift = leadingZeros(a) - 16;
        if (ZJ_LIKELY(int32_t(shift) <= CT)) {
            C <<= shift;
            a <<= shift;
            CT -= int32_t(shift);
        } else {
            do {
                if (CT == 0) {
                    C |= qmDecByteIn(ctx) << 8;
                    CT = 8;
                }
                C <<= 1;
                a <<= 1;
                CT--;
            } while (a < 0x8000);
        }
        if (CT == 0) {
            C |= qmDecByteIn(ctx) << 8;
            CT = 8;
        }
        A = a;
        return d;
    }
};
