// The T.85 profile of the libjbig interface over the core. The encoder, a
// first version, gathers the lines and codes them when the image ends; the
// decoder is the library's streaming decoder.
#include <cstddef>
#include <cstring>

#include <new>
#include <string>
#include <vector>

#include "../decoder/jbgDStream.h"
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

// The encoder's lines until the image is complete.
struct Enc85 {
    std::vector<uint8_t> lines;
    std::vector<uint8_t> comment;
    bool hasComment = false;
    unsigned long announced = 0;  // YD of the header
    unsigned long height = 0;     // lines the image has (the announced ones until NEWLEN)
    unsigned long newlenAfter = 0; // lines coded when NEWLEN was asked for
    bool newlen = false;
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

void collect(unsigned char *start, size_t len, void *file) {
    auto *out = static_cast<std::vector<uint8_t> *>(file);
    out->insert(out->end(), start, start + len);
}

// Codes the lines gathered as one BIE of the announced height: the NEWLEN
// after the stripe in which it was asked for, or ABORT at the end.
void finish(jbg85_enc_state *s, Enc85 *e, bool abort) {
    const unsigned long rows = s->y < e->height ? s->y : e->height;
    std::vector<uint8_t> bie;
    if (rows > 0) {
        unsigned char *plane = e->lines.data();
        jbg_enc_state enc;
        jbg_enc_init(&enc, s->x0, rows, 1, &plane, collect, &bie);
        jbg_enc_options(&enc, 0, s->options & (JBG_LRLTWO | JBG_VLENGTH | JBG_TPBON), s->l0, s->mx, 0);
        jbg_enc_out(&enc);
        jbg_enc_free(&enc);
    }
    if (bie.size() < kBihBytes) {
        // No line: the header alone.
        bie.assign(kBihBytes, 0);
        bie[2] = 1;
        putBE32(&bie[4], uint32_t(s->x0));
        putBE32(&bie[12], uint32_t(s->l0));
        bie[16] = uint8_t(s->mx);
        bie[19] = uint8_t(s->options & (JBG_LRLTWO | JBG_VLENGTH | JBG_TPBON));
    }
    putBE32(&bie[8], uint32_t(e->announced));
    size_t at = kBihBytes;
    if (e->newlen) {
        struct Src {
            const uint8_t *p, *end;
            int32_t get() { return p < end ? *p++ : -1; }
            bool skip(uint32_t n) {
                if (uint64_t(end - p) < n) return false;
                p += n;
                return true;
            }
        };
        const unsigned long stripesBefore = e->newlenAfter == 0 ? 0 : (e->newlenAfter - 1) / s->l0 + 1;
        for (unsigned long k = 0; k < stripesBefore && at < bie.size(); k++) {
            Src src{bie.data() + at, bie.data() + bie.size()};
            const int32_t n = sdeMeasure(src, nullptr, true);
            if (n < 0) break;
            at += size_t(n);
        }
        const uint8_t seg[2 + kNewlenParams] = {kEsc, kNewlen, uint8_t(e->height >> 24), uint8_t(e->height >> 16),
                                                uint8_t(e->height >> 8), uint8_t(e->height)};
        bie.insert(bie.begin() + long(at), seg, seg + sizeof seg);
    }
    if (abort) bie.insert(bie.end(), {kEsc, kAbort});
    e->data_out(bie.data(), kBihBytes, e->file);
    if (e->hasComment) {
        uint8_t seg[2 + kCommentParams] = {kEsc, kComment};
        putBE32(seg + 2, uint32_t(e->comment.size()));
        e->data_out(seg, sizeof seg, e->file);
        if (!e->comment.empty()) e->data_out(e->comment.data(), e->comment.size(), e->file);
    }
    if (bie.size() > kBihBytes) e->data_out(bie.data() + kBihBytes, bie.size() - kBihBytes, e->file);
    // No free call in this interface: the state goes when the image is out.
    delete e;
    hold(s, static_cast<Enc85 *>(nullptr));
}

void takeComment(jbg85_enc_state *s, Enc85 *e) {
    if (s->comment == nullptr) return;
    e->hasComment = true;
    e->comment.assign(s->comment, s->comment + s->comment_len);
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
    e->announced = e->height = y0;
    e->data_out = data_out, e->file = file;
}

void jbg85_enc_options(jbg85_enc_state *s, int options, unsigned long l0, int mx) {
    if (options >= 0) s->options = options & (JBG_LRLTWO | JBG_VLENGTH | JBG_TPBON);
    if (l0 > 0) s->l0 = l0;
    if (mx >= 0 && mx < 128) s->mx = mx;
}

void jbg85_enc_lineout(jbg85_enc_state *s, unsigned char *line, unsigned char *, unsigned char *) {
    Enc85 *e = encState(s);
    if (e == nullptr) return;
    takeComment(s, e);
    const size_t stride = (s->x0 + 7) / 8;
    try {
        e->lines.insert(e->lines.end(), line, line + stride);
    } catch (const std::bad_alloc &) {
        return;
    }
    if (++s->y >= e->height) finish(s, e, false);
}

void jbg85_enc_newlen(jbg85_enc_state *s, unsigned long y0) {
    Enc85 *e = encState(s);
    if (e == nullptr || e->newlen || y0 >= e->height || y0 < s->y) return;
    e->newlen = true;
    e->newlenAfter = s->y;
    e->height = y0;
    s->y0 = y0;
    if (s->y >= y0) finish(s, e, false);
}

void jbg85_enc_abort(jbg85_enc_state *s) {
    Enc85 *e = encState(s);
    if (e == nullptr) return;
    takeComment(s, e);
    finish(s, e, true);
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
