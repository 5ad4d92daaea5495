// QM arithmetic encoder. The layer coders keep the registers in a QmEncoder
// for the length of a line so that the common decision (an MPS that needs
// no renormalisation) is a table load, a subtraction and a compare.
#pragma once

#include "../frame/jbgQMTable.h"
#include "../frame/jpgLib.h"

void qmEncInit(JbigContext *ctx);
void qmEncode(JbigContext *ctx, uint32_t v);
uint32_t qmEncFlush(JbigContext *ctx);
void qmEncPutByte(JbigContext *ctx, uint32_t b);
int32_t qmEncWriteRest(JbigContext *ctx);
inline uint32_t qmEncTell(const JbigContext *ctx) { return ctx->byteCount + ctx->stream.bufPos; }
// The byte-out step, with C as it stands when the bit counter runs out.
void qmEncByteOut(JbigContext *ctx, uint32_t c);

struct QmEncoder {
    uint32_t A, C;
    int32_t CT;
    uint8_t *states;
    JbigContext *ctx;

    explicit QmEncoder(JbigContext *c) : A(c->qmA), C(c->qmC), CT(c->qmCT), states(c->qmStates), ctx(c) {}
    void store() const {
        ctx->qmA = A;
        ctx->qmC = C;
        ctx->qmCT = CT;
    }

    ZJ_INLINE void code(uint32_t cx, uint32_t pix) {
        uint8_t &s = states[cx];
        const QmTransition &t = kQmTable[s];
        uint32_t qe = t.qe;
        A -= qe;
        if (pix == (s & 1u)) {
            if (ZJ_LIKELY(A >= 0x8000)) return;
            if (A < qe) {
                C += A;
                A = qe;
            }
            s = t.nmps;
        } else {
            if (A >= qe) {
                C += A;
                A = qe;
            }
            s = t.nlps;
        }
        renormalise();
    }

    ZJ_INLINE void renormalise() {
        do {
            A <<= 1;
            C <<= 1;
            if (--CT == 0) {
                qmEncByteOut(ctx, C);
                CT = 8;
                C &= 0x7FFFF;
            }
        } while (A < 0x8000);
    }
};
