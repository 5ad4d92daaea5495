// The T.85 profile of the libjbig interface over the core: the encoder is
// the core's streaming encoder, each stripe out as its last line is in; the
// decoder gathers the BIE and hands the lines out when it is complete.
#include <cstddef>
#include <cstring>

#include <new>
#include <vector>

#include "../encoder/jbgCBase.h"
#include "../encoder/jbgCStream.h"
#include "../frame/jbgMarker.h"
#include "jbgLib.h"
#include "jbig.h"
#include "jbig85.h"

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

namespace {

// The encoder: the core's, made at the first line (the options may change
// until then).
struct Enc85 {
    ZeljbigStreamEncoder *core = nullptr;
    void (*data_out)(unsigned char *, size_t, void *) = nullptr;
    void *file = nullptr;
};

// Our state's address, kept in the record's own bytes.
template <class T, class R>
T *held(const R *s) {
    T *p;
    memcpy(&p, s->zj_reserved1, sizeof p);
    return p;
}
template <class T, class R>
void hold(R *s, T *p) {
    memcpy(s->zj_reserved1, &p, sizeof p);
}

Enc85 *encState(const jbg85_enc_state *s) { return held<Enc85>(s); }

int32_t toCaller(void *user, const uint8_t *bytes, size_t n) {
    auto *e = static_cast<Enc85 *>(user);
    e->data_out(const_cast<unsigned char *>(bytes), n, e->file);
    return 0;
}

// The core encoder of the options as they stand; null when it cannot start.
ZeljbigStreamEncoder *coreOf(jbg85_enc_state *s, Enc85 *e) {
    if (e->core != nullptr) return e->core;
    StreamEncodeSetup setup{};
    setup.width = uint32_t(s->x0);
    setup.height = s->y0 > 0xFFFFFFFFul ? kUnknownHeight : uint32_t(s->y0);
    setup.L0 = uint32_t(s->l0);
    setup.MX = uint32_t(s->mx);
    setup.options = uint32_t(s->options) & (JBG_LRLTWO | JBG_VLENGTH | JBG_TPBON);
    setup.stripeFlags = kEncKeepZeros;
    e->core = streamEncCreate(setup, toCaller, e);
    return e->core;
}

// No free call in this interface: the state goes when the image is out.
void release(jbg85_enc_state *s, Enc85 *e) {
    zeljbigStreamEncoderDestroy(e->core);
    delete e;
    hold(s, static_cast<Enc85 *>(nullptr));
}

// A comment the caller left in the record, once.
void takeComment(jbg85_enc_state *s, ZeljbigStreamEncoder *core) {
    if (s->comment == nullptr) return;
    zeljbigStreamEncoderComment(core, s->comment, s->comment_len);
    s->comment = nullptr;
}

// The decoder: a whole-image decoder underneath, its lines handed out.
struct Dec85 {
    jbg_dec_state dec;
    int (*line_out)(const jbg85_dec_state *, unsigned char *, size_t, unsigned long, void *) = nullptr;
    void *file = nullptr;
    unsigned char *buf = nullptr;
    size_t buflen = 0;
    bool decoded = false;
};

// Where a decoder's state was, once all its lines are out (there is no free
// call in this interface).
char decodedAll;
Dec85 *const kDecodedAll = reinterpret_cast<Dec85 *>(&decodedAll);
Dec85 *decState(const jbg85_dec_state *s) { return held<Dec85>(s); }

// Lines from s->y on; EOK_INTR when line_out asks to stop.
int deliver(jbg85_dec_state *s, Dec85 *d) {
    const unsigned long h = jbg_dec_getheight(&d->dec), stride = (jbg_dec_getwidth(&d->dec) + 7) / 8;
    const unsigned char *img = jbg_dec_getimage(&d->dec, 0);
    while (s->y < h) {
        unsigned char *line = d->buf && d->buflen >= stride ? d->buf : const_cast<unsigned char *>(img) + s->y * stride;
        if (line == d->buf) memcpy(line, img + s->y * stride, stride);
        const unsigned long y = s->y++;
        if (d->line_out(s, line, stride, y, d->file)) return JBG_EOK_INTR;
    }
    jbg_dec_free(&d->dec);
    delete d;
    hold(s, kDecodedAll);
    return JBG_EOK;
}

}  // namespace

extern "C" {

void jbg85_enc_init(jbg85_enc_state *s, unsigned long x0, unsigned long y0,
                    void (*data_out)(unsigned char *, size_t, void *), void *file) {
    memset(s, 0, sizeof *s);
    s->x0 = x0, s->y0 = y0;
    s->l0 = 128;
    s->mx = 127;
    s->options = JBG_TPBON | JBG_VLENGTH;
    Enc85 *e = new (std::nothrow) Enc85;
    hold(s, e);
    if (e == nullptr) return;
    e->data_out = data_out, e->file = file;
}

void jbg85_enc_options(jbg85_enc_state *s, int options, unsigned long l0, int mx) {
    if (options >= 0) s->options = options & (JBG_LRLTWO | JBG_VLENGTH | JBG_TPBON);
    if (l0 > 0) s->l0 = l0;
    if (mx >= 0 && mx < 128) s->mx = mx;
}

void jbg85_enc_lineout(jbg85_enc_state *s, unsigned char *line, unsigned char *, unsigned char *) {
    Enc85 *e = encState(s);
    ZeljbigStreamEncoder *core = e ? coreOf(s, e) : nullptr;
    if (core == nullptr || streamEncDone(core)) return;
    takeComment(s, core);
    if (zeljbigStreamEncoderPushRows(core, line, (s->x0 + 7) / 8, 1) != 0) return;
    s->y = streamEncRows(core);
    if (streamEncDone(core)) release(s, e);
}

void jbg85_enc_newlen(jbg85_enc_state *s, unsigned long y0) {
    Enc85 *e = encState(s);
    ZeljbigStreamEncoder *core = e ? coreOf(s, e) : nullptr;
    if (core == nullptr || y0 < s->y || y0 > 0xFFFFFFFEul) return;
    if (zeljbigStreamEncoderNewLength(core, uint32_t(y0)) != 0) return;
    s->y0 = y0;
    if (streamEncDone(core)) release(s, e);
}

void jbg85_enc_abort(jbg85_enc_state *s) {
    Enc85 *e = encState(s);
    ZeljbigStreamEncoder *core = e ? coreOf(s, e) : nullptr;
    if (core == nullptr) return;
    takeComment(s, core);
    zeljbigStreamEncoderAbort(core);
    release(s, e);
}

void jbg85_dec_init(jbg85_dec_state *s, unsigned char *buf, size_t buflen,
                    int (*line_out)(const jbg85_dec_state *, unsigned char *, size_t, unsigned long, void *),
                    void *file) {
    memset(s, 0, sizeof *s);
    Dec85 *d = new (std::nothrow) Dec85;
    hold(s, d);
    if (d == nullptr) return;
    jbg_dec_init(&d->dec);
    d->line_out = line_out, d->file = file, d->buf = buf, d->buflen = buflen;
}

int jbg85_dec_in(jbg85_dec_state *s, unsigned char *data, size_t len, size_t *cnt) {
    if (cnt) *cnt = 0;
    Dec85 *d = decState(s);
    if (d == nullptr) return JBG_ENOMEM;
    if (d == kDecodedAll) return JBG_EOK;
    if (d->decoded) return deliver(s, d);
    // One plane, one layer only: the header says so before anything else.
    size_t used = 0;
    int r = jbg_dec_in(&d->dec, data, len, &used);
    if (cnt) *cnt = used;
    if (d->dec.planes > 1 || d->dec.d > 0) return JBG_EIMPL;
    if (d->dec.xd) s->x0 = d->dec.xd, s->y0 = d->dec.yd, s->l0 = d->dec.l0, s->options = d->dec.options, s->mx = d->dec.mx;
    if (r != JBG_EOK) return r;
    d->decoded = true;
    s->y0 = jbg_dec_getheight(&d->dec);
    return deliver(s, d);
}

int jbg85_dec_end(jbg85_dec_state *s) {
    Dec85 *d = decState(s);
    if (d == nullptr) return JBG_ENOMEM;
    if (d == kDecodedAll) return JBG_EOK;
    if (d->decoded) return deliver(s, d);
    return JBG_EAGAIN;
}

}  // extern "C"
