// libjbig's encoder over the core: jbg_enc_out has the core's encoder write
// the whole BIE to memory under the whole standard, then adds what the core
// does not write itself (the comment, the announced height with its NEWLEN)
// and hands the bytes on.
#include <cstddef>
#include <algorithm>
#include <cstring>
#include <vector>

#include "../frame/jbgBIH.h"
#include "../frame/jbgDiff.h"
#include "../frame/jbgMarker.h"
#include "../frame/jbgPat.h"
#include "../frame/jpgLib.h"
#include "../encoder/jbgCBase.h"
#include "jbig.h"
#include "jbgLib.h"
#include "zeljbig.h"

static_assert(sizeof(jbg_enc_state) == (sizeof(long) == 8 ? 192 : 108), "jbg_enc_state");
ZJ_OFFSET_IS(jbg_enc_state, xd, 8, 4);
ZJ_OFFSET_IS(jbg_enc_state, yd, 16, 8);
ZJ_OFFSET_IS(jbg_enc_state, yd1, 24, 12);
ZJ_OFFSET_IS(jbg_enc_state, planes, 32, 16);
ZJ_OFFSET_IS(jbg_enc_state, dl, 36, 20);
ZJ_OFFSET_IS(jbg_enc_state, dh, 40, 24);
ZJ_OFFSET_IS(jbg_enc_state, l0, 48, 28);
ZJ_OFFSET_IS(jbg_enc_state, stripes, 56, 32);
ZJ_OFFSET_IS(jbg_enc_state, order, 88, 48);
ZJ_OFFSET_IS(jbg_enc_state, options, 92, 52);
ZJ_OFFSET_IS(jbg_enc_state, mx, 96, 56);
ZJ_OFFSET_IS(jbg_enc_state, my, 100, 60);
ZJ_OFFSET_IS(jbg_enc_state, dppriv, 112, 68);
ZJ_OFFSET_IS(jbg_enc_state, data_out, 152, 88);
ZJ_OFFSET_IS(jbg_enc_state, file, 160, 92);
ZJ_OFFSET_IS(jbg_enc_state, comment, 176, 100);
ZJ_OFFSET_IS(jbg_enc_state, comment_len, 184, 104);

namespace {

// The built-in table in the internal form, for callers that look at it.
const char *builtInTable() {
    static char table[kDpEntries];
    static bool made = [] {
        uint8_t packed[kDpPackedBytes];
        dpTablePack(zjDpTable, packed);
        jbg_dppriv2int(table, packed);
        return true;
    }();
    (void)made;
    return table;
}

// About 35 stripes, 2 to 128 lines each.
void defaultL0(jbg_enc_state *s) {
    s->l0 = jbg_ceil_half(s->yd, s->d) / 35;
    while (s->l0 > 1 && (s->l0 << s->d) > 128) s->l0--;
    if (s->l0 < 2) s->l0 = 2;
    s->stripes = jbg_stripes(s->l0, s->yd, (unsigned long)s->d);
}

bool orderAllowed(int order) {
    const int o = order & 7;
    return (order & ~0xF) == 0 && o != 1 && o != 7;
}

// The layers dl..dh of a whole stream as one BIE: its header says DL, D
// and the size of layer dh, and of the stripe data entities only those of
// its layers stay, in their order (a layer's coding depends only on it and
// the one below, so they are the entities of a stream of layers 0..dh).
bool keepLayers(const std::vector<uint8_t> &whole, int dl, int dh, std::vector<uint8_t> *out) {
    const uint8_t *h = whole.data();
    const int d = h[1], planes = h[2], order = h[18];
    const unsigned long stripes = jbg_stripes(getBE32(h + 12), getBE32(h + 8), (unsigned long)d);
    size_t at = kBihBytes + ((h[19] & (JBG_DPPRIV | JBG_DPLAST)) == JBG_DPPRIV ? kDpPrivBytes : 0);
    out->assign(whole.begin(), whole.begin() + long(at));
    (*out)[0] = uint8_t(dl);
    (*out)[1] = uint8_t(dh);
    putBE32(&(*out)[4], uint32_t(jbg_ceil_half(getBE32(h + 4), d - dh)));
    putBE32(&(*out)[8], uint32_t(jbg_ceil_half(getBE32(h + 8), d - dh)));
    JbigBih b{};
    b.D = uint8_t(d), b.P = uint8_t(planes), b.order = uint8_t(order);
    const char *nest = sdeNesting(uint32_t(order), true);
    if (nest == nullptr) return false;
    for (uint32_t k = 0; k < uint32_t(stripes) * uint32_t((d + 1) * planes); k++) {
        const uint32_t layer = sdeAt(b, nest, 0, uint32_t(d), uint32_t(stripes), k).layer;
        MemorySource src{whole.data() + at, whole.data() + whole.size()};
        const int32_t n = sdeMeasure(src, nullptr, true);
        if (n < 0) return false;
        if (layer >= uint32_t(dl) && layer <= uint32_t(dh)) out->insert(out->end(), whole.begin() + long(at), whole.begin() + long(at) + n);
        at += size_t(n);
    }
    return true;
}

// The height announced first (at the resolution of the BIE's highest
// layer), the real one where the other library writes it: right after the
// first entity, in stream order, of the last stripe but one; of the last
// stripe when there is only one or when a stripe has only one entity, and
// then followed by an empty entity.
void addNewlen(const jbg_enc_state *s, int order, size_t head, std::vector<uint8_t> *bie) {
    const int below = s->d - s->dh;
    const unsigned long yd = jbg_ceil_half(s->yd, below);
    putBE32(&(*bie)[8], uint32_t(jbg_ceil_half(s->yd1, below)));
    const uint8_t seg[2 + kNewlenParams + 2] = {kEsc, kNewlen, uint8_t(yd >> 24), uint8_t(yd >> 16),
                                                uint8_t(yd >> 8), uint8_t(yd), kEsc, kSdnorm};
    JbigBih b{};
    b.P = uint8_t(s->planes), b.order = uint32_t(order);
    const char *nest = sdeNesting(b.order, true);
    const uint32_t S = uint32_t(jbg_stripes(s->l0, s->yd, (unsigned long)s->d));
    const bool last = S == 1 || (s->dl == s->dh && s->planes == 1);
    const uint32_t after = last ? S - 1 : S - 2;
    size_t at = head;
    for (uint32_t k = 0, stop = 0; nest && !stop; k++) {
        stop = sdeAt(b, nest, uint32_t(s->dl), uint32_t(s->dh), S, k).stripe == after;
        MemorySource src{bie->data() + at, bie->data() + bie->size()};
        const int32_t n = sdeMeasure(src, nullptr, true);
        if (n < 0) break;
        at += size_t(n);
    }
    bie->insert(bie->begin() + long(at), seg, seg + (last ? sizeof seg : 2 + kNewlenParams));
}

}  // namespace

extern "C" {

void jbg_enc_init(jbg_enc_state *s, unsigned long x, unsigned long y, int planes, unsigned char **p,
                  void (*data_out)(unsigned char *start, size_t len, void *file), void *file) {
    memset(s, 0, sizeof *s);
    s->xd = x, s->yd = y, s->yd1 = y;
    s->planes = planes;
    s->zj_state = p;
    s->data_out = data_out, s->file = file;
    s->order = JBG_ILEAVE | JBG_SMID;
    s->options = JBG_TPBON | JBG_TPDON | JBG_DPON;
    s->mx = 8;
    s->dppriv = const_cast<char *>(builtInTable());
    defaultL0(s);
}

void jbg_enc_layers(jbg_enc_state *s, int d) {
    if (d < 0 || d > 31) return;
    s->d = d, s->dl = 0, s->dh = d;
    defaultL0(s);
}

int jbg_enc_lrlmax(jbg_enc_state *s, unsigned long mwidth, unsigned long mheight) {
    int d = 0;
    while (d < 31 && (jbg_ceil_half(s->xd, d) > mwidth || jbg_ceil_half(s->yd, d) > mheight)) d++;
    jbg_enc_layers(s, d);
    return d;
}

int jbg_enc_lrange(jbg_enc_state *s, int dl, int dh) {
    if (dl >= 0 && dl <= s->d) s->dl = dl;
    if (dh >= s->dl && dh <= s->d) s->dh = dh;
    return s->d;
}

void jbg_enc_options(jbg_enc_state *s, int order, int options, unsigned long l0, int mx, int my) {
    if (order >= 0) s->order = orderAllowed(order) ? order : JBG_ILEAVE | JBG_SMID;
    if (options >= 0) s->options = options;
    if (l0 > 0) s->l0 = l0;
    if (mx >= 0 && mx < 128) s->mx = unsigned(mx);
    if (my >= 0) s->my = 0;
    if (s->mx < ((s->options & JBG_LRLTWO) ? 5u : 3u)) s->mx = 0;
    s->stripes = jbg_stripes(s->l0, s->yd, (unsigned long)s->d);
}

void jbg_enc_out(jbg_enc_state *s) {
    unsigned char **bitmaps = static_cast<unsigned char **>(s->zj_state);
    if (bitmaps == nullptr || s->data_out == nullptr) return;
    const int d = s->d;
    const unsigned long xd = s->xd, yd = s->yd;
    JbigEncodeOptions o{};
    jbigEncodeCreatDefaultOptions(&o, uint32_t(xd), uint32_t(yd), uint32_t(d),
                                  JBIG_FLAG_FULL_STANDARD | JBIG_FLAG_MEMORY | JBIG_FLAG_NO_PATINFO);
    o.L0 = uint32_t(s->l0);
    o.P = uint8_t(s->planes);
    o.MX = uint8_t(s->mx), o.MY = 0;
    const int order = orderAllowed(s->order) ? s->order : JBG_ILEAVE | JBG_SMID;
    o.HITOLO = order >> 3 & 1, o.SEQ = order >> 2 & 1, o.ILEAVE = order >> 1 & 1, o.SMID = order & 1;
    const int opt = s->options;
    o.LRLTWO = opt >> 6 & 1, o.VLENGTH = opt >> 5 & 1, o.TPDON = opt >> 4 & 1, o.TPBON = opt >> 3 & 1;
    o.DPON = opt >> 2 & 1, o.DPPRIV = (opt >> 1 & 1) & o.DPON, o.DPLAST = 0;
    // A table of the caller's is used and written.
    const bool own = o.DPON && s->dppriv != nullptr && s->dppriv != builtInTable();
    uint8_t packed[kDpPackedBytes], unpacked[kDpEntries];
    const uint8_t *tables[4];
    if (own) {
        o.DPPRIV = 1;
        jbg_int2dppriv(packed, s->dppriv);
        dpTableUnpack(packed, unpacked);
        for (int p = 0; p < 4; p++) tables[p] = unpacked + kDpPhaseStart[p];
    }
    // A smaller announced height is not used: a NEWLEN can only lower it.
    if (s->yd1 > s->yd) o.VLENGTH = 1;
    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    if (h == JBIG_INVALID_HANDLE) return;
    // What the public interface does not offer: SDRST, moves at stripe
    // starts only, a table of the caller's.
    // Moves in the differential layers cost more than they gain on the
    // corpus: the AT pixel moves in the lowest layer only, and only where
    // the whole template confirms the planner's gain.
    const uint32_t stripeFlags = (s->options & JBG_SDRST ? kEncSdrst : 0) |
                                 (s->options & JBG_DELAY_AT ? kEncAtStripeStart : 0) | kEncAtLowestOnly | kEncAtVerify;
    bool ok = encStripeOptions(h, stripeFlags) == 0 && (!own || encUseDpTables(h, tables) == 0);
    for (int p = 0; p < s->planes && ok; p++) {
        const uint8_t *bits = bitmaps[p];
        uint32_t stride = uint32_t((s->xd + 7) / 8);
        JbigImageInfo info{uint32_t(xd), uint32_t(yd), stride, 1, 0, 0, const_cast<uint8_t *>(bits)};
        ok = zeljbigEncodeSelectPlane(h, uint32_t(p)) == 0 && jbigEncodeSetOrgDataFromRect(h, &info) == 0;
    }
    for (int k = d; k >= 0 && ok; k--) ok = jbigEncode(h) == 0;
    ok = jbigEncodeEpilog(h) == 0 && ok;
    std::vector<uint8_t> bie;
    if (ok) bie.assign(o.outData, o.outData + o.outLength);
    HeapFree(GetProcessHeap(), 0, o.outData);
    if (!ok) return;
    if (own) std::copy(packed, packed + kDpPackedBytes, bie.begin() + kBihBytes);
    if (s->dl > 0 || s->dh < s->d) {
        std::vector<uint8_t> part;
        if (!keepLayers(bie, s->dl, s->dh, &part)) return;
        bie.swap(part);
    }
    size_t head = kBihBytes + (o.DPPRIV ? kDpPrivBytes : 0);
    if (s->yd1 > s->yd) addNewlen(s, order, head, &bie);
    s->data_out(bie.data(), head, s->file);
    if (s->comment) {
        uint8_t seg[2 + kCommentParams] = {kEsc, kComment};
        putBE32(seg + 2, uint32_t(s->comment_len));
        s->data_out(seg, sizeof seg, s->file);
        if (s->comment_len) s->data_out(s->comment, s->comment_len, s->file);
        s->comment = nullptr;
    }
    if (bie.size() > head) s->data_out(bie.data() + head, bie.size() - head, s->file);
    if (s->dh < s->d) s->dl = s->dh + 1;
}

void jbg_enc_free(jbg_enc_state *s) { s->zj_state = nullptr; }

}  // extern "C"
