// Greyscale samples and the bit planes that carry them.
#include <cstring>

#include "zeljbig.h"

int32_t zeljbigPlanesToGrey(const ZeljbigRaster *planes, uint32_t count, int32_t gray, uint8_t *grey,
                            size_t greyStride) {
    if (planes == nullptr || grey == nullptr || count == 0 || count > 32) return -1;
    const uint32_t w = planes[0].width, h = planes[0].height, bytes = (count + 7) / 8;
    for (uint32_t k = 1; k < count; k++)
        if (planes[k].width != w || planes[k].height != h) return -1;
    if (greyStride < uint64_t(w) * bytes) return -1;
    for (uint32_t y = 0; y < h; y++) {
        uint8_t *out = grey + y * greyStride;
        for (uint32_t x = 0; x < w; x++) {
            uint32_t v = 0;
            for (uint32_t k = 0; k < count; k++)
                v = v << 1 | ((planes[k].data[y * planes[k].stride + (x >> 3)] >> (7 - (x & 7))) & 1);
            if (gray)
                for (uint32_t s = 1; s < count; s <<= 1) v ^= v >> s;  // Gray code back to binary
            for (uint32_t b = bytes; b-- > 0;) *out++ = static_cast<uint8_t>(v >> (8 * b));
        }
    }
    return 0;
}

int32_t zeljbigGreyToPlanes(const uint8_t *grey, size_t greyStride, uint32_t bits, int32_t gray,
                            ZeljbigRaster *planes, uint32_t count) {
    if (planes == nullptr || grey == nullptr || bits == 0 || bits > 32 || count == 0 || count > bits) return -1;
    const uint32_t w = planes[0].width, h = planes[0].height, bytes = (bits + 7) / 8;
    for (uint32_t k = 0; k < count; k++) {
        if (planes[k].width != w || planes[k].height != h || planes[k].stride < (uint64_t(w) + 7) / 8) return -1;
        for (uint32_t y = 0; y < h; y++) std::memset(planes[k].data + y * planes[k].stride, 0, (w + 7) / 8);
    }
    if (greyStride < uint64_t(w) * bytes) return -1;
    for (uint32_t y = 0; y < h; y++) {
        const uint8_t *in = grey + y * greyStride;
        for (uint32_t x = 0; x < w; x++) {
            uint32_t v = 0;
            for (uint32_t b = 0; b < bytes; b++) v = v << 8 | *in++;
            if (gray) v ^= v >> 1;
            for (uint32_t k = 0; k < count; k++)
                if ((v >> (bits - 1 - k)) & 1) planes[k].data[y * planes[k].stride + (x >> 3)] |= uint8_t(0x80 >> (x & 7));
        }
    }
    return 0;
}
