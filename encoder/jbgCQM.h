// QM arithmetic encoder. The layer coders keep the registers in a QmEncoder
// for the length of a stripe so that the common decision (an MPS that needs
// no renormalisation) is a table load, a subtraction and a compare.
#pragma once

#include <algorithm>

#include "../frame/jbgDiffWalk.h"
#include "../frame/jbgQMTable.h"
#include "../frame/jpgLib.h"
#include "jbgCDiff.h"

void qmEncInit(JbigContext *ctx);
uint32_t qmEncFlush(JbigContext *ctx);
void qmEncPutByte(JbigContext *ctx, uint32_t b);
// Writes coded bytes on: to the stream, or to the spool while stripes wait
// for their place in it. False when they cannot be.
bool encWrite(JbigContext *ctx, const uint8_t *bytes, uint32_t n);
int32_t qmEncWriteRest(JbigContext *ctx);
inline uint32_t qmEncTell(const JbigContext *ctx) { return ctx->enc.written + ctx->stream.bufPos; }
// The byte-out step, with C as it stands when the bit counter runs out.
void qmEncByteOut(JbigContext *ctx, uint32_t c);

struct QmEncoder {
    uint32_t A, C;
    int32_t CT;
    uint32_t *states;
    JbigContext *ctx;

    explicit QmEncoder(JbigContext *c) : A(c->qmA), C(c->qmC), CT(c->qmCT), states(c->qmStates), ctx(c) {}
    void store() const {
        ctx->qmA = A;
        ctx->qmC = C;
        ctx->qmCT = CT;
    }

    ZJ_INLINE void code(uint32_t cx, uint32_t pix) {
        uint32_t &w = states[cx];
        const uint32_t qe = w >> 8;
        A -= qe;
        if (pix == (w & 1u)) {
            if (ZJ_LIKELY(A >= 0x8000)) return;
            if (A < qe) {
                C += A;
                A = qe;
            }
            w = kQmNext[w & 0xFF].mps;
        } else {
            if (A >= qe) {
                C += A;
                A = qe;
            }
            w = kQmNext[w & 0xFF].lps;
        }
        renormalise();
    }

    // n decisions pix in context cx, when pix is its MPS and A stays at or
    // above 0x8000 through all of them: then C and the state do not move.
    ZJ_INLINE bool run(uint32_t cx, uint32_t pix, uint32_t n) {
        const uint32_t w = states[cx], take = n * (w >> 8);
        if (pix != (w & 1u) || take > A - 0x8000) return false;
        A -= take;
        return true;
    }

    // As run(), over up to `bytes` groups of eight decisions: how many
    // groups it took.
    ZJ_INLINE uint32_t runBytes(uint32_t cx, uint32_t pix, uint32_t bytes) {
        const uint32_t w = states[cx], qe8 = (w >> 5) & ~7u;
        if (pix != (w & 1u)) return 0;
        const uint32_t n = std::min(bytes, (A - 0x8000) / qe8);
        A -= n * qe8;
        return n;
    }

    ZJ_INLINE void renormalise() {
        // A shifts until it reaches 0x8000 again; in one step when CT does
        // not run out on the way.
        const uint32_t shift = leadingZeros(A) - 16;
        if (ZJ_LIKELY(int32_t(shift) < CT)) {
            A <<= shift;
            C <<= shift;
            CT -= int32_t(shift);
            return;
        }
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

// The encoding direction of the row walks: the rows hold the pixels.
struct EncCoder : QmEncoder {
    static constexpr bool kEncoder = true;
    using QmEncoder::QmEncoder;

    ZJ_INLINE uint32_t pixel(uint32_t cx, uint32_t value) {
        code(cx, value);
        return value;
    }
    ZJ_INLINE uint32_t typicalLine(uint32_t cx, uint8_t *row, const uint8_t *above, uint32_t bytes, uint32_t ltp) {
        const uint32_t lntp = std::memcmp(row, above, bytes) != 0;
        code(cx, lntp == ltp);
        return lntp;
    }
    ZJ_INLINE void nextPair(JbigContext *c, uint32_t finalPair) { reduceNextRow(c, finalPair); }
    ZJ_INLINE uint32_t pairNotTypical(uint16_t *work, const uint8_t *lp, const uint8_t *la, const uint8_t *lb, uint32_t blocks,
                            const uint8_t *hA, const uint8_t *hB) {
        const uint32_t lntp = diffMarkBlocks<true>(work, lp, la, lb, blocks, hA, hB);
        code(kLntpContext, lntp);
        return lntp;
    }
};
