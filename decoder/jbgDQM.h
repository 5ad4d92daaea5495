// QM arithmetic decoder. As on the encoder side, the layer decoders keep the
// registers in a QmDecoder for the length of a line.
#pragma once

#include <algorithm>
#include <cstring>

#include "../frame/jbgDiffWalk.h"
#include "../frame/jbgMarker.h"
#include "../frame/jbgPort.h"
#include "../frame/jbgQMTable.h"
#include "../frame/jpgLib.h"

void qmDecInit(JbigContext *ctx);
// The stripe's start once its bytes are set up (stream, sdeLength, sdeRead,
// markerBudget): the states, its ATMOVE segments and the first code bytes.
void qmDecBegin(JbigContext *ctx);
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

// The code register C, 64 bits wide:
//
//   bit 63 .......... 48 47 ........ 48-CT  ......... 0
//      [ compared with A ][ CT bits read ahead ][ zero ]
//
// The original 32-bit register shifted 32 places up: its high half is the
// top 16 bits, and the bits of the bytes read so far follow. Plain data
// bytes are read ahead while they are at hand in the buffer, so that most
// renormalisations are one shift; a marker or the end of the buffer is
// met only when the bits run out, as the byte-at-a-time decoder meets it.
//
// The registers kept across a row:
//   D     A - floor, floor = max(C's top 16 bits + 1, 0x8000): the decision
//         is the MPS without renormalisation while D - Qe stays at or above
//         0 (A - Qe above both C's top and 0x7FFF), one subtraction and a
//         sign; floor moves only when C does
//   CT16  CT - 16: a renormalisation of up to CT16 places needs no byte
struct QmDecoder {
    int32_t D;
    uint32_t floor;
    uint64_t C;
    int32_t CT16;
    uint32_t *states;
    JbigContext *ctx;

    static ZJ_INLINE uint32_t floorOf(uint64_t c) { return std::max<uint32_t>(uint32_t(c >> 48) + 1, 0x8000); }

    explicit QmDecoder(JbigContext *c)
        : D(int32_t(c->qmA - floorOf(c->dec.qmCode))), floor(floorOf(c->dec.qmCode)), C(c->dec.qmCode),
          CT16(c->qmCT - 16), states(c->qmStates), ctx(c) {}
    void store() const {
        ctx->qmA = uint32_t(D) + floor;
        ctx->dec.qmCode = C;
        ctx->qmCT = CT16 + 16;
    }

    // Qe, the MPS, and s | MPS << 8 of a context word, each read on its own
    // (little-endian hosts: straight from memory).
    static ZJ_INLINE uint32_t qeOf(const uint32_t *w) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        uint16_t q;
        std::memcpy(&q, w, 2);
        return q;
#else
        return *w & 0xFFFF;
#endif
    }
    static ZJ_INLINE uint32_t mpsOf(const uint32_t *w) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        return reinterpret_cast<const uint8_t *>(w)[3];
#else
        return *w >> 24;
#endif
    }
    static ZJ_INLINE uint32_t stateOf(const uint32_t *w) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        uint16_t q;
        std::memcpy(&q, reinterpret_cast<const uint8_t *>(w) + 2, 2);
        return q;
#else
        return *w >> 16;
#endif
    }

    // n decisions in context cx at once, when they are all its MPS `value`
    // with A at or above 0x8000 through all of them: then only A moves.
    ZJ_INLINE bool run(uint32_t cx, uint32_t value, uint32_t n) {
        const uint32_t w = states[cx], take = n * (w & 0xFFFF);
        if (value != (w >> 24) || take > uint32_t(D)) return false;
        D -= int32_t(take);
        return true;
    }

    // As run(), over up to `bytes` groups of eight decisions: how many
    // groups it took.
    ZJ_INLINE uint32_t runBytes(uint32_t cx, uint32_t value, uint32_t bytes) {
        const uint32_t w = states[cx], qe8 = (w & 0xFFFF) << 3;
        if (value != (w >> 24)) return 0;
        const uint32_t n = std::min(bytes, uint32_t(D) / qe8);
        D -= int32_t(n * qe8);
        return n;
    }

    ZJ_INLINE uint32_t decode(uint32_t cx) {
        uint32_t *w = states + cx;
        const int32_t d = D - int32_t(qeOf(w));
        const uint32_t mps = mpsOf(w);
        if (ZJ_LIKELY(d >= 0)) {
            D = d;
            return mps;
        }
        return decodeRest(w, mps, uint32_t(d) + floor, qeOf(w));
    }

    // q = decode(cx + q) for the context cx (bit 0 clear) and the pixel q
    // that fills its bit 0: the address of the pair is ready before q is,
    // and q goes straight into the addressing of the two loads (Qe and the
    // MPS), so that a decision waits on the one before only for a load.
    // The rest finds that pixel again as bit 0 of `row`, the pixels up to
    // it. kSelectAsm as for decodeRest.
    template <bool kSelectAsm = false>
    ZJ_INLINE void decodeNext(size_t cx, size_t &q, size_t row) {
        uint32_t *const pair = states + cx;
        size_t qe;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // The compiler would add q to the pair's address first, one more
        // instruction on the path from one decision to the next, and keep
        // the pixel in a register apart from q's. (A 32-bit load clears
        // the upper half of a 64-bit register.)
        __asm__("movzwl (%2,%1,4), %k0\n\tmovzbl 3(%2,%1,4), %k1"
                : "=&r"(qe), "+r"(q)
                : "r"(pair), "m"(*reinterpret_cast<const uint32_t(*)[4096]>(states)));
#else
        qe = qeOf(pair + q);
        q = mpsOf(pair + q);
#endif
        const int32_t d = D - int32_t(qe);
        if (ZJ_LIKELY(d >= 0)) {
            D = d;
            return;
        }
        q = decodeRest<kSelectAsm>(pair + (row & 1), uint32_t(q), uint32_t(d) + floor, uint32_t(qe));
    }

    // decodeNext by value: the pixel of context cx + q.
    ZJ_INLINE size_t decodeAfter(size_t cx, size_t q, size_t row) {
        decodeNext(cx, q, row);
        return q;
    }

    // A decision that is not the MPS without renormalisation; a = A - Qe.
    //
    // In the upper subinterval (C below a) the symbol is the LPS when that
    // interval is the smaller one; in the lower one, when it is not. Chosen
    // without a branch: the choice is as good as random. C's top against a
    // is C against a's place in C. Then a shifts until it reaches 0x8000
    // again (a is below 0x10000: its leading zeros are 16 to 31, the shift
    // their low bits), and C with it while it holds the bits.
    // kSelectAsm (the busy rows, x86-64): the selects in asm. In the other
    // walks the asm's registers cost more than it saves.
    template <bool kSelectAsm = false>
    ZJ_INLINE uint32_t decodeRest(uint32_t *w, uint32_t mps, uint32_t a, uint32_t qe) {
        uint32_t lps;
#if defined(__GNUC__) && defined(__x86_64__)
        if constexpr (kSelectAsm) {
            // The carry of C - (a << 48) is `upper`, both selects read it,
            // and lps is bit 0 of (a < qe) + upper + 1: ten instructions
            // where the compiler makes fifteen.
            uint64_t t, c2;
            lps = 0;
            __asm__("cmp %[qe], %[a]\n\t"
                    "setb %b[lps]\n\t"
                    "mov %[a], %k[t]\n\t"
                    "shl $48, %[t]\n\t"
                    "mov %[C], %[c2]\n\t"
                    "sub %[t], %[c2]\n\t"
                    "cmovae %[c2], %[C]\n\t"
                    "cmovae %[qe], %[a]\n\t"
                    "adc $1, %[lps]\n\t"
                    "and $1, %[lps]"
                    : [a] "+r"(a), [C] "+r"(C), [lps] "+r"(lps), [t] "=&r"(t), [c2] "=&r"(c2)
                    : [qe] "r"(qe)
                    : "cc");
        } else
#endif
        {
            const uint32_t upper = uint32_t(C >> 48) < a;
            lps = uint32_t(a < qe) ^ upper ^ 1u;
            C -= uint64_t(a & (upper - 1u)) << 48;
            a = upper ? a : qe;
        }
        *w = kQmAfterBy[stateOf(w) * 2 + lps];
        const uint32_t d = mps ^ lps;
        const uint32_t shift = leadingZeros(a) ^ 16;
        if (ZJ_LIKELY(CT16 >= int32_t(shift))) {
            CT16 -= int32_t(shift);
            C <<= shift;
            a <<= shift;
        } else {
            int32_t CT = CT16 + 16;
            if (int32_t(shift) <= CT) {
                C <<= shift;
                a <<= shift;
                CT -= int32_t(shift);
            } else {
                do {
                    if (CT == 0) {
                        C |= uint64_t(qmDecByteIn(ctx)) << 40;
                        CT = 8;
                    }
                    C <<= 1;
                    a <<= 1;
                    CT--;
                } while (a < 0x8000);
            }
            refill(CT);
            CT16 = CT - 16;
        }
        floor = floorOf(C);
        D = int32_t(a - floor);
        return d;
    }

    // Plain bytes while the buffer has them; when the bits have run out, the
    // next byte whatever it takes.
    ZJ_INLINE void refill(int32_t &CT) {
        JbigStream &s = ctx->stream;
        while (CT <= 32 && s.bufPos != s.bufFill && !ctx->dec.sdeEnd && s.ioBuffer[s.bufPos] != kEsc) {
            C |= uint64_t(s.ioBuffer[s.bufPos++]) << (40 - CT);
            CT += 8;
        }
        if (CT == 0) {
            C |= uint64_t(qmDecByteIn(ctx)) << 40;
            CT = 8;
        }
    }
};

// Rows 2i and 2i+1 of a differential layer become current; the final pair
// of an odd layer has no second row (cur.lines[3] is then the white row,
// never written).
ZJ_INLINE void decNextPair(JbigContext *c) {
    JbigLayerImage &cur = c->cur, &low = c->low;
    low.lines[0] = low.lines[1];
    low.lines[1] = low.lines[2];
    low.lines[2] = low.rows[low.row++];
    cur.lines[0] = cur.lines[2];
    cur.lines[1] = cur.lines[3];
    cur.lines[2] = cur.rows[cur.row++];
    cur.lines[3] = cur.rows[cur.row];
    if (cur.row < cur.height) cur.row++;
}

// The decoding direction of the row walks: the rows receive the pixels.
struct DecCoder : QmDecoder {
    static constexpr bool kEncoder = false;
    using QmDecoder::QmDecoder;

    ZJ_INLINE uint32_t pixel(uint32_t cx, uint32_t) { return decode(cx); }
    // Code bytes taken from the stripe so far (bytes read ahead included).
    ZJ_INLINE uint32_t bytesCoded() const {
        const JbigStream &s = ctx->stream;
        return ctx->dec.sdeRead - s.bufFill + s.bufPos;
    }
    // Busy rows try no runs: runs are rare there, and the test on every
    // byte costs more than the few it finds save. A row becomes busy after
    // one where runs took less than a sixteenth of the bytes, and stays so
    // while the row before took a quarter of a bit a pixel or more.
    static ZJ_INLINE bool fewRuns(uint32_t ran, uint32_t W) { return uint64_t(ran) * 16 < (W >> 3); }
    static ZJ_INLINE bool busy(uint32_t bytes, uint32_t W) { return uint64_t(bytes) * 32 >= uint64_t(W); }
    ZJ_INLINE uint32_t typicalLine(uint32_t cx, uint8_t *row, const uint8_t *above, uint32_t bytes, uint32_t ltp) {
        const uint32_t lntp = decode(cx) == ltp;
        // A typical line is the one above, its zero byte included.
        if (!lntp) std::memcpy(row, above, bytes + 1);
        return lntp;
    }
    ZJ_INLINE void nextPair(JbigContext *c, uint32_t) { decNextPair(c); }
    ZJ_INLINE uint32_t pairNotTypical(uint16_t *work, const uint8_t *lp, const uint8_t *la, const uint8_t *lb, uint32_t blocks,
                            const uint8_t *, const uint8_t *) {
        const uint32_t lntp = decode(kLntpContext);
        if (!lntp) diffMarkBlocks<false>(work, lp, la, lb, blocks, nullptr, nullptr);
        return lntp;
    }
};
