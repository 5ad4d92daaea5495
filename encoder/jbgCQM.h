// QM arithmetic encoder. The layer coders keep the registers in a QmEncoder
// for the length of a stripe so that the common decision (an MPS that needs
// no renormalisation) is a load, a subtraction and a sign.
#pragma once

#include <algorithm>
#include <cstring>

#include "../frame/jbgDiffWalk.h"
#include "../frame/jbgMarker.h"
#include "../frame/jbgPort.h"
#include "../frame/jbgQMTable.h"
#include "../frame/jpgLib.h"
#include "jbgCDiff.h"

// The code register C (qmC, QmEncoder::C), 32 bits wide:
//
//   bit 31 .. 28   27  26 ......... 19  18 .. 16  15 ............ 0
//      [  zero  ][ c ][ next byte out ][ spacer ][ A is added here ]
//
// c is the carry into the byte held back (qmBuffer). CT counts the shifts
// left until the byte out: 11 at a stripe's start, while the byte and the
// spacer are still empty, and 8 after each byte out, which takes bits
// 27 .. 19 (the byte with its carry) and keeps bits 18 .. 0.
constexpr uint32_t kQmEncByteShift = 19;
constexpr uint32_t kQmEncByteAndCarry = 0x1FF;                    // bits 27 .. 19, shifted down
constexpr uint32_t kQmEncFraction = (1u << kQmEncByteShift) - 1;  // 0x7FFFF: bits 18 .. 0
constexpr uint32_t kQmEncCarry = 1u << (kQmEncByteShift + 8);     // bit 27
constexpr int32_t kQmEncFirstCT = 11, kQmEncByteCT = 8;
constexpr uint32_t kQmEncStartA = 0x10000;

void qmEncInit(JbigContext *ctx);
// Every context of the layer to state 0, as the encoder holds its states.
void qmEncStatesReset(JbigContext *ctx);
uint32_t qmEncFlush(JbigContext *ctx);
void qmEncPutByte(JbigContext *ctx, uint32_t b);
// Writes coded bytes on: to the stream, or to the spool while stripes wait
// for their place in it. False when they cannot be.
bool encWrite(JbigContext *ctx, const uint8_t *bytes, uint32_t n);
int32_t qmEncWriteRest(JbigContext *ctx);
inline uint32_t qmEncTell(const JbigContext *ctx) { return ctx->enc.written + ctx->stream.bufPos; }
// The byte-out step, with C as it stands when the bit counter runs out.
void qmEncByteOut(JbigContext *ctx, uint32_t c);
// Most bytes: no carry, none stacked or held back, the byte before them
// neither 0x00 nor ESC, and room in the buffer. Then the byte held back goes
// straight out and this one takes its place; false for any other.
ZJ_INLINE bool qmEncByteOutPlain(JbigContext *ctx, uint32_t c) {
    JbigEncoderState &e = ctx->enc;
    JbigStream &s = ctx->stream;
    const uint32_t t = (c >> kQmEncByteShift) & kQmEncByteAndCarry;
    if (t < 0xFF && (e.qmSC | e.qmZeros | e.qmFirst) == 0 && e.qmBuffer - 1 < kEsc - 1 &&
        s.bufPos + 1 < kIoBufferSize) {
        s.ioBuffer[s.bufPos++] = static_cast<uint8_t>(e.qmBuffer);
        e.qmBuffer = t;
        return true;
    }
    return false;
}

// The registers, with the interval as D = A - 0x8000 (A itself in the
// context):
//
//   D   signed; at or above 0 between decisions, below 0 once the interval
//       needs renormalising
//   C   as drawn above qmEncInit; CT its shifts to the next byte out
//
// The entries (kQmEncPairs) are reached as 2cx + pixel in the context's
// states, two bytes each.
struct QmEncoder {
    int32_t D;
    uint32_t A;  // the interval in flat rows (codeFlat)
    uint32_t C;
    int32_t CT;
    uint8_t *states;
    JbigContext *ctx;

    explicit QmEncoder(JbigContext *c)
        : D(int32_t(c->qmA) - 0x8000), A(c->qmA), C(c->qmC), CT(c->qmCT), states(reinterpret_cast<uint8_t *>(c->qmStates)),
          ctx(c) {}
    void store() const {
        ctx->qmA = uint32_t(D + 0x8000);
        ctx->qmC = C;
        ctx->qmCT = CT;
    }

    ZJ_INLINE uint32_t entry(size_t i) const {
        uint16_t e;
        std::memcpy(&e, states + 2 * i, 2);
        return e;
    }

    ZJ_INLINE void code(uint32_t cx, uint32_t pix) { codeAt(size_t(cx) << 1 | pix); }

    // The decision with entry i = 2cx + pixel. The common one, an MPS that
    // needs no renormalisation, is a load, a subtraction and a sign.
    ZJ_INLINE void codeAt(size_t i) {
        const uint32_t e = entry(i);
        D -= int32_t(e);
        if (ZJ_UNLIKELY(D < 0)) codeRest(i, e);
    }

    // The rest of a decision: D has gone below 0, by the entry e.
    ZJ_INLINE void codeRest(size_t i, uint32_t e) {
        uint32_t A;
        const QmEncNext *next;
        if (e < 0x8000) {
            // The MPS, Qe = e; the other entry holds the state.
            A = uint32_t(D + 0x8000);
            if (A < e) {
                C += A;
                A = e;
            }
            next = &kQmEncNext[entry(i ^ 1u) & 0xFF];
            std::memcpy(states + 2 * (i & ~size_t(1)), &next->after[0], 4);
        } else {
            next = &kQmEncNext[e & 0xFF];
            const uint32_t qe = next->qe;
            A = uint32_t(D + int32_t(e) + 0x8000) - qe;
            if (A >= qe) {
                C += A;
                A = qe;
            }
            std::memcpy(states + 2 * (i & ~size_t(1)), &next->after[1], 4);
        }
        renormalise(A);
    }

    // Decisions without a branch on their outcome, for rows where most of
    // them renormalise and MPS or LPS is a coin toss (noise, dithering).
    // Between flatBegin and flatEnd the interval is A itself, not D.
    ZJ_INLINE void flatBegin() { A = uint32_t(D + 0x8000); }
    ZJ_INLINE void flatEnd() { D = int32_t(A) - 0x8000; }
    // Every step is taken and the results picked; only the byte out, about
    // one in eight decisions in busy rows, branches.
    //
    //   e, other  the entries of the pixel and of the other value; the
    //             larger (the LPS's, 0xFF00 | s) holds the state s
    //   A1        A - Qe; the pixel takes the upper part (C += A1, A = Qe)
    //             when A1 < Qe for the MPS, A1 >= Qe for the LPS
    //   after     the new pair: after[1] for the LPS, after[0] for an MPS
    //             that renormalises, after[2] (unchanged) for one that
    //             does not
    //
    // Qe's own shift comes from the table, so A waits on A1's bit scan and
    // one pick of two values, not on a pick and then a bit scan:
    //
    //   A -> A1 = A - Qe -> clz(A1) ^ 16 -> A1 << s1 -> pick -> A
    //                  \-> A1 < Qe (xor LPS) ------------/
    ZJ_INLINE void codeFlat(size_t i) {
        const uint32_t e = entry(i), other = entry(i ^ 1u);
        const uint32_t lps = e >> 15;
        const QmEncNext &next = kQmEncNext[std::max(e, other) & 0xFF];
        const uint32_t qe = next.qe, qs = next.qeShift, A1 = A - qe;
        // Below 0 exactly when the pixel takes the upper part.
        const int32_t t = int32_t(A1 - qe) ^ -int32_t(lps);
        // A1 is below 0x10000: 16 to 31 leading zeros, the shift their
        // count less 16 (one exclusive or on the bit scan)
        uint32_t shift = leadingZeros(A1) ^ 16, a = A1 << shift, add = 0;
#if defined(__GNUC__) && defined(__x86_64__)
        // The compiler makes a branch of these picks, a coin toss here.
        __asm__("test %k[t], %k[t]\n\t"
                "cmovs %k[qn], %k[a]\n\t"
                "cmovs %k[qs], %k[shift]\n\t"
                "cmovs %k[A1], %k[add]"
                : [a] "+r"(a), [shift] "+r"(shift), [add] "+r"(add)
                : [t] "r"(t), [qn] "r"(qe << qs), [qs] "r"(qs), [A1] "r"(A1)
                : "cc");
#else
        const uint32_t up = uint32_t(t >> 31);
        a ^= (a ^ (qe << qs)) & up;
        shift ^= (shift ^ qs) & up;
        add = A1 & up;
#endif
        C += add;
        A = a;
        std::memcpy(states + 2 * (i & ~size_t(1)), &next.after[lps | uint32_t(shift == 0) << 1], 4);
        if (ZJ_LIKELY(int32_t(shift) < CT)) {
            C <<= shift;
            CT -= int32_t(shift);
        } else {
            shiftOut(shift);
        }
    }

    // n decisions pix in context cx, when pix is its MPS and A stays at or
    // above 0x8000 through all of them: then C and the state do not move.
    ZJ_INLINE bool run(uint32_t cx, uint32_t pix, uint32_t n) {
        const uint32_t e = entry(size_t(cx) << 1 | pix), take = n * e;
        if (e >= 0x8000 || take > uint32_t(D)) return false;
        D -= int32_t(take);
        return true;
    }

    // As run(), over up to `bytes` groups of eight decisions: how many
    // groups it took.
    ZJ_INLINE uint32_t runBytes(uint32_t cx, uint32_t pix, uint32_t bytes) {
        const uint32_t e = entry(size_t(cx) << 1 | pix);
        if (e >= 0x8000) return 0;
        const uint32_t n = std::min(bytes, uint32_t(D) / (8 * e));
        D -= int32_t(n * 8 * e);
        return n;
    }

    ZJ_INLINE void renormalise(uint32_t a) {
        // a shifts until it reaches 0x8000 again; in one step when CT does
        // not run out on the way, else up to each byte out (two at most:
        // the shift is below 16).
        const uint32_t shift = leadingZeros(a) - 16;
        D = int32_t(a << shift) - 0x8000;
        if (ZJ_LIKELY(int32_t(shift) < CT)) {
            C <<= shift;
            CT -= int32_t(shift);
            return;
        }
        shiftOut(shift);
    }

    // `shift` shifts of C that reach the byte out (CT at most shift).
    ZJ_INLINE void shiftOut(uint32_t shift) {
        uint32_t rest = shift - uint32_t(CT);
        C <<= CT;
        byteOut();
        if (rest >= 8) {
            C <<= 8;
            rest -= 8;
            byteOut();
        }
        C <<= rest;
        CT = kQmEncByteCT - int32_t(rest);
    }

    ZJ_INLINE void byteOut() {
        if (!qmEncByteOutPlain(ctx, C)) qmEncByteOut(ctx, C);
        C &= kQmEncFraction;
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
    ZJ_INLINE uint32_t bytesCoded() const { return qmEncTell(ctx); }
    // Whether a row of W pixels that wrote `bytes` was busy, more than
    // three quarters of a bit a pixel: then the next row is coded by
    // codeFlat. Below that most decisions take the branch codeAt predicts
    // and the flat decision, twice its instructions, costs more than the
    // branches it saves (measured on dithered and clustered-dot pages).
    static ZJ_INLINE bool busy(uint32_t bytes, uint32_t W) { return uint64_t(bytes) * 32 > uint64_t(W) * 3; }
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
