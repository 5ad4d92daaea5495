// The small helpers of the libjbig interface.
#include <cstring>

#include "../frame/jbgDiff.h"
#include "jbig.h"
#include "jbig85.h"

extern "C" {

const char jbg_version[] = "zeljbig " JBG_VERSION;
const char jbg85_version[] = "zeljbig " JBG85_VERSION;

const char *jbg_strerror(int errnum) {
    switch (errnum >> 4) {
    case JBG_EOK >> 4: return "All OK";
    case JBG_EOK_INTR >> 4: return "Interrupted at the size limit";
    case JBG_EAGAIN >> 4: return "More input data needed";
    case JBG_ENOMEM >> 4: return "Out of memory";
    case JBG_EABORT >> 4: return "The data ends with an ABORT marker";
    case JBG_EMARKER >> 4: return "Unknown or misplaced marker in the data";
    case JBG_EINVAL >> 4: return "Invalid or damaged data";
    case JBG_EIMPL >> 4: return "A JBIG feature this decoder lacks";
    case JBG_ENOCONT >> 4: return "The next BIE does not continue the image";
    }
    return "Unknown error";
}

const char *jbg85_strerror(int errnum) { return jbg_strerror(errnum); }

unsigned long jbg_ceil_half(unsigned long x, int n) {
    const unsigned long mask = (1ul << n) - 1;
    return (x >> n) + ((x & mask) != 0);
}

unsigned long jbg_stripes(unsigned long l0, unsigned long yd, unsigned long d) {
    const unsigned long y0 = jbg_ceil_half(yd, int(d));
    return y0 / l0 + (y0 % l0 != 0);
}

}  // extern "C"

namespace {

// Where entry i of a phase of n index bits stands in the packed table: the
// internal form numbers the same neighbours as the packed one, the two
// pairs of low bits swapped and the high bits the other way round.
uint32_t packedIndex(uint32_t i, uint32_t n) {
    uint32_t r = (i & 1) << 1 | (i >> 1 & 1) | (i >> 2 & 1) << 3 | (i >> 3 & 1) << 2;
    for (uint32_t b = 4; b < n; b++) r |= (i >> b & 1) << (n + 3 - b);
    return r;
}

template <class F>
void eachEntry(F f) {
    static const uint32_t bits[4] = {8, 9, 11, 12};
    for (uint32_t p = 0; p < 4; p++)
        for (uint32_t i = 0; i < (1u << bits[p]); i++) f(kDpPhaseStart[p] + i, kDpPhaseStart[p] + packedIndex(i, bits[p]));
}

}  // namespace

extern "C" {

void jbg_int2dppriv(unsigned char *dptable, const char *internal) {
    memset(dptable, 0, kDpPackedBytes);
    eachEntry([&](uint32_t i, uint32_t at) {
        dptable[at >> 2] |= static_cast<unsigned char>((internal[i] & 3) << (6 - 2 * (at & 3)));
    });
}

void jbg_dppriv2int(char *internal, const unsigned char *dptable) {
    eachEntry([&](uint32_t i, uint32_t at) { internal[i] = char((dptable[at >> 2] >> (6 - 2 * (at & 3))) & 3); });
}

}  // extern "C"
