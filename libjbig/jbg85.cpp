// The T.85 profile of the libjbig interface over the core's streaming
// coders: each stripe out as its last line is in, each line out as it is
// decoded.
#include <cstddef>
#include <cstring>

#include <new>
#include <string>
#include <vector>

#include "../decoder/jbgDStream.h"
#include "../encoder/jbgCBase.h"
#include "../encoder/jbgCStream.h"
#include "../frame/jbgMarker.h"
#include "jbgLib.h"
#include "jbig.h"
#include "jbig85.h"
#include "zeljbig.h"

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

// The decoder: the library's streaming decoder, its rows handed to
// line_out as they come.
struct Dec85 {
    ZeljbigStreamDecoder *dec = nullptr;
    jbg85_dec_state *s = nullptr;
    int (*line_out)(const jbg85_dec_state *, unsigned char *, size_t, unsigned long, void *) = nullptr;
    void *file = nullptr;
    unsigned char *buf = nullptr;
    size_t buflen = 0;
    bool aborted = false;  // ABORT came: the interface stops there
};

// Where a decoder's state was, once all its lines are out (there is no free
// call in this interface).
char decodedAll;
Dec85 *const kDecodedAll = reinterpret_cast<Dec85 *>(&decodedAll);
Dec85 *decState(const jbg85_dec_state *s) { return held<Dec85>(s); }

void showHeader(jbg85_dec_state *s, const Dec85 *d);

int32_t lineOut(void *user, uint32_t y, const uint8_t *row, size_t bytes) {
    auto *d = static_cast<Dec85 *>(user);
    // The rows after ABORT are the core's white; the interface ends there.
    if (streamDecoderAborted(d->dec)) {
        d->aborted = true;
        return 1;
    }
    // Callers read the size from the first line on.
    showHeader(d->s, d);
    // The caller's line memory when it holds a line, as the interface lends it.
    unsigned char *line = const_cast<unsigned char *>(row);
    if (d->buf && d->buflen >= bytes) line = static_cast<unsigned char *>(memcpy(d->buf, row, bytes));
    d->s->y = y + 1;
    return d->line_out(d->s, line, bytes, y, d->file) != 0;
}

// The header's fields and the height as far as it is known.
void showHeader(jbg85_dec_state *s, const Dec85 *d) {
    ZeljbigInfo in;
    if (zeljbigStreamDecoderInfo(d->dec, &in) != 0) return;
    s->x0 = in.XD, s->y0 = in.YD, s->l0 = in.L0, s->options = in.options, s->mx = in.MX;
}

// The interface's status for a result of the streaming decoder.
int status(jbg85_dec_state *s, Dec85 *d, int32_t r) {
    const std::string why = r < 0 ? zeljbigLastError() : "";
    showHeader(s, d);
    if (d->aborted) return JBG_EABORT;
    if (r == ZELJBIG_STREAM_STOPPED) return JBG_EOK_INTR;
    if (r == ZELJBIG_STREAM_MORE) return JBG_EAGAIN;
    if (r == ZELJBIG_STREAM_DONE) {
        zeljbigStreamDecoderDestroy(d->dec);
        delete d;
        hold(s, kDecodedAll);
        return JBG_EOK;
    }
    auto says = [&why](const char *what) { return why.find(what) != std::string::npos; };
    if (says("streaming decodes one layer") || says("continues another")) return JBG_EIMPL;
    if (says("out of memory") || says("too large")) return JBG_ENOMEM;
    if (says("ABORT")) return JBG_EABORT;
    if (says("marker 0x")) return JBG_EMARKER;
    if (says("truncated") || says("no NEWLEN") || says("shorter than") || says("no data")) return JBG_EAGAIN;
    return JBG_EINVAL;
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
    if (d != nullptr && (d->dec = zeljbigStreamDecoderCreate(lineOut, d)) == nullptr) {
        delete d;
        d = nullptr;
    }
    hold(s, d);
    if (d == nullptr) return;
    d->s = s, d->line_out = line_out, d->file = file, d->buf = buf, d->buflen = buflen;
}

int jbg85_dec_in(jbg85_dec_state *s, unsigned char *data, size_t len, size_t *cnt) {
    if (cnt) *cnt = 0;
    Dec85 *d = decState(s);
    if (d == nullptr) return JBG_ENOMEM;
    if (d == kDecodedAll) return JBG_EOK;
    d->s = s;
    size_t used = 0;
    const int32_t r = zeljbigStreamDecoderPush(d->dec, data, len, &used);
    if (cnt) *cnt = used;
    return status(s, d, r);
}

int jbg85_dec_end(jbg85_dec_state *s) {
    Dec85 *d = decState(s);
    if (d == nullptr) return JBG_ENOMEM;
    if (d == kDecodedAll) return JBG_EOK;
    d->s = s;
    return status(s, d, zeljbigStreamDecoderFinish(d->dec));
}

}  // extern "C"
