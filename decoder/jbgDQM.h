// QM arithmetic decoder. As on the encoder side, the layer decoders keep the
// registers in a QmDecoder for the length of a line.
#pragma once

#include <algorithm>

#include "../frame/jbgDiffWalk.h"
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
struct QmDecoder {
    uint32_t A;
    uint64_t C;
    int32_t CT;
    // The decision is the MPS without renormalisation while A - Qe stays
    // above both C's top 16 bits and 0x7FFF: one compare against their
    // maximum, kept whenever C moves.
    uint32_t floor;
    uint32_t *states;
    JbigContext *ctx;

    explicit QmDecoder(JbigContext *c)
        : A(c->qmA), C(c->dec.qmCode), CT(c->qmCT), floor(std::max<uint32_t>(uint32_t(C >> 48), 0x7FFF)),
          states(c->qmStates), ctx(c) {}
    void store() const {
        ctx->qmA = A;
        ctx->dec.qmCode = C;
        ctx->qmCT = CT;
    }

    // n decisions in context cx at once, when they are all its MPS `value`
    // with A at or above 0x8000 through all of them: then only A moves.
    ZJ_INLINE bool run(uint32_t cx, uint32_t value, uint32_t n) {
        const uint32_t w = states[cx], take = n * (w >> 8);
        if (value != (w & 1u) || take >= A - floor) return false;
        A -= take;
        return true;
    }

    // As run(), over up to `bytes` groups of eight decisions: how many
    // groups it took.
    ZJ_INLINE uint32_t runBytes(uint32_t cx, uint32_t value, uint32_t bytes) {
        const uint32_t w = states[cx], qe8 = (w >> 5) & ~7u;
        if (value != (w & 1u)) return 0;
        const uint32_t n = std::min(bytes, (A - 1 - floor) / qe8);
        A -= n * qe8;
        return n;
    }

    ZJ_INLINE uint32_t decode(uint32_t cx) {
        uint32_t &w = states[cx];
        const uint32_t a = A - (w >> 8);
        if (ZJ_LIKELY(a > floor)) {
            A = a;
            return w & 1u;
        }
        return decodeRest(w, a);
    }

    // A decision that is not the MPS without renormalisation; a = A - Qe.
    ZJ_INLINE uint32_t decodeRest(uint32_t &w, uint32_t a) {
        const uint32_t qe = w >> 8;
        // In the upper subinterval (C below a) the symbol is the LPS when
        // that interval is the smaller one; in the lower one, when it is
        // not. Chosen without a branch: the choice is as good as random.
        const uint32_t upper = uint32_t(C >> 48) < a;
        const uint32_t lps = uint32_t(a < qe) ^ upper ^ 1u;
        C -= uint64_t(a & (upper - 1u)) << 48;
        a = upper ? a : qe;
        const uint32_t d = (w & 1u) ^ lps;
        w = kQmAfter[(w & 0xFF) << 1 | lps];
        // Renormalise: a shifts until it reaches 0x8000 again.
        const uint32_t shift = leadingZeros(a) - 16;
        if (ZJ_LIKELY(int32_t(shift) <= CT)) {
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
        if (CT < 16) refill();
        A = a;
        floor = std::max<uint32_t>(uint32_t(C >> 48), 0x7FFF);
        return d;
    }

    // Plain bytes while the buffer has them; when the bits have run out, the
    // next byte whatever it takes.
    ZJ_INLINE void refill() {
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
