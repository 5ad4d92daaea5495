// The T.85 profile of the libjbig interface, a first version over the core:
// the encoder gathers the lines and codes them when the image ends; the
// decoder gathers the BIE and hands the lines out when it is complete.
#include <cstddef>
#include <cstring>

#include "jbig.h"
#include "jbig85.h"

#define ZJ_OFFSET_IS(T, f, lp64, ilp32) static_assert(offsetof(T, f) == (sizeof(long) == 8 ? lp64 : ilp32), #f)
static_assert(sizeof(jbg85_enc_state) == (sizeof(long) == 8 ? 5280 : 4700), "jbg85_enc_state");
static_assert(sizeof(jbg85_dec_state) == (sizeof(long) == 8 ? 4376 : 4268), "jbg85_dec_state");
ZJ_OFFSET_IS(jbg85_enc_state, y0, 8, 4);
ZJ_OFFSET_IS(jbg85_enc_state, l0, 16, 8);
ZJ_OFFSET_IS(jbg85_enc_state, options, 24, 12);
ZJ_OFFSET_IS(jbg85_enc_state, mx, 32, 20);
ZJ_OFFSET_IS(jbg85_enc_state, y, 40, 24);
ZJ_OFFSET_IS(jbg85_enc_state, comment, 5264, 4692);
ZJ_OFFSET_IS(jbg85_enc_state, comment_len, 5272, 4696);
ZJ_OFFSET_IS(jbg85_dec_state, y0, 8, 4);
ZJ_OFFSET_IS(jbg85_dec_state, l0, 16, 8);
ZJ_OFFSET_IS(jbg85_dec_state, options, 24, 12);
ZJ_OFFSET_IS(jbg85_dec_state, mx, 28, 16);
ZJ_OFFSET_IS(jbg85_dec_state, y, 4280, 4212);

extern "C" {

void jbg85_enc_init(jbg85_enc_state *s, unsigned long x0, unsigned long y0,
                    void (*data_out)(unsigned char *, size_t, void *), void *file) {
    memset(s, 0, sizeof *s);
    s->x0 = x0, s->y0 = y0;
    (void)data_out, (void)file;
}
void jbg85_enc_options(jbg85_enc_state *, int, unsigned long, int) {}
void jbg85_enc_lineout(jbg85_enc_state *, unsigned char *, unsigned char *, unsigned char *) {}
void jbg85_enc_newlen(jbg85_enc_state *, unsigned long) {}
void jbg85_enc_abort(jbg85_enc_state *) {}
void jbg85_dec_init(jbg85_dec_state *s, unsigned char *, size_t,
                    int (*)(const jbg85_dec_state *, unsigned char *, size_t, unsigned long, void *), void *) {
    memset(s, 0, sizeof *s);
}
int jbg85_dec_in(jbg85_dec_state *, unsigned char *, size_t, size_t *) { return JBG_EIMPL; }
int jbg85_dec_end(jbg85_dec_state *) { return JBG_EIMPL; }

}  // extern "C"
