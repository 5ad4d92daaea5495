// Layout of the records that cross the exported interface. A 32-bit caller
// lays them out from the field order and widths alone, so the library's
// 32-bit build must agree byte for byte.
#include <cstddef>

#include "zeljbig.h"

static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER");
static_assert(sizeof(RGBQUAD) == 4, "RGBQUAD");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(JbigHandle) == 4, "handles are 32-bit addresses");
static_assert(sizeof(BITMAP) == 24, "BITMAP");

static_assert(offsetof(JbigImageInfo, width) == 0, "JbigImageInfo.width");
static_assert(offsetof(JbigImageInfo, height) == 4, "JbigImageInfo.height");
static_assert(offsetof(JbigImageInfo, bytesPerLine) == 8, "JbigImageInfo.bytesPerLine");
static_assert(offsetof(JbigImageInfo, depth) == 12, "JbigImageInfo.depth");
static_assert(offsetof(JbigImageInfo, reserved1) == 16, "JbigImageInfo.reserved1");
static_assert(offsetof(JbigImageInfo, reserved2) == 20, "JbigImageInfo.reserved2");
static_assert(offsetof(JbigImageInfo, data) == 24, "JbigImageInfo.data");
static_assert(sizeof(JbigImageInfo) == 28, "JbigImageInfo: seven words");

// Encoder and decoder options share one layout.
#define ZJ_CHECK_OPTIONS(T, ptr, len, handle)                                                    \
    static_assert(offsetof(T, XD) == 0 && sizeof(T::XD) == 4, #T ".XD");                         \
    static_assert(offsetof(T, YD) == 4 && sizeof(T::YD) == 4, #T ".YD");                         \
    static_assert(offsetof(T, L0) == 8 && sizeof(T::L0) == 4, #T ".L0");                         \
    static_assert(offsetof(T, DL) == 12 && offsetof(T, D) == 13 && offsetof(T, P) == 14, #T);    \
    static_assert(offsetof(T, MX) == 15 && offsetof(T, MY) == 16, #T ".MX/MY");                  \
    static_assert(offsetof(T, HITOLO) == 17 && offsetof(T, SEQ) == 18, #T ".order");             \
    static_assert(offsetof(T, ILEAVE) == 19 && offsetof(T, SMID) == 20, #T ".order");            \
    static_assert(offsetof(T, LRLTWO) == 21 && offsetof(T, VLENGTH) == 22, #T ".options");       \
    static_assert(offsetof(T, TPDON) == 23 && offsetof(T, TPBON) == 24, #T ".options");          \
    static_assert(offsetof(T, DPON) == 25 && offsetof(T, DPPRIV) == 26, #T ".options");          \
    static_assert(offsetof(T, DPLAST) == 27 && sizeof(T::DPLAST) == 1, #T ".DPLAST");            \
    static_assert(offsetof(T, dataOffset) == 28 && sizeof(T::dataOffset) == 4, #T ".dataOffset"); \
    static_assert(offsetof(T, dataLength) == 32 && sizeof(T::dataLength) == 4, #T ".dataLength"); \
    static_assert(offsetof(T, ptr) == 36 && sizeof(T::ptr) == 4, #T "." #ptr);                   \
    static_assert(offsetof(T, len) == 40 && sizeof(T::len) == 4, #T "." #len);                   \
    static_assert(offsetof(T, handle) == 44 && sizeof(T::handle) == 4, #T "." #handle);          \
    static_assert(offsetof(T, flags) == 48 && sizeof(T::flags) == 2, #T ".flags");               \
    static_assert(sizeof(T) == 52, #T ": 52 bytes")

ZJ_CHECK_OPTIONS(JbigEncodeOptions, outData, outLength, outHandle);
ZJ_CHECK_OPTIONS(JbigDecodeOptions, inData, inLength, inHandle);
#endif
