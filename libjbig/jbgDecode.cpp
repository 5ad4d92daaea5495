// libjbig's decoder over the core: the bytes are gathered until a BIE is
// complete (found with the core's stripe-end reader), then the core's reader
// decodes the chain of BIEs so far and the layer is copied out in libjbig's
// row form.
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "../frame/jbgBIH.h"
#include "../frame/jbgMarker.h"
#include "../frame/jbgPat.h"
#include "../frame/jpgLib.h"
#include "jbig.h"
#include "jbgLib.h"
#include "zeljbig.h"

static_assert(sizeof(jbg_dec_state) == (sizeof(long) == 8 ? 1320 : 940), "jbg_dec_state");
ZJ_OFFSET_IS(jbg_dec_state, dl, 4, 4);
ZJ_OFFSET_IS(jbg_dec_state, xd, 8, 8);
ZJ_OFFSET_IS(jbg_dec_state, yd, 16, 12);
ZJ_OFFSET_IS(jbg_dec_state, planes, 24, 16);
ZJ_OFFSET_IS(jbg_dec_state, l0, 32, 20);
ZJ_OFFSET_IS(jbg_dec_state, stripes, 40, 24);
ZJ_OFFSET_IS(jbg_dec_state, order, 48, 28);
ZJ_OFFSET_IS(jbg_dec_state, options, 52, 32);
ZJ_OFFSET_IS(jbg_dec_state, mx, 56, 36);
ZJ_OFFSET_IS(jbg_dec_state, my, 60, 40);
ZJ_OFFSET_IS(jbg_dec_state, lhp, 96, 60);

namespace {

struct DecState {
    std::vector<uint8_t> data;  // the BIEs of the image so far
    size_t bie = 0;             // where the BIE being gathered starts
    size_t pos = 0;             // the next byte to take apart
    size_t searched = 0;        // no stripe end before here since pos
    size_t dropped = 0;         // input bytes left out of data in this call
    int phase = 0;              // 0 header, 1 DP table, 2 stripes, 3 complete
    int bies = 0;
    unsigned long entities = 0, needed = 0;
    unsigned long xmax = ~0ul, ymax = ~0ul;
    int layer = -1;  // the layer in lhp
    unsigned long intrAt = 0;  // entities up to the last of the limit's layer, 0 for none
    std::vector<std::vector<uint8_t>> planes;
    std::vector<unsigned char *> rows;
    unsigned long width = 0, height = 0;
};

DecState *state(const jbg_dec_state *s) { return static_cast<DecState *>(s->zj_state); }

void entitiesNeeded(jbg_dec_state *s, DecState *st) {
    s->stripes = jbg_stripes(s->l0, s->yd, s->d);
    st->needed = s->stripes * (unsigned long)(s->d - s->dl + 1) * (unsigned long)s->planes;
}

int layerWithin(const jbg_dec_state *s, const DecState *st);

// The header of a BIE: the first, or one that continues the image.
int takeHeader(jbg_dec_state *s, DecState *st, const uint8_t *h) {
    const int dl = h[0], d = h[1], planes = h[2];
    const unsigned long xd = getBE32(h + 4), yd = getBE32(h + 8), l0 = getBE32(h + 12);
    if (planes == 0 || xd == 0 || yd == 0 || l0 == 0 || dl > d || h[3] != 0 || h[17] != 0) return JBG_EINVAL | 1;
    if (st->bies > 0) {
        if (dl != s->d + 1 || planes != s->planes || l0 != s->l0 || jbg_ceil_half(xd, d - s->d) != s->xd ||
            jbg_ceil_half(yd, d - s->d) != s->yd)
            return JBG_ENOCONT;
    } else if (dl != 0) {
        return JBG_EINVAL | 2;
    }
    s->dl = dl, s->d = d, s->planes = planes, s->xd = xd, s->yd = yd, s->l0 = l0;
    s->mx = h[16], s->my = h[17], s->order = h[18], s->options = h[19];
    entitiesNeeded(s, st);
    st->entities = 0;
    st->intrAt = 0;
    const int limit = layerWithin(s, st);
    if (limit < d) {
        JbigBih b{};
        b.D = uint8_t(d), b.P = uint8_t(planes), b.order = h[18];
        const char *nest = sdeNesting(b.order, true);
        const uint32_t lo = uint32_t(dl), stripes = uint32_t(s->stripes);
        for (uint32_t k = 0; nest && k < st->needed; k++)
            if (int(sdeAt(b, nest, lo, uint32_t(d), stripes, k).layer) <= limit) st->intrAt = k + 1;
    }
    st->phase = (s->options & (JBG_DPPRIV | JBG_DPLAST)) == JBG_DPPRIV ? 1 : 2;
    return JBG_EOK;
}

// The highest layer within the caller's size limit.
int layerWithin(const jbg_dec_state *s, const DecState *st) {
    int l = s->dl > 0 ? s->dl : 0;
    while (l < s->d && jbg_ceil_half(s->xd, s->d - l - 1) <= st->xmax && jbg_ceil_half(s->yd, s->d - l - 1) <= st->ymax) l++;
    return l;
}

// Decodes `layer` of the BIEs in data[0, end) into libjbig's rows.
int decodeLayer(jbg_dec_state *s, DecState *st, size_t end, int layer) {
    ZeljbigReader *r = zeljbigOpenMemory(st->data.data(), end);
    if (r == nullptr) return JBG_EMARKER | 1;
    ZeljbigInfo info;
    zeljbigGetInfo(r, &info);
    s->yd = info.YD;
    st->planes.resize(size_t(s->planes));
    st->rows.resize(size_t(s->planes));
    int status = JBG_EOK;
    for (int p = 0; p < s->planes && status == JBG_EOK; p++) {
        ZeljbigRaster v;
        if (zeljbigDecodeView(r, layer, uint32_t(p), &v) != 0) {
            status = JBG_EMARKER | 2;
            break;
        }
        const size_t stride = (size_t(v.width) + 7) / 8;
        std::vector<uint8_t> &img = st->planes[size_t(p)];
        img.resize(stride * v.height + 1);
        for (uint32_t y = 0; y < v.height; y++) memcpy(img.data() + y * stride, v.data + y * v.stride, stride);
        st->rows[size_t(p)] = img.data();
        st->width = v.width, st->height = v.height;
    }
    zeljbigClose(r);
    if (status != JBG_EOK) return status;
    st->layer = layer;
    s->lhp[0] = s->lhp[1] = st->rows.data();
    return JBG_EOK;
}

// Takes apart what has arrived: true when the BIE is complete (or broken:
// *status then says why).
bool scan(jbg_dec_state *s, DecState *st, int *status) {
    std::vector<uint8_t> &d = st->data;
    *status = JBG_EAGAIN;
    for (;;) {
        if (st->phase == 0) {
            if (d.size() - st->bie < kBihBytes) return false;
            *status = takeHeader(s, st, &d[st->bie]);
            if (*status != JBG_EOK) return true;
            st->pos = st->searched = st->bie + kBihBytes;
        } else if (st->phase == 1) {
            if (d.size() - st->pos < kDpPrivBytes) return false;
            st->pos += kDpPrivBytes;
            st->searched = st->pos;
            st->phase = 2;
        } else if (st->entities >= st->needed) {
            st->phase = 3;
            *status = JBG_EOK;
            return true;
        } else {
            // Before a stripe: NEWLEN after the previous one, or ABORT.
            if (d.size() - st->pos < 2) return false;
            if (d[st->pos] == kEsc && d[st->pos + 1] == kAbort) {
                *status = JBG_EABORT;
                return true;
            }
            if (d[st->pos] == kEsc && d[st->pos + 1] == kNewlen) {
                if (d.size() - st->pos < 2 + kNewlenParams) return false;
                const unsigned long yd = getBE32(&d[st->pos + 2]);
                if (yd == 0 || yd > s->yd) {
                    *status = JBG_EINVAL | 3;
                    return true;
                }
                if (yd == s->yd) {
                    // The height it gives is known already (jbg_newlen put it
                    // into the header): the core takes such a NEWLEN for
                    // damage, so our copy goes without it.
                    d.erase(d.begin() + long(st->pos), d.begin() + long(st->pos + 2 + kNewlenParams));
                    st->dropped += 2 + kNewlenParams;
                    st->searched = st->pos;
                    continue;
                }
                s->yd = yd;
                entitiesNeeded(s, st);
                st->pos += 2 + kNewlenParams;
                st->searched = st->pos;
                continue;
            }
            // Measured only when a stripe end may have come: feeding a
            // byte at a time stays linear.
            size_t i = st->searched > st->pos ? st->searched - 1 : st->pos;
            while (i + 1 < d.size() && !(d[i] == kEsc && (d[i + 1] == kSdnorm || d[i + 1] == kSdrst))) i++;
            st->searched = i + 1 < d.size() ? i + 2 : d.size();
            if (i + 1 >= d.size()) return false;
            MemorySource src{d.data() + st->pos, d.data() + d.size()};
            SdeReport rep;
            const int32_t n = sdeMeasure(src, &rep, true);
            if (n < 0) {
                if (rep.problem == kSdeDataEnded) return false;
                *status = rep.problem == kSdeMarker + kAbort ? JBG_EABORT : JBG_EMARKER | 3;
                return true;
            }
            if (rep.newlens && rep.newlen > 0 && rep.newlen < s->yd) {
                s->yd = rep.newlen;
                entitiesNeeded(s, st);
            }
            st->pos += size_t(n);
            st->searched = st->pos;
            if (++st->entities == st->intrAt && st->intrAt < st->needed) {
                *status = JBG_EOK_INTR;
                return true;
            }
        }
    }
}

}  // namespace

extern "C" {

void jbg_dec_init(jbg_dec_state *s) {
    memset(s, 0, sizeof *s);
    s->zj_state = new (std::nothrow) DecState;
}

void jbg_dec_maxsize(jbg_dec_state *s, unsigned long xmax, unsigned long ymax) {
    // 0 sets no limit.
    if (DecState *st = state(s)) st->xmax = xmax ? xmax : ~0ul, st->ymax = ymax ? ymax : ~0ul;
}

int jbg_dec_in(jbg_dec_state *s, unsigned char *data, size_t len, size_t *cnt) {
    if (cnt) *cnt = 0;
    DecState *st = state(s);
    if (st == nullptr) return JBG_ENOMEM;
    if (st->phase == 3) {
        if (len == 0) return JBG_EAGAIN;
        // A BIE that continues the image.
        st->bie = st->pos = st->searched = st->data.size();
        st->phase = 0;
    }
    const size_t before = st->data.size();
    st->dropped = 0;
    try {
        st->data.insert(st->data.end(), data, data + len);
    } catch (const std::bad_alloc &) {
        return JBG_ENOMEM;
    }
    int status;
    if (!scan(s, st, &status)) {
        if (cnt) *cnt = len;
        return JBG_EAGAIN;
    }
    if (status != JBG_EOK && status != JBG_EOK_INTR) {
        st->data.resize(before < st->data.size() ? before : st->data.size());
        return status;
    }
    // Bytes after this point are the caller's again.
    st->data.resize(st->pos);
    if (cnt) *cnt = st->pos + st->dropped - before;
    if (status == JBG_EOK) st->bies++;
    const int r = decodeLayer(s, st, st->pos, status == JBG_EOK ? s->d : layerWithin(s, st));
    return r == JBG_EOK ? status : r;
}

unsigned long jbg_dec_getwidth(const jbg_dec_state *s) {
    const DecState *st = state(s);
    return st && st->layer >= 0 ? st->width : 0;
}

unsigned long jbg_dec_getheight(const jbg_dec_state *s) {
    const DecState *st = state(s);
    return st && st->layer >= 0 ? st->height : 0;
}

unsigned char *jbg_dec_getimage(const jbg_dec_state *s, int plane) {
    const DecState *st = state(s);
    if (st == nullptr || st->layer < 0 || plane < 0 || plane >= int(st->rows.size())) return nullptr;
    return st->rows[size_t(plane)];
}

unsigned long jbg_dec_getsize(const jbg_dec_state *s) {
    return (jbg_dec_getwidth(s) + 7) / 8 * jbg_dec_getheight(s);
}

unsigned long jbg_dec_getsize_merged(const jbg_dec_state *s) {
    return jbg_dec_getwidth(s) * jbg_dec_getheight(s) * ((unsigned long)s->planes + 7) / 8;
}

void jbg_dec_merge_planes(const jbg_dec_state *s, int use_graycode,
                          void (*data_out)(unsigned char *start, size_t len, void *file), void *file) {
    const DecState *st = state(s);
    if (st == nullptr || st->layer < 0) return;
    const uint32_t w = uint32_t(st->width), n = uint32_t(st->rows.size());
    const size_t stride = (size_t(w) + 7) / 8, sample = (n + 7) / 8;
    std::vector<ZeljbigRaster> row(n);
    std::vector<uint8_t> out(size_t(w) * sample);
    for (unsigned long y = 0; y < st->height; y++) {
        for (uint32_t p = 0; p < n; p++) row[p] = ZeljbigRaster{w, 1, stride, st->rows[p] + y * stride};
        zeljbigPlanesToGrey(row.data(), n, use_graycode, out.data(), out.size());
        data_out(out.data(), out.size(), file);
    }
}

void jbg_dec_free(jbg_dec_state *s) {
    delete state(s);
    s->zj_state = nullptr;
    s->lhp[0] = s->lhp[1] = nullptr;
}

void jbg_split_planes(unsigned long x, unsigned long y, int has_planes, int encode_planes, const unsigned char *src,
                      unsigned char **dest, int use_graycode) {
    if (encode_planes <= 0 || has_planes <= 0) return;
    const size_t sample = (size_t(has_planes) + 7) / 8;
    std::vector<ZeljbigRaster> planes(static_cast<size_t>(encode_planes));
    for (int p = 0; p < encode_planes; p++)
        planes[size_t(p)] = ZeljbigRaster{uint32_t(x), uint32_t(y), (x + 7) / 8, dest[p]};
    zeljbigGreyToPlanes(src, x * sample, uint32_t(has_planes), use_graycode, planes.data(), uint32_t(encode_planes));
}

int jbg_newlen(unsigned char *bie, size_t len) {
    if (len < kBihBytes) return JBG_EAGAIN;
    size_t at = kBihBytes;
    if ((bie[19] & (JBG_DPPRIV | JBG_DPLAST)) == JBG_DPPRIV) at += kDpPrivBytes;
    while (at < len) {
        unsigned char *next = jbg_next_pscdms(bie + at, len - at);
        if (next == nullptr) return JBG_EINVAL;
        if (bie[at] == kEsc && bie[at + 1] == kAbort) return JBG_EABORT;
        if (bie[at] == kEsc && bie[at + 1] == kNewlen) {
            memcpy(bie + 8, bie + at + 2, 4);
            return JBG_EOK;
        }
        at = size_t(next - bie);
    }
    return JBG_EOK;
}

unsigned char *jbg_next_pscdms(unsigned char *p, size_t len) {
    if (len < 2) return nullptr;
    if (p[0] != kEsc || p[1] == kStuff) {
        // Coded data: up to the next marker.
        size_t i = 0;
        for (;;) {
            while (i < len && p[i] != kEsc) i++;
            if (i + 1 >= len) return nullptr;
            if (p[i + 1] != kStuff) return p + i;
            i += 2;
        }
    }
    size_t n;
    switch (p[1]) {
    case kSdnorm: case kSdrst: case kAbort: n = 2; break;
    case kNewlen: n = 2 + kNewlenParams; break;
    case kAtmove: n = 2 + kAtmoveParams; break;
    case kComment:
        if (len < 6) return nullptr;
        n = 6 + size_t(getBE32(p + 2));
        break;
    default: return nullptr;
    }
    return n <= len ? p + n : nullptr;
}

}  // extern "C"
