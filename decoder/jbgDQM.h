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
        return decodeRest(w, mps, uint32_t(d) + floor);
    }

    // decode(cx + q) for the context cx (bit 0 clear) and the pixel q that
    // fills its bit 0: the address of the pair is ready before q is, and
    // q goes straight into the load's addressing. One load of the whole
    // word, Qe and the MPS taken from it in registers.
    ZJ_INLINE size_t decodeNext(size_t cx, size_t q) {
        uint32_t *pair = states + cx;
        opaque(pair);  // else the compiler adds q to cx first, on the load's path
        const size_t w = pair[q];
        const int32_t d = D - int32_t(w & 0xFFFF);
        const size_t mps = w >> 24;
        if (ZJ_LIKELY(d >= 0)) {
            D = d;
            return mps;
        }
        opaque(q);  // the rest finds the word anew: no pointer to it is kept
        return decodeRest(pair + q, uint32_t(mps), uint32_t(d) + floor);
    }

    // A decision that is not the MPS without renormalisation; a = A - Qe.
    ZJ_INLINE uint32_t decodeRest(uint32_t *w, uint32_t mps, uint32_t a) {
        const uint32_t qe = qeOf(w);
        // In the upper subinterval (C below a) the symbol is the LPS when
        // that interval is the smaller one; in the lower one, when it is
        // not. Chosen without a branch: the choice is as good as random.
        const uint32_t upper = uint32_t(C >> 48) < a;
        const uint32_t lps = uint32_t(a < qe) ^ upper ^ 1u;
        C -= uint64_t(a & (upper - 1u)) << 48;
        a = upper ? a : qe;
        *w = kQmAfterBy[stateOf(w) * 2 + lps];
        const uint32_t d = mps ^ lps;
        // Renormalise: a shifts until it reaches 0x8000 again (a is below
        // 0x10000: its leading zeros are 16 to 31, the shift their low bits).
        const uint32_t shift = leadingZeros(a) ^ 16;
        CT16 -= int32_t(shift);
        if (ZJ_LIKELY(CT16 >= 0)) {
            C <<= shift;
            a <<= shift;
        } else {
            int32_t CT = CT16 + int32_t(shift) + 16;
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
