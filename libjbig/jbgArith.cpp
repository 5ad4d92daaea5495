// The bare QM coder of the libjbig interface, on the core's probability
// table: T.82's encoder and decoder, one decision a call, its registers in
// the caller's record.
#include <cstddef>
#include <cstring>

#include "../frame/jbgQMTable.h"
#include "jbgLib.h"
#include "jbig_ar.h"

static_assert(sizeof(jbg_arenc_state) == (sizeof(long) == 8 ? 4144 : 4124), "jbg_arenc_state");
static_assert(sizeof(jbg_ardec_state) == (sizeof(long) == 8 ? 4144 : 4124), "jbg_ardec_state");
ZJ_OFFSET_IS(jbg_arenc_state, c, 4096, 4096);
ZJ_OFFSET_IS(jbg_arenc_state, a, 4104, 4100);
ZJ_OFFSET_IS(jbg_arenc_state, byte_out, 4128, 4116);
ZJ_OFFSET_IS(jbg_arenc_state, file, 4136, 4120);
ZJ_OFFSET_IS(jbg_ardec_state, c, 4096, 4096);
ZJ_OFFSET_IS(jbg_ardec_state, a, 4104, 4100);
ZJ_OFFSET_IS(jbg_ardec_state, pscd_ptr, 4112, 4104);
ZJ_OFFSET_IS(jbg_ardec_state, pscd_end, 4120, 4108);

namespace {

// st: bit 7 the MPS, bits 0-6 the state index.
inline void next(unsigned char *st, bool mps) {
    const QmRow &r = kQmRows[*st & 0x7F];
    if (mps) {
        *st = static_cast<unsigned char>((*st & 0x80) | r.nmps);
    } else {
        *st = static_cast<unsigned char>(((*st & 0x80) ^ (r.sw ? 0x80 : 0)) | r.nlps);
    }
}

void put(jbg_arenc_state *s, int b) {
    s->byte_out(b, s->file);
    if (b == 0xFF) s->byte_out(0x00, s->file);
}

// The byte held back (buffer, -1 before the first), with the carry, then
// the 0xFF bytes stacked behind it, which a carry turns into 0x00.
void byteOut(jbg_arenc_state *s) {
    const unsigned long t = s->c >> 19;
    if (t > 0xFF) {
        if (s->buffer >= 0) put(s, (s->buffer + 1) & 0xFF);
        for (; s->sc; s->sc--) put(s, 0x00);
        s->buffer = int(t & 0xFF);
    } else if (t == 0xFF) {
        s->sc++;
    } else {
        if (s->buffer >= 0) put(s, s->buffer);
        for (; s->sc; s->sc--) put(s, 0xFF);
        s->buffer = int(t);
    }
    s->c &= 0x7FFFF;
    s->ct = 8;
}

}  // namespace

extern "C" {

void arith_encode_init(jbg_arenc_state *s, int reuse_st) {
    if (!reuse_st) memset(s->st, 0, sizeof s->st);
    s->c = 0;
    s->a = 0x10000;
    s->sc = 0;
    s->ct = 11;
    s->buffer = -1;
}

void arith_encode(jbg_arenc_state *s, int cx, int pix) {
    unsigned char *st = &s->st[cx & 0xFFF];
    const unsigned long qe = kQmRows[*st & 0x7F].qe;
    const bool mps = (pix != 0) == ((*st >> 7) != 0);
    s->a -= qe;
    if (mps) {
        if (s->a >= 0x8000) return;
        if (s->a < qe) s->c += s->a, s->a = qe;
    } else if (s->a >= qe) {
        s->c += s->a, s->a = qe;
    }
    next(st, mps);
    do {
        s->a <<= 1, s->c <<= 1;
        if (--s->ct == 0) byteOut(s);
    } while (s->a < 0x8000);
}

void arith_encode_flush(jbg_arenc_state *s) {
    unsigned long t = (s->a - 1 + s->c) & 0xFFFF0000ul;
    s->c = t < s->c ? t + 0x8000 : t;
    s->c <<= s->ct;
    if (s->c & 0xF8000000ul) {
        // A carry into the byte held back.
        if (s->buffer >= 0) put(s, (s->buffer + 1) & 0xFF);
        for (; s->sc; s->sc--) put(s, 0x00);
    } else {
        if (s->buffer >= 0) put(s, s->buffer);
        for (; s->sc; s->sc--) put(s, 0xFF);
    }
    // The last bytes of C, where they are not zero: trailing zeros of coded
    // data need not be written.
    const int b1 = int((s->c >> 19) & 0xFF), b2 = int((s->c >> 11) & 0xFF);
    if (b1 || b2) put(s, b1);
    if (b2) put(s, b2);
}

void arith_decode_init(jbg_ardec_state *s, int reuse_st) {
    if (!reuse_st) memset(s->st, 0, sizeof s->st);
    s->c = 0;
    s->a = 1;
    s->ct = 0;
    s->startup = 2;
    s->nopadding = 0;
}

// The next byte into C's bits 8-15, or zeros at a marker (pscd_ptr stays on
// its 0xFF). -1: the window ends first; -2: at the marker with nopadding.
static int byteIn(jbg_ardec_state *s) {
    if (s->pscd_ptr >= s->pscd_end) return -1;
    unsigned b = *s->pscd_ptr;
    if (b == 0xFF) {
        if (s->pscd_ptr + 1 >= s->pscd_end) return -1;
        if (s->pscd_ptr[1] != 0x00) {
            if (s->nopadding) return -2;
            b = 0;
        } else {
            s->pscd_ptr += 2;
        }
    } else {
        s->pscd_ptr++;
    }
    s->c |= (unsigned long)b << 8;
    s->ct = 8;
    return 0;
}

int arith_decode(jbg_ardec_state *s, int cx) {
    // The renormalisation of the decision before, done here so that a
    // window running out leaves the registers as they were.
    for (; s->startup; s->startup--) {
        if (int e = byteIn(s)) return e;
        // The first two bytes become C's high half.
        s->c = (s->c << 8) & 0xFFFFFFFFul;
        s->ct = 0;
        s->a = 0x10000;
    }
    while (s->a < 0x8000) {
        if (s->ct == 0)
            if (int e = byteIn(s)) return e;
        s->a <<= 1;
        s->c = (s->c << 1) & 0xFFFFFFFFul;
        s->ct--;
    }
    unsigned char *st = &s->st[cx & 0xFFF];
    const unsigned long qe = kQmRows[*st & 0x7F].qe;
    const int mps = *st >> 7;
    int pix;
    s->a -= qe;
    if ((s->c >> 16) < s->a) {
        if (s->a >= 0x8000) return mps;
        pix = s->a < qe ? !mps : mps;
    } else {
        s->c -= s->a << 16;
        pix = s->a < qe ? mps : !mps;
        s->a = qe;
    }
    next(st, pix == mps);
    return pix;
}

}  // extern "C"
