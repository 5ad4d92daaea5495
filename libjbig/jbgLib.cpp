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

// The internal form holds the entries in the order T.82 stores them; the
// core's tables are indexed with the pixels the other way round, which
// dpTablePack and dpTableUnpack account for.
void jbg_int2dppriv(unsigned char *dptable, const char *internal) {
    memset(dptable, 0, kDpPackedBytes);
    for (uint32_t i = 0; i < kDpEntries; i++)
        dptable[i >> 2] |= static_cast<unsigned char>((internal[i] & 3) << (6 - 2 * (i & 3)));
}

void jbg_dppriv2int(char *internal, const unsigned char *dptable) {
    for (uint32_t i = 0; i < kDpEntries; i++) internal[i] = char((dptable[i >> 2] >> (6 - 2 * (i & 3))) & 3);
}

}  // extern "C"
